#pragma once

#include <string_view>

namespace mirelo {

// The one version rule of the update helper: 1 to 64 characters from [0-9A-Za-z.+_-]. A
// request's version must follow it, and the event log writes only a version that does.
bool isVersionText(std::string_view version);

}  // namespace mirelo
