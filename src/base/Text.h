#pragma once

#include <string>
#include <string_view>

namespace ky {

// Text for a person to read, from wherever it came (the Ky's serial number,
// sysfs, /proc, a path, the command line): control characters and bytes
// that are not UTF-8 are written as \xNN, so that none of it can send an
// escape sequence or garble what is around it. With `keepNewlines`, line
// ends stay line ends.
std::string Printable(std::string_view text, bool keepNewlines = false);

}  // namespace ky
