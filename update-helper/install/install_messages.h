#pragma once

// The fixed messages that more than one check of the install engine throws. The desktop
// application reads them back, so each text exists once.

namespace mirelo::install {

// The prepared candidate's signature no longer satisfies the installed application's
// requirement, or its code-directory hash differs from the recorded one.
inline constexpr char kSignatureChangedMessage[] = "Prepared update signature changed";
// The code-directory hash of a bundle cannot be read.
inline constexpr char kCannotReadSignatureMessage[] = "Cannot read update signature";
// A file or folder of the update cannot be opened, or cannot be flushed.
inline constexpr char kCannotOpenFileMessage[] = "Cannot open update file";
inline constexpr char kCannotFlushFileMessage[] = "Cannot flush update file";

}  // namespace mirelo::install
