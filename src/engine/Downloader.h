#pragma once

#include <span>

#include "engine/DownloadUnit.h"

// Size in bytes of the download block buffer; one read from an image
// delivers at most DL_BUF_SIZE - 1 bytes.
inline constexpr UInt32 DL_BUF_SIZE = 2052;

// Which built-in image a download works on.
enum DOWNLOADTYPE { fileMCORE = 0, fileXILINX = 1 };

// Downloads one built-in image into the Ky's flash through its update unit.
class Downloader {
  public:
    Downloader();
    ~Downloader();

    Downloader(const Downloader&) = delete;
    Downloader& operator=(const Downloader&) = delete;

    // Copies up to `size` bytes of the image from position `ofs` into `buf`
    // (at least DL_BUF_SIZE bytes); `actualCount` is what was copied. False,
    // with nothing copied, for an unknown image type.
    bool ReadImage(DOWNLOADTYPE type, UInt32 ofs, UInt32 size, UInt8* buf, UInt32& actualCount);
    // Finds where the configuration data begins in the built-in .bit file
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

  private:
    IOReturn mError = kIOReturnSuccess;
};
