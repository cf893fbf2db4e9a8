// The progress window on a real X server (Xvfb) under a real window manager, shown through
// makeSessionView() by the session-view driver and read back through the window system:
// its properties, its pixels, and a real click. Screenshots of both states land in
// test-artifacts/ of the build folder.

// GoogleTest before Xlib, whose macros (None, Bool, Status) would rename GoogleTest's own.
#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/unique_fd.h"
#include "testing/test_support.h"
#include "testing/x_server.h"
#include "update-helper/control/gtk_window_view.h"

namespace mirelo {
namespace {

using nlohmann::json;
using testing::ConversingProcess;
using testing::XServer;

// Motif hint bits (the window manager's view of which controls a window allows).
constexpr long kMwmHintsFunctions = 1L << 0;
constexpr long kMwmHintsDecorations = 1L << 1;
constexpr long kMwmFuncAll = 1L << 0;
constexpr long kMwmFuncResize = 1L << 1;
constexpr long kMwmFuncMove = 1L << 2;
constexpr long kMwmFuncMinimize = 1L << 3;
constexpr long kMwmFuncMaximize = 1L << 4;
constexpr long kMwmFuncClose = 1L << 5;
constexpr long kMwmDecorAll = 1L << 0;
constexpr long kMwmDecorTitle = 1L << 3;
constexpr long kMwmDecorMenu = 1L << 4;
constexpr long kMwmDecorMinimize = 1L << 5;
constexpr long kMwmDecorMaximize = 1L << 6;

bool contains(const std::vector<std::string>& list, const std::string& item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

std::filesystem::path artefact(const std::string& name) {
  const std::filesystem::path folder = std::filesystem::path(MIRELO_BUILD_DIR) / "test-artifacts";
  std::filesystem::create_directories(folder);
  return folder / name;
}

bool mapsToolkit(pid_t pid) {
  std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
  const std::string text((std::istreambuf_iterator<char>(maps)), std::istreambuf_iterator<char>());
  return text.find("libgtk-3") != std::string::npos;
}

struct Rect {
  int x, y, width, height;
};

class WindowTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!XServer::missingProgram()) server_ = std::make_unique<XServer>(true);
  }
  static void TearDownTestSuite() { server_.reset(); }

  void SetUp() override {
    if (auto missing = XServer::missingProgram()) GTEST_SKIP() << *missing;
    display_ = server_->connection();
  }

  static std::map<std::string, std::optional<std::string>> withDisplay() {
    return {{"DISPLAY", server_->display()}, {"WAYLAND_DISPLAY", std::nullopt}};
  }

  // The driver with its window on screen and laid out, and the window's client id.
  std::unique_ptr<ConversingProcess> startWindow(Window& window) {
    auto driver = std::make_unique<ConversingProcess>(
        std::vector<std::string>{testing::programPath("mirelo-session-view-driver")}, withDisplay());
    EXPECT_EQ(driver->readLine(), "window");
    EXPECT_EQ(driver->readLine(), "shown");
    auto found = testing::waitForClientWindow(display_, driver->pid(), 10);
    EXPECT_TRUE(found) << "no managed, viewable window of the driver";
    window = found.value_or(None);
    // The layout follows the mapping within a frame or two.
    for (int i = 0; i < 200 && describe(*driver)["content"] != json({420, 160}); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return driver;
  }

  static json describe(ConversingProcess& driver) {
    driver.send("describe");
    const auto line = driver.readLine();
    return line ? json::parse(*line) : json();
  }

  // The window's content area on the screen.
  Rect contentOnScreen(Window window) const {
    XWindowAttributes attributes;
    XGetWindowAttributes(display_, window, &attributes);
    int x = 0;
    int y = 0;
    Window child = None;
    XTranslateCoordinates(display_, window, DefaultRootWindow(display_), 0, 0, &x, &y, &child);
    return {x, y, attributes.width, attributes.height};
  }
  // The whole window with the window manager's frame, from _NET_FRAME_EXTENTS.
  Rect frameOnScreen(Window window) const {
    const Rect content = contentOnScreen(window);
    auto extents = testing::cardinalProperty(display_, window, "_NET_FRAME_EXTENTS", "CARDINAL");
    if (extents.size() != 4) return content;
    const int left = static_cast<int>(extents[0]);
    const int right = static_cast<int>(extents[1]);
    const int top = static_cast<int>(extents[2]);
    const int bottom = static_cast<int>(extents[3]);
    return {content.x - left, content.y - top, content.width + left + right, content.height + top + bottom};
  }

  void screenshot(Window window, const std::string& name) const {
    const Rect frame = frameOnScreen(window);
    const std::string crop = std::to_string(frame.width) + "x" + std::to_string(frame.height) + "+" +
                             std::to_string(frame.x) + "+" + std::to_string(frame.y);
    const auto result = testing::runProcess({"/usr/bin/import", "-display", server_->display(), "-window", "root",
                                             "-crop", crop, "+repage", artefact(name).string()});
    EXPECT_EQ(result.exitCode, 0) << result.err;
  }

  // The distinct pixel values inside a rectangle of the window's content.
  std::set<unsigned long> pixels(Window window, const Rect& area) const {
    std::set<unsigned long> out;
    XImage* image = XGetImage(display_, window, area.x, area.y, static_cast<unsigned>(area.width),
                              static_cast<unsigned>(area.height), AllPlanes, ZPixmap);
    if (image == nullptr) return out;
    for (int y = 0; y < area.height; ++y) {
      for (int x = 0; x < area.width; ++x) out.insert(XGetPixel(image, x, y));
    }
    XDestroyImage(image);
    return out;
  }
  std::vector<unsigned long> snapshot(Window window, const Rect& area) const {
    std::vector<unsigned long> out;
    XImage* image = XGetImage(display_, window, area.x, area.y, static_cast<unsigned>(area.width),
                              static_cast<unsigned>(area.height), AllPlanes, ZPixmap);
    if (image == nullptr) return out;
    for (int y = 0; y < area.height; ++y) {
      for (int x = 0; x < area.width; ++x) out.push_back(XGetPixel(image, x, y));
    }
    XDestroyImage(image);
    return out;
  }

  static std::unique_ptr<XServer> server_;
  Display* display_ = nullptr;
};

std::unique_ptr<XServer> WindowTest::server_;

// The bar's frame, top-left based, as the layout places it.
constexpr Rect kBarArea{24, 118, 372, 12};

TEST_F(WindowTest, ShowsTheProgressWindowAsTheWindowSystemSeesIt) {
  Window window = None;
  auto driver = startWindow(window);
  ASSERT_NE(window, None);

  EXPECT_EQ(testing::textProperty(display_, window, "_NET_WM_NAME"), "Mirelo Update");
  EXPECT_EQ(testing::textProperty(display_, window, "WM_NAME"), "Mirelo Update");

  // Size fixed at the content area, and centred with its frame on the screen.
  const Rect content = contentOnScreen(window);
  EXPECT_EQ(content.width, 420);
  EXPECT_EQ(content.height, 160);
  XSizeHints hints{};
  long supplied = 0;
  ASSERT_TRUE(XGetWMNormalHints(display_, window, &hints, &supplied));
  ASSERT_TRUE((hints.flags & PMinSize) && (hints.flags & PMaxSize));
  EXPECT_EQ(std::vector<int>({hints.min_width, hints.min_height, hints.max_width, hints.max_height}),
            std::vector<int>({420, 160, 420, 160}));
  const Rect frame = frameOnScreen(window);
  EXPECT_NEAR(frame.x + frame.width / 2.0, server_->screenWidth() / 2.0, 3);
  EXPECT_NEAR(frame.y + frame.height / 2.0, server_->screenHeight() / 2.0, 3);

  // A title bar that offers moving only.
  const auto motif = testing::cardinalProperty(display_, window, "_MOTIF_WM_HINTS", "_MOTIF_WM_HINTS");
  ASSERT_GE(motif.size(), 3u);
  ASSERT_TRUE((motif[0] & kMwmHintsFunctions) && (motif[0] & kMwmHintsDecorations));
  EXPECT_EQ(motif[1] & (kMwmFuncAll | kMwmFuncResize | kMwmFuncMinimize | kMwmFuncMaximize | kMwmFuncClose), 0);
  EXPECT_TRUE(motif[1] & kMwmFuncMove);
  EXPECT_EQ(motif[2] & (kMwmDecorAll | kMwmDecorMenu | kMwmDecorMinimize | kMwmDecorMaximize), 0);
  EXPECT_TRUE(motif[2] & kMwmDecorTitle);
  // ...and the window manager took it so: none of these actions is offered.
  const auto allowed = testing::atomListProperty(display_, window, "_NET_WM_ALLOWED_ACTIONS");
  EXPECT_TRUE(contains(allowed, "_NET_WM_ACTION_MOVE"));
  for (const char* action : {"_NET_WM_ACTION_CLOSE", "_NET_WM_ACTION_MINIMIZE", "_NET_WM_ACTION_MAXIMIZE_HORZ",
                             "_NET_WM_ACTION_MAXIMIZE_VERT", "_NET_WM_ACTION_RESIZE"}) {
    EXPECT_FALSE(contains(allowed, action)) << action;
  }

  const auto state = testing::atomListProperty(display_, window, "_NET_WM_STATE");
  for (const char* item : {"_NET_WM_STATE_ABOVE", "_NET_WM_STATE_SKIP_TASKBAR", "_NET_WM_STATE_SKIP_PAGER"}) {
    EXPECT_TRUE(contains(state, item)) << item;
  }
  EXPECT_EQ(testing::atomListProperty(display_, window, "_NET_WM_WINDOW_TYPE"),
            std::vector<std::string>{"_NET_WM_WINDOW_TYPE_DIALOG"});

  // Focused at start.
  const Window root = DefaultRootWindow(display_);
  for (int i = 0; i < 200; ++i) {
    if (testing::cardinalProperty(display_, root, "_NET_ACTIVE_WINDOW", "WINDOW") == std::vector<long>{long(window)}) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(testing::cardinalProperty(display_, root, "_NET_ACTIVE_WINDOW", "WINDOW"), std::vector<long>{long(window)});

  // What it shows, where: texts, fonts and frames as laid out.
  const json shown = describe(*driver);
  EXPECT_EQ(shown["title"], "Mirelo Update");
  EXPECT_EQ(shown["resizable"], false);
  EXPECT_EQ(shown["headline"]["text"], "Preparing update…");
  EXPECT_EQ(shown["headline"]["frame"], json({24, 38, 372, 28}));
  EXPECT_EQ(shown["headline"]["font"]["weight"], 600);  // semibold
  EXPECT_EQ(shown["headline"]["font"]["size"], 18.0);
  EXPECT_EQ(shown["detail"]["text"], "Mirelo will reopen automatically.");
  EXPECT_EQ(shown["detail"]["frame"], json({24, 70, 372, 24}));
  EXPECT_EQ(shown["detail"]["font"]["weight"], 400);
  EXPECT_EQ(shown["bar"]["frame"], json({24, 118, 372, 12}));
  EXPECT_EQ(shown["bar"]["mapped"], true);
  EXPECT_EQ(shown["bar"]["animating"], true);
  EXPECT_FALSE(shown.contains("close"));

  // The bar is drawn and moves.
  EXPECT_GT(pixels(window, kBarArea).size(), 1u);
  const auto before = snapshot(window, kBarArea);
  bool moved = false;
  for (int i = 0; i < 40 && !moved; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    moved = snapshot(window, kBarArea) != before;
  }
  EXPECT_TRUE(moved) << "the progress bar does not animate";
  screenshot(window, "window-normal.png");

  driver->send("installing");
  EXPECT_EQ(driver->readLine(), "ok");
  EXPECT_EQ(describe(*driver)["headline"]["text"], "Installing…");

  // An ordinary window opened later stays below it.
  const Window other = XCreateSimpleWindow(display_, root, 0, 0, 800, 600, 0, 0, 0xffffff);
  XStoreName(display_, other, "Ordinary window");
  XMapRaised(display_, other);
  XFlush(display_);
  std::vector<long> stacking;
  for (int i = 0; i < 200; ++i) {
    stacking = testing::cardinalProperty(display_, root, "_NET_CLIENT_LIST_STACKING", "WINDOW");
    if (std::count(stacking.begin(), stacking.end(), long(other)) == 1) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  XRaiseWindow(display_, other);
  XSync(display_, False);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  stacking = testing::cardinalProperty(display_, root, "_NET_CLIENT_LIST_STACKING", "WINDOW");
  const auto ours = std::find(stacking.begin(), stacking.end(), long(window));
  const auto theirs = std::find(stacking.begin(), stacking.end(), long(other));
  ASSERT_TRUE(ours != stacking.end() && theirs != stacking.end());
  EXPECT_GT(ours, theirs) << "the progress window went below an ordinary window";
  XDestroyWindow(display_, other);
  XSync(display_, False);

  driver->send("quit");
  EXPECT_EQ(driver->waitFor(10), 3);
  // The helper writes nothing to its streams, and neither may the toolkit inside it.
  EXPECT_EQ(driver->errorOutput(), "");
}

TEST_F(WindowTest, CloseRequestsOfTheWindowManagerAreIgnored) {
  Window window = None;
  auto driver = startWindow(window);
  ASSERT_NE(window, None);
  const Window root = DefaultRootWindow(display_);

  const struct {
    const char* name;
    std::function<void()> request;
  } cases[] = {
      {"WM_DELETE_WINDOW sent to the window",
       [&] {
         XEvent event{};
         event.xclient.type = ClientMessage;
         event.xclient.window = window;
         event.xclient.message_type = testing::atom(display_, "WM_PROTOCOLS");
         event.xclient.format = 32;
         event.xclient.data.l[0] = static_cast<long>(testing::atom(display_, "WM_DELETE_WINDOW"));
         event.xclient.data.l[1] = CurrentTime;
         XSendEvent(display_, window, False, NoEventMask, &event);
         XSync(display_, False);
       }},
      {"_NET_CLOSE_WINDOW asked of the window manager",
       [&] {
         XEvent event{};
         event.xclient.type = ClientMessage;
         event.xclient.window = window;
         event.xclient.message_type = testing::atom(display_, "_NET_CLOSE_WINDOW");
         event.xclient.format = 32;
         event.xclient.data.l[0] = CurrentTime;
         event.xclient.data.l[1] = 2;  // a pager or taskbar asks
         XSendEvent(display_, root, False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
         XSync(display_, False);
       }},
      {"Alt+F4 typed on the focused window",
       [&] {
         const auto result = testing::runProcess(
             {"/bin/sh", "-c",
              "DISPLAY=" + server_->display() + " xdotool windowactivate --sync " + std::to_string(window) +
                  " key alt+F4"});
         EXPECT_EQ(result.exitCode, 0) << result.err;
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    c.request();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(driver->waitFor(0)) << "the process ended";
    XWindowAttributes attributes;
    ASSERT_TRUE(XGetWindowAttributes(display_, window, &attributes)) << "the window is gone";
    EXPECT_EQ(attributes.map_state, IsViewable);
    EXPECT_EQ(describe(*driver)["headline"]["text"], "Preparing update…");
  }
  driver->send("quit");
  EXPECT_EQ(driver->waitFor(10), 3);
}

TEST_F(WindowTest, ExpiredStateOffersCloseWhichARealClickPresses) {
  Window window = None;
  auto driver = startWindow(window);
  ASSERT_NE(window, None);

  driver->send("expire");
  ASSERT_EQ(driver->readLine(), "ok");
  json shown;
  for (int i = 0; i < 200; ++i) {
    shown = describe(*driver);
    if (shown.contains("close") && shown["close"]["mapped"] == true && shown["close"]["frame"][2] == 90) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(shown["headline"]["text"], "Update has not finished");
  EXPECT_EQ(shown["detail"]["text"], "Close this window and reopen Mirelo to retry.");
  EXPECT_EQ(shown["bar"]["visible"], false);
  EXPECT_EQ(shown["bar"]["animating"], false);
  EXPECT_EQ(shown["close"]["label"], "Close");
  EXPECT_EQ(shown["close"]["frame"], json({306, 108, 90, 32}));
  EXPECT_EQ(shown["content"], json({420, 160}));

  // Where the bar was there is only the window's background now (the button covers the
  // bar's right end).
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(pixels(window, {kBarArea.x, kBarArea.y, 306 - 6 - kBarArea.x, kBarArea.height}).size(), 1u);
  EXPECT_GT(pixels(window, {306, 108, 90, 32}).size(), 1u) << "no button drawn at its frame";
  screenshot(window, "window-expired.png");

  // A click beside the button does nothing; one on it runs the session's action.
  const auto click = [&](int x, int y) {
    const auto result = testing::runProcess(
        {"/bin/sh", "-c",
         "DISPLAY=" + server_->display() + " xdotool mousemove --sync --window " + std::to_string(window) + " " +
             std::to_string(x) + " " + std::to_string(y) + " click 1"});
    EXPECT_EQ(result.exitCode, 0) << result.err;
  };
  click(200, 124);
  EXPECT_EQ(driver->readLine(0.5), std::nullopt);
  EXPECT_FALSE(driver->waitFor(0));
  click(306 + 45, 108 + 16);
  EXPECT_EQ(driver->readLine(), "close");
  EXPECT_EQ(driver->waitFor(10), 0);
}

TEST_F(WindowTest, HeadlessWithoutADisplayOrWithoutTheModule) {
  testing::TempDir elsewhere;
  const std::filesystem::path lonely = elsewhere / "mirelo-session-view-driver";
  std::filesystem::copy_file(testing::programPath("mirelo-session-view-driver"), lonely);

  const struct {
    const char* name;
    std::filesystem::path program;
    std::map<std::string, std::optional<std::string>> environment;
    const char* view;
    std::optional<bool> toolkitMapped;
  } cases[] = {
      {"no display named", testing::programPath("mirelo-session-view-driver"),
       {{"DISPLAY", std::nullopt}, {"WAYLAND_DISPLAY", std::nullopt}}, "headless", false},
      {"a display that cannot be opened", testing::programPath("mirelo-session-view-driver"),
       {{"DISPLAY", ":4093"}, {"WAYLAND_DISPLAY", std::nullopt}}, "headless", std::nullopt},
      {"no module beside the program", lonely, withDisplay(), "headless", false},
      {"a display and the module", testing::programPath("mirelo-session-view-driver"), withDisplay(), "window", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ConversingProcess driver({c.program.string()}, c.environment);
    EXPECT_EQ(driver.readLine(), c.view);
    EXPECT_EQ(driver.readLine(), "shown");
    if (c.toolkitMapped) {
      EXPECT_EQ(mapsToolkit(driver.pid()), *c.toolkitMapped);
    }
    // The session drives a headless view exactly as a window.
    for (const char* command : {"installing", "expire"}) {
      driver.send(command);
      EXPECT_EQ(driver.readLine(), "ok") << command;
    }
    driver.send("quit");
    EXPECT_EQ(driver.waitFor(10), 3);
  }
}

// LD_DEBUG=files makes the dynamic loader name every object it maps, dlopen()ed ones
// included, so a mode that ends at once can still be checked.
TEST_F(WindowTest, OnlyTheWindowLoadsTheToolkit) {
  testing::TempDir free;
  testing::TempDir busy;
  UniqueFd held(::open((busy / "active.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  ASSERT_TRUE(held.valid());
  ASSERT_EQ(::flock(held.get(), LOCK_EX | LOCK_NB), 0);
  const std::string helper = testing::programPath("mirelo-update-helper");

  const struct {
    const char* name;
    std::vector<std::string> argv;
    int exitCode;
    bool toolkit;
  } cases[] = {
      {"--probe, lock free", {helper, "--probe", free.path()}, 1, false},
      {"--probe, lock held", {helper, "--probe", busy.path()}, 0, false},
      {"--prepare without a request", {helper, "--prepare", free.path()}, 2, false},
      {"--discard", {helper, "--discard", free.path()}, 0, false},
      {"the window", {testing::programPath("mirelo-session-view-driver")}, 3, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto environment = withDisplay();
    environment["LD_DEBUG"] = "files";
    ConversingProcess process(c.argv, environment);
    process.send("quit");
    EXPECT_EQ(process.waitFor(30), c.exitCode);
    const std::string loaded = process.errorOutput();
    ASSERT_NE(loaded.find("file=libc.so.6"), std::string::npos) << "the loader reported nothing";
    for (const std::string& library : {std::string("libgtk-3.so"), std::string("libgdk-3.so"), std::string(kWindowModuleName)}) {
      EXPECT_EQ(loaded.find("file=" + library) != std::string::npos ||
                    loaded.find("/" + library) != std::string::npos,
                c.toolkit)
          << library;
    }
  }
}

}  // namespace
}  // namespace mirelo
