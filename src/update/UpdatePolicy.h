#pragma once

// What the built-in firmware would be to a Ky, whether it may be written as
// the user asked, and what to run after an update that failed.

#include <string>

#include "update/KyIdentity.h"
#include "update/UpdateResult.h"

namespace ZRV::PTA {

// Versions of the firmware built into this program.
inline constexpr UInt32 KyXilinxUpgradeVer = 6;
inline constexpr UInt32 KyMCOREUpgradeVer = 2;

}  // namespace ZRV::PTA

namespace ky {

// What the built-in firmware would be to a Ky with these versions: a
// downgrade when it lowers either version (1-7 and 3-0 are downgrades).
enum class Verdict { Upgrade, Same, Downgrade };
Verdict VerdictFor(const KyInfo& info);
inline bool IsDowngradeFor(const KyInfo& info) {
    return VerdictFor(info) == Verdict::Downgrade;
}
inline bool IsSameAsBuiltIn(const KyInfo& info) {
    return VerdictFor(info) == Verdict::Same;
}
// What the user asked for: write the same firmware again, and lower it
// without a question.
struct WritePolicy {
    bool reinstall = false;
    bool allowDowngrade = false;
};
// The update policy, one for the session, update --all's plan and the
// listing: may the built-in firmware be written to a Ky with these
// versions, as asked?
enum class PolicyAnswer { Write, NothingToDo, NeedsConsent };
PolicyAnswer Judge(const KyInfo& info, const WritePolicy& policy);
// After a failed update: the kyfw command that works on the Ky as it was
// read under the hold (the built-in versions need --reinstall, newer ones
// --allow-downgrade) or, when it could not be read, whatever it reads.
std::string RetryCommand(const UpdateResult& result);

}  // namespace ky
