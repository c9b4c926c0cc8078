#include "engine/Downloader.h"

#include <algorithm>
#include <cstring>
#include <iostream>

#include "base/KyAssert.h"
#include "engine/KyXilinx.h"
#include "engine/Ky_MCORE.h"

namespace {

// The first 8 bytes of Xilinx configuration data: the dummy word and the
// synchronisation word.
constexpr UInt8 kBitSignature[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0xAA, 0x99, 0x55, 0x66};
// The signature is looked for at positions 0 to 143.
constexpr int kSignatureSearchPositions = 144;

std::span<const UInt8> Image(DOWNLOADTYPE type) {
    switch (type) {
        case fileXILINX:
            return {KyXilinxData, KyXilinxDataSizeBytes};
        case fileMCORE:
            return {KyMCORE06data, KyMCORE06dataSize};
    }
    return {};
}

}  // namespace

Downloader::Downloader() {
    std::cout << "Ctor Downloader\n";
}

Downloader::~Downloader() {
    std::cout << "Dtor Downloader\n";
}

bool Downloader::ReadImage(DOWNLOADTYPE type, UInt32 ofs, UInt32 size, UInt8* buf,
                           UInt32& actualCount) {
    actualCount = 0;
    if (type != fileXILINX && type != fileMCORE) {
        std::cerr << "Read Image : Invalid file type\n\r";
        return false;
    }
    const std::span<const UInt8> image = Image(type);
    if (ofs >= image.size()) return true;  // nothing left to read
    actualCount = (ofs + size < image.size()) ? size : static_cast<UInt32>(image.size()) - ofs;
    KY_ASSERT(actualCount < DL_BUF_SIZE);
    std::memcpy(buf, image.data() + ofs, actualCount);
    return true;
}

bool Downloader::ParseBit(int& offset, int& numBytes) {
    const bool found = ParseBit(Image(fileXILINX), offset, numBytes);
    KY_ASSERT(true == found);
    return found;
}

bool Downloader::ParseBit(std::span<const UInt8> file, int& offset, int& numBytes) {
    const int last = std::min<int>(kSignatureSearchPositions,
                                   static_cast<int>(file.size()) - int(sizeof kBitSignature) + 1);
    for (offset = 0; offset < last; ++offset) {
        if (std::memcmp(file.data() + offset, kBitSignature, sizeof kBitSignature) == 0)
            return FindNumBytes(file.data(), offset, numBytes);
    }
    return false;
}

bool Downloader::FindNumBytes(const UInt8* header, int size, int& numBytes) {
    // The length field stands in the four bytes before the signature; a
    // signature earlier than that has no length and the file is unusable.
    if (size < 4) return false;
    const UInt8* p = header + size - 4;
    numBytes = static_cast<int>((UInt32{p[0]} << 24) | (UInt32{p[1]} << 16) | (UInt32{p[2]} << 8) |
                                UInt32{p[3]});
    return true;
}

UInt16 Downloader::updateCRC16(UInt16 currentCRC, const void* buffer, UInt32 numQuads) {
    // Four bits at a time, without a table.
    const UInt8* bytes = static_cast<const UInt8*>(buffer);
    UInt32 crc16 = currentCRC;
    for (UInt32 q = 0; q < numQuads; ++q, bytes += 4) {
        const UInt32 quad = (UInt32{bytes[0]} << 24) | (UInt32{bytes[1]} << 16) |
                            (UInt32{bytes[2]} << 8) | UInt32{bytes[3]};
        for (int shift = 28; shift >= 0; shift -= 4) {
            const UInt32 sum = ((crc16 >> 12) ^ (quad >> shift)) & 0xF;
            crc16 = ((crc16 << 4) ^ (sum << 12) ^ (sum << 5) ^ sum) & 0xFFFF;
        }
    }
    return static_cast<UInt16>(crc16);
}
