#pragma once

// The update layer's words, for the window and kyfw alike: what became of a
// Ky, what went wrong, why no Ky can be updated and what to do after a
// failed update.

#include <string>
#include <vector>

#include "base/Result.h"
#include "base/Translate.h"
#include "support/ProcessTable.h"
#include "update/KyIdentity.h"
#include "update/UpdatePolicy.h"
#include "update/UpdateResult.h"

namespace ky {

const char* KyCheckText(KyCheck check);
const char* VerdictText(Verdict verdict);  // "upgrade", "same", "downgrade"

// The serial number as shown: "Not Available" for firmware older than MCORE 2,
// which does not report one.
std::string SerialText(const KyInfo& info);
// "2-6": the MCORE version, a hyphen and the Xilinx version.
std::string VersionText(UInt32 mcore, UInt32 xilinx);
// "2-6": the versions of the firmware built into this program.
inline std::string BuiltInVersionText() {
    return VersionText(ZRV::PTA::KyMCOREUpgradeVer, ZRV::PTA::KyXilinxUpgradeVer);
}

// "bus reset (error -536854496)", or the Ky's own status error in words.
std::string ErrorText(IOReturn error);
// Why an update wrote nothing: the Ky could not be taken (`status`), it
// reads other versions than the user agreed to, a quit came, or the worker
// could not start.
std::string HoldFailedText(IOReturn status);
std::string NotAsAgreedText(KyCheck check, const KyInfo& now, const KyInfo& agreed);
// (English: pass them through ky::Tr where they are shown.)
inline constexpr const char* kQuitBeforeWriting = N_("a quit signal came before the first write");
inline constexpr const char* kNoWorkerThread = N_("the update thread could not be created");
inline constexpr const char* kOlderThanTheKys = N_("the built-in firmware is older than the Ky's");
inline constexpr const char* kQuitBeforeItWasWritten =
    N_("stopped by a quit signal before it was written");
// One sentence per image that failed, naming the image and its error.
std::string DescribeFailure(const UpdateResult& result);
// A simulated Ky whose state could not be kept was not updated: the result
// says so, unless it already failed (an empty `problem` changes nothing).
void NoteStateNotKept(UpdateResult& result, const Done& kept);

// Who reads the advice after a failed update: the window's user runs the
// update again with its button, kyfw's runs a command.
enum class AdviceFor { Window, Kyfw };
// What to do after a failed update: reconnect a Ky that left the bus, else
// leave it connected, and run the update again (for kyfw, the command that
// works on the Ky as it reads now).
std::string FailureAdvice(const UpdateResult& result, AdviceFor reader);

// "the Ky is being updated by kyfw (process 4242)": who holds the unit.
std::string BeingUpdatedText(const FWLib::UnitInfo& unit, const ProcessTable& processes);

// Why no Ky can be updated, in words for the user and as a code for
// programs: no bus, no FireWire controller, no Ky among the nodes on the
// bus, a Ky this user may not open, or a Ky that another updater holds.
struct NoKyReason {
    std::string code;  // "no-bus", "no-controller", "no-ky", "no-access", "in-use", "not-usable"
    std::string text;
    std::vector<FWLib::UnitInfo> nodes;  // with "no-ky": the nodes that are there
};
// `check` is what became of the Ky unit found on `bus` (`unit`), or
// NotFound when there was none; `processes` names another updater.
NoKyReason ExplainNoKy(FWLib::Bus* bus, KyCheck check, const FWLib::UnitInfo& unit,
                       const ProcessTable& processes);
// "fw1: GUID 0x..., Vendor Model": a node in a reason's list.
std::string NodeText(const FWLib::UnitInfo& node);

}  // namespace ky
