#pragma once

#include "firewire/FWTypes.h"

// The FPGA configuration built into the program: a Xilinx .bit file, byte
// for byte, followed by zero bytes up to the next whole word.
extern "C" const UInt8 KyXilinxData[];
extern "C" const UInt32 KyXilinxDataSizeBytes;
