#include "base/Text.h"

#include <algorithm>
#include <cstdio>

namespace ky {

namespace {

// The length of the well-formed UTF-8 sequence at the start of `s`, or 0.
std::size_t Utf8Length(std::string_view s) {
    const auto b = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char lead = b(0);
    std::size_t n = lead < 0x80                    ? 1
                    : lead >= 0xC2 && lead <= 0xDF ? 2
                    : lead >= 0xE0 && lead <= 0xEF ? 3
                    : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                   : 0;
    if (n == 0 || s.size() < n) return 0;
    for (std::size_t i = 1; i < n; ++i)
        if ((b(i) & 0xC0) != 0x80) return 0;
    // No overlong forms, no surrogates, nothing past U+10FFFF.
    if ((lead == 0xE0 && b(1) < 0xA0) || (lead == 0xED && b(1) > 0x9F) ||
        (lead == 0xF0 && b(1) < 0x90) || (lead == 0xF4 && b(1) > 0x8F))
        return 0;
    return n;
}

bool IsControl(std::string_view sequence) {
    const auto c = static_cast<unsigned char>(sequence[0]);
    if (sequence.size() == 1) return c < 0x20 || c == 0x7F;
    // C1 controls, U+0080 to U+009F.
    return c == 0xC2 && static_cast<unsigned char>(sequence[1]) < 0xA0;
}

// The code point of a well-formed sequence of `n` bytes.
char32_t CodePoint(std::string_view s, std::size_t n) {
    static constexpr unsigned char kLeadBits[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    char32_t c = static_cast<unsigned char>(s[0]) & kLeadBits[n];
    for (std::size_t i = 1; i < n; ++i) c = (c << 6) | (static_cast<unsigned char>(s[i]) & 0x3F);
    return c;
}

// Columns a terminal gives the character: none for a combining mark, two
// for the wide letters of East Asian scripts and the full-width forms.
std::size_t Columns(char32_t c) {
    if ((c >= 0x300 && c <= 0x36F) || (c >= 0x3099 && c <= 0x309A)) return 0;
    const bool wide = (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF) ||
                      (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) ||
                      (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
                      (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x20000 && c <= 0x3FFFD);
    return wide ? 2 : 1;
}

}  // namespace

std::size_t DisplayWidth(std::string_view text) {
    std::size_t width = 0;
    while (!text.empty()) {
        const std::size_t n = Utf8Length(text);
        width += n ? Columns(CodePoint(text, n)) : 1;
        text.remove_prefix(n ? n : 1);
    }
    return width;
}

std::string Printable(std::string_view text, bool keepNewlines) {
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        std::size_t n = Utf8Length(text);
        const std::string_view sequence = text.substr(0, n ? n : 1);
        if (n && (!IsControl(sequence) || (keepNewlines && sequence == "\n"))) {
            out += sequence;
        } else {
            for (unsigned char byte : sequence) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
                out += escaped;
            }
        }
        text.remove_prefix(sequence.size());
    }
    return out;
}

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

std::string Hex(std::uint32_t value, int digits) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text = "0x";
    for (int i = digits - 1; i >= 0; --i) text.push_back(kDigits[(value >> (4 * i)) & 15]);
    return text;
}

void LabelledLines::Add(std::string label, std::string value) {
    mRows.emplace_back(std::move(label), std::move(value));
}

std::string LabelledLines::Text() const {
    std::size_t column = mLeast;
    for (const auto& row : mRows) column = std::max(column, DisplayWidth(row.first) + 1);
    std::string text;
    for (const auto& [label, value] : mRows)
        text += "  " + label + std::string(column - DisplayWidth(label), ' ') + value + "\n";
    return text;
}

std::optional<std::uint16_t> NumberAfter(std::string_view text, std::string_view marker) {
    const auto at = text.find(marker);
    if (at == std::string_view::npos) return std::nullopt;
    unsigned value = 0, digits = 0;
    for (auto i = at + marker.size(); i < text.size() && digits < 5; ++i, ++digits) {
        if (text[i] < '0' || text[i] > '9') break;
        value = value * 10 + unsigned(text[i] - '0');
    }
    if (digits == 0 || value > 0xFFFF) return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

}  // namespace ky
