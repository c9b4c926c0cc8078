#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

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

// The columns a terminal gives `text` (UTF-8): two for each of the wide
// letters of Chinese, Japanese and Korean, none for a combining mark; one
// for each byte that is not UTF-8.
std::size_t DisplayWidth(std::string_view text);

// A labelled listing, "  label:   value" a line: the values in one column,
// `least` past the indent, or one past the widest label where a label (in
// another language) is wider.
class LabelledLines {
public:
    explicit LabelledLines(std::size_t least) : mLeast(least) {}
    void Add(std::string label, std::string value);
    std::string Text() const;

private:
    std::size_t mLeast;
    std::vector<std::pair<std::string, std::string>> mRows;
};

// The decimal number that follows the first `marker` in `text` ("_v2" gives
// 2 after "_v"): at most five digits, no more than 0xFFFF; none when no
// digit follows.
std::optional<std::uint16_t> NumberAfter(std::string_view text, std::string_view marker);

}  // namespace ky
