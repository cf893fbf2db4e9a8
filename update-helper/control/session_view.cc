#include "update-helper/control/session_view.h"

#include <dlfcn.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <string>

#include "update-helper/control/gtk_window_view.h"

namespace mirelo {
namespace {

bool displayNamed() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return true;
  }
  return false;
}

// The folder of this process's own executable, with its final "/"; empty when unknown.
std::string executableFolder() {
  std::array<char, 4096> buffer{};
  const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
  if (length <= 0 || static_cast<size_t>(length) >= buffer.size()) return {};
  std::string path(buffer.data(), static_cast<size_t>(length));
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return {};
  return path.substr(0, slash + 1);
}

std::unique_ptr<SessionView> loadWindowView() {
  // Without a display named in the environment the toolkit could only fail to open one, so
  // it is not even loaded.
  if (!displayNamed()) return nullptr;
  const std::string folder = executableFolder();
  if (folder.empty()) return nullptr;
  // The module is never unloaded: the toolkit cannot be, and the view's code lives in it.
  void* module = ::dlopen((folder + kWindowModuleName).c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) return nullptr;
  auto make = reinterpret_cast<MireloMakeWindowViewFn>(::dlsym(module, kMakeWindowViewSymbol));
  if (make == nullptr) return nullptr;
  return std::unique_ptr<SessionView>(make());
}

}  // namespace

std::unique_ptr<SessionView> makeSessionView() {
  if (std::unique_ptr<SessionView> window = loadWindowView()) return window;
  return std::make_unique<HeadlessView>();
}

}  // namespace mirelo
