#include "engine/Downloader.h"

#include <algorithm>
#include <cstring>

#include "base/KyAssert.h"
#include "engine/KyXilinx.h"
#include "engine/Ky_MCORE.h"

namespace {

// The first 8 bytes of Xilinx configuration data: the dummy word and the
// synchronisation word.
constexpr UInt8 kBitSignature[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0xAA, 0x99, 0x55, 0x66};
// The signature is looked for at positions 0 to 143.
constexpr int kSignatureSearchPositions = 144;

}  // namespace

namespace ky {

const char* DownloadStepText(DownloadStep step) {
    static constexpr const char* kTexts[] = {"",
                                             "finding the Ky",
                                             "choosing the image",
                                             "reading the bus generation",
                                             "opening the Ky",
                                             "entering update mode",
                                             "starting the erase",
                                             "erasing",
                                             "erasing (the erase timed out after a minute)",
                                             "sending the header",
                                             "sending the block at ",
                                             "verifying the CRC",
                                             "restoring normal operation"};
    return kTexts[static_cast<int>(step)];
}

std::string ImageOutcome::StepText() const {
    if (Programmed()) return {};
    const std::string text = DownloadStepText(step);
    return step == DownloadStep::SendingBlock ? text + std::to_string(position) : text;
}

}  // namespace ky

using ky::DownloadStep;

FirmwareImages BuiltInImages() {
    return {{KyXilinxData, KyXilinxDataSizeBytes}, {KyMCORE06data, KyMCORE06dataSize}};
}

std::span<const UInt8> Downloader::Image(DOWNLOADTYPE type) const {
    return type == fileXILINX ? mImages.xilinx : mImages.mcore;
}

Downloader::Downloader(ky::Clock& clock, DownloadProgress& progress, FirmwareImages images,
                       ky::Trace trace)
    : mClock(clock), mProgress(progress), mImages(images), mTrace(trace) {
    mTrace << "Ctor Downloader\n";
}

Downloader::~Downloader() {
    mTrace << "Dtor Downloader\n";
}

void Downloader::DoDownload(DownloadUnit* unit, DOWNLOADTYPE type) {
    _Unit = unit;
    mFailedStep = DownloadStep::None;
    mFailedPosition = -1;
    mProgress.Reset();
    Selection image;
    if (!SelectImage(type, image) || unit == nullptr) {
        // Nothing is defined to send: leave the unit untouched.
        mError = unit == nullptr ? kIOReturnNoDevice : kIOReturnBadArgument;
        mFailedStep = unit == nullptr ? DownloadStep::FindingKy : DownloadStep::ChoosingImage;
        return;
    }
    UInt32 generation = 0;
    if (IOReturn status = unit->GetBusGeneration(generation); status != kIOReturnSuccess) {
        mTrace << "Could not read the bus generation, got error" << status << "\n\r";
        mError = status;
        mFailedStep = DownloadStep::ReadingGeneration;
        return;
    }
    mTrace << "BusGen " << generation << "\n";
    if (IOReturn status = unit->Open(); status != kIOReturnSuccess) {
        // Opening is what keeps other programs off the Ky: without it,
        // nothing may be written.
        mTrace << "Could not open device\n\r";
        mError = status;
        mFailedStep = DownloadStep::Opening;
        mProgress.SetErase();
        mProgress.SetPgm();
        return;
    }
    IOReturn error = EnterUpdateMode(generation);
    mProgress.SetErase();
    if (error == kIOReturnSuccess) error = StartErase(type, image.command, generation);
    if (error == kIOReturnSuccess && (error = WaitForErase(generation)) != kIOReturnSuccess &&
        mFailedStep == DownloadStep::None)
        mFailedStep = DownloadStep::Erasing;
    mProgress.SetPgm();
    if (error == kIOReturnSuccess) error = SendImage(type, image, generation);
    unit->Close();
    mError = error;
}

bool Downloader::SelectImage(DOWNLOADTYPE type, Selection& image) {
    int numBytes = 0;
    switch (type) {
        case fileXILINX:
            mTrace << "Opening Xilinx data file\n";
            ParseBit(image.offset, numBytes);
            image.fileCount = static_cast<int>(mImages.xilinx.size());
            image.command = 0;
            return true;
        case fileMCORE:
            mTrace << "Opening MCORE 06 file\n";
            image.offset = 0;
            image.fileCount = static_cast<int>(mImages.mcore.size());
            image.command = 1;
            return true;
    }
    mTrace << "Read Image : Invalid file type\n\r";
    mTrace << "Invalid Erase Type\n";
    return false;
}

IOReturn Downloader::EnterUpdateMode(UInt32& generation) {
    IOReturn error = _Unit->BeginUpdate(generation);
    Pause(kCommandPauseMicros);
    if (error != kIOReturnSuccess)
        mTrace << "Device not ready - Could not prepare device for update.\n\r";
    // A single status read decides, whatever BeginUpdate answered.
    UInt32 value = 0;
    error = _Unit->ReadStatusRegister(value, generation);
    Pause(kCommandPauseMicros);
    if (error == kIOReturnSuccess && value != 1) error = kUpdateStatusError;
    if (error != kIOReturnSuccess) {
        mTrace << "Device not ready - Could not prepare device for update.\n\r";
        mFailedStep = DownloadStep::EnteringUpdateMode;
    }
    return error;
}

IOReturn Downloader::StartErase(DOWNLOADTYPE type, UInt32 command, UInt32& generation) {
    mTrace << (type == fileXILINX ? "Erasing Xilinx Image\n" : "Erasing MCORE image\n");
    IOReturn error = _Unit->SetUpdateCommand(generation, command);
    Pause(kCommandPauseMicros);
    if (error != kIOReturnSuccess) {
        mTrace << "Device not ready. Could not prepare device for update.\n\r";
        mFailedStep = DownloadStep::StartingErase;
    }
    return error;
}

IOReturn Downloader::WaitForErase(UInt32& generation) {
    for (int read = 0; read < kEraseStatusReads; ++read) {
        UInt32 value = 0;
        if (IOReturn error = _Unit->ReadStatusRegister(value, generation);
            error != kIOReturnSuccess)
            return error;
        if (value == 1) return kIOReturnSuccess;
        if (value != 0) {
            mTrace << "Device failed - Could not erase flash.\n\r";
            return kUpdateStatusError;
        }
        Pause(kErasePollPauseMicros);
        mTrace << "Erasing Flash\n";
    }
    mTrace << "Device timed out. -Could not erase flash.\n\r";
    mFailedStep = DownloadStep::EraseTimedOut;
    return kUpdateStatusError;
}

IOReturn Downloader::SendImage(DOWNLOADTYPE type, const Selection& image, UInt32& generation) {
    mTrace << "Sending Data...\n";
    mCancelled.store(false, std::memory_order_relaxed);
    IOReturn error = SendHeader(static_cast<UInt32>(image.fileCount - image.offset), generation);
    UInt16 crc = 0;
    if (error == kIOReturnSuccess) error = SendBlocks(type, image, generation, crc);
    if (error == kIOReturnSuccess) error = VerifyAndFinish(crc, generation);
    return error;
}

IOReturn Downloader::SendHeader(UInt32 sizeB, UInt32& generation) {
    // FirmwareHeader on the wire: valid FFFF, version 1, sizeB, then the
    // image CRC and reserved fields, all FF.
    UInt8 header[20];
    std::memset(header, 0xFF, sizeof header);
    header[2] = 0x00;
    header[3] = 0x01;
    header[4] = static_cast<UInt8>(sizeB >> 24);
    header[5] = static_cast<UInt8>(sizeB >> 16);
    header[6] = static_cast<UInt8>(sizeB >> 8);
    header[7] = static_cast<UInt8>(sizeB);
    IOReturn error = _Unit->SendBlock(header, sizeof header, 0, generation);
    Pause(kCommandPauseMicros);
    if (error != kIOReturnSuccess) mFailedStep = DownloadStep::SendingHeader;
    if (error != kIOReturnSuccess)
        mTrace << "Download has failed."
               << "Tried to send FirmwareHeader, got error\n\r" << error;
    return error;
}

IOReturn Downloader::SendBlocks(DOWNLOADTYPE type, const Selection& image, UInt32& generation,
                                UInt16& crc) {
    // A fixed buffer: nothing is allocated while the flash is being written.
    UInt8 buffer[DL_BUF_SIZE];
    const UInt32 requestCount = _Unit->MaxDownloadBlockSize();
    int currentOffset = image.offset;
    IOReturn error = kIOReturnSuccess;
    crc = 0;
    while (error == kIOReturnSuccess && currentOffset < image.fileCount &&
           !mCancelled.load(std::memory_order_relaxed)) {
        UInt32 actualCount = 0;
        ReadImage(type, static_cast<UInt32>(currentOffset), requestCount, buffer, actualCount);
        const UInt32 size = (actualCount + 3) & ~3u;
        std::memset(buffer + actualCount, 0, size - actualCount);  // the last block's padding
        error = _Unit->SendBlock(buffer, size, static_cast<UInt32>(currentOffset), generation);
        Pause(kCommandPauseMicros);
        if (error != kIOReturnSuccess) {
            mFailedStep = DownloadStep::SendingBlock;
            mFailedPosition = currentOffset;
            mTrace << "Download has failed\n\r"
                   << "Tried to send" << actualCount << "bytes at" << currentOffset << ", got error"
                   << error << "\n\r";
        } else {
            crc = updateCRC16(crc, buffer, size / 4);
            currentOffset += static_cast<int>(actualCount);
        }
        mProgress.Update(static_cast<float>(currentOffset) / static_cast<float>(image.fileCount));
    }
    return error;
}

IOReturn Downloader::VerifyAndFinish(UInt32 crc, UInt32& generation) {
    IOReturn error = _Unit->SendCRCAndVerify(crc, generation);
    Pause(kCommandPauseMicros);
    if (error != kIOReturnSuccess) {
        mTrace << "Firmware validation failed- CRC was invalid.\n\r";
        mFailedStep = DownloadStep::VerifyingCrc;
        return error;
    }
    error = _Unit->RestoreNormalOperation(generation);
    if (error != kIOReturnSuccess) {
        mTrace << "Could not restore normal operation.\n\r";
        mFailedStep = DownloadStep::RestoringNormal;
        return error;
    }
    mTrace << "Update successful.\n\r";
    return kIOReturnSuccess;
}

bool Downloader::ReadImage(DOWNLOADTYPE type, UInt32 ofs, UInt32 size, UInt8* buf,
                           UInt32& actualCount) {
    actualCount = 0;
    if (type != fileXILINX && type != fileMCORE) {
        mTrace << "Read Image : Invalid file type\n\r";
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
