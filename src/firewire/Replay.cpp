#include "firewire/Replay.h"

#include "firewire/Recording.h"

#include <charconv>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

namespace FWLib {

namespace {

using nlohmann::json;

constexpr UInt32 kMaxRequestBytes = 4096;

struct BadLine {
    std::string why;
};

const json& Field(const json& j, const char* name, json::value_t type) {
    const auto it = j.find(name);
    const bool numeric = type == json::value_t::number_integer;
    if (it == j.end() || (numeric ? !it->is_number_integer() : it->type() != type))
        throw BadLine{std::string("\"") + name + "\" is missing or of the wrong type"};
    return *it;
}

std::string Text(const json& j, const char* name) {
    return Field(j, name, json::value_t::string).get<std::string>();
}

long long Integer(const json& j, const char* name, long long min, long long max) {
    const long long v = Field(j, name, json::value_t::number_integer).get<long long>();
    if (v < min || v > max) throw BadLine{std::string("\"") + name + "\" is out of range"};
    return v;
}

UInt64 HexNumber(const std::string& text) {
    UInt64 value = 0;
    const char* begin = text.data() + (text.starts_with("0x") ? 2 : 0);
    const auto [end, ec] = std::from_chars(begin, text.data() + text.size(), value, 16);
    if (ec != std::errc() || end != text.data() + text.size() || begin == end)
        throw BadLine{"\"" + text + "\" is not a hexadecimal number"};
    return value;
}

std::vector<UInt8> HexBytes(const std::string& text, std::size_t max) {
    if (text.size() % 2 || text.size() / 2 > max)
        throw BadLine{"hexadecimal data of a wrong length"};
    std::vector<UInt8> bytes(text.size() / 2);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const auto [end, ec] =
            std::from_chars(text.data() + 2 * i, text.data() + 2 * i + 2, bytes[i], 16);
        if (ec != std::errc() || end != text.data() + 2 * i + 2)
            throw BadLine{"not hexadecimal data"};
    }
    return bytes;
}

std::vector<UnitInfo> Units(const json& list) {
    if (!list.is_array()) throw BadLine{"units are not a list"};
    std::vector<UnitInfo> units;
    for (const auto& u : list) {
        if (!u.is_object()) throw BadLine{"a unit is not an object"};
        UnitInfo info;
        info.name = Text(u, "name");
        info.deviceNode = Text(u, "node");
        info.guid = HexNumber(Text(u, "guid"));
        info.unitSpecID = static_cast<UInt32>(Integer(u, "unit_spec_id", 0, 0xFFFFFF));
        info.unitSWVersion = static_cast<UInt32>(Integer(u, "unit_sw_version", 0, 0xFFFFFF));
        info.vendor = Text(u, "vendor");
        info.model = Text(u, "model");
        info.deviceFileHere = false;
        units.push_back(std::move(info));
    }
    return units;
}

void ReadRequest(const json& j, RecordedEvent& e) {
    e.kind = Text(j, "kind");
    if (e.kind != "qread" && e.kind != "qwrite" && e.kind != "bread" && e.kind != "bwrite")
        throw BadLine{"unknown request kind \"" + e.kind + "\""};
    e.addr = HexNumber(Text(j, "addr"));
    e.length = static_cast<UInt32>(Integer(j, "len", 0, kMaxRequestBytes));
    e.generation = static_cast<UInt32>(Integer(j, "generation", 0, 0xFFFFFFFF));
    if (j.contains("fnv1a")) {
        e.fnv1a = Text(j, "fnv1a");
    } else if (j.contains("data")) {
        e.data = Text(j, "data");
        if (HexBytes(e.data, e.length).size() != e.length)
            throw BadLine{"the data is not as long as the request"};
    }
    if (j.contains("reply")) e.reply = HexBytes(Text(j, "reply"), e.length);
}

RecordedEvent ReadEvent(const json& j) {
    if (!j.is_object()) throw BadLine{"not a JSON object"};
    RecordedEvent e;
    e.ev = Text(j, "ev");
    e.micros = static_cast<std::uint64_t>(Integer(j, "t", 0, 3'600'000'000LL));
    if (e.ev == "discovery") {
        e.status = static_cast<IOReturn>(Integer(j, "status", INT32_MIN, INT32_MAX));
        e.units = Units(Field(j, "units", json::value_t::array));
    } else if (e.ev == "survey") {
        e.controller = Field(j, "controller", json::value_t::boolean).get<bool>();
        e.units = Units(Field(j, "nodes", json::value_t::array));
    } else if (e.ev == "plugin" || e.ev == "interface" || e.ev == "open" || e.ev == "close") {
        e.unit = Text(j, "unit");
        if (e.ev != "close")
            e.status = static_cast<IOReturn>(Integer(j, "status", INT32_MIN, INT32_MAX));
    } else if (e.ev == "generation") {
        e.status = static_cast<IOReturn>(Integer(j, "status", INT32_MIN, INT32_MAX));
        e.generation = static_cast<UInt32>(Integer(j, "generation", 0, 0xFFFFFFFF));
    } else if (e.ev == "request") {
        e.status = static_cast<IOReturn>(Integer(j, "status", INT32_MIN, INT32_MAX));
        ReadRequest(j, e);
    } else {
        throw BadLine{"unknown event \"" + e.ev + "\""};
    }
    return e;
}

void ReadHeader(const json& j) {
    if (!j.is_object() || j.value("format", "") != "kyfw-recording")
        throw BadLine{"not a kyfw recording"};
    if (j.value("version", 0) != 1)
        throw BadLine{"recording format version " + j.value("version", json()).dump() +
                      ", this kyfw reads version 1"};
}

}  // namespace

bool ParseRecording(std::string_view text, std::vector<RecordedEvent>& events, std::string& error) {
    events.clear();
    std::size_t line = 0;
    while (!text.empty()) {
        ++line;
        const std::size_t nl = text.find('\n');
        const std::string_view body = text.substr(0, nl);
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
        if (body.empty()) continue;
        try {
            const json j = json::parse(body, nullptr, false);
            if (j.is_discarded()) throw BadLine{"not JSON (a recording cut off here?)"};
            if (line == 1) {
                ReadHeader(j);
                continue;
            }
            events.push_back(ReadEvent(j));
            events.back().line = line;
        } catch (const BadLine& bad) {
            error = "line " + std::to_string(line) + ": " + bad.why;
            return false;
        } catch (const json::exception& e) {
            error = "line " + std::to_string(line) + ": " + e.what();
            return false;
        }
    }
    if (line == 0) error = "line 1: the recording is empty";
    return line > 0;
}

std::string DescribeCall(const RecordedEvent& e) {
    if (e.ev != "request") return e.ev + (e.unit.empty() ? "" : " " + e.unit);
    char addr[24];
    std::snprintf(addr, sizeof addr, "0x%012llx", static_cast<unsigned long long>(e.addr));
    std::string text = e.kind + " " + addr + " len " + std::to_string(e.length);
    if (!e.data.empty()) text += " data " + e.data;
    if (!e.fnv1a.empty()) text += " fnv1a " + e.fnv1a;
    return text;
}

namespace {

class Replay final : public ReplayBus, public std::enable_shared_from_this<Replay> {
public:
    Replay(std::vector<RecordedEvent> events, bool timing)
        : mEvents(std::move(events)), mTiming(timing) {}

    // The next recorded event if it is the call `made`; null (and the
    // replay stopped) otherwise.
    const RecordedEvent* Take(const RecordedEvent& made) {
        std::lock_guard lock(mMutex);
        if (!mMismatch.empty()) return nullptr;
        const RecordedEvent* next = mNext < mEvents.size() ? &mEvents[mNext] : nullptr;
        if (!next || !Same(*next, made)) {
            mMismatch =
                "the replay differs from the recording" +
                (next ? " at line " + std::to_string(next->line) : std::string(" after its end")) +
                ":\n  recorded: " + (next ? DescribeCall(*next) : "(nothing more)") +
                "\n  made:     " + DescribeCall(made);
            return nullptr;
        }
        ++mNext;
        if (mTiming) std::this_thread::sleep_for(std::chrono::microseconds(next->micros));
        return next;
    }

    IOReturn GetMatchingServices(const MatchingDictionary&,
                                 std::vector<io_service_t>& services) override;
    BusSurvey Survey() override {
        RecordedEvent made;
        made.ev = "survey";
        const RecordedEvent* e = Take(made);
        return e ? BusSurvey{e->controller, e->units} : BusSurvey{};
    }
    std::string Finish() override {
        std::lock_guard lock(mMutex);
        if (mMismatch.empty() && mNext < mEvents.size())
            mMismatch = "the replay differs from the recording at line " +
                        std::to_string(mEvents[mNext].line) +
                        ":\n  recorded: " + DescribeCall(mEvents[mNext]) +
                        "\n  made:     (nothing more)";
        return mMismatch;
    }

private:
    static bool Same(const RecordedEvent& r, const RecordedEvent& m) {
        if (r.ev != m.ev || (!m.unit.empty() && r.unit != m.unit)) return false;
        if (r.ev != "request") return true;
        return r.kind == m.kind && r.addr == m.addr && r.length == m.length && r.data == m.data &&
               r.fnv1a == m.fnv1a;
    }

    mutable std::mutex mMutex;
    std::vector<RecordedEvent> mEvents;
    std::size_t mNext = 0;
    bool mTiming;
    std::string mMismatch;
};

constexpr IOReturn kStopped = kIOReturnNotResponding;

class ReplayDevice final : public DeviceInterface {
public:
    ReplayDevice(std::shared_ptr<Replay> replay, std::string unit)
        : mReplay(std::move(replay)), mUnit(std::move(unit)) {}
    UInt32 GetDevice() const override { return 1; }
    IOReturn Open() override { return Simple("open"); }
    void Close() override { Simple("close"); }
    IOReturn GetBusGeneration(UInt32& generation) override {
        RecordedEvent made;
        made.ev = "generation";
        const RecordedEvent* e = mReplay->Take(made);
        if (!e) return kStopped;
        generation = e->generation;
        return e->status;
    }
    IOReturn Read(UInt32, const FWAddressStruct& addr, void* buf, UInt32& size, bool,
                  UInt32) override {
        return Request("bread", addr, size, nullptr, static_cast<UInt8*>(buf), &size);
    }
    IOReturn Write(UInt32, const FWAddressStruct& addr, const void* buf, UInt32& size, bool,
                   UInt32) override {
        return Request("bwrite", addr, size, static_cast<const UInt8*>(buf), nullptr, nullptr);
    }
    IOReturn ReadQuadlet(UInt32, const FWAddressStruct& addr, Quadlet& value, bool,
                         UInt32) override {
        return Request("qread", addr, 4, nullptr, value.data(), nullptr);
    }
    IOReturn WriteQuadlet(UInt32, const FWAddressStruct& addr, const Quadlet& value, bool,
                          UInt32) override {
        return Request("qwrite", addr, 4, value.data(), nullptr, nullptr);
    }

private:
    IOReturn Simple(const char* ev) {
        RecordedEvent made;
        made.ev = ev;
        made.unit = mUnit;
        const RecordedEvent* e = mReplay->Take(made);
        return e ? e->status : kStopped;
    }
    IOReturn Request(const char* kind, const FWAddressStruct& addr, UInt32 length, const UInt8* out,
                     UInt8* in, UInt32* got) {
        RecordedEvent made;
        made.ev = "request";
        made.kind = kind;
        made.addr = addr.Offset();
        made.length = length;
        if (out && length > kLiteralBlockBytes) made.fnv1a = ImageHash(out, length);
        if (out && length <= kLiteralBlockBytes) made.data = HexText(out, length);
        const RecordedEvent* e = mReplay->Take(made);
        if (!e) return kStopped;
        if (in && e->status == kIOReturnSuccess) {
            const std::size_t n = std::min<std::size_t>(e->reply.size(), length);
            std::copy(e->reply.begin(), e->reply.begin() + static_cast<long>(n), in);
            if (got) *got = static_cast<UInt32>(n);
        }
        return e->status;
    }

    std::shared_ptr<Replay> mReplay;
    std::string mUnit;
};

class ReplayPlugIn final : public PlugInInterface {
public:
    ReplayPlugIn(std::shared_ptr<Replay> replay, std::string unit)
        : mReplay(std::move(replay)), mUnit(std::move(unit)) {}
    IOReturn QueryInterface(std::unique_ptr<DeviceInterface>& device) override {
        RecordedEvent made;
        made.ev = "interface";
        made.unit = mUnit;
        const RecordedEvent* e = mReplay->Take(made);
        if (!e) return kStopped;
        if (e->status == kIOReturnSuccess) device = std::make_unique<ReplayDevice>(mReplay, mUnit);
        return e->status;
    }

private:
    std::shared_ptr<Replay> mReplay;
    std::string mUnit;
};

class ReplayService final : public Service {
public:
    ReplayService(std::shared_ptr<Replay> replay, UnitInfo info)
        : mReplay(std::move(replay)), mInfo(std::move(info)) {}
    const UnitInfo& Info() const override { return mInfo; }
    IOReturn CreatePlugInInterface(std::unique_ptr<PlugInInterface>& plugIn) const override {
        RecordedEvent made;
        made.ev = "plugin";
        made.unit = mInfo.name;
        const RecordedEvent* e = mReplay->Take(made);
        if (!e) return kStopped;
        if (e->status == kIOReturnSuccess)
            plugIn = std::make_unique<ReplayPlugIn>(mReplay, mInfo.name);
        return e->status;
    }

private:
    std::shared_ptr<Replay> mReplay;
    UnitInfo mInfo;
};

IOReturn Replay::GetMatchingServices(const MatchingDictionary&,
                                     std::vector<io_service_t>& services) {
    services.clear();
    RecordedEvent made;
    made.ev = "discovery";
    const RecordedEvent* e = Take(made);
    if (!e) return kStopped;
    for (const auto& unit : e->units)
        services.push_back(std::make_shared<ReplayService>(shared_from_this(), unit));
    return e->status;
}

}  // namespace

std::shared_ptr<ReplayBus> MakeReplayBus(std::vector<RecordedEvent> events, bool timing) {
    return std::make_shared<Replay>(std::move(events), timing);
}

}  // namespace FWLib
