#pragma once

// The small vocabulary the window and the support classes speak: statuses,
// four-character codes and flags, as the toolkit layer defines them.

#include <cstdint>
#include <string>

using OSErr = std::int16_t;     // 0 is success
using OSStatus = std::int32_t;  // 0 is success
using OSType = std::uint32_t;   // a four-character code such as 'KeyG'
using Boolean = std::uint8_t;

inline constexpr OSErr noErr = 0;
inline constexpr OSStatus eventNotHandledErr = -9874;

// 'abcd' as a number, without relying on multi-character literals.
constexpr OSType FourCharCode(const char (&code)[5]) {
    return (OSType(std::uint8_t(code[0])) << 24) | (OSType(std::uint8_t(code[1])) << 16) |
           (OSType(std::uint8_t(code[2])) << 8) | OSType(std::uint8_t(code[3]));
}

inline std::string FourCharText(OSType code) {
    return {char(code >> 24), char(code >> 16), char(code >> 8), char(code)};
}
