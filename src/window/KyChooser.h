#pragma once

#include <functional>

#include "qtsupport/PlatformServices.h"
#include "update/KyProbe.h"

class QComboBox;

namespace ky {

// The list of Kys in the window, when its interface description has one
// ("kyChooser"): shown while more than one Ky is on the bus, each named by
// its GUID, serial number and versions, and whether it may be updated now.
class KyChooser {
public:
    // `chosen` hears the GUID of each Ky the user picks.
    KyChooser(WindowRef window, std::function<void(UInt64 guid)> chosen);

    // Lists the Kys of `answers` that have a GUID and marks the one shown;
    // `inUse` says whether another program uses a Ky now.
    void Show(const KyProbe::Answers& answers, UInt64 shown,
              const std::function<bool(const KyProbe::Answer&)>& inUse);
    // Off while a Ky is written: the one being written stays the one shown.
    void Enable(bool enable);

private:
    QComboBox* mBox = nullptr;
};

}  // namespace ky
