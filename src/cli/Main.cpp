#include "cli/Main.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <fstream>
#include <iostream>
#include <streambuf>

#include "base/FdStream.h"
#include "base/KyAssert.h"
#include "base/Paths.h"
#include "cli/Context.h"
#include "cli/ExitStatus.h"
#include "cli/Text.h"
#include "engine/DownloadUnit.h"
#include "firewire/Recording.h"
#include "firewire/Replay.h"
#include "sim/SimFaults.h"
#include "update/kyfirmwareupdate.h"

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
    auto* all =
        update
            .add_flag("--all", o.all,
                      "Update every Ky that the built-in firmware would upgrade, side by side")
            ->excludes(device);
    update
        .add_option("--jobs", o.jobs,
                    "With --all: write at most N Kys at once (all of them unless given)")
        ->type_name("N")
        ->transform(Decimal())
        ->check(CLI::Range(1, 63))
        ->needs(all);
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

// The subcommand a mistyped word was meant to be: one edit or two away
// ("lst", "udpate"), or the beginning of one ("up"); empty when none is.
std::string MeantSubcommand(const std::string& word) {
    const auto distance = [](const std::string& a, const std::string& b) {
        std::vector<std::size_t> row(b.size() + 1);
        for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
        for (std::size_t i = 1; i <= a.size(); ++i) {
            std::size_t diagonal = row[0];
            row[0] = i;
            for (std::size_t j = 1; j <= b.size(); ++j) {
                const std::size_t above = row[j];
                row[j] = std::min(
                    {row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
                diagonal = above;
            }
        }
        return row[b.size()];
    };
    for (const char* name : {"list", "info", "update", "help"})
        if (distance(word, name) <= 2 || (word.size() >= 2 && std::string(name).starts_with(word)))
            return name;
    return {};
}

// The first word of the command line that is no option nor an option's
// value: what was given as the subcommand, if anything.
std::string GivenSubcommand(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--sim-fault" || arg == "--record" || arg == "--replay")
            ++i;
        else if (!arg.starts_with("-"))
            return std::string(arg);
    }
    return {};
}

// The arguments as the parser takes them, last first: --json, an option of
// each subcommand's, may stand before the subcommand as every other option
// of kyfw's own does.
std::vector<std::string> JsonAfterSubcommand(int argc, char** argv) {
    std::vector<std::string> args;
    bool json = false;
    const std::string subcommand = GivenSubcommand(argc, argv);
    for (int i = 1; i < argc; ++i) {
        if (std::string_view(argv[i]) == "--json" && !json && !subcommand.empty() &&
            GivenSubcommand(i, argv).empty())
            json = true;
        else
            args.emplace_back(argv[i]);
    }
    if (json) args.emplace_back("--json");
    std::reverse(args.begin(), args.end());
    return args;
}

// A command line without a subcommand that kyfw knows: the usage, or what
// was meant.
int NoSubcommand(const CLI::App& app, int argc, char** argv, std::ostream& err) {
    const std::string given = GivenSubcommand(argc, argv);
    if (given.empty()) {
        err << app.help();
        return kExitUsage;
    }
    const std::string meant = MeantSubcommand(given);
    err << "kyfw: no subcommand \"" << Printable(given) << "\""
        << (meant.empty() ? "" : "; did you mean \"" + meant + "\"?")
        << " (list, info, update, help; kyfw --help shows them)\n";
    return kExitUsage;
}

int Help(CLI::App& app, const Commands& c, std::ostream& out, std::ostream& err) {
    for (CLI::App* sub : {c.list, c.info, c.update}) {
        if (c.helpTopic == sub->get_name()) {
            out << sub->help("kyfw");
            return kExitDone;
        }
    }
    if (!c.helpTopic.empty()) {
        const std::string meant = MeantSubcommand(c.helpTopic);
        err << "kyfw: no subcommand \"" << Printable(c.helpTopic) << "\""
            << (meant.empty() ? "" : "; did you mean \"" + meant + "\"?")
            << " (list, info, update)\n";
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

const char* CommandName(const Commands& commands) {
    return *commands.list ? "list" : *commands.info ? "info" : "update";
}

// A command that ends before it began: the reason on standard error and,
// with --json, as the run's document.
int EndEarly(Context& context, const Commands& commands, int status, const std::string& message) {
    context.err << "kyfw: " << Printable(message, true) << "\n";
    Emit(context, {{"command", CommandName(commands)}, {"message", message}});
    return status;
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

// The bus the run works on, from the replay or the options; nothing when
// there is one, else the early end. Nothing named on the command line is
// changed before all of it has been checked: the recording comes last.
std::optional<int> Prepare(Context& context, const Commands& commands) {
    if (RecordsOverItsReplay(context.options))
        return EndEarly(context, commands, kExitUsage,
                        "--record and --replay name the same file (" + context.options.record +
                            "): the recording would be lost");
    std::string problem;
    if (!context.options.replay.empty()) {
        if (!(context.replay = OpenReplay(context, problem)))
            return EndEarly(context, commands, kExitUsage, problem);
    } else if (auto status = OpenBus(context, problem)) {
        return EndEarly(context, commands, *status, problem);
    }
    if (!context.options.record.empty() && !(context.recorder = StartRecording(context, problem)))
        return EndEarly(context, commands, kExitUsage, problem);
    if (!context.options.simFault.empty())
        kysim::ApplyNamedFault(*context.choice.demo->Bus(), context.choice.demo->Guid(),
                               context.options.simFault);
    return std::nullopt;
}

// Once the command has its outcome: a replay that made other calls than
// the recording fails the run, and so does a recording not kept whole,
// unless the run failed anyway. What failed is said, and is the message of
// the run's document.
int AfterTheCommand(Context& context, int status) {
    const std::string mismatch = context.replay ? context.replay->Finish() : std::string();
    const std::string lost =
        context.recorder && !context.recorder->Finish()
            ? "the recording " + context.options.record +
                  " could not be written whole: " + context.recorder->ErrorText()
            : std::string();
    for (const std::string& problem : {mismatch, lost}) {
        if (problem.empty()) continue;
        context.err << "kyfw: " << Printable(problem, true) << "\n";
        if (context.document) (*context.document)["message"] = problem;
    }
    const bool succeeded = status == kExitDone || status == kExitNothingToDo;
    return !mismatch.empty() || (!lost.empty() && succeeded) ? kExitImageFailed : status;
}

int Dispatch(Context& context, const Commands& commands, const UpdateOptions& update) {
    if (*commands.info) return RunInfo(context);
    if (auto status = Prepare(context, commands)) return *status;
    return AfterTheCommand(context, *commands.list ? RunList(context) : RunUpdate(context, update));
}

// The name and version of a document's shape, as its schema
// (kyfw.schema.json) knows it: a new version whenever a field is renamed,
// retyped or removed.
std::string SchemaName(const Commands& commands) {
    const bool all = *commands.update && commands.update->count("--all") > 0;
    return std::string("kyfw-") + CommandName(commands) + (all ? "-all" : "") + "/1";
}

// The run's one JSON document, once its exit status is final: its outcome
// is that status's word, whichever way the run ended.
void PrintDocument(Context& context, const Commands& commands, int status) {
    if (!context.options.json) return;
    nlohmann::json doc =
        context.document.value_or(nlohmann::json{{"command", CommandName(commands)}});
    doc["schema"] = SchemaName(commands);
    doc["outcome"] = ky::OutcomeWord(ExitStatus(status));
    if (doc.contains("status")) doc["status"] = status;
    context.out << JsonText(doc) << "\n";
}

}  // namespace

void Emit(Context& context, nlohmann::json document) {
    KY_ASSERT(!context.document);
    context.document = std::move(document);
}

int Main(int argc, char** argv, const ky::ProcessTable& processes) {
    CLI::App app{"kyfw - firmware updater for the Ky FireWire video device", "kyfw"};
    app.fallthrough();
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string("kyfw ") + KY_VERSION_STRING +
                                          " (built-in firmware " + ky::BuiltInVersionText() + ")");
    GlobalOptions options;
    UpdateOptions update;
    Commands commands{};
    AddCommands(app, options, update, commands);
    try {
        app.parse(JsonAfterSubcommand(argc, argv));
    } catch (const CLI::ParseError& e) {
        if (app.get_subcommands().empty() && dynamic_cast<const CLI::RequiredError*>(&e))
            return NoSubcommand(app, argc, argv, std::cerr);
        return app.exit(e) == 0 ? kExitDone : kExitUsage;
    }
    if (!update.deviceText.empty()) {
        std::string unused;
        DeviceSelector::Parse(update.deviceText, update.device, unused);  // checked by the parser
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
    Context context{options,   nullptr,
                    {},        out,
                    err,       stdoutBuffer,
                    false,     nullptr,
                    processes, options.verbose ? ky::Trace(verboseTrace) : ky::Trace(),
                    nullptr,   std::nullopt};
    int status = kExitDone;
    if (*commands.help)
        status = Help(app, commands, out, err);
    else if (const std::string problem = FaultProblem(commands, options); !problem.empty())
        status = EndEarly(context, commands, kExitUsage, problem);
    else
        status = Dispatch(context, commands, update);
    PrintDocument(context, commands, status);
    if (!stdoutBuffer.Finish()) {
        if (!context.outputFailureSaid)
            err << "kyfw: the result could not be written to standard output ("
                << stdoutBuffer.ErrorText() << ")\n";
        if (status == kExitDone) status = kExitImageFailed;
    }
    return status;
}

}  // namespace kyfw
