#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/Result.h"
#include "update/ExitStatus.h"
#include "update/RestartWatch.h"
#include "update/UpdateSession.h"

namespace ky {

// What became of one Ky of a batch: typed, its restart included.
struct KyOutcome {
    FWLib::UnitInfo unit;
    KyInfo before;               // as read under the hold, or as found
    bool versionsKnown = false;  // `before` was read
    // The Ky's word in the one table: done while planned and once written.
    ExitStatus status = kExitDone;
    // Why, for every ending but done: a lower-case phrase.
    std::string message;
    bool planned = false;       // to be written, once the user agrees
    bool needsConsent = false;  // a downgrade: the user must agree to it in so many words
    bool started = false;       // its worker ran; `result` says what it did
    UpdateResult result;
    std::optional<RestartResult> restart;  // once followed
    // What the Ky read last: the versions it came back with after its
    // restart, or read under the hold after a failed update; nothing when
    // that is not known.
    std::optional<std::string> after;

    bool Written() const { return started && result.Succeeded(); }
};

// The worse of two statuses: nothing to do, done, no Ky, refused, stopped
// before some were written, failed.
ExitStatus WorseStatus(ExitStatus a, ExitStatus b);

// Several Kys updated as one, and the single update as a batch of one:
// each Ky has a session of its own (held from its check to its end, its
// versions read again right before its first write), the Kys are written
// side by side, and a quit asked for at any moment before a Ky's first
// write leaves that Ky unwritten ("not started: stopped"); Kys being
// written finish. Requests come from one thread; nothing here shows
// anything: the programs ask and show.
class UpdateBatch {
public:
    // Hears each Ky's progress; by default nothing is traced or shown.
    struct Listener {
        virtual ~Listener() = default;
        // The trace of Ky `i`'s controller, unit and engine.
        virtual Trace TraceFor(std::size_t /*i*/) { return {}; }
        // Ky `i` is about to be written; its progress follows on `progress`.
        virtual void Starting(std::size_t /*i*/, const DownloadProgress& /*progress*/) {}
        // Ky `i` has ended (its outcome is final but for its restart).
        virtual void Ended(std::size_t /*i*/) {}
        // Called every few milliseconds while Kys are written, to redraw.
        virtual void Tick() {}
    };
    struct Setup {
        std::shared_ptr<FWLib::Bus> bus;
        Clock* clock = &SystemClock();
        ProcessTable processes;
        // Whether a quit was asked for; read on any thread, at any time.
        std::function<bool()> quit = [] { return false; };
        // Once a Ky has been written: why its outcome could not be kept (the
        // simulated Ky's state), or nothing.
        std::function<Done()> stateKept;
    };

    UpdateBatch(Setup setup, Listener& listener);
    ~UpdateBatch();  // waits for the Kys being written, then lets every Ky go
    UpdateBatch(const UpdateBatch&) = delete;
    UpdateBatch& operator=(const UpdateBatch&) = delete;

    // Takes each Ky of `units` (with the versions the user is shown, when
    // given) and checks it under `policy`; a Ky that may be written is
    // planned, and stays held until it has been written or let go.
    void Plan(const std::vector<FWLib::UnitInfo>& units, const WritePolicy& policy,
              const std::vector<std::optional<KyInfo>>& seen = {});
    // A Ky found on the bus that cannot be taken (`why`): refused, as found.
    void NotUsable(const FWLib::UnitInfo& unit, const KyInfo& found, bool versionsKnown,
                   const std::string& why);
    const std::vector<KyOutcome>& Kys() const { return mKys; }
    std::size_t Planned() const;
    // The user agreed to the planned Kys as shown, downgrades too when
    // `downgrades`; a downgrade not agreed to is refused.
    void Consent(bool downgrades);
    // The user did not agree: every planned Ky is refused with `why` and let go.
    void Refuse(const std::string& why);
    // Writes the Kys agreed to, `jobs` at a time, until each has ended.
    void Write(std::size_t jobs);
    // Ky `i` restarted (or not) as `result` says, in words `text`; `failed`
    // when its update fails for it.
    void Restarted(std::size_t i, const RestartResult& result, const std::string& text,
                   bool failed);
    // The worst of the Kys' statuses; nothing to do when there is none.
    ExitStatus Status() const;

private:
    struct Ky;
    void Check(Ky& ky, const WritePolicy& policy);
    bool Start(Ky& ky);
    void Finish(Ky& ky);
    void End(Ky& ky, ExitStatus status, std::string message);

    Setup mSetup;
    Listener& mListener;
    std::vector<KyOutcome> mKys;
    std::vector<std::unique_ptr<Ky>> mSessions;  // one per Ky, beside its outcome
};

}  // namespace ky
