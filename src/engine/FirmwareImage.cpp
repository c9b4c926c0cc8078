#include "engine/FirmwareImage.h"

#include "base/Translate.h"
#include "engine/BitFile.h"
#include "engine/KyXilinx.h"
#include "engine/Ky_MCORE.h"
#include "engine/SRecords.h"

FirmwareImages BuiltInImages() {
    return {{KyXilinxData, KyXilinxDataSizeBytes}, {KyMCORE06data, KyMCORE06dataSize}};
}

namespace ky {

Done CheckBuiltInImages() {
    const FirmwareImages images = BuiltInImages();
    if (auto bit = ReadBitFile(images.xilinx); !bit)
        return bit.Failure().In(Tr("the built-in FPGA image is broken"));
    if (auto srec = ReadSRecords(images.mcore); !srec)
        return srec.Failure().In(Tr("the built-in MCORE image is broken"));
    return {};
}

}  // namespace ky
