#pragma once

#include "firewire/FWTypes.h"

// The MCORE firmware built into the program: Motorola S-record text, byte
// for byte, without a terminating NUL (zero bytes follow up to a whole word).
extern "C" const UInt8 KyMCORE06data[];
extern "C" const UInt32 KyMCORE06dataSize;
