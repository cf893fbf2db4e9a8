#pragma once

// What the foreground session shows while it works: one small window with a headline, a
// second line, an indeterminate progress bar and, once the session has expired, a "Close"
// button. The session drives the view and never depends on whether a window exists: with no
// display the headless view takes every call and shows nothing.
//
// Every call is made on the main thread, from inside the session's one GLib main loop
// (the default main context); a view adds no loop and no thread of its own.

#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace mirelo {

class SessionView {
 public:
  virtual ~SessionView() = default;

  // Builds the window and puts it on screen: title "Mirelo Update", headline "Preparing
  // update…", second line "Mirelo will reopen automatically.", the bar animating. Called
  // once, before any other call.
  virtual void show() = 0;
  virtual void setHeadline(std::string_view text) = 0;
  virtual void setDetail(std::string_view text) = 0;
  // Stops the bar's animation and hides it.
  virtual void hideProgress() = 0;
  // Adds the "Close" button; `onClick` runs on the main thread each time it is pressed.
  virtual void addCloseButton(std::function<void()> onClick) = 0;
};

// A view that shows nothing and remembers what it was told, for sessions without a display.
class HeadlessView final : public SessionView {
 public:
  void show() override { shown_ = true; }
  void setHeadline(std::string_view text) override { headline_ = text; }
  void setDetail(std::string_view text) override { detail_ = text; }
  void hideProgress() override { progressHidden_ = true; }
  void addCloseButton(std::function<void()> onClick) override { onClose_ = std::move(onClick); }

  bool shown() const { return shown_; }
  const std::string& headline() const { return headline_; }
  const std::string& detail() const { return detail_; }
  bool progressHidden() const { return progressHidden_; }
  // Presses the "Close" button, if there is one.
  void pressCloseForTesting() const {
    if (onClose_) onClose_();
  }

 private:
  bool shown_ = false;
  std::string headline_;
  std::string detail_;
  bool progressHidden_ = false;
  std::function<void()> onClose_;
};

// The window when a display can be opened (the toolkit is loaded only now, from a module
// installed beside the helper), otherwise a HeadlessView.
std::unique_ptr<SessionView> makeSessionView();

}  // namespace mirelo
