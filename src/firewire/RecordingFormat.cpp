#include "firewire/RecordingFormat.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <optional>

#include "base/Translate.h"

namespace FWLib {

std::string HexText(const UInt8* bytes, std::size_t size) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) {
        text.push_back(kDigits[bytes[i] >> 4]);
        text.push_back(kDigits[bytes[i] & 0xF]);
    }
    return text;
}

std::string ImageHash(const UInt8* bytes, std::size_t size) {
    UInt64 hash = 0xcbf29ce484222325ull;
    for (std::size_t i = 0; i < size; ++i) hash = (hash ^ bytes[i]) * 0x100000001b3ull;
    return GuidText(hash);  // the same 16 digits
}

std::string TextJson(const std::string& text) {
    try {
        return nlohmann::json(text).dump();  // refuses bytes that are not UTF-8
    } catch (const nlohmann::json::type_error&) {
        const auto* bytes = reinterpret_cast<const UInt8*>(text.data());
        return nlohmann::ordered_json{{"bytes", HexText(bytes, text.size())}}.dump();
    }
}

namespace {

using nlohmann::json;

constexpr UInt32 kMaxRequestBytes = 4096;

// How far past its limit each half of a wait for a restart (for the Ky to
// leave, then to come back) may run: the reading that ends it comes after
// one more pause between looks (0.25 s) and one more look at the bus, whose
// transactions are bounded by the response time-out (3 s) and the ride-out
// of bus resets (2.5 s each, at most four). Five minutes is far above that.
constexpr std::uint64_t kHalfWaitMarginMicros = 300'000'000;
constexpr long long kLongestWaitSeconds = 86400;

// The longest a wait for a restart of `waitSeconds` can read on its clock.
std::uint64_t LongestWaitMicros(std::uint64_t waitSeconds) {
    return 2 * (waitSeconds * 1'000'000 + kHalfWaitMarginMicros);
}

// No run waits longer between two events than its longest wait for a
// restart; a recording that says so would have --replay-timing sleep that long.
const long long kLongestGapMicros = static_cast<long long>(LongestWaitMicros(kLongestWaitSeconds));

struct BadLine {
    std::string why;
};

const json& Field(const json& j, const char* name, json::value_t type) {
    const auto it = j.find(name);
    const bool numeric = type == json::value_t::number_integer;
    if (it == j.end() || (numeric ? !it->is_number_integer() : it->type() != type))
        // TRANSLATORS: {1} is the name of a field of a recording's line, as len.
        throw BadLine{ky::Fill(ky::Tr("\"{1}\" is missing or of the wrong type"), {name})};
    return *it;
}

long long Integer(const json& j, const char* name, long long min, long long max) {
    const long long v = Field(j, name, json::value_t::number_integer).get<long long>();
    if (v < min || v > max) throw BadLine{ky::Fill(ky::Tr("\"{1}\" is out of range"), {name})};
    return v;
}

UInt64 HexNumber(const std::string& text) {
    UInt64 value = 0;
    const char* begin = text.data() + (text.starts_with("0x") ? 2 : 0);
    const auto [end, ec] = std::from_chars(begin, text.data() + text.size(), value, 16);
    if (ec != std::errc() || end != text.data() + text.size() || begin == end)
        throw BadLine{ky::Fill(ky::Tr("\"{1}\" is not a hexadecimal number"), {text})};
    return value;
}

std::vector<UInt8> HexBytes(const std::string& text, std::size_t max) {
    if (text.size() % 2 || text.size() / 2 > max)
        throw BadLine{ky::Tr("hexadecimal data of a wrong length")};
    std::vector<UInt8> bytes(text.size() / 2);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const auto [end, ec] =
            std::from_chars(text.data() + 2 * i, text.data() + 2 * i + 2, bytes[i], 16);
        if (ec != std::errc() || end != text.data() + 2 * i + 2)
            throw BadLine{ky::Tr("not hexadecimal data")};
    }
    return bytes;
}

// A text field: a string, or {"bytes": "<hex>"} for text that is not UTF-8.
std::string Text(const json& j, const char* name) {
    const auto it = j.find(name);
    if (it != j.end() && it->is_object() && it->size() == 1 && it->contains("bytes") &&
        (*it)["bytes"].is_string()) {
        const auto bytes = HexBytes((*it)["bytes"].get<std::string>(), SIZE_MAX);
        return std::string(bytes.begin(), bytes.end());
    }
    return Field(j, name, json::value_t::string).get<std::string>();
}

std::vector<UnitInfo> Units(const json& list) {
    if (!list.is_array()) throw BadLine{ky::Tr("units are not a list")};
    std::vector<UnitInfo> units;
    for (const auto& u : list) {
        if (!u.is_object()) throw BadLine{ky::Tr("a unit is not an object")};
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
        throw BadLine{ky::Fill(ky::Tr("unknown request kind \"{1}\""), {e.kind})};
    e.addr = HexNumber(Text(j, "addr"));
    e.length = static_cast<UInt32>(Integer(j, "len", 0, kMaxRequestBytes));
    e.generation = static_cast<UInt32>(Integer(j, "generation", 0, 0xFFFFFFFF));
    if (j.contains("fnv1a")) {
        e.fnv1a = Text(j, "fnv1a");
    } else if (j.contains("data")) {
        e.data = Text(j, "data");
        if (HexBytes(e.data, e.length).size() != e.length)
            throw BadLine{ky::Tr("the data is not as long as the request")};
    }
    if (j.contains("reply")) e.reply = HexBytes(Text(j, "reply"), e.length);
}

// The events of a wait for a restart; false for any other.
bool ReadRestartEvent(const json& j, RecordedEvent& e) {
    if (e.ev == "restart")
        e.waitSeconds = static_cast<unsigned>(Integer(j, "wait_seconds", 1, kLongestWaitSeconds));
    else if (e.ev == "clock")
        e.clock = static_cast<std::uint64_t>(Integer(j, "now", 0, INT64_MAX));
    else if (e.ev != "stop")
        return false;
    return true;
}

RecordedEvent ReadEvent(const json& j, int version) {
    if (!j.is_object()) throw BadLine{ky::Tr("not a JSON object")};
    RecordedEvent e;
    e.ev = Text(j, "ev");
    e.micros = static_cast<std::uint64_t>(Integer(j, "t", 0, kLongestGapMicros));
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
        if (version >= 3) e.unit = Text(j, "unit");
        e.status = static_cast<IOReturn>(Integer(j, "status", INT32_MIN, INT32_MAX));
        e.generation = static_cast<UInt32>(Integer(j, "generation", 0, 0xFFFFFFFF));
    } else if (e.ev == "request") {
        if (version >= 3) e.unit = Text(j, "unit");
        e.status = static_cast<IOReturn>(Integer(j, "status", INT32_MIN, INT32_MAX));
        ReadRequest(j, e);
    } else if (!ReadRestartEvent(j, e)) {
        throw BadLine{ky::Fill(ky::Tr("unknown event \"{1}\""), {e.ev})};
    }
    return e;
}

int ReadHeader(const json& j) {
    if (!j.is_object() || !j.contains("format") || j["format"] != "kyfw-recording")
        throw BadLine{ky::Tr("not a kyfw recording")};
    const json version = j.value("version", json());
    if (!version.is_number_integer() || version < 1 || version > kRecordingFormatVersion)
        throw BadLine{ky::Fill(ky::Tr("recording format version {1}, this kyfw reads versions 1 "
                                      "to {2} (a number)"),
                               {version.dump(), std::to_string(kRecordingFormatVersion)})};
    return version.get<int>();
}

// The clock of a wait for a restart, as far as the recording has read it.
struct WaitClock {
    std::optional<std::uint64_t> longest;  // in a wait: what its clock may read
    std::uint64_t last = 0;
};

// A clock reading belongs to a wait, never runs backwards and stays within
// what the wait could take.
void CheckClock(WaitClock& wait, const RecordedEvent& e) {
    if (e.ev == "restart") wait = {LongestWaitMicros(e.waitSeconds), 0};
    if (e.ev != "clock") return;
    const std::string now = std::to_string(e.clock);
    if (!wait.longest) throw BadLine{ky::Tr("a clock reading outside a wait for a restart")};
    if (e.clock < wait.last)
        throw BadLine{ky::Fill(ky::Tr("the clock runs backwards, from {1} to {2} microseconds"),
                               {std::to_string(wait.last), now})};
    if (e.clock > *wait.longest)
        throw BadLine{ky::Fill(ky::Tr("the clock reads {1} microseconds, more than its wait for "
                                      "a restart could take"),
                               {now})};
    wait.last = e.clock;
}

// "line 7", before what is wrong in it.
std::string LineText(std::size_t line) {
    return ky::Fill(ky::Tr("line {1}"), {std::to_string(line)});
}

// Before version 3 bus generations and requests name no unit: each went
// to the unit last given an interface or opened (older programs wrote one
// unit at a time).
void InferUnits(std::vector<RecordedEvent>& events) {
    std::string unit;
    for (auto& e : events) {
        if (e.ev == "interface" || e.ev == "open") unit = e.unit;
        if (e.ev == "generation" || e.ev == "request") e.unit = unit;
    }
}

}  // namespace

ky::Result<ParsedRecording> ParseRecording(std::string_view text) {
    ParsedRecording parsed;
    auto& events = parsed.events;
    int& read = parsed.version;
    std::size_t line = 0;
    bool header = false;  // the first line that is not blank
    WaitClock wait;
    while (!text.empty()) {
        ++line;
        const std::size_t nl = text.find('\n');
        const std::string_view body = text.substr(0, nl);
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
        if (body.empty()) continue;
        try {
            const json j = json::parse(body, nullptr, false);
            if (j.is_discarded())
                throw BadLine{
                    ky::Tr("not one JSON object (a recording cut off here, or bytes after it?)")};
            if (!header) {
                read = ReadHeader(j);
                header = true;
                continue;
            }
            events.push_back(ReadEvent(j, read));
            events.back().line = line;
            CheckClock(wait, events.back());
        } catch (const BadLine& bad) {
            return ky::Error(bad.why).In(LineText(line));
        } catch (const json::exception& e) {
            return ky::Error(e.what()).In(LineText(line));
        }
    }
    if (!header)
        return ky::Error(ky::Tr("the recording is empty"))
            .In(LineText(std::max<std::size_t>(line, 1)));
    if (read < 3) InferUnits(events);
    return parsed;
}

std::string DescribeCall(const RecordedEvent& e) {
    const std::string unit = e.unit.empty() ? "" : " " + e.unit;
    if (e.ev != "request") return e.ev + unit;
    char addr[24];
    std::snprintf(addr, sizeof addr, "0x%012llx", static_cast<unsigned long long>(e.addr));
    std::string text = e.kind + " " + addr + " len " + std::to_string(e.length);
    if (!e.data.empty()) text += " data " + e.data;
    if (!e.fnv1a.empty()) text += " fnv1a " + e.fnv1a;
    return unit.empty() ? text : text + " on" + unit;
}

}  // namespace FWLib
