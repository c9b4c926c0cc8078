#include "update/UpdatePolicy.h"

namespace ky {

Verdict VerdictFor(const KyInfo& info) {
    // Each half on its own: 1-7 and 3-0 are downgrades.
    if (info.XilinxVer > ZRV::PTA::KyXilinxUpgradeVer ||
        info.MCOREver > ZRV::PTA::KyMCOREUpgradeVer)
        return Verdict::Downgrade;
    return info.XilinxVer == ZRV::PTA::KyXilinxUpgradeVer &&
                   info.MCOREver == ZRV::PTA::KyMCOREUpgradeVer
               ? Verdict::Same
               : Verdict::Upgrade;
}

PolicyAnswer Judge(const KyInfo& info, const WritePolicy& policy) {
    switch (VerdictFor(info)) {
        case Verdict::Same:
            return policy.reinstall ? PolicyAnswer::Write : PolicyAnswer::NothingToDo;
        case Verdict::Downgrade:
            return policy.allowDowngrade ? PolicyAnswer::Write : PolicyAnswer::NeedsConsent;
        case Verdict::Upgrade:
            break;
    }
    return PolicyAnswer::Write;
}

std::string RetryCommand(const UpdateResult& result) {
    if (!result.versionsRead) return "kyfw update --reinstall --allow-downgrade";
    switch (VerdictFor(*result.versionsRead)) {
        case Verdict::Upgrade:
            return "kyfw update";
        case Verdict::Same:
            return "kyfw update --reinstall";
        case Verdict::Downgrade:
            break;
    }
    return "kyfw update --allow-downgrade";
}

}  // namespace ky
