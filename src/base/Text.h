#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ky {

// Text for a person to read, from wherever it came (the Ky's serial number,
// sysfs, /proc, a path, the command line): control characters and bytes
// that are not UTF-8 are written as \xNN, so that none of it can send an
// escape sequence or garble what is around it. With `keepNewlines`, line
// ends stay line ends.
std::string Printable(std::string_view text, bool keepNewlines = false);

// "0x00001800": `digits` upper-case hexadecimal digits (the low ones of `value`).
std::string Hex(std::uint32_t value, int digits);
// The value of one hexadecimal digit, either case; -1 for anything else.
int HexDigitValue(char c);

// One line of a labelled listing: "  label:   value\n", the value in the
// column `width` past the indent (one space after a longer label).
std::string LabelledLine(std::string_view label, std::string_view value, std::size_t width);

// The decimal number that follows the first `marker` in `text` ("_v2" gives
// 2 after "_v"): at most five digits, no more than 0xFFFF; none when no
// digit follows.
std::optional<std::uint16_t> NumberAfter(std::string_view text, std::string_view marker);

}  // namespace ky
