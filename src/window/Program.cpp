// ky-firmware-update's start-up: accepts Qt's own options, --simulate to
// work on the simulated Ky (KYFW_SIM_RESET=1 starts it afresh), --record
// FILE, --help and --version.
#include "window/Program.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QTranslator>
#include <clocale>
#include <iostream>
#include <memory>
#include <optional>
#include <string_view>

#include "base/Text.h"
#include "base/Translate.h"
#include "update/ExitStatus.h"
#include "update/StartUp.h"
#include "window/KyFirmwareUpdateDialog.h"
#include "window/QuitSignals.h"

namespace {

using ky::ExitStatus;
using enum ky::ExitStatus;

struct Options {
    bool simulate = false;
    bool verbose = false;  // the engine's trace lines on standard error
    std::string record;    // where to record the FireWire traffic
};

// TRANSLATORS: the options, FILE's place and the exit statuses stay as they are.
const char* const kUsageText =
    N_("usage: ky-firmware-update [--simulate] [--record FILE] [--verbose] [Qt options]\n"
       "  --simulate     update the simulated Ky instead of a Ky on the FireWire bus\n"
       "  --record FILE  write every FireWire transaction to FILE, for a bug report\n"
       "  -v, --verbose  show the engine's trace lines on standard error\n"
       "  -h, --help     print this help and exit\n"
       "  --version      print the program's version and exit\n"
       "exit status: 0 quit, 1 the last update failed, 3 the simulated Ky cannot be used,\n"
       "  6 no usable interface description, 64 usage (the same table as kyfw's)\n");

// --help and --version are answered before Qt is started: they need no
// display. A file named after --record is not one of them.
std::optional<ExitStatus> ParseEarlyOptions(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::cout << ky::Tr(kUsageText);
            return kExitDone;
        }
        if (arg == "--version") {
            std::cout << "ky-firmware-update " KY_VERSION_STRING "\n";
            return kExitDone;
        }
        if (arg == "--record") ++i;
    }
    return std::nullopt;
}

// Qt's own options (QGuiApplication's and QApplication's), taken out by Qt
// itself; those of the first list take a value after them, as "-style
// fusion", or joined, as "-style=fusion". Qt reads "--style" as "-style".
constexpr std::string_view kQtOptionsWithValue[] = {
    "-platform",        "-platformpluginpath", "-platformtheme", "-plugin",
    "-qwindowgeometry", "-qwindowicon",        "-qwindowtitle",  "-session",
    "-display",         "-geometry",           "-title",         "-name",
    "-style",           "-stylesheet",         "-qmljsdebugger"};
constexpr std::string_view kQtFlags[] = {"-reverse", "-widgetcount", "-nograb",
                                         "-dograb",  "-sync",        "-testability"};

// How many arguments the Qt option at `arg` takes up (itself and its
// value), or 0 when it is none of Qt's.
int QtOption(std::string_view arg, bool valueFollows) {
    if (arg.starts_with("--")) arg.remove_prefix(1);
    for (std::string_view option : kQtOptionsWithValue) {
        if (arg == option) return valueFollows ? 2 : 0;
        if (arg.starts_with(option) && arg.size() > option.size() && arg[option.size()] == '=')
            return 1;
    }
    for (std::string_view flag : kQtFlags)
        if (arg == flag) return 1;
    return 0;
}

// What is wrong with a word of the command line that is no option here.
std::string WrongArgument(std::string_view arg) {
    if (arg == "--record") return ky::Tr("--record needs the file to write the recording to");
    // TRANSLATORS: {1} is what was given on the command line.
    return ky::Fill(ky::Tr("\"{1}\" is not an option of this program"), {ky::Printable(arg)});
}

// The whole command line, checked before Qt starts (a wrong one needs no
// display); the exit status when the program ends here. A file name is
// used as it was given, whatever its bytes.
std::optional<ExitStatus> ParseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--simulate") {
            options.simulate = true;
        } else if (arg == "--verbose" || arg == "-v") {
            options.verbose = true;
        } else if (arg == "--record" && i + 1 < argc) {
            options.record = argv[++i];
        } else if (const int taken = QtOption(arg, i + 1 < argc); taken > 0) {
            i += taken - 1;
        } else {
            std::cerr << "ky-firmware-update: " << WrongArgument(arg) << "\n" << ky::Tr(kUsageText);
            return kExitUsage;
        }
    }
    return std::nullopt;
}

// The menu bar and the window from the interface description; the reason
// is on standard error when they cannot be had.
WindowRef LoadWindow() {
    const auto window = ky::WindowFromDescription("main", "MenuBar", "MainWindow");
    if (!window) std::cerr << window.Failure().What() << "\n";
    return window ? *window : nullptr;
}

// The bus, the simulated Ky or the recording asked for, else the reason
// on standard error (and, for a bus that cannot be had, in an alert) and
// the exit status.
std::optional<ExitStatus> Start(ky::StartUp& start, const Options& options) {
    auto failure = start.Open({"ky-firmware-update " KY_VERSION_STRING, options.simulate, false, "",
                               false, options.record, false});
    if (!failure) return std::nullopt;
    std::cerr << "ky-firmware-update: " << ky::Printable(failure->message, true) << "\n";
    if (failure->noBus)
        RunStandardAlert({kAlertStopAlert, ky::Tr("The simulated Ky cannot be used"),
                          QString::fromStdString(failure->message), ""});
    return failure->status;
}

}  // namespace

namespace ky {

QTranslator* UseQtTranslations() {
    const QString dir = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    for (const std::string& language : MessageLanguages()) {
        // English is the texts as Qt writes them: the languages after it are not looked at.
        if (language.substr(0, language.find_first_of("_.@")) == "en") return nullptr;
        auto translator = std::make_unique<QTranslator>(qApp);
        if (!translator->load(QString::fromStdString("qtbase_" + language), dir, "_.@")) continue;
        QCoreApplication::installTranslator(translator.get());
        return translator.release();
    }
    return nullptr;
}

int RunWindowProgram(int argc, char** argv, const ProcessTable& processes) {
    if (auto status = ParseEarlyOptions(argc, argv)) return *status;
    Options options;
    if (auto status = ParseOptions(argc, argv, options)) return *status;
    QApplication application(argc, argv);
    // Qt takes the whole locale from the environment: numbers go back to
    // the "C" locale's, as kyfw writes them.
    std::setlocale(LC_NUMERIC, "C");
    UseQtTranslations();
    WindowRef window = LoadWindow();
    if (!window) return kExitCannotStart;
    if (const std::string missing = CKyFirmwareUpdateDialog::MissingControl(window);
        !missing.empty()) {
        std::cerr << "ky-firmware-update: "
                  << ky::Fill(ky::Tr("the interface description cannot be used: {1}"), {missing})
                  << "\n";
        DisposeWindow(window);
        return kExitCannotStart;
    }

    // The engine's trace and error lines go to standard error with
    // --verbose, else nowhere: a desktop session keeps standard error in
    // its journal. The window says its own.
    // Never freed: a restart follower given up on may still trace as the
    // program ends.
    const ky::Trace trace =
        options.verbose ? ky::Trace(*new ky::StreamTraceSink(std::cerr)) : ky::Trace();
    StartUp start(trace);
    if (auto failure = Start(start, options)) {
        DisposeWindow(window);
        return *failure;
    }
    auto* dialog = new CKyFirmwareUpdateDialog(
        window,
        {start.Bus(), &start.DownloadClock(), processes, [&start] { return start.StateKept(); },
         [&start]() -> ky::Done {
             ky::Done kept = start.RecordingKept();
             return kept ? kept : ky::Error(Printable(kept.Failure().What()));
         },
         &std::cerr, trace, [&start] { start.SwitchSimulatedKyOffAndOn(); }});
    int status = kExitDone;
    {
        const QuitSignalsInLoop quitSignals([dialog] { dialog->QuitRequested(); });
        ShowWindow(window);
        RunApplicationEventLoop();
        status = dialog->LastUpdateFailed() ? kExitFailed : kExitDone;
    }
    const StartEnd end = start.Finish(ExitStatus(status));
    for (const std::string& problem : end.problems)
        std::cerr << "ky-firmware-update: " << Printable(problem) << "\n";
    delete dialog;
    DisposeWindow(window);
    return end.status;
}

}  // namespace ky
