#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/Clock.h"
#include "firewire/FWPlatform.h"
#include "sim/KyUnitModel.h"

namespace kysim {

enum class TxType { QuadletRead, QuadletWrite, BlockRead, BlockWrite };
const char* TxTypeName(TxType type);

// One transaction that reached a node, as it went over the bus.
struct Transaction {
    TxType type;
    UInt16 nodeID;
    UInt64 offset;
    std::vector<UInt8> data;  // bytes written, or bytes delivered by a read
    UInt32 generation;
    IOReturn status;
};

// Which transactions a fault acts on: the `occurrence`-th (1-based) one that
// matches, and the `count` - 1 matching ones after it.
struct TxMatch {
    std::optional<TxType> type;
    std::optional<UInt64> offset;
    unsigned occurrence = 1;
    unsigned count = 1;
};

// A fault injected into the traffic of one node.
struct TxFault {
    enum class Action {
        Fail,      // answer with `status`; the unit takes the write only when `applied`
        ReadsAs,   // a quadlet read delivers `value`
        Vanish,    // the node leaves the bus before the transaction
        BusReset,  // the bus resets just before the transaction reaches the node
    };
    TxMatch match;
    Action action = Action::Fail;
    IOReturn status = kIOReturnSuccess;
    UInt32 value = 0;
    bool applied = false;
    unsigned seen = 0;  // matching transactions so far
};

// Building faults: FailWith(On(TxType::BlockWrite, kUpdateDataWindow, 13), kIOReturnBusy)
// fails the 13th block written to the data window.
inline TxMatch On(TxType type, UInt64 offset, unsigned occurrence = 1, unsigned count = 1) {
    return {type, offset, occurrence, count};
}
inline TxMatch OnAny(TxType type, unsigned occurrence = 1, unsigned count = 1) {
    return {type, std::nullopt, occurrence, count};
}
inline TxFault FailWith(TxMatch match, IOReturn status, bool applied = false) {
    return {match, TxFault::Action::Fail, status, 0, applied, 0};
}
inline TxFault ReadsAs(TxMatch match, UInt32 value) {
    return {match, TxFault::Action::ReadsAs, kIOReturnSuccess, value, false, 0};
}
inline TxFault VanishAt(TxMatch match) {
    return {match, TxFault::Action::Vanish, kIOReturnSuccess, 0, false, 0};
}
inline TxFault BusResetAt(TxMatch match) {
    return {match, TxFault::Action::BusReset, kIOReturnSuccess, 0, false, 0};
}

// Faults of the platform objects rather than of the traffic.
struct NodeFaults {
    bool plugInFails = false;
    bool queryInterfaceFails = false;
    IOReturn openStatus = kIOReturnSuccess;
    IOReturn generationStatus = kIOReturnSuccess;
};

// What opening a node's unit takes from outside the bus, kept until the
// last Close (or the end of the device interface) lets it go: for the
// simulated Ky behind --simulate, its state directory. Returns the open's
// status; on success `held` keeps what was taken.
using NodeHold = std::function<IOReturn(std::shared_ptr<void>& held)>;

struct UnitDirectory {
    UInt32 unitSpecID;
    UInt32 unitSWVersion;
};

// A simulated FireWire bus with the nodes plugged into it. Every transaction
// that reaches a node is recorded. Thread-safe: a worker may update a Ky
// while a test thread plugs, unplugs or inspects.
class SimBus final : public FWLib::Bus, public std::enable_shared_from_this<SimBus> {
public:
    static std::shared_ptr<SimBus> Create(ky::Clock& clock = ky::SystemClock());

    // A Ky with its update unit; returns the node's GUID.
    UInt64 AddKy(KyIdentity identity = {}, UInt64 guid = 0);
    // A node with the given units and no update unit behind them.
    UInt64 AddNode(std::vector<UnitDirectory> units, UInt64 guid = 0);
    void Unplug(UInt64 guid);
    void Replug(UInt64 guid);
    void BusReset();
    UInt32 Generation() const;
    void FailLookups(IOReturn status);
    // The device file that discovery reports for a node (for the in-use
    // check); by default a name that is no file.
    void SetDeviceNode(UInt64 guid, std::string path, std::string lockFile = {});
    void SetHold(UInt64 guid, NodeHold hold);
    // Called at every look at the bus, before it is looked at.
    void SetBeforeDiscovery(std::function<void()> hook) { mBeforeDiscovery = std::move(hook); }
    NodeHold HoldOf(UInt64 guid) const;

    // The Ky model of a node. Use while no transaction is under way.
    KyUnitModel& Ky(UInt64 guid);
    NodeFaults& Faults(UInt64 guid);
    void AddFault(UInt64 guid, TxFault fault);
    void ClearFaults(UInt64 guid);

    // Opens and closes through the simulated device interfaces, and how many
    // device interfaces exist now: a leak shows as a count that grows.
    unsigned Opens() const { return mOpens.load(); }
    unsigned Closes() const { return mCloses.load(); }
    int LiveInterfaces() const { return mLiveInterfaces.load(); }
    void CountOpen() { ++mOpens; }
    void CountClose() { ++mCloses; }
    void CountInterface(int delta) { mLiveInterfaces += delta; }

    // Every transaction since the last clear, for tests. A program that
    // runs for days (the window ticks twice a second) keeps none.
    std::vector<Transaction> Transactions() const;
    void ClearTransactions();
    void KeepTransactions(bool keep);
    ky::Clock& Clock() { return mClock; }

    IOReturn GetMatchingServices(const FWLib::MatchingDictionary& match,
                                 std::vector<FWLib::io_service_t>& services) override;
    FWLib::BusSurvey Survey() override;

    // Used by the simulated device interface.
    struct Request {
        UInt64 guid;    // the unit's node, when `absolute` is false
        bool absolute;  // addr.nodeID names the node
        TxType type;
        FWAddressStruct addr;
        UInt8* readBuf;
        const UInt8* writeBuf;
        UInt32* size;
        UInt32 generation;
    };
    IOReturn Transact(const Request& request);
    IOReturn NodeStatus(UInt64 guid, IOReturn NodeFaults::*which) const;
    bool NodeFlag(UInt64 guid, bool NodeFaults::*which) const;

private:
    struct Node;
    explicit SimBus(ky::Clock& clock);
    Node* Find(UInt64 guid);
    const Node* Find(UInt64 guid) const;
    Node* FindPresentByNodeID(UInt16 nodeID);
    UInt64 Plug(std::unique_ptr<Node> node, UInt64 guid);
    IOReturn Deliver(Node& node, const Request& request, Transaction& tx);
    TxFault* MatchFault(Node& node, const Request& request);

    mutable std::mutex mMutex;
    std::function<void()> mBeforeDiscovery;
    ky::Clock& mClock;
    UInt32 mGeneration = 1;
    IOReturn mLookupStatus = kIOReturnSuccess;
    std::vector<std::unique_ptr<Node>> mNodes;
    std::vector<Transaction> mLog;
    bool mKeepLog = true;
    std::atomic<unsigned> mOpens{0};
    std::atomic<unsigned> mCloses{0};
    std::atomic<int> mLiveInterfaces{0};
};

// The service discovery finds for a unit of a node on `bus`, with the
// plug-in and device interface a program makes from it (SimInterfaces.cpp).
std::shared_ptr<FWLib::Service> MakeSimService(std::shared_ptr<SimBus> bus, FWLib::UnitInfo info,
                                               UInt32 handle);

}  // namespace kysim
