#include "cli/CommandLine.h"

#include <algorithm>

#include "cli/Text.h"
#include "sim/SimFaults.h"

namespace kyfw {

namespace {

std::string FaultHelp() {
    std::string text = "Inject a fault into the simulated Ky (with --simulate):";
    for (const auto& f : kysim::NamedFaults())
        text += std::string("\n") + f.name + ": " + f.description;
    return text;
}

CLI::Validator DeviceCheck() {
    return CLI::Validator(
        [](std::string& text) {
            auto selector = DeviceSelector::Parse(text);
            return selector ? std::string() : selector.Failure().What();
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

}  // namespace

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
    c.list->add_flag("--names", options.names, "Print what --device takes for each Ky, one a line")
        ->excludes("--json");
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

// --json, an option of
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
}  // namespace kyfw
