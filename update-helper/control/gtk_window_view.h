#pragma once

// The C entry points of the window module (mirelo-update-window.so), which the helper loads
// at run time so that none of its other modes maps the toolkit. Nothing else of the module
// is visible from outside.

namespace mirelo {

class SessionView;

// The name of the module file, looked for in the folder of the helper's own executable.
inline constexpr char kWindowModuleName[] = "mirelo-update-window.so";
inline constexpr char kMakeWindowViewSymbol[] = "mirelo_make_window_view";
inline constexpr char kDescribeWindowViewSymbol[] = "mirelo_describe_window_view_for_testing";

}  // namespace mirelo

extern "C" {

// Opens the default display (X11 or Wayland) and returns a new window view that the caller
// owns, or null when no display can be opened. The toolkit's own main loop is never run: the
// window lives on the default GLib main context, which the caller iterates.
using MireloMakeWindowViewFn = mirelo::SessionView* (*)();
mirelo::SessionView* mirelo_make_window_view();

// For tests only: a JSON object describing what `view` (made by the function above) shows
// now: the title, both texts with their font attributes, each element's allocated frame in
// top-left window coordinates, the bar's visibility and animation, and the button. The
// caller frees the text with free().
using MireloDescribeWindowViewFn = char* (*)(mirelo::SessionView*);
char* mirelo_describe_window_view_for_testing(mirelo::SessionView* view);
}
