#pragma once

#include <span>
#include <string>

#include "base/Clock.h"
#include "base/Trace.h"
#include "engine/DownloadProgress.h"
#include "engine/DownloadUnit.h"

// Size in bytes of the download block buffer; one read from an image
// delivers at most DL_BUF_SIZE - 1 bytes.
inline constexpr UInt32 DL_BUF_SIZE = 2052;

// Which built-in image a download works on.
enum DOWNLOADTYPE : UInt32 { fileMCORE = 0, fileXILINX = 1 };

namespace ky {

// The steps of one image's download, in order. A failed download records
// the step it failed at; the words for it (DownloadStepText) are those of
// its messages and the JSON: "erasing", "sending the block at 1482".
enum class DownloadStep {
    None,  // nothing failed
    FindingKy,
    ChoosingImage,
    ReadingGeneration,
    Opening,
    EnteringUpdateMode,
    StartingErase,  // from here the Ky may have begun to erase its flash
    Erasing,
    EraseTimedOut,
    SendingHeader,
    SendingBlock,
    VerifyingCrc,
    RestoringNormal,
};
const char* DownloadStepText(DownloadStep step);

// What became of one image: its error (0: programmed and verified) and,
// when it failed, where.
struct ImageOutcome {
    IOReturn error = kIOReturnNotReady;
    DownloadStep step = DownloadStep::None;
    int position = -1;  // the block's offset in the image, when sending a block

    bool Programmed() const { return error == kIOReturnSuccess; }
    // The Ky was told to erase the image's flash: what it held may be gone.
    bool FlashTouched() const { return !Programmed() && step >= DownloadStep::StartingErase; }
    // "sending the block at 1482"; empty when nothing failed.
    std::string StepText() const;
};

}  // namespace ky

// The images a Downloader sends: the built-in ones, or others for tests.
struct FirmwareImages {
    std::span<const UInt8> xilinx;  // a .bit file
    std::span<const UInt8> mcore;   // S-record text
};
FirmwareImages BuiltInImages();

// The error DoDownload sets itself when the unit's status is not as expected.
inline constexpr IOReturn kUpdateStatusError = -192;

// What the device needs between steps.
inline constexpr std::uint64_t kCommandPauseMicros = 1000;       // after each command and block
inline constexpr std::uint64_t kErasePollPauseMicros = 1000000;  // after each busy erase status
inline constexpr int kEraseStatusReads = 60;                     // about a minute in all

// Downloads one built-in image into the Ky's flash through its update unit:
// update mode, erase, header, data blocks with a running CRC-16, the CRC
// for the unit to verify, close. Pauses go to `clock`; progress to
// `progress`, its owner's record (or one of its own when none is given);
// trace and error lines to `trace`.
class Downloader {
public:
    explicit Downloader(ky::Clock& clock = ky::SystemClock()) : Downloader(clock, mOwnProgress) {}
    Downloader(ky::Clock& clock, DownloadProgress& progress,
               FirmwareImages images = BuiltInImages(), ky::Trace trace = {});
    ~Downloader();

    // Downloads one image; the outcome is left in Error() (0 for success).
    void DoDownload(DownloadUnit* unit, DOWNLOADTYPE type);

    Downloader(const Downloader&) = delete;
    Downloader& operator=(const Downloader&) = delete;

    // Copies up to `size` bytes of the image from position `ofs` into `buf`
    // (at least DL_BUF_SIZE bytes); `actualCount` is what was copied. False,
    // with nothing copied, for an unknown image type.
    bool ReadImage(DOWNLOADTYPE type, UInt32 ofs, UInt32 size, UInt8* buf, UInt32& actualCount);
    // Finds where the configuration data begins in the .bit file
    // and the length the file records for it.
    bool ParseBit(int& offset, int& numBytes);
    // The same for any .bit file: false when the configuration data's
    // signature is not among the first 144 positions, or when it stands too
    // early to be preceded by its length.
    static bool ParseBit(std::span<const UInt8> file, int& offset, int& numBytes);
    // The 32-bit big-endian length just before the signature at `size`.
    static bool FindNumBytes(const UInt8* header, int size, int& numBytes);

    // CRC-16 (polynomial 0x1021, most significant bit first) of `numQuads`
    // 32-bit words, each taken big-endian from the buffer's bytes, continued
    // from `currentCRC`: from 0 it is CRC-16/XMODEM of the bytes.
    static UInt16 updateCRC16(UInt16 currentCRC, const void* buffer, UInt32 numQuads);

    IOReturn Error() const { return mError; }
    // The step at which the last DoDownload failed, in words ("erasing",
    // "sending the block at 1482"); empty after a success.
    std::string FailedStep() const { return Outcome().StepText(); }
    // The last DoDownload's outcome.
    ky::ImageOutcome Outcome() const { return {mError, mFailedStep, mFailedPosition}; }

private:
    struct Selection {
        int offset = 0;      // first byte sent
        int fileCount = 0;   // image size
        UInt32 command = 0;  // the unit's update command for the image
    };
    bool SelectImage(DOWNLOADTYPE type, Selection& image);
    IOReturn EnterUpdateMode(UInt32& generation);
    IOReturn StartErase(DOWNLOADTYPE type, UInt32 command, UInt32& generation);
    IOReturn WaitForErase(UInt32& generation);
    IOReturn SendImage(DOWNLOADTYPE type, const Selection& image, UInt32& generation);
    IOReturn SendHeader(UInt32 sizeB, UInt32& generation);
    IOReturn SendBlocks(DOWNLOADTYPE type, const Selection& image, UInt32& generation, UInt16& crc);
    std::span<const UInt8> Image(DOWNLOADTYPE type) const;
    IOReturn VerifyAndFinish(UInt32 crc, UInt32& generation);
    void Pause(std::uint64_t micros) { mClock.SleepMicros(micros); }

    ky::Clock& mClock;
    DownloadProgress mOwnProgress;
    DownloadProgress& mProgress;
    DownloadUnit* _Unit = nullptr;
    IOReturn mError = kIOReturnSuccess;
    FirmwareImages mImages;
    ky::Trace mTrace;
    // Nothing in this program sets it: an update is never called off once
    // begun. A set flag would end the data phase at the next block.
    std::atomic<bool> mCancelled{false};
    ky::DownloadStep mFailedStep = ky::DownloadStep::None;
    int mFailedPosition = -1;
};
