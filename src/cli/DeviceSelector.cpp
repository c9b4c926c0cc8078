#include "cli/DeviceSelector.h"

#include <cctype>
#include <charconv>
#include <filesystem>

#include "base/Translate.h"

namespace kyfw {

namespace {

bool AllDigits(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s)
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    return true;
}

bool ParseGuid(std::string_view text, UInt64& guid) {
    if (text.size() == 18 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        text.remove_prefix(2);
    if (text.size() != 16) return false;
    for (char c : text)
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    return std::from_chars(text.data(), text.data() + text.size(), guid, 16).ec == std::errc();
}

// "fw1.0" or "sim1.0": the node's name, a dot and the unit's number.
bool IsUnitName(std::string_view text) {
    const std::size_t dot = text.find('.');
    if (dot == std::string_view::npos) return false;
    const std::string_view node = text.substr(0, dot);
    const std::string_view prefix = node.starts_with("fw")    ? "fw"
                                    : node.starts_with("sim") ? "sim"
                                                              : "";
    return !prefix.empty() && AllDigits(node.substr(prefix.size())) &&
           AllDigits(text.substr(dot + 1));
}

}  // namespace

ky::Result<DeviceSelector> DeviceSelector::Parse(std::string_view text) {
    DeviceSelector selector;
    selector.mText = std::string(text);
    if (ParseGuid(text, selector.mGuid)) {
        selector.mKind = Kind::Guid;
    } else if (text.size() > 1 && text[0] == '/' && text.find('\0') == std::string_view::npos) {
        selector.mKind = Kind::Path;
        selector.mText = std::filesystem::path(selector.mText).lexically_normal().string();
    } else if (IsUnitName(text)) {
        selector.mKind = Kind::Unit;
    } else {
        return ky::Error(
            ky::Tr("expected a GUID (16 hexadecimal digits, such as 0x0000d0a004120187), a "
                   "device file (such as /dev/fw1) or a unit's name as kyfw list shows it (such "
                   "as fw1.0)"));
    }
    return selector;
}

bool DeviceSelector::Matches(const FWLib::UnitInfo& unit) const {
    switch (mKind) {
        case Kind::Any:
            return true;
        case Kind::Guid:
            return unit.guid == mGuid;
        case Kind::Path:
            return std::filesystem::path(unit.deviceNode).lexically_normal().string() == mText;
        case Kind::Unit:
            return unit.name == mText;
    }
    return false;
}

}  // namespace kyfw
