// ky-firmware-update: the desktop updater. Accepts Qt's own options and
// --simulate to work on the simulated Ky (KYFW_SIM_RESET=1 starts it afresh).

#include <QApplication>
#include <QStringList>
#include <iostream>

#include "app/BusChoice.h"
#include "app/KyFirmwareUpdateDialog.h"
#include "app/QuitSignals.h"

namespace {

constexpr int kUsage = 64;

struct Options {
    bool simulate = false;
};

bool ParseOptions(Options& options) {
    const QStringList args = QCoreApplication::arguments().mid(1);
    for (const QString& arg : args) {
        if (arg != "--simulate") {
            std::cerr << "usage: ky-firmware-update [--simulate] [Qt options]\n";
            return false;
        }
        options.simulate = true;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);  // takes Qt's own options out of the way
    Options options;
    if (!ParseOptions(options)) return kUsage;

    IBNibRef nibRef = nullptr;
    WindowRef window = nullptr;
    OSStatus err = CreateNibReference("main", &nibRef);
    if (err != noErr) return err;
    err = SetMenuBarFromNib(nibRef, "MenuBar");
    if (err == noErr) err = CreateWindowFromNib(nibRef, "MainWindow", &window);
    DisposeNibReference(nibRef);
    if (err != noErr) return err;

    ky::BusChoice choice = ky::ChooseBus(options.simulate, false);
    if (!choice.bus) std::cerr << "ky-firmware-update: " << choice.problem << "\n";
    auto* dialog =
        new CKyFirmwareUpdateDialog(window, {choice.bus, &choice.DownloadClock(), "/proc",
                                             [&choice] { return choice.StateProblem(); }});
    ky::CatchQuitSignals([dialog] { dialog->QuitRequested(); });
    ShowWindow(window);
    RunApplicationEventLoop();
    delete dialog;
    DisposeWindow(window);
    return err;
}
