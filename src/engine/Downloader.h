#pragma once

#include <atomic>
#include <span>
#include <string>

#include "base/Clock.h"
#include "base/Trace.h"
#include "engine/BitFile.h"
#include "engine/Crc16.h"
#include "engine/DownloadOutcome.h"
#include "engine/DownloadProgress.h"
#include "engine/DownloadUnit.h"
#include "engine/FirmwareImage.h"

// Size in bytes of the download block buffer; one read from an image
// delivers at most DL_BUF_SIZE - 1 bytes.
inline constexpr UInt32 DL_BUF_SIZE = 2052;

// The error DoDownload sets itself when the unit's status is not as expected.
inline constexpr IOReturn kUpdateStatusError = -192;

// What the device needs between steps.
inline constexpr std::uint64_t kCommandPauseMicros = 1000;       // after each command and block
inline constexpr std::uint64_t kErasePollPauseMicros = 1000000;  // after each busy erase status
inline constexpr int kEraseStatusReads = 60;                     // about a minute in all

// Downloads one image into the Ky's flash through its update unit: update
// mode, erase, header, data blocks with a running CRC-16, the CRC for the
// unit to verify, close. Pauses go to `clock`; progress to `progress`, its
// owner's record (or one of its own when none is given), as the image's
// erase and writing steps; trace and error lines to `trace`.
class Downloader {
public:
    explicit Downloader(ky::Clock& clock = ky::SystemClock()) : Downloader(clock, mOwnProgress) {}
    Downloader(ky::Clock& clock, DownloadProgress& progress,
               FirmwareImages images = BuiltInImages(), ky::Trace trace = {});
    ~Downloader();

    Downloader(const Downloader&) = delete;
    Downloader& operator=(const Downloader&) = delete;

    // Downloads one image; the outcome is left in mError (0 for success).
    void DoDownload(DownloadUnit* unit, DOWNLOADTYPE type);
    // Sets the progress record to the image, downloads it and says what
    // became of it.
    ky::ImageOutcome Download(DownloadUnit* unit, DOWNLOADTYPE type);

    // Copies up to `size` bytes of the image from position `ofs` into `buf`
    // (at least DL_BUF_SIZE bytes); `actualCount` is what was copied. False,
    // with nothing copied, for an unknown image type.
    bool ReadImage(DOWNLOADTYPE type, UInt32 ofs, UInt32 size, UInt8* buf, UInt32& actualCount);
    // Where the configuration data begins in the .bit file and the length
    // the file records for it (ky::FindConfiguration).
    bool ParseBit(int& offset, int& numBytes);
    // The 32-bit big-endian length just before the sync words at `size`.
    static bool FindNumBytes(const UInt8* header, int size, int& numBytes);
    static UInt16 updateCRC16(UInt16 currentCRC, const void* buffer, UInt32 numQuads) {
        return ky::Crc16Quads(currentCRC, buffer, numQuads);
    }

private:
    struct Selection {
        int offset = 0;      // first byte sent
        int fileCount = 0;   // image size
        UInt32 command = 0;  // the unit's update command for the image
    };
    bool SelectImage(DOWNLOADTYPE type, Selection& image);
    IOReturn Begin(DownloadUnit* unit, DOWNLOADTYPE type, Selection& image, UInt32& generation);
    IOReturn EnterUpdateMode(UInt32& generation);
    IOReturn StartErase(DOWNLOADTYPE type, UInt32 command, UInt32& generation);
    IOReturn WaitForErase(UInt32& generation);
    IOReturn SendImage(DOWNLOADTYPE type, const Selection& image, UInt32& generation);
    IOReturn SendHeader(UInt32 sizeB, UInt32& generation);
    IOReturn SendBlocks(DOWNLOADTYPE type, const Selection& image, UInt32& generation, UInt16& crc);
    std::span<const UInt8> Image(DOWNLOADTYPE type) const;
    IOReturn VerifyAndFinish(UInt32 crc, UInt32& generation);
    // Notes where the download failed; passes `error` on.
    IOReturn Failed(IOReturn error, ky::DownloadStep step, int position = -1);
    void Pause(std::uint64_t micros) { mClock.SleepMicros(micros); }

    ky::Clock& mClock;
    DownloadProgress mOwnProgress;
    DownloadProgress& mProgress;
    DownloadUnit* _Unit = nullptr;
    IOReturn mError = kIOReturnSuccess;
    FirmwareImages mImages;
    ky::Trace mTrace;
    // An update is never called off once begun, so nothing sets it; a set
    // flag would end the data phase at the next block.
    std::atomic<bool> mCancelled{false};
    ky::DownloadStep mFailedStep = ky::DownloadStep::None;
    int mFailedPosition = -1;
};
