#include "engine/BitFile.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "base/FirmwareMarks.h"
#include "base/Text.h"
#include "base/Translate.h"

namespace ky {

namespace {

constexpr std::array<UInt8, 13> kBitPreamble = {0x00, 0x09, 0x0F, 0xF0, 0x0F, 0xF0, 0x0F,
                                                0xF0, 0x0F, 0xF0, 0x00, 0x00, 0x01};
// The sync words are looked for at positions 0 to 143.
constexpr int kSyncSearchPositions = 144;

UInt32 Be32(const UInt8* p) {
    return (UInt32{p[0]} << 24) | (UInt32{p[1]} << 16) | (UInt32{p[2]} << 8) | p[3];
}

// Reads key, 16-bit length and a NUL-terminated text at `pos`; `what` is
// the field's name, in the user's language.
Done ReadTextField(std::span<const UInt8> f, std::size_t& pos, char key, const char* what,
                   std::string& out) {
    const std::string k(1, key);
    if (pos + 3 > f.size())
        return Error(Fill(
            // TRANSLATORS: {1} is a field's key letter, as b, {2} its name, as "part name".
            Tr("field '{1}' ({2}) is missing: the file ends at {3}"),
            {k, what, std::to_string(f.size())}));
    if (f[pos] != UInt8(key))
        return Error(Fill(
            // TRANSLATORS: {1} is a field's key letter, as b, {2} its name, as "part name".
            Tr("field '{1}' ({2}) expected at offset {3}, found key {4}"),
            {k, what, std::to_string(pos), Hex(f[pos], 2)}));
    const std::size_t n = (std::size_t{f[pos + 1]} << 8) | f[pos + 2];
    pos += 3;
    if (n == 0 || pos + n > f.size())
        return Error(Fill(
            // TRANSLATORS: {1} is a field's key letter, as b, {2} its name, as "part name".
            Tr("field '{1}' ({2}) of {3} bytes runs past the end of the file"),
            {k, what, std::to_string(n)}));
    if (f[pos + n - 1] != 0)
        return Error(Fill(
            // TRANSLATORS: {1} is a field's key letter, as b, {2} its name, as "part name".
            Tr("field '{1}' ({2}) is not NUL-terminated"), {k, what}));
    const char* text = reinterpret_cast<const char*>(f.data() + pos);
    out.assign(text, std::strlen(text));
    pos += n;
    return {};
}

Done ReadConfiguration(std::span<const UInt8> f, std::size_t pos, BitFileInfo& info) {
    if (pos + 5 > f.size() || f[pos] != 'e')
        return Error(Fill(Tr("field 'e' (configuration length) expected at offset {1}"),
                          {std::to_string(pos)}));
    info.configLength = Be32(f.data() + pos + 1);
    info.configOffset = static_cast<UInt32>(pos + 5);
    const std::size_t follows = f.size() - info.configOffset;
    const std::string at = std::to_string(info.configOffset);
    if (info.configLength != follows)
        return Error(Fill(Tr("field 'e' records {1} bytes of configuration data but {2} follow"),
                          {std::to_string(info.configLength), std::to_string(follows)}));
    if (follows < kXilinxSyncWords.size() ||
        !std::equal(kXilinxSyncWords.begin(), kXilinxSyncWords.end(), f.begin() + pos + 5))
        return Error(Fill(Tr("configuration data at offset {1} does not begin with the sync "
                             "words FF FF FF FF AA 99 55 66"),
                          {at}));
    const auto found = FindConfiguration(f);
    if (!found || UInt32(found->offset) != info.configOffset)
        return Error(Fill(Tr("configuration data at offset {1} lies beyond position 143, where "
                             "the updater looks for it"),
                          {at}));
    info.version = XilinxVersionIn(f.subspan(info.configOffset, follows));
    return {};
}

}  // namespace

Result<BitFileInfo> ReadBitFile(std::span<const UInt8> f) {
    if (f.size() < kBitPreamble.size() ||
        !std::equal(kBitPreamble.begin(), kBitPreamble.end(), f.begin()))
        return Error(Tr("the .bit preamble (00 09 0F F0 ... 00 00 01) is missing"));
    BitFileInfo info;
    std::size_t pos = kBitPreamble.size();
    const struct {
        char key;
        const char* what;
        std::string& out;
    } fields[] = {
        // TRANSLATORS: this and the next three name the text fields of an FPGA .bit file.
        {'a', N_("design name"), info.design},
        {'b', N_("part name"), info.part},
        // TRANSLATORS: the day an FPGA .bit file was made.
        {'c', N_("date"), info.date},
        // TRANSLATORS: the time of day an FPGA .bit file was made.
        {'d', N_("time"), info.time},
    };
    for (const auto& field : fields)
        if (Done read = ReadTextField(f, pos, field.key, Tr(field.what), field.out); !read)
            return read.Failure();
    if (Done read = ReadConfiguration(f, pos, info); !read) return read.Failure();
    return info;
}

std::optional<Configuration> FindConfiguration(std::span<const UInt8> file) {
    const int words = static_cast<int>(kXilinxSyncWords.size());
    const int last = std::min(kSyncSearchPositions, static_cast<int>(file.size()) - words + 1);
    for (int offset = 0; offset < last; ++offset) {
        if (std::memcmp(file.data() + offset, kXilinxSyncWords.data(), words) != 0) continue;
        const auto length = LengthBefore(file.data(), offset);
        if (!length) return std::nullopt;
        return Configuration{offset, *length};
    }
    return std::nullopt;
}

std::optional<int> LengthBefore(const UInt8* file, int at) {
    // A signature earlier than position 4 has no length and the file is
    // unusable.
    if (at < 4) return std::nullopt;
    return static_cast<int>(Be32(file + at - 4));
}

}  // namespace ky
