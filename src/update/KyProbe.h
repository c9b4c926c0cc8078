#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <vector>

#include "support/ProcessTable.h"
#include "update/KyIdentity.h"
#include "update/UpdateWording.h"

namespace ky {

// Identifies every Ky on a thread of its own, so that a Ky that stops
// answering (each read may wait seconds) never holds up the window: the
// window asks, waits a moment, and shows the last answers there are.
class KyProbe {
public:
    // What one Ky unit answered.
    struct Answer {
        bool found = false;
        KyInfo info;
        KyCheck check = KyCheck::NotFound;
        FWLib::UnitInfo unit;
        NoKyReason reason;  // when not found
    };
    // One answer per Ky unit on the bus, in the bus's order; with none,
    // one answer that says why.
    using Answers = std::vector<Answer>;
    // The answer of the Ky with `guid`, else the first.
    static const Answer& Chosen(const Answers& answers, UInt64 guid);

    // The probe's trace goes to `trace` while this object lives (its
    // thread may outlive it, and says nothing more then).
    KyProbe(std::shared_ptr<FWLib::Bus> bus, ProcessTable processes, Trace trace = {});
    // Does not wait for an identification under way: it ends on its own.
    ~KyProbe();
    KyProbe(const KyProbe&) = delete;
    KyProbe& operator=(const KyProbe&) = delete;

    // Starts an identification unless one is under way, waits up to `wait`
    // for it, and returns the last answers (nothing before the first),
    // which may be older than this request.
    std::optional<Answers> Ask(std::chrono::milliseconds wait);

    struct Shared;  // with the probe's thread

private:
    std::shared_ptr<Shared> mShared;
};

}  // namespace ky
