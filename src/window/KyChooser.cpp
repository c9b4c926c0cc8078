#include "window/KyChooser.h"

#include <QComboBox>
#include <utility>
#include <vector>

#include "base/Translate.h"
#include "firewire/FWPlatform.h"
#include "update/kyfirmwareupdate.h"

namespace ky {

namespace {

// "0x0000d0a001000000 · KY123456 · 1-5 · ready": which Ky, and whether it
// may be updated now.
QString ChoiceText(const KyProbe::Answer& answer, bool inUse) {
    const bool read = answer.check == KyCheck::Accepted || answer.check == KyCheck::WrongProduct;
    const std::string dot = " \u00b7 ";
    return ShownText(
        FWLib::GuidText(answer.unit.guid) + dot + (read ? SerialText(answer.info) : "?") + dot +
        (read ? VersionText(answer.info.MCOREver, answer.info.XilinxVer) : "?") + dot +
        (inUse || answer.check == KyCheck::InUse ? ky::Tr("in use") : KyCheckText(answer.check)));
}

}  // namespace

KyChooser::KyChooser(WindowRef window, std::function<void(UInt64 guid)> chosen)
    : mBox(window->findChild<QComboBox*>("kyChooser")) {
    if (!mBox) return;
    mBox->setVisible(false);
    QObject::connect(mBox, &QComboBox::currentIndexChanged,
                     [box = mBox, chosen = std::move(chosen)](int i) {
                         if (i >= 0) chosen(box->itemData(i).toULongLong());
                     });
}

void KyChooser::Show(const KyProbe::Answers& answers, UInt64 shown,
                     const std::function<bool(const KyProbe::Answer&)>& inUse) {
    if (!mBox) return;
    std::vector<std::pair<QString, qulonglong>> items;
    for (const auto& answer : answers)
        if (answer.unit.guid != 0)
            items.emplace_back(ChoiceText(answer, inUse(answer)), answer.unit.guid);
    bool same = int(items.size()) == mBox->count();
    for (int i = 0; same && i < mBox->count(); ++i)
        same = mBox->itemText(i) == items[i].first && mBox->itemData(i) == items[i].second;
    const QSignalBlocker quiet(mBox);  // what the window sets is no choice of the user's
    if (!same) {  // rebuilt only when it changed: a list the user has opened stays open
        mBox->clear();
        for (const auto& [text, guid] : items) mBox->addItem(text, guid);
    }
    mBox->setCurrentIndex(mBox->findData(qulonglong(shown)));
    mBox->setVisible(items.size() > 1);
    mBox->setEnabled(true);
}

void KyChooser::Enable(bool enable) {
    if (mBox) mBox->setEnabled(enable);
}

}  // namespace ky
