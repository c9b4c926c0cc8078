#pragma once

#include <string>
#include <string_view>

#include "base/Result.h"
#include "firewire/FWPlatform.h"

namespace kyfw {

// Which Ky --device names: its GUID (16 hexadecimal digits, 0x optional,
// any case), its device file (an absolute path such as /dev/fw1) or its
// unit's name as `kyfw list` shows it (fw1.0, sim1.0). Empty: any Ky.
class DeviceSelector {
public:
    // False, with what is accepted in `error`, when `text` is none of them.
    static ky::Result<DeviceSelector> Parse(std::string_view text);
    bool Matches(const FWLib::UnitInfo& unit) const;
    bool Any() const { return mKind == Kind::Any; }

private:
    enum class Kind { Any, Guid, Path, Unit };
    Kind mKind = Kind::Any;
    UInt64 mGuid = 0;
    std::string mText;
};

}  // namespace kyfw
