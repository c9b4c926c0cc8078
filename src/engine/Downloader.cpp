#include "engine/Downloader.h"

#include <cstring>

#include "base/KyAssert.h"

using ky::DownloadStep;

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

ky::ImageOutcome Downloader::Download(DownloadUnit* unit, DOWNLOADTYPE type) {
    mProgress.SetDeviceType(ky::DeviceImage(type));
    DoDownload(unit, type);
    return {mError, mFailedStep, mFailedPosition};
}

void Downloader::DoDownload(DownloadUnit* unit, DOWNLOADTYPE type) {
    _Unit = unit;
    mFailedStep = DownloadStep::None;
    mFailedPosition = -1;
    mProgress.Reset();
    Selection image;
    UInt32 generation = 0;
    mError = Begin(unit, type, image, generation);
    if (mError != kIOReturnSuccess) return;
    IOReturn error = EnterUpdateMode(generation);
    mProgress.SetErase();
    if (error == kIOReturnSuccess) error = StartErase(type, image.command, generation);
    if (error == kIOReturnSuccess) error = WaitForErase(generation);
    mProgress.SetPgm();
    if (error == kIOReturnSuccess) error = SendImage(type, image, generation);
    unit->Close();
    mError = error;
}

IOReturn Downloader::Failed(IOReturn error, DownloadStep step, int position) {
    mFailedStep = step;
    mFailedPosition = position;
    return error;
}

IOReturn Downloader::Begin(DownloadUnit* unit, DOWNLOADTYPE type, Selection& image,
                           UInt32& generation) {
    if (!SelectImage(type, image) || unit == nullptr) {
        // Nothing is defined to send: leave the unit untouched.
        return unit == nullptr ? Failed(kIOReturnNoDevice, DownloadStep::FindingKy)
                               : Failed(kIOReturnBadArgument, DownloadStep::ChoosingImage);
    }
    if (IOReturn status = unit->GetBusGeneration(generation); status != kIOReturnSuccess) {
        mTrace << "Could not read the bus generation, got error" << status << "\n\r";
        return Failed(status, DownloadStep::ReadingGeneration);
    }
    mTrace << "BusGen " << generation << "\n";
    if (IOReturn status = unit->Open(); status != kIOReturnSuccess) {
        // Opening is what keeps other programs off the Ky: without it,
        // nothing may be written.
        mTrace << "Could not open device\n\r";
        mProgress.SetErase();
        mProgress.SetPgm();
        return Failed(status, DownloadStep::Opening);
    }
    return kIOReturnSuccess;
}

bool Downloader::SelectImage(DOWNLOADTYPE type, Selection& image) {
    int numBytes = 0;
    switch (type) {
        case fileXILINX:
            mTrace << "Opening Xilinx data file\n";
            ParseBit(image.offset, numBytes);
            break;
        case fileMCORE:
            mTrace << "Opening MCORE 06 file\n";
            image.offset = 0;
            break;
        default:
            mTrace << "Read Image : Invalid file type\n\r";
            mTrace << "Invalid Erase Type\n";
            return false;
    }
    image.fileCount = static_cast<int>(Image(type).size());
    image.command = ky::DeviceImage(type);
    return true;
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
    if (error == kIOReturnSuccess) return error;
    mTrace << "Device not ready - Could not prepare device for update.\n\r";
    return Failed(error, DownloadStep::EnteringUpdateMode);
}

IOReturn Downloader::StartErase(DOWNLOADTYPE type, UInt32 command, UInt32& generation) {
    mTrace << (type == fileXILINX ? "Erasing Xilinx Image\n" : "Erasing MCORE image\n");
    IOReturn error = _Unit->SetUpdateCommand(generation, command);
    Pause(kCommandPauseMicros);
    if (error == kIOReturnSuccess) return error;
    mTrace << "Device not ready. Could not prepare device for update.\n\r";
    return Failed(error, DownloadStep::StartingErase);
}

IOReturn Downloader::WaitForErase(UInt32& generation) {
    for (int read = 0; read < kEraseStatusReads; ++read) {
        UInt32 value = 0;
        if (IOReturn error = _Unit->ReadStatusRegister(value, generation);
            error != kIOReturnSuccess)
            return Failed(error, DownloadStep::Erasing);
        if (value == 1) return kIOReturnSuccess;
        if (value != 0) {
            mTrace << "Device failed - Could not erase flash.\n\r";
            return Failed(kUpdateStatusError, DownloadStep::Erasing);
        }
        Pause(kErasePollPauseMicros);
        mTrace << "Erasing Flash\n";
    }
    mTrace << "Device timed out. -Could not erase flash.\n\r";
    return Failed(kUpdateStatusError, DownloadStep::EraseTimedOut);
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
    if (error == kIOReturnSuccess) return error;
    mTrace << "Download has failed."
           << "Tried to send FirmwareHeader, got error\n\r" << error;
    return Failed(error, DownloadStep::SendingHeader);
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
            mTrace << "Download has failed\n\r"
                   << "Tried to send" << actualCount << "bytes at" << currentOffset << ", got error"
                   << error << "\n\r";
            Failed(error, DownloadStep::SendingBlock, currentOffset);
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
        return Failed(error, DownloadStep::VerifyingCrc);
    }
    error = _Unit->RestoreNormalOperation(generation);
    if (error != kIOReturnSuccess) {
        mTrace << "Could not restore normal operation.\n\r";
        return Failed(error, DownloadStep::RestoringNormal);
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
    const auto found = ky::FindConfiguration(Image(fileXILINX));
    KY_ASSERT(found.has_value());
    offset = found->offset;
    numBytes = found->length;
    return true;
}

bool Downloader::FindNumBytes(const UInt8* header, int size, int& numBytes) {
    const auto length = ky::LengthBefore(header, size);
    if (length) numBytes = *length;
    return length.has_value();
}
