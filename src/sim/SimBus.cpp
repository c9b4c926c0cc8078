#include "sim/SimBus.h"

#include "firewire/FWLib_Device.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace kysim {

namespace {
constexpr UInt16 kFirstNodeID = 0xFFC1;  // the local node is 0xFFC0
constexpr UInt64 kFirstGuid = 0x0000'D0A0'0100'0000ull;
}  // namespace

const char* TxTypeName(TxType type) {
    switch (type) {
        case TxType::QuadletRead:
            return "quadlet read";
        case TxType::QuadletWrite:
            return "quadlet write";
        case TxType::BlockRead:
            return "block read";
        case TxType::BlockWrite:
            return "block write";
    }
    return "?";
}

struct SimBus::Node {
    UInt64 guid = 0;
    UInt16 nodeID = 0;
    bool present = true;
    std::vector<UnitDirectory> units;
    std::unique_ptr<KyUnitModel> ky;
    NodeFaults faults;
    std::vector<TxFault> txFaults;
    std::string deviceNode;
    std::string lockFile;
    NodeHold hold;
};

namespace {

bool Matches(const TxMatch& m, TxType type, UInt64 offset) {
    return (!m.type || *m.type == type) && (!m.offset || *m.offset == offset);
}

}  // namespace

std::shared_ptr<SimBus> SimBus::Create(ky::Clock& clock) {
    return std::shared_ptr<SimBus>(new SimBus(clock));
}

SimBus::SimBus(ky::Clock& clock) : mClock(clock) {}

SimBus::Node* SimBus::Find(UInt64 guid) {
    for (auto& n : mNodes)
        if (n->guid == guid) return n.get();
    return nullptr;
}

const SimBus::Node* SimBus::Find(UInt64 guid) const {
    return const_cast<SimBus*>(this)->Find(guid);
}

SimBus::Node* SimBus::FindPresentByNodeID(UInt16 nodeID) {
    for (auto& n : mNodes)
        if (n->present && n->nodeID == nodeID) return n.get();
    return nullptr;
}

UInt64 SimBus::Plug(std::unique_ptr<Node> node, UInt64 guid) {
    std::lock_guard lock(mMutex);
    node->guid = guid ? guid : kFirstGuid + mNodes.size();
    if (Find(node->guid)) throw std::invalid_argument("GUID already on the simulated bus");
    node->nodeID = static_cast<UInt16>(kFirstNodeID + mNodes.size());
    mNodes.push_back(std::move(node));
    ++mGeneration;  // plugging a node resets the bus
    return mNodes.back()->guid;
}

UInt64 SimBus::AddKy(KyIdentity identity, UInt64 guid) {
    auto node = std::make_unique<Node>();
    node->units = {{0xA27, 0x11}};
    node->ky = std::make_unique<KyUnitModel>(mClock, std::move(identity));
    return Plug(std::move(node), guid);
}

UInt64 SimBus::AddNode(std::vector<UnitDirectory> units, UInt64 guid) {
    auto node = std::make_unique<Node>();
    node->units = std::move(units);
    return Plug(std::move(node), guid);
}

void SimBus::Unplug(UInt64 guid) {
    std::lock_guard lock(mMutex);
    if (Node* n = Find(guid)) n->present = false;
    ++mGeneration;
}

void SimBus::Replug(UInt64 guid) {
    std::lock_guard lock(mMutex);
    if (Node* n = Find(guid)) n->present = true;
    ++mGeneration;
}

void SimBus::BusReset() {
    std::lock_guard lock(mMutex);
    ++mGeneration;
}

UInt32 SimBus::Generation() const {
    std::lock_guard lock(mMutex);
    return mGeneration;
}

void SimBus::FailLookups(IOReturn status) {
    std::lock_guard lock(mMutex);
    mLookupStatus = status;
}

void SimBus::SetDeviceNode(UInt64 guid, std::string path, std::string lockFile) {
    std::lock_guard lock(mMutex);
    if (Node* n = Find(guid)) {
        n->deviceNode = std::move(path);
        n->lockFile = std::move(lockFile);
    }
}

void SimBus::SetHold(UInt64 guid, NodeHold hold) {
    std::lock_guard lock(mMutex);
    if (Node* n = Find(guid)) n->hold = std::move(hold);
}

NodeHold SimBus::HoldOf(UInt64 guid) const {
    std::lock_guard lock(mMutex);
    const Node* n = Find(guid);
    return n ? n->hold : NodeHold{};
}

KyUnitModel& SimBus::Ky(UInt64 guid) {
    std::lock_guard lock(mMutex);
    Node* n = Find(guid);
    if (!n || !n->ky) throw std::invalid_argument("no simulated Ky with that GUID");
    return *n->ky;
}

NodeFaults& SimBus::Faults(UInt64 guid) {
    std::lock_guard lock(mMutex);
    Node* n = Find(guid);
    if (!n) throw std::invalid_argument("no simulated node with that GUID");
    return n->faults;
}

void SimBus::AddFault(UInt64 guid, TxFault fault) {
    std::lock_guard lock(mMutex);
    if (Node* n = Find(guid)) n->txFaults.push_back(fault);
}

void SimBus::ClearFaults(UInt64 guid) {
    std::lock_guard lock(mMutex);
    if (Node* n = Find(guid)) {
        n->txFaults.clear();
        n->faults = {};
    }
}

std::vector<Transaction> SimBus::Transactions() const {
    std::lock_guard lock(mMutex);
    return mLog;
}

void SimBus::ClearTransactions() {
    std::lock_guard lock(mMutex);
    mLog.clear();
}

void SimBus::KeepTransactions(bool keep) {
    std::lock_guard lock(mMutex);
    mKeepLog = keep;
    if (!keep) mLog = {};
}

IOReturn SimBus::NodeStatus(UInt64 guid, IOReturn NodeFaults::*which) const {
    std::lock_guard lock(mMutex);
    const Node* n = Find(guid);
    if (!n || !n->present) return kIOReturnNoDevice;
    return n->faults.*which;
}

bool SimBus::NodeFlag(UInt64 guid, bool NodeFaults::*which) const {
    std::lock_guard lock(mMutex);
    const Node* n = Find(guid);
    return !n || !n->present || n->faults.*which;
}

IOReturn SimBus::GetMatchingServices(const FWLib::MatchingDictionary& match,
                                     std::vector<FWLib::io_service_t>& services) {
    if (mBeforeDiscovery) mBeforeDiscovery();
    std::lock_guard lock(mMutex);
    services.clear();
    if (mLookupStatus != kIOReturnSuccess) return mLookupStatus;
    for (const auto& n : mNodes) {
        if (!n->present) continue;
        for (std::size_t u = 0; u < n->units.size(); ++u) {
            if (n->units[u].unitSpecID != match.unitSpecID ||
                n->units[u].unitSWVersion != match.unitSWVersion)
                continue;
            const std::string node = "sim" + std::to_string(n->nodeID - kFirstNodeID);
            FWLib::UnitInfo info{node + "." + std::to_string(u),
                                 n->deviceNode.empty() ? node : n->deviceNode,
                                 n->guid,
                                 n->units[u].unitSpecID,
                                 n->units[u].unitSWVersion,
                                 "KY simulated",
                                 n->ky ? "Ky" : "other",
                                 n->lockFile,
                                 !n->deviceNode.empty()};
            services.push_back(MakeSimService(shared_from_this(), std::move(info), n->nodeID));
        }
    }
    return kIOReturnSuccess;
}

FWLib::BusSurvey SimBus::Survey() {
    std::lock_guard lock(mMutex);
    FWLib::BusSurvey survey{true, {}};
    for (const auto& n : mNodes) {
        if (!n->present) continue;
        FWLib::UnitInfo info;
        info.name = "sim" + std::to_string(n->nodeID - kFirstNodeID);
        info.deviceNode = n->deviceNode.empty() ? info.name : n->deviceNode;
        info.guid = n->guid;
        info.vendor = "KY simulated";
        info.model = n->ky ? "Ky" : "other";
        survey.nodes.push_back(std::move(info));
    }
    return survey;
}

TxFault* SimBus::MatchFault(Node& node, const Request& request) {
    TxFault* hit = nullptr;
    for (auto& f : node.txFaults) {
        if (!Matches(f.match, request.type, request.addr.Offset())) continue;
        ++f.seen;
        if (!hit && f.seen >= f.match.occurrence && f.seen < f.match.occurrence + f.match.count)
            hit = &f;
    }
    return hit;
}

IOReturn SimBus::Transact(const Request& request) {
    std::lock_guard lock(mMutex);
    Node* node = request.absolute ? FindPresentByNodeID(request.addr.nodeID) : Find(request.guid);
    if (!node || !node->present) return kIOReturnNoDevice;
    if (request.generation != mGeneration) return kIOFireWireBusReset;
    const TxFault* fault = MatchFault(*node, request);
    if (fault && fault->action == TxFault::Action::Vanish) {
        node->present = false;
        ++mGeneration;
        return kIOReturnNoDevice;
    }
    if (fault && fault->action == TxFault::Action::BusReset) {
        ++mGeneration;
        return kIOFireWireBusReset;
    }
    Transaction tx{request.type, node->nodeID, request.addr.Offset(), {}, mGeneration, 0};
    const bool fails = fault && fault->action == TxFault::Action::Fail;
    IOReturn status = (fails && !fault->applied) ? fault->status : Deliver(*node, request, tx);
    if (fails) status = fault->status;
    if (fails && !fault->applied && request.type == TxType::BlockRead) *request.size = 0;
    if (fault && fault->action == TxFault::Action::ReadsAs && request.type == TxType::QuadletRead &&
        status == kIOReturnSuccess) {
        const FWLib::Quadlet replaced = FWLib::ToBusOrder(fault->value);
        std::memcpy(request.readBuf, replaced.data(), 4);
        tx.data.assign(request.readBuf, request.readBuf + 4);
    }
    if (request.type == TxType::BlockWrite || request.type == TxType::QuadletWrite)
        tx.data.assign(request.writeBuf, request.writeBuf + *request.size);
    tx.status = status;
    if (mKeepLog) mLog.push_back(std::move(tx));
    return status;
}

IOReturn SimBus::Deliver(Node& node, const Request& request, Transaction& tx) {
    if (!node.ky) return kIOFireWireAddressError;
    const UInt64 offset = request.addr.Offset();
    IOReturn status = kIOReturnSuccess;
    switch (request.type) {
        case TxType::QuadletRead: {
            FWLib::Quadlet q{};
            status = node.ky->ReadQuadlet(offset, q);
            if (status == kIOReturnSuccess) std::memcpy(request.readBuf, q.data(), 4);
            break;
        }
        case TxType::QuadletWrite: {
            FWLib::Quadlet q{};
            std::memcpy(q.data(), request.writeBuf, 4);
            status = node.ky->WriteQuadlet(offset, q);
            break;
        }
        case TxType::BlockRead:
            status = node.ky->ReadBlock(offset, request.readBuf, *request.size);
            break;
        case TxType::BlockWrite:
            status = node.ky->WriteBlock(offset, request.writeBuf, *request.size);
            break;
    }
    if (status == kIOReturnSuccess && request.type == TxType::QuadletRead)
        tx.data.assign(request.readBuf, request.readBuf + 4);
    if (status == kIOReturnSuccess && request.type == TxType::BlockRead)
        tx.data.assign(request.readBuf, request.readBuf + *request.size);
    return status;
}

}  // namespace kysim
