// Writes the two firmware images built into the updater:
//   KyXilinx.bit  the FPGA configuration as a Xilinx .bit file (336754 bytes)
//   Ky_MCORE.s19  the MCORE firmware as Motorola S-records (71260 bytes)
// The contents are deterministic: the same bytes on every machine and run.
// Each image names the version it installs where the Ky reads it:
// "KYFPGA_v6" near the start of the configuration data, "_v2" in the S0
// header text.
//
// usage: make_images OUTPUT_DIR

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

constexpr unsigned kXilinxVersion = 6;
constexpr unsigned kMcoreVersion = 2;
constexpr std::size_t kBitFileBytes = 336754;
constexpr std::size_t kSRecordBytes = 71260;
constexpr std::size_t kFullRecordBytes = 28;

// A small deterministic generator for the payload (xorshift32).
class Noise {
public:
    explicit Noise(std::uint32_t seed) : mState(seed) {}
    std::uint8_t Next() {
        mState ^= mState << 13;
        mState ^= mState >> 17;
        mState ^= mState << 5;
        return static_cast<std::uint8_t>(mState >> 24);
    }

private:
    std::uint32_t mState;
};

void Put16(std::vector<std::uint8_t>& out, std::uint16_t v) {
    out.push_back(static_cast<std::uint8_t>(v >> 8));
    out.push_back(static_cast<std::uint8_t>(v));
}

void Put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    Put16(out, static_cast<std::uint16_t>(v >> 16));
    Put16(out, static_cast<std::uint16_t>(v));
}

void PutField(std::vector<std::uint8_t>& out, char key, const std::string& text) {
    out.push_back(static_cast<std::uint8_t>(key));
    Put16(out, static_cast<std::uint16_t>(text.size() + 1));
    out.insert(out.end(), text.begin(), text.end());
    out.push_back(0);
}

std::vector<std::uint8_t> MakeBitFile() {
    std::vector<std::uint8_t> out;
    Put16(out, 9);
    for (std::uint8_t b : {0x0F, 0xF0, 0x0F, 0xF0, 0x0F, 0xF0, 0x0F, 0xF0, 0x00}) out.push_back(b);
    Put16(out, 1);
    PutField(out, 'a', "kyio_v" + std::to_string(kXilinxVersion) + ".ncd");
    PutField(out, 'b', "2s200epq208");
    PutField(out, 'c', "2006/03/14");
    PutField(out, 'd', "11:42:07");
    const std::uint32_t configBytes = static_cast<std::uint32_t>(kBitFileBytes - out.size() - 5);
    out.push_back('e');
    Put32(out, configBytes);
    // Dummy word, sync word, a few configuration commands, then the marker.
    for (std::uint32_t word : {0xFFFFFFFFu, 0xAA995566u, 0x30008001u, 0x00000007u, 0x30016001u})
        Put32(out, word);
    const std::string marker = "KYFPGA_v" + std::to_string(kXilinxVersion);
    out.insert(out.end(), marker.begin(), marker.end());
    out.push_back(0);
    Noise noise(0x4B594650);
    while (out.size() < kBitFileBytes) out.push_back(noise.Next());
    return out;
}

std::string Hex(const std::vector<std::uint8_t>& bytes) {
    static const char* digits = "0123456789ABCDEF";
    std::string s;
    for (std::uint8_t b : bytes) {
        s.push_back(digits[b >> 4]);
        s.push_back(digits[b & 15]);
    }
    return s;
}

// One S-record: type, then count, address and data, then the checksum.
std::string Record(char type, std::uint32_t address, int addressBytes,
                   const std::vector<std::uint8_t>& data) {
    std::vector<std::uint8_t> body{static_cast<std::uint8_t>(addressBytes + data.size() + 1)};
    for (int i = addressBytes - 1; i >= 0; --i)
        body.push_back(static_cast<std::uint8_t>(address >> (8 * i)));
    body.insert(body.end(), data.begin(), data.end());
    unsigned sum = 0;
    for (std::uint8_t b : body) sum += b;
    body.push_back(static_cast<std::uint8_t>(~sum));
    return std::string("S") + type + Hex(body) + "\r\n";
}

// A stretch of code: `full` records of 28 bytes and one of `tail` bytes.
void AddStretch(std::string& text, std::uint32_t address, int full, int tail, Noise& noise) {
    for (int r = 0; r <= full; ++r) {
        const std::size_t n = r < full ? kFullRecordBytes : static_cast<std::size_t>(tail);
        if (n == 0) break;
        std::vector<std::uint8_t> data(n);
        for (auto& b : data) b = noise.Next();
        text += Record('3', address, 4, data);
        address += static_cast<std::uint32_t>(n);
    }
}

std::string MakeSRecords() {
    const std::string header = "KY_MCORE_v" + std::to_string(kMcoreVersion);
    std::string text = Record('0', 0, 2, {header.begin(), header.end()});
    Noise noise(0x4D434F52);
    AddStretch(text, 0x00000000, 700, 13, noise);  // boot code and vectors
    AddStretch(text, 0x00010000, 288, 8, noise);   // application
    text += Record('7', 0x00000400, 4, {});
    return text;
}

bool Write(const std::string& path, const void* data, std::size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    return out.good();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: make_images OUTPUT_DIR\n";
        return 64;
    }
    const std::string dir = argv[1];
    const auto bit = MakeBitFile();
    const auto srec = MakeSRecords();
    if (bit.size() != kBitFileBytes || srec.size() != kSRecordBytes) {
        std::cerr << "make_images: sizes came out as " << bit.size() << " and " << srec.size()
                  << "\n";
        return 1;
    }
    if (!Write(dir + "/KyXilinx.bit", bit.data(), bit.size()) ||
        !Write(dir + "/Ky_MCORE.s19", srec.data(), srec.size())) {
        std::cerr << "make_images: cannot write to " << dir << "\n";
        return 1;
    }
    return 0;
}
