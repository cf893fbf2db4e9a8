#pragma once

#include <string>

namespace mirelo {

// A new random (version 4) UUID in its canonical 36-character text form with upper-case
// hexadecimal digits, for example 0F8B1C2D-3E4F-4A5B-8C6D-7E8F9A0B1C2D.
std::string randomUuidText();

}  // namespace mirelo
