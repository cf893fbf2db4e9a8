// The progress window of the foreground session in GTK 3. Built as its own module
// (mirelo-update-window.so) and loaded only by the session, so that the helper's other modes
// never map the toolkit.
//
// The window never runs a loop of its own: gtk_init_check attaches the display's event source
// to the default GLib main context, which the session already iterates, and the bar's
// animation is a timeout on the same context.

#include "update-helper/control/gtk_window_view.h"

#include <gtk/gtk.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "update-helper/control/session_view.h"

#define MIRELO_EXPORT __attribute__((visibility("default")))

namespace mirelo {
namespace {

// The content area in logical pixels. Frames below are given with the origin at the bottom
// left of this area, y growing upwards; GTK places from the top left.
constexpr int kContentWidth = 420;
constexpr int kContentHeight = 160;

struct Frame {
  int x, y, width, height;
};

constexpr Frame kHeadlineFrame{24, 94, 372, 28};
constexpr Frame kDetailFrame{24, 66, 372, 24};
constexpr Frame kBarFrame{24, 30, 372, 12};
constexpr Frame kCloseFrame{306, 20, 90, 32};

constexpr int kHeadlinePixels = 18;
// How often the indeterminate bar moves; GTK animates smoothly between two pulses.
constexpr guint kPulseMilliseconds = 100;

// A button's theme usually asks for a little more height than the frame allows; this keeps
// the title centred but lets the button fit its frame exactly.
constexpr char kCompactButtonCss[] = "button { min-height: 0; padding-top: 2px; padding-bottom: 2px; }";

void place(GtkFixed* fixed, GtkWidget* widget, const Frame& frame) {
  gtk_widget_set_size_request(widget, frame.width, frame.height);
  gtk_fixed_put(fixed, widget, frame.x, kContentHeight - frame.y - frame.height);
}

GtkWidget* plainLabel(const char* text) {
  GtkWidget* label = gtk_label_new(text);
  gtk_label_set_xalign(GTK_LABEL(label), 0.0f);
  gtk_label_set_yalign(GTK_LABEL(label), 0.5f);
  gtk_label_set_selectable(GTK_LABEL(label), FALSE);
  gtk_label_set_single_line_mode(GTK_LABEL(label), TRUE);
  // A long text is cut at the frame's edge instead of widening the fixed-size window.
  gtk_label_set_ellipsize(GTK_LABEL(label), PANGO_ELLIPSIZE_END);
  return label;
}

class GtkWindowView final : public SessionView {
 public:
  GtkWindowView() = default;
  GtkWindowView(const GtkWindowView&) = delete;
  GtkWindowView& operator=(const GtkWindowView&) = delete;

  ~GtkWindowView() override {
    stopPulse();
    if (window_ != nullptr) gtk_widget_destroy(window_);
  }

  void show() override {
    if (window_ != nullptr) return;
    window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    GtkWindow* window = GTK_WINDOW(window_);
    gtk_window_set_title(window, "Mirelo Update");
    gtk_window_set_resizable(window, FALSE);
    gtk_window_set_deletable(window, FALSE);
    gtk_window_set_keep_above(window, TRUE);
    gtk_window_set_skip_taskbar_hint(window, TRUE);
    gtk_window_set_skip_pager_hint(window, TRUE);
    gtk_window_set_type_hint(window, GDK_WINDOW_TYPE_HINT_DIALOG);
    gtk_window_set_position(window, GTK_WIN_POS_CENTER);
    // Centre the whole window, title bar included, not only its content.
    gtk_window_set_gravity(window, GDK_GRAVITY_CENTER);
    // Alt+F4 or the window menu ask to close; the session decides when the window goes.
    g_signal_connect(window_, "delete-event", G_CALLBACK(gtk_true), nullptr);

    GtkWidget* fixed = gtk_fixed_new();
    gtk_widget_set_size_request(fixed, kContentWidth, kContentHeight);
    gtk_container_add(GTK_CONTAINER(window_), fixed);

    headline_ = plainLabel("Preparing update…");
    PangoAttrList* attributes = pango_attr_list_new();
    pango_attr_list_insert(attributes, pango_attr_weight_new(PANGO_WEIGHT_SEMIBOLD));
    pango_attr_list_insert(attributes, pango_attr_size_new_absolute(kHeadlinePixels * PANGO_SCALE));
    gtk_label_set_attributes(GTK_LABEL(headline_), attributes);
    pango_attr_list_unref(attributes);
    place(GTK_FIXED(fixed), headline_, kHeadlineFrame);

    detail_ = plainLabel("Mirelo will reopen automatically.");
    place(GTK_FIXED(fixed), detail_, kDetailFrame);

    bar_ = gtk_progress_bar_new();
    gtk_progress_bar_set_pulse_step(GTK_PROGRESS_BAR(bar_), 0.1);
    place(GTK_FIXED(fixed), bar_, kBarFrame);
    fixed_ = fixed;

    // The title bar keeps only what moving needs: no close, minimise, maximise or resize.
    // GTK sets these hints while realising, so they are narrowed afterwards.
    gtk_widget_realize(window_);
    GdkWindow* surface = gtk_widget_get_window(window_);
    gdk_window_set_functions(surface, GDK_FUNC_MOVE);
    gdk_window_set_decorations(surface, static_cast<GdkWMDecoration>(GDK_DECOR_BORDER | GDK_DECOR_TITLE));

    gtk_widget_show_all(window_);
    gtk_window_present(window);
    startPulse();
  }

  void setHeadline(std::string_view text) override {
    if (headline_ != nullptr) gtk_label_set_text(GTK_LABEL(headline_), std::string(text).c_str());
  }

  void setDetail(std::string_view text) override {
    if (detail_ != nullptr) gtk_label_set_text(GTK_LABEL(detail_), std::string(text).c_str());
  }

  void hideProgress() override {
    stopPulse();
    if (bar_ != nullptr) gtk_widget_hide(bar_);
  }

  void addCloseButton(std::function<void()> onClick) override {
    onClose_ = std::move(onClick);
    if (fixed_ == nullptr || close_ != nullptr) return;
    close_ = gtk_button_new_with_label("Close");
    GtkCssProvider* css = gtk_css_provider_new();
    gtk_css_provider_load_from_data(css, kCompactButtonCss, -1, nullptr);
    gtk_style_context_add_provider(gtk_widget_get_style_context(close_), GTK_STYLE_PROVIDER(css),
                                   GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    g_object_unref(css);
    g_signal_connect(close_, "clicked", G_CALLBACK(&GtkWindowView::closeClicked), this);
    place(GTK_FIXED(fixed_), close_, kCloseFrame);
    gtk_widget_show(close_);
  }

  nlohmann::json describe() const {
    nlohmann::json out = nlohmann::json::object();
    if (window_ == nullptr) return out;
    out["title"] = gtk_window_get_title(GTK_WINDOW(window_));
    out["resizable"] = static_cast<bool>(gtk_window_get_resizable(GTK_WINDOW(window_)));
    out["headline"] = labelState(headline_);
    out["detail"] = labelState(detail_);
    nlohmann::json bar = widgetState(bar_);
    bar["animating"] = pulseSource_ != 0;
    out["bar"] = bar;
    if (close_ != nullptr) {
      nlohmann::json button = widgetState(close_);
      button["label"] = gtk_button_get_label(GTK_BUTTON(close_));
      out["close"] = button;
    }
    int width = 0;
    int height = 0;
    gtk_window_get_size(GTK_WINDOW(window_), &width, &height);
    out["content"] = {width, height};
    return out;
  }

 private:
  static void closeClicked(GtkButton*, gpointer self) {
    auto* view = static_cast<GtkWindowView*>(self);
    // The callback may replace or destroy the view; run a copy.
    if (std::function<void()> onClose = view->onClose_) onClose();
  }

  static gboolean pulse(gpointer bar) {
    gtk_progress_bar_pulse(GTK_PROGRESS_BAR(bar));
    return G_SOURCE_CONTINUE;
  }

  void startPulse() {
    if (pulseSource_ == 0) pulseSource_ = g_timeout_add(kPulseMilliseconds, &GtkWindowView::pulse, bar_);
  }

  void stopPulse() {
    if (pulseSource_ != 0) g_source_remove(pulseSource_);
    pulseSource_ = 0;
  }

  nlohmann::json widgetState(GtkWidget* widget) const {
    int x = 0;
    int y = 0;
    gtk_widget_translate_coordinates(widget, window_, 0, 0, &x, &y);
    GtkAllocation allocation;
    gtk_widget_get_allocation(widget, &allocation);
    return {{"frame", {x, y, allocation.width, allocation.height}},
            {"visible", static_cast<bool>(gtk_widget_get_visible(widget))},
            {"mapped", static_cast<bool>(gtk_widget_get_mapped(widget))}};
  }

  nlohmann::json labelState(GtkWidget* label) const {
    nlohmann::json state = widgetState(label);
    state["text"] = gtk_label_get_text(GTK_LABEL(label));
    PangoLayout* layout = gtk_label_get_layout(GTK_LABEL(label));
    PangoContext* context = pango_layout_get_context(layout);
    PangoFontDescription* font = pango_font_description_copy(pango_context_get_font_description(context));
    if (PangoAttrList* attributes = gtk_label_get_attributes(GTK_LABEL(label))) {
      PangoAttrIterator* it = pango_attr_list_get_iterator(attributes);
      pango_attr_iterator_get_font(it, font, nullptr, nullptr);
      pango_attr_iterator_destroy(it);
    }
    const int size = pango_font_description_get_size(font);
    state["font"] = {{"family", pango_font_description_get_family(font) ? pango_font_description_get_family(font) : ""},
                     {"weight", static_cast<int>(pango_font_description_get_weight(font))},
                     {"size", static_cast<double>(size) / PANGO_SCALE},
                     {"sizeIsAbsolute", static_cast<bool>(pango_font_description_get_size_is_absolute(font))}};
    pango_font_description_free(font);
    return state;
  }

  GtkWidget* window_ = nullptr;
  GtkWidget* fixed_ = nullptr;
  GtkWidget* headline_ = nullptr;
  GtkWidget* detail_ = nullptr;
  GtkWidget* bar_ = nullptr;
  GtkWidget* close_ = nullptr;
  guint pulseSource_ = 0;
  std::function<void()> onClose_;
};

}  // namespace
}  // namespace mirelo

extern "C" MIRELO_EXPORT mirelo::SessionView* mirelo_make_window_view() {
  // The helper's own locale stays as it is: the window needs none of the environment's.
  gtk_disable_setlocale();
  // The helper writes nothing to its standard streams, and the toolkit's warnings (a missing
  // accessibility bus, a theme it cannot find) are no exception: they are dropped. A fatal
  // error still ends the process.
  static std::once_flag quiet;
  std::call_once(quiet, [] {
    g_setenv("NO_AT_BRIDGE", "1", TRUE);
    g_log_set_writer_func([](GLogLevelFlags, const GLogField*, gsize, gpointer) { return G_LOG_WRITER_HANDLED; },
                          nullptr, nullptr);
  });
  if (!gtk_init_check(nullptr, nullptr)) return nullptr;
  return std::make_unique<mirelo::GtkWindowView>().release();
}

extern "C" MIRELO_EXPORT char* mirelo_describe_window_view_for_testing(mirelo::SessionView* view) {
  auto* window = dynamic_cast<mirelo::GtkWindowView*>(view);
  const std::string text = window != nullptr ? window->describe().dump() : "{}";
  return strdup(text.c_str());
}
