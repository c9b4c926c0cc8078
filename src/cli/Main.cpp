#include "cli/Main.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <fstream>
#include <iostream>
#include <streambuf>

#include "base/FdStream.h"
#include "base/Paths.h"
#include "cli/Context.h"
#include "cli/ExitStatus.h"
#include "cli/Text.h"
#include "engine/DownloadUnit.h"
#include "firewire/Recording.h"
#include "firewire/Replay.h"
#include "sim/SimFaults.h"

namespace kyfw {

namespace {

std::string FaultHelp() {
    std::string text = "Inject a fault into the simulated Ky (with --simulate):";
    for (const auto& f : kysim::NamedFaults())
        text += std::string("\n") + f.name + ": " + f.description;
    return text;
}

struct Commands {
    CLI::App* list;
    CLI::App* info;
    CLI::App* update;
    CLI::App* help;
    std::string helpTopic;
};

CLI::Validator DeviceCheck() {
    return CLI::Validator(
        [](std::string& text) {
            DeviceSelector selector;
            std::string error;
            return DeviceSelector::Parse(text, selector, error) ? std::string() : error;
        },
        "");
}

// A number as people write it: decimal digits, leading zeros meaning
// nothing (the parser would take 010 as octal and 0x10 as hexadecimal).
CLI::Validator Decimal() {
    return CLI::Validator(
        [](std::string& text) {
            if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
                return std::string("expected a whole number in decimal digits");
            text.erase(0, std::min(text.find_first_not_of('0'), text.size() - 1));
            return std::string();
        },
        "");
}

CLI::Validator FaultCheck() {
    return CLI::Validator(
        [](std::string& name) {
            return kysim::FindNamedFault(name)
                       ? std::string()
                       : "unknown simulator fault \"" + Printable(name) + "\" (see kyfw --help)";
        },
        "");
}

void AddUpdateOptions(CLI::App& update, UpdateOptions& o) {
    auto* device =
        update
            .add_option("--device", o.deviceText,
                        "The Ky to update: its GUID, its /dev/fwN or its unit as list names it")
            ->type_name("GUID|/dev/fwN|fwN.M")
            ->check(DeviceCheck());
    update
        .add_flag("--all", o.all,
                  "Update, one after another, every Ky that the built-in firmware would upgrade")
        ->excludes(device);
    update.add_flag("-y,--yes", o.yes, "Do not ask for confirmation");
    update.add_flag("--allow-downgrade", o.allowDowngrade,
                    "Write the built-in firmware even if the Ky has newer firmware");
    update.add_flag("--reinstall", o.reinstall,
                    "Write the built-in firmware even if the Ky already has it");
    auto* wait = update.add_flag(
        "--wait", o.wait,
        "After the update, wait for the Ky to be switched off and on and check the firmware it "
        "starts (the default on a terminal)");
    auto* noWait =
        update.add_flag("--no-wait", o.noWait, "Do not wait for the restart")->excludes(wait);
    update
        .add_option("--wait-timeout", o.waitSeconds,
                    "How long to wait for the Ky to leave the bus, and then to come back")
        ->type_name("SECONDS")
        ->transform(Decimal())
        ->check(CLI::Range(1, 86400))
        ->excludes(noWait);
}

void AddCommands(CLI::App& app, GlobalOptions& options, UpdateOptions& update, Commands& c) {
    app.add_flag("--simulate", options.simulate,
                 "Use the simulated Ky instead of the FireWire bus");
    app.add_flag("--sim-reset", options.simReset,
                 "Start the simulated Ky afresh (older firmware, empty state)");
    app.add_option("--sim-fault", options.simFault, FaultHelp())
        ->type_name("NAME")
        ->check(FaultCheck());
    app.add_flag("-v,--verbose", options.verbose, "Show the engine's trace lines on stderr");
    auto* record =
        app.add_option("--record", options.record,
                       "Write every FireWire transaction to FILE (JSON Lines) for a bug report")
            ->type_name("FILE");
    app.add_flag("--record-anonymous", options.recordAnonymous,
                 "With --record: replace the GUIDs and the serial number in the recording")
        ->needs(record);
    auto* replay = app.add_option("--replay", options.replay,
                                  "Answer from a recording made with --record instead of a bus")
                       ->type_name("FILE");
    app.add_flag("--replay-timing", options.replayTiming,
                 "With --replay: take as long between answers as the recording did")
        ->needs(replay);
    c.list = app.add_subcommand("list", "List every Ky on the bus with its versions");
    c.info = app.add_subcommand("info", "Describe the firmware images built into kyfw");
    c.update = app.add_subcommand("update", "Write the built-in firmware into the Ky");
    c.help = app.add_subcommand("help", "Print the help of kyfw or of a subcommand");
    c.help->add_option("SUBCOMMAND", c.helpTopic, "list, info or update");
    for (CLI::App* sub : {c.list, c.info, c.update})
        sub->add_flag("--json", options.json, "Print one JSON document and nothing else");
    AddUpdateOptions(*c.update, update);
}

// A fault means something only where it can show: in an update, and for
// the faults that change what a listing finds, in a listing. A replay takes
// its bus and its waits for the restart from the recording.
std::string FaultProblem(const Commands& c, const GlobalOptions& options) {
    if (!options.replay.empty() && options.simulate)
        return "--replay and --simulate do not go together";
    for (const char* wait : {"--wait", "--no-wait", "--wait-timeout"})
        if (!options.replay.empty() && c.update->count(wait))
            return std::string(wait) +
                   " means nothing with --replay: it waits for the restart as the recorded run did";
    if (options.simFault.empty()) return {};
    if (!options.simulate) return "--sim-fault needs --simulate";
    if (!options.replay.empty()) return "--sim-fault and --replay do not go together";
    const kysim::NamedFault* fault = kysim::FindNamedFault(options.simFault);
    if (*c.info) return "--sim-fault means nothing to kyfw info";
    if (*c.list && !fault->listing)
        return "--sim-fault " + options.simFault +
               " means nothing to kyfw list: it acts on an update";
    return {};
}

int Help(CLI::App& app, const Commands& c, std::ostream& out, std::ostream& err) {
    for (CLI::App* sub : {c.list, c.info, c.update}) {
        if (c.helpTopic == sub->get_name()) {
            out << sub->help();
            return kExitDone;
        }
    }
    if (!c.helpTopic.empty()) {
        err << "kyfw: no subcommand \"" << Printable(c.helpTopic) << "\" (list, info, update)\n";
        return kExitUsage;
    }
    out << app.help();
    return kExitDone;
}

// With --record, the bus as kyfw sees it is wrapped in a recorder.
std::shared_ptr<FWLib::Recorder> StartRecording(Context& context, std::string& error) {
    FWLib::Recorder::Options options{std::string("kyfw ") + KY_VERSION_STRING,
                                     context.options.recordAnonymous,
                                     DownloadUnit::SerialNumberBusAddress()};
    auto recorder = FWLib::Recorder::Create(context.options.record, options, error);
    if (recorder) context.bus = FWLib::RecordingBus(context.bus, recorder);
    return recorder;
}

// With --replay, a bus that answers from the recording, and pauses that
// only count unless the recorded timing is asked for.
std::shared_ptr<FWLib::ReplayBus> OpenReplay(Context& context, std::string& error) {
    std::string text;
    std::vector<FWLib::RecordedEvent> events;
    int version = 0;
    if (!ky::ReadRegularFile(context.options.replay, text, error)) return nullptr;
    if (FWLib::ParseRecording(text, events, error, &version)) {
        auto replay =
            FWLib::MakeReplayBus(std::move(events), context.options.replayTiming, version);
        context.bus = replay;
        if (!context.options.replayTiming)
            context.choice.fastClock = std::make_unique<ky::FakeClock>();
        return replay;
    }
    error = "cannot replay " + context.options.replay + ": " + error;
    return nullptr;
}

// A command that ends before it began: the reason on standard error and,
// with --json, as the one JSON document on standard output.
int EndEarly(Context& context, const Commands& commands, int status, const std::string& message) {
    context.err << "kyfw: " << Printable(message, true) << "\n";
    if (context.options.json)
        context.out << JsonText({{"command", *commands.list ? "list" : "update"},
                                 {"outcome", "error"},
                                 {"message", message}})
                    << "\n";
    return status;
}

int RunOnBus(Context& context, const Commands& commands, const UpdateOptions& update) {
    std::string error;
    if (!context.options.replay.empty() && !(context.replay = OpenReplay(context, error)))
        return EndEarly(context, commands, kExitUsage, error);
    const int status = *commands.list ? RunList(context) : RunUpdate(context, update);
    const std::string mismatch = context.replay ? context.replay->Finish() : std::string();
    if (mismatch.empty()) return status;
    context.err << "kyfw: " << Printable(mismatch, true) << "\n";
    return kExitImageFailed;
}

// Whether --record would write over the recording --replay reads: the same
// file by device and inode, whatever the names.
bool RecordsOverItsReplay(const GlobalOptions& options) {
    struct stat record {
    }, replay{};
    return !options.record.empty() && !options.replay.empty() &&
           ::stat(options.record.c_str(), &record) == 0 &&
           ::stat(options.replay.c_str(), &replay) == 0 &&
           ky::ProcessTable::SameFile(record, replay);
}

int Dispatch(Context& context, const Commands& commands, const UpdateOptions& update) {
    if (*commands.info) return RunInfo(context);
    if (RecordsOverItsReplay(context.options))
        return EndEarly(context, commands, kExitUsage,
                        "--record and --replay name the same file (" + context.options.record +
                            "): the recording would be lost");
    std::string problem;
    if (context.options.replay.empty()) {
        if (auto status = OpenBus(context, problem))
            return EndEarly(context, commands, *status, problem);
    }
    std::shared_ptr<FWLib::Recorder> recorder;
    if (!context.options.record.empty() && !(recorder = StartRecording(context, problem)))
        return EndEarly(context, commands, kExitUsage, problem);
    if (!context.options.simFault.empty())
        kysim::ApplyNamedFault(*context.choice.demo->Bus(), context.choice.demo->Guid(),
                               context.options.simFault);
    context.recorder = recorder;
    int status = RunOnBus(context, commands, update);
    // A recording asked for and not kept whole fails the command, after
    // the command's own outcome.
    if (recorder && !recorder->Finish()) {
        context.err << "kyfw: the recording " << Printable(context.options.record)
                    << " could not be written whole: " << recorder->ErrorText() << "\n";
        if (status == kExitDone || status == kExitNothingToDo) status = kExitImageFailed;
    }
    return status;
}

}  // namespace

int Main(int argc, char** argv) {
    CLI::App app{"kyfw - firmware updater for the Ky FireWire video device", "kyfw"};
    app.fallthrough();
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string("kyfw ") + KY_VERSION_STRING);
    GlobalOptions options;
    UpdateOptions update;
    Commands commands{};
    AddCommands(app, options, update, commands);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? kExitDone : kExitUsage;
    }
    std::string problem;
    if (!update.deviceText.empty())
        DeviceSelector::Parse(update.deviceText, update.device, problem);
    if (problem = FaultProblem(commands, options); !problem.empty()) {
        std::cerr << "kyfw: " << Printable(problem) << "\n";
        return kExitUsage;
    }
    // A reader that goes away (kyfw ... | head) must not end the program:
    // a failed write is noticed and reported instead.
    signal(SIGPIPE, SIG_IGN);
    std::ostream& err = std::cerr;
    ky::StreamTraceSink verboseTrace(err);
    ky::FdOutputBuffer stdoutBuffer(STDOUT_FILENO);
    std::ostream out(&stdoutBuffer);
    // The engine's trace lines go to standard error with --verbose, else
    // nowhere; the user's output keeps standard output.
    Context context{options,
                    nullptr,
                    {},
                    out,
                    err,
                    stdoutBuffer,
                    false,
                    nullptr,
                    ky::ProcessTable::FromEnvironment(),
                    options.verbose ? ky::Trace(verboseTrace) : ky::Trace(),
                    nullptr};
    int status =
        *commands.help ? Help(app, commands, out, err) : Dispatch(context, commands, update);
    if (!stdoutBuffer.Finish()) {
        if (!context.outputFailureSaid)
            err << "kyfw: could not write to standard output: " << stdoutBuffer.ErrorText() << "\n";
        if (status == kExitDone) status = kExitImageFailed;
    }
    return status;
}

}  // namespace kyfw
