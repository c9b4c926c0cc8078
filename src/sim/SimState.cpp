#include "sim/SimState.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>

#include "base/Paths.h"
#include "base/Translate.h"

namespace kysim {

namespace fs = std::filesystem;

namespace {

constexpr UInt64 kDemoGuid = 0x0000'D0A0'0412'0187ull;
// Each Ky's files: the first one's as they always were, the n-th's with n.
std::string KyFile(const char* name, UInt64 guid) {
    return guid == kDemoGuid ? name : name + std::to_string(guid - kDemoGuid);
}
std::string StateFileOf(UInt64 guid) {
    return guid == kDemoGuid ? "ky.state" : "ky" + std::to_string(guid - kDemoGuid) + ".state";
}
constexpr const char* kLockFile = "lock";
constexpr const char* kDeviceFile = "fw-simulated";
// The most Kys one FireWire bus can hold.
constexpr unsigned kMaxKys = 63;
// More than either flash area of a Ky holds.
constexpr std::size_t kMaxFlashBytes = 16u << 20;

const char* const kKeys[] = {"mcore", "xilinx", "product", "serial", "xilinx-flash", "mcore-flash"};

bool ParseNumber(std::string_view text, unsigned long long max, unsigned long long& value) {
    const char* end = text.data() + text.size();
    auto [p, ec] = std::from_chars(text.data(), end, value);
    return !text.empty() && ec == std::errc() && p == end && value <= max;
}

using Fields = std::map<std::string, std::string>;

// The key=value lines, up to the blank line before the flash bytes.
ky::Result<Fields> ReadLines(std::string_view& rest) {
    Fields kv;
    for (int line = 1; !rest.empty(); ++line) {
        const std::size_t nl = rest.find('\n');
        const std::string_view text = rest.substr(0, nl);
        rest.remove_prefix(nl == std::string_view::npos ? rest.size() : nl + 1);
        if (text.empty()) return kv;  // the flash bytes follow
        const std::size_t eq = text.find('=');
        const std::string key(text.substr(0, eq == std::string_view::npos ? 0 : eq));
        if (eq == std::string_view::npos ||
            std::find(std::begin(kKeys), std::end(kKeys), key) == std::end(kKeys)) {
            return ky::Error(ky::Fill(ky::Tr("line {1}: not one of mcore=, xilinx=, product=, "
                                             "serial=, xilinx-flash=, mcore-flash="),
                                      {std::to_string(line)}));
        }
        if (!kv.emplace(key, std::string(text.substr(eq + 1))).second)
            return ky::Error(ky::Fill(
                // TRANSLATORS: {2} is a key of the simulated Ky's state file, as mcore.
                ky::Tr("line {1}: {2} given twice"), {std::to_string(line), key}));
    }
    return kv;
}

ky::Result<unsigned long long> TakeNumber(const Fields& kv, const char* key,
                                          unsigned long long max) {
    const auto it = kv.find(key);
    if (it == kv.end()) {
        if (std::string_view(key).ends_with("-flash")) return 0ull;
        // TRANSLATORS: {1} is a key of the simulated Ky's state file, as mcore.
        return ky::Error(ky::Fill(ky::Tr("no {1}= line"), {key}));
    }
    if (unsigned long long value; ParseNumber(it->second, max, value)) return value;
    return ky::Error(ky::Fill(
        // TRANSLATORS: {1} is a key of the simulated Ky's state file, as mcore.
        ky::Tr("{1}= is not a number from 0 to {2}"), {key, std::to_string(max)}));
}

}  // namespace

std::string FormatDemoState(const DemoState& s) {
    std::string text = "mcore=" + std::to_string(s.identity.mcoreVersion) +
                       "\nxilinx=" + std::to_string(s.identity.xilinxVersion) +
                       "\nproduct=" + std::to_string(s.identity.productVersion) +
                       "\nserial=" + s.identity.serial +
                       "\nxilinx-flash=" + std::to_string(s.flash[0].size()) +
                       "\nmcore-flash=" + std::to_string(s.flash[1].size()) + "\n\n";
    // One allocation of the final size: grown by appending, the text would
    // take twice the flash for a moment.
    text.reserve(text.size() + s.flash[0].size() + s.flash[1].size());
    for (const auto& area : s.flash) text.append(area.begin(), area.end());
    return text;
}

ky::Result<DemoState> ParseDemoState(std::string_view bytes) {
    const auto kv = ReadLines(bytes);
    if (!kv) return kv.Failure();
    unsigned long long n[5];  // mcore, xilinx, product, xilinx-flash, mcore-flash
    const char* const keys[] = {"mcore", "xilinx", "product", "xilinx-flash", "mcore-flash"};
    for (int i = 0; i < 5; ++i) {
        const auto number = TakeNumber(*kv, keys[i], i < 3 ? 0xFFFF : kMaxFlashBytes);
        if (!number) return number.Failure();
        n[i] = *number;
    }
    const auto serial = kv->find("serial");
    if (serial == kv->end() || serial->second.size() > kSerialBytes)
        return ky::Error(ky::Tr("serial= missing or longer than 8 bytes"));
    if (bytes.size() != n[3] + n[4])
        return ky::Error(ky::Fill(ky::Tr("the flash contents are {1} bytes, not {2} as announced"),
                                  {std::to_string(bytes.size()), std::to_string(n[3] + n[4])}));
    DemoState state;
    state.identity = {static_cast<UInt16>(n[0]), static_cast<UInt16>(n[1]),
                      static_cast<UInt16>(n[2]), serial->second};
    state.flash[0].assign(bytes.begin(), bytes.begin() + static_cast<long>(n[3]));
    state.flash[1].assign(bytes.begin() + static_cast<long>(n[3]), bytes.end());
    return state;
}

// The state directory and what this program holds of it: every Ky on the
// simulated bus keeps its own state file, lock and device file there.
struct DemoKy::Store {
    fs::path directory;
    std::string problem;
    std::weak_ptr<SimBus> bus;
    // Kys written side by side are each let go, and so kept, on their own
    // worker's thread: what they share is guarded.
    mutable std::mutex mutex;
    std::mutex saveMutex;    // taken before `mutex`, never after
    std::set<UInt64> fresh;  // reset: this program's Ky counts until it is first kept
    std::string saveProblem;
    ky::Trace trace;  // why a state could not be read or kept
    // Switching off and on after an update.
    std::mutex cycleMutex;  // a window looks at the bus from two threads
    ky::Clock* clock = nullptr;
    std::optional<std::uint64_t> cycleAfter;
    // Each Ky's switching off and on.
    struct PowerCycle {
        enum class Step { Waiting, Counting, Off, Done } step = Step::Waiting;
        std::uint64_t offAt = 0;
        unsigned programmedAtStart = 0;
        KyIdentity before;  // as this program found it
    };
    std::map<UInt64, PowerCycle> cycles;
    std::optional<std::uint64_t> waitingSince;  // a program waits for the restart

    fs::path StateFile(UInt64 guid) const { return directory / StateFileOf(guid); }
    // The Ky cannot be used, for the reason `failed` gives.
    template <class T>
    void Refuse(const ky::Result<T>& failed) {
        problem = failed.Failure().What();
    }

    ky::Result<std::optional<DemoState>> Read(UInt64 guid) const {
        auto bytes = ky::ReadPrivateFile(StateFile(guid));
        if (!bytes) return bytes.Failure();
        if (!*bytes) return std::optional<DemoState>();  // a Ky never written: as it left the works
        auto state = ParseDemoState(**bytes);
        if (!state) return state.Failure();
        return std::optional(std::move(*state));
    }

    ky::Done Load(UInt64 guid) {
        auto state = Read(guid);
        if (!state)
            return ky::Error(ky::Fill(
                // TRANSLATORS: {1} is the state file, {2} what is wrong with it.
                ky::Tr("the simulated Ky's state {1} cannot be used ({2}); start afresh with "
                       "--sim-reset"),
                {StateFile(guid).string(), state.Failure().What()}));
        if (!*state) return {};
        KyUnitModel& ky = bus.lock()->Ky(guid);
        ky.Identity() = (*state)->identity;
        for (FlashArea area : kFlashAreas) ky.SetFlash(area, (*state)->flash[std::size_t(area)]);
        return {};
    }

    ky::Done Save(UInt64 guid) {
        // One at a time: each holds a copy of its Ky's flash and its text,
        // and Kys written side by side end together.
        std::lock_guard saving(saveMutex);
        KyUnitModel& ky = bus.lock()->Ky(guid);
        DemoState state{ky.Identity(), {ky.Flash(FlashArea::Xilinx), ky.Flash(FlashArea::MCORE)}};
        ky::Done saved = ky::EnsurePrivateDirectory(directory);
        if (saved) saved = ky::WriteFileAtomically(StateFile(guid), FormatDemoState(state));
        if (!saved) return saved;
        std::lock_guard guard(mutex);
        fresh.erase(guid);
        return {};
    }
    bool Fresh(UInt64 guid) const {
        std::lock_guard guard(mutex);
        return fresh.contains(guid);
    }

    IOReturn Take(const std::shared_ptr<Store>& self, UInt64 guid, std::shared_ptr<void>& held);
    void PowerCycleStep();
};

// Once a program waits for the restart, each Ky whose images were both
// written leaves the bus `cycleAfter` later, for a second, and comes back
// as its restart behaviour says.
void DemoKy::Store::PowerCycleStep() {
    std::lock_guard guard(cycleMutex);
    auto b = bus.lock();
    if (!b || !cycleAfter || !waitingSince) return;
    using Step = PowerCycle::Step;
    const std::uint64_t now = clock->NowMicros();
    for (auto& [kyGuid, c] : cycles) {
        KyUnitModel& ky = b->Ky(kyGuid);
        if (c.step == Step::Waiting && ky.ProgrammedCount() >= c.programmedAtStart + 2)
            c.step = Step::Counting, c.offAt = *waitingSince + *cycleAfter;
        if (c.step == Step::Counting && now >= c.offAt) b->Unplug(kyGuid), c.step = Step::Off;
        if (c.step != Step::Off || now < c.offAt + kSwitchedOffMicros ||
            ky.Behaviour().restart == UnitBehaviour::Restart::NeverBack)
            continue;
        if (ky.Behaviour().restart == UnitBehaviour::Restart::OldFirmware) {
            ky.Identity().mcoreVersion = c.before.mcoreVersion;
            ky.Identity().xilinxVersion = c.before.xilinxVersion;
            // Kept, so that the next program finds it so too.
            if (ky::Done saved = Save(kyGuid); !saved) trace << saved.Failure().What() << "\n";
        }
        b->Replug(kyGuid);
        c.step = Step::Done;
    }
}

namespace {

// Taken by the first open of the simulated Ky's unit: the lock, the device
// file held open, and the state as this program found it.
struct Held {
    std::shared_ptr<DemoKy::Store> store;
    UInt64 guid = 0;
    ky::FileLock lock;
    int deviceFd = -1;
    unsigned changesAtStart = 0;

    ~Held() {
        auto bus = store->bus.lock();
        if (bus && bus->Ky(guid).Changes() != changesAtStart) {
            const ky::Done saved = store->Save(guid);
            if (!saved) store->trace << saved.Failure().What() << "\n";
            std::lock_guard guard(store->mutex);
            store->saveProblem = saved ? "" : saved.Failure().What();
        }
        if (deviceFd >= 0) ::close(deviceFd);
    }
};

}  // namespace

IOReturn DemoKy::Store::Take(const std::shared_ptr<Store>& self, UInt64 guid,
                             std::shared_ptr<void>& held) {
    auto taken = std::make_shared<Held>();
    taken->store = self;
    taken->guid = guid;
    const auto locked = taken->lock.Acquire(directory / KyFile(kLockFile, guid));
    if (!locked) {
        trace << locked.Failure().What() << "\n";
        return kIOReturnNotPrivileged;
    }
    if (*locked == ky::FileLock::Outcome::Busy) return kIOReturnExclusiveAccess;
    const auto device = ky::OpenPrivateFile(directory / KyFile(kDeviceFile, guid), O_RDONLY);
    taken->deviceFd = device ? *device : -1;
    if (ky::Done loaded = Fresh(guid) ? ky::Done() : Load(guid); !loaded) {
        trace << loaded.Failure().What() << "\n";
        return kIOReturnError;
    }
    taken->changesAtStart = bus.lock()->Ky(guid).Changes();
    held = std::move(taken);
    return kIOReturnSuccess;
}

void DemoKy::SwitchedOffAndOnSoon() {
    std::lock_guard guard(mStore->cycleMutex);
    if (!mStore->waitingSince) mStore->waitingSince = mStore->clock->NowMicros();
}

DemoKy::Options DemoKy::FromEnvironment() {
    Options options;
    if (const char* dir = std::getenv("KYFW_SIM_STATE"); dir && *dir) options.directory = dir;
    if (const char* reset = std::getenv("KYFW_SIM_RESET"); reset && std::string(reset) == "1")
        options.reset = true;
    if (const char* erase = std::getenv("KYFW_SIM_ERASE_MS"); erase && *erase) {
        unsigned long long millis = 0;
        if (ParseNumber(erase, 600'000, millis))
            options.eraseMicros = millis * 1000u;
        else
            options.problem =
                ky::Tr("KYFW_SIM_ERASE_MS must be a number of milliseconds from 0 to 600000");
    }
    if (const char* after = std::getenv("KYFW_SIM_POWER_CYCLE_AFTER"); after) {
        unsigned long long seconds = 0;
        if (std::string_view(after) == "never")
            options.powerCycleAfterMicros.reset();
        else if (ParseNumber(after, 3600, seconds))
            options.powerCycleAfterMicros = seconds * 1'000'000u;
        else
            options.problem = ky::Tr(
                // TRANSLATORS: "never" is what the user sets; keep it as it is.
                "KYFW_SIM_POWER_CYCLE_AFTER must be a number of seconds "
                "from 0 to 3600, or never");
    }
    if (const char* count = std::getenv("KYFW_SIM_COUNT"); count) {
        unsigned long long n = 0;
        if (ParseNumber(count, kMaxKys, n))
            options.kys = static_cast<unsigned>(n);
        else
            options.problem = ky::Tr("KYFW_SIM_COUNT must be a number of Kys from 0 to 63");
    }
    return options;
}

DemoKy::DemoKy(Options options)
    : mStore(std::make_shared<Store>()),
      mBus(SimBus::Create(options.clock ? *options.clock : ky::SystemClock())) {
    Store& store = *mStore;
    store.problem = options.problem;
    store.directory = options.directory;
    store.trace = options.trace;
    mGuid = mBus->AddKy({}, kDemoGuid);
    store.bus = mBus;
    mBus->KeepTransactions(false);  // nobody reads them, and the window runs for days
    mBus->Ky(mGuid).Behaviour().eraseMicros = options.eraseMicros;
    if (options.kys == 0) mBus->Unplug(mGuid);
    // Beside it, older Kys, and every third one already at the built-in 2-6.
    for (unsigned i = 1; i < options.kys; ++i)
        mBus->AddKy({UInt16(i % 3 == 2 ? 2 : 1), UInt16(i % 3 == 2 ? 6 : 4), 3,
                     "KY00000" + std::to_string(i % 10)},
                    kDemoGuid + i);
    if (!store.problem.empty()) return;
    std::weak_ptr<Store> weak = mStore;
    for (unsigned i = 0; i < options.kys || (i == 0 && options.kys == 0); ++i) {
        const UInt64 guid = kDemoGuid + i;
        // A file that stands for the Ky's device node, so that a program
        // holding it open shows the Ky as in use, as with a real one. It is
        // made once: a program that opened it at every start would show
        // itself, for that moment, as using a Ky another program updates.
        const fs::path node = store.directory / KyFile(kDeviceFile, guid);
        if (ky::Done made = ky::EnsurePrivateDirectory(store.directory); !made) {
            store.Refuse(made);
            return;
        }
        std::error_code ec;
        if (!fs::is_regular_file(fs::symlink_status(node, ec))) {
            const auto fd = ky::OpenPrivateFile(node, O_WRONLY | O_CREAT);
            if (!fd) {
                store.Refuse(fd);
                return;
            }
            ::close(*fd);
        }
        mBus->SetDeviceNode(guid, node.string(),
                            (store.directory / KyFile(kLockFile, guid)).string());
        if (options.reset) store.fresh.insert(guid);
        if (ky::Done loaded = options.reset ? ky::Done() : store.Load(guid); !loaded) {
            store.Refuse(loaded);
            return;
        }
        mBus->SetHold(guid, [weak, guid](std::shared_ptr<void>& held) {
            auto self = weak.lock();
            return self ? self->Take(self, guid, held) : kIOReturnNoDevice;
        });
    }
    store.clock = options.clock ? options.clock : &ky::SystemClock();
    store.cycleAfter = options.powerCycleAfterMicros;
    for (unsigned i = 0; i < options.kys; ++i) {
        const KyUnitModel& ky = mBus->Ky(kDemoGuid + i);
        store.cycles[kDemoGuid + i] = {.programmedAtStart = ky.ProgrammedCount(),
                                       .before = ky.Identity()};
    }
    mBus->SetBeforeDiscovery([weak] {
        if (auto self = weak.lock()) self->PowerCycleStep();
    });
}

const std::string& DemoKy::Problem() const {
    return mStore->problem;
}

ky::Done DemoKy::LastSave() const {
    std::lock_guard guard(mStore->mutex);
    if (mStore->saveProblem.empty()) return {};
    return ky::Error(mStore->saveProblem);
}

const fs::path& DemoKy::Directory() const {
    return mStore->directory;
}

}  // namespace kysim
