// ky-firmware-update: the desktop updater. Accepts Qt's own options and
// --simulate to work on the simulated Ky (KYFW_SIM_RESET=1 starts it afresh).

#include <QApplication>
#include <QStringList>
#include <iostream>

#include "firewire/Recording.h"
#include "update/BusChoice.h"
#include "window/KyFirmwareUpdateDialog.h"
#include "window/QuitSignals.h"

namespace {

constexpr int kUsage = 64;

struct Options {
    bool simulate = false;
    std::string record;  // where to record the FireWire traffic
};

const char* const kUsageText =
    "usage: ky-firmware-update [--simulate] [--record FILE] [Qt options]\n"
    "  --simulate     update the simulated Ky instead of a Ky on the FireWire bus\n"
    "  --record FILE  write every FireWire transaction to FILE, for a bug report\n";

// -1 to go on, else the exit status.
int ParseOptions(Options& options) {
    const QStringList args = QCoreApplication::arguments().mid(1);
    for (qsizetype i = 0; i < args.size(); ++i) {
        if (args[i] == "--help" || args[i] == "-h") {
            std::cout << kUsageText;
            return 0;
        }
        if (args[i] == "--simulate") {
            options.simulate = true;
        } else if (args[i] == "--record" && i + 1 < args.size()) {
            options.record = args[++i].toStdString();
        } else {
            std::cerr << kUsageText;
            return kUsage;
        }
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);  // takes Qt's own options out of the way
    Options options;
    if (int status = ParseOptions(options); status >= 0) return status;

    IBNibRef nibRef = nullptr;
    WindowRef window = nullptr;
    OSStatus err = CreateNibReference("main", &nibRef);
    if (err != noErr) return err;
    err = SetMenuBarFromNib(nibRef, "MenuBar");
    if (err == noErr) err = CreateWindowFromNib(nibRef, "MainWindow", &window);
    DisposeNibReference(nibRef);
    if (err != noErr) return err;

    ky::BusChoice choice = ky::ChooseBus(options.simulate, false);
    if (!choice.bus) {
        // The simulated Ky asked for cannot be had: say why, and end.
        std::cerr << "ky-firmware-update: " << choice.problem << "\n";
        RunStandardAlert({kAlertStopAlert, "The simulated Ky cannot be used",
                          QString::fromStdString(choice.problem), ""});
        DisposeWindow(window);
        return kUsage;
    }
    std::shared_ptr<FWLib::Recorder> recorder;
    if (!options.record.empty()) {
        std::string error;
        recorder = FWLib::Recorder::Create(options.record,
                                           {"ky-firmware-update " KY_VERSION_STRING}, error);
        if (!recorder) {
            std::cerr << "ky-firmware-update: " << error << "\n";
            return kUsage;
        }
        choice.bus = FWLib::RecordingBus(choice.bus, recorder);
    }
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
