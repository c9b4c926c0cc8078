#include "cli/CommandLine.h"

#include <algorithm>
#include <optional>

#include "base/Translate.h"
#include "cli/Text.h"
#include "sim/SimFaults.h"

namespace kyfw {

using ky::Fill;
using ky::Tr;

namespace {

std::string FaultHelp() {
    std::string text = Tr("Inject a fault into the simulated Ky (with --simulate):");
    for (const auto& f : kysim::NamedFaults())
        text += std::string("\n") + f.name + ": " + Tr(f.description);
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
                return std::string(Tr("expected a whole number in decimal digits"));
            text.erase(0, std::min(text.find_first_not_of('0'), text.size() - 1));
            return std::string();
        },
        "");
}

// A whole number from `low` to `high`, once Decimal has made it digits.
CLI::Validator Within(unsigned low, unsigned high) {
    return CLI::Validator(
        [low, high](std::string& text) {
            if (text.size() < 10 && std::stoul(text) >= low && std::stoul(text) <= high)
                return std::string();
            // TRANSLATORS: {1} is the number given, {2} and {3} the least and
            // the most that is allowed.
            return Fill(Tr("Value {1} not in range {2} to {3}"),
                        {text, std::to_string(low), std::to_string(high)});
        },
        "INT in [" + std::to_string(low) + " - " + std::to_string(high) + "]");
}

CLI::Validator FaultCheck() {
    return CLI::Validator(
        [](std::string& name) {
            return kysim::FindNamedFault(name)
                       ? std::string()
                       : Fill(Tr("unknown simulator fault \"{1}\" (see kyfw --help)"),
                              {Printable(name)});
        },
        "");
}

void AddUpdateOptions(CLI::App& update, UpdateOptions& o) {
    auto* device =
        update
            .add_option("--device", o.deviceText,
                        Tr("The Ky to update: its GUID, its /dev/fwN or its unit as list names it"))
            ->type_name("GUID|/dev/fwN|fwN.M")
            ->check(DeviceCheck());
    auto* all =
        update
            .add_flag("--all", o.all,
                      Tr("Update every Ky that the built-in firmware would upgrade, side by side"))
            ->excludes(device);
    update
        .add_option("--jobs", o.jobs,
                    Tr("With --all: write at most N Kys at once (all of them unless given)"))
        ->type_name("N")
        ->transform(Decimal())
        ->check(Within(1, 63))
        ->needs(all);
    update.add_flag("-y,--yes", o.yes, Tr("Do not ask for confirmation"));
    update.add_flag("--allow-downgrade", o.allowDowngrade,
                    Tr("Write the built-in firmware even if the Ky has newer firmware"));
    update.add_flag("--reinstall", o.reinstall,
                    Tr("Write the built-in firmware even if the Ky already has it"));
    auto* wait = update.add_flag(
        "--wait", o.wait,
        Tr("After the update, wait for the Ky to be switched off and on and check the firmware it "
           "starts (the default on a terminal)"));
    auto* noWait =
        update.add_flag("--no-wait", o.noWait, Tr("Do not wait for the restart"))->excludes(wait);
    update
        .add_option("--wait-timeout", o.waitSeconds,
                    Tr("How long to wait for the Ky to leave the bus, and then to come back"))
        ->type_name("SECONDS")
        ->transform(Decimal())
        ->check(Within(1, 86400))
        ->excludes(noWait);
}

// The values in `text` where the English `pattern` has {1}, {2}, ... (in
// that order), or nothing when `text` does not read as `pattern`.
std::optional<std::vector<std::string>> Unfill(std::string_view pattern, std::string_view text) {
    std::vector<std::string> values;
    std::size_t open = pattern.find('{');
    if (!text.starts_with(pattern.substr(0, open))) return std::nullopt;
    text.remove_prefix(std::min(open, pattern.size()));
    while (open != std::string_view::npos) {
        pattern.remove_prefix(open + 3);
        open = pattern.find('{');
        const std::string_view literal = pattern.substr(0, open);
        const std::size_t at = open == std::string_view::npos ? text.rfind(literal)
                               : literal.empty()              ? std::string_view::npos
                                                              : text.find(literal);
        if (at == std::string_view::npos ||
            (open == std::string_view::npos && at + literal.size() != text.size()))
            return std::nullopt;
        values.emplace_back(text.substr(0, at));
        text.remove_prefix(at + literal.size());
    }
    return values;
}

// The parser's own messages, by the kind of error, that kyfw has in the
// user's language. (A subcommand's ExtrasError has the subcommand's name
// for its kind: those match by their words alone.)
struct ParserWords {
    const char* error;  // or any
    const char* pattern;
};
constexpr ParserWords kParserWords[] = {
    // TRANSLATORS: {1} and {2} are options, as --record-anonymous and --record.
    {"RequiresError", N_("{1} requires {2}")},
    // TRANSLATORS: {1} and {2} are options that cannot be given together.
    {"ExcludesError", N_("{1} excludes {2}")},
    // TRANSLATORS: {1} is what was given on the command line.
    {nullptr, N_("The following argument was not expected: {1}")},
    // TRANSLATORS: {1} is what was given on the command line.
    {nullptr, N_("The following arguments were not expected: {1}")},
    // TRANSLATORS: {1} is an option, {2} how many values it lacks, {3} what
    // they are, as "N:INT in [1 - 63]" (stays as it is).
    {"ArgumentMismatch", N_("{1}: {2} required {3} missing")},
    // TRANSLATORS: {1} is an option, {2} and {3} count its values.
    {"ArgumentMismatch", N_("{1}: At Most {2} required but received {3}")},
    // TRANSLATORS: {1} is an option, {2} and {3} count its values.
    {"ArgumentMismatch", N_("{1}: At least {2} required but received {3}")},
    // TRANSLATORS: {1} is an option, {2} the value given to it.
    {"ConversionError", N_("Could not convert: {1} = {2}")},
    // TRANSLATORS: {1} is an option that takes no value.
    {"ConversionError", N_("{1}: too many inputs for a flag")},
};

// The parser's message in the user's language; one that kyfw has no words
// for stays as the parser wrote it.
std::string ParseErrorText(const CLI::Error& e) {
    const std::string what = e.what();
    for (const ParserWords& words : kParserWords) {
        if (words.error && e.get_name() != words.error) continue;
        if (auto values = Unfill(words.pattern, what)) {
            values->resize(3);
            const auto& v = *values;
            return Fill(Tr(words.pattern), {v[0], v[1], v[2]});
        }
    }
    return what;
}

std::string UsageFailure(const CLI::App*, const CLI::Error& e) {
    return ParseErrorText(e) + "\n" + Tr("Run with --help for more information.") + "\n";
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

// What kyfw says of a word that is no subcommand: what was meant, if it
// can tell, and the subcommands there are (with help, where help is one).
std::string UnknownSubcommand(const std::string& given, bool withHelp) {
    const std::string meant = MeantSubcommand(given);
    // (The subcommand names and kyfw --help stay as they are in each.)
    const char* const patterns[2][2] = {
        // TRANSLATORS: {1} is the word given as the subcommand.
        {N_("no subcommand \"{1}\" (list, info, update)"),
         // TRANSLATORS: {1} is the word given, {2} the subcommand it is like.
         N_("no subcommand \"{1}\"; did you mean \"{2}\"? (list, info, update)")},
        // TRANSLATORS: {1} is the word given as the subcommand.
        {N_("no subcommand \"{1}\" (list, info, update, help; kyfw --help shows them)"),
         // TRANSLATORS: {1} is the word given, {2} the subcommand it is like.
         N_("no subcommand \"{1}\"; did you mean \"{2}\"? (list, info, update, help; kyfw --help "
            "shows them)")}};
    return Fill(Tr(patterns[withHelp][!meant.empty()]), {Printable(given), meant});
}

}  // namespace

void UseUsersLanguage(CLI::App& app) {
    // TRANSLATORS: the heading of the list of options in --help.
    app.option_defaults()->group(Tr("Options"));
    // TRANSLATORS: the heading of the list of subcommands in --help.
    app.group(Tr("Subcommands"));
    app.set_help_flag("-h,--help", Tr("Print this help message and exit"));
    // TRANSLATORS: as in "Usage: kyfw [OPTIONS] SUBCOMMAND"; OPTIONS and
    // SUBCOMMAND stay as they are.
    app.get_formatter()->label("Usage", Tr("Usage"));
    // TRANSLATORS: the heading of the list of arguments (not options) in --help.
    app.get_formatter()->label("Positionals", Tr("Positionals"));
    // TRANSLATORS: after an option in --help: the options it needs.
    app.get_formatter()->label("Needs", Tr("Needs"));
    // TRANSLATORS: after an option in --help: the options it cannot go with.
    app.get_formatter()->label("Excludes", Tr("Excludes"));
    app.failure_message(UsageFailure);
}

void AddCommands(CLI::App& app, GlobalOptions& options, UpdateOptions& update, Commands& c) {
    app.add_flag("--simulate", options.simulate,
                 Tr("Use the simulated Ky instead of the FireWire bus"));
    app.add_flag("--sim-reset", options.simReset,
                 Tr("Start the simulated Ky afresh (older firmware, empty state)"));
    app.add_option("--sim-fault", options.simFault, FaultHelp())
        ->type_name("NAME")
        ->check(FaultCheck());
    app.add_flag("-v,--verbose", options.verbose, Tr("Show the engine's trace lines on stderr"));
    auto* record =
        app.add_option("--record", options.record,
                       Tr("Write every FireWire transaction to FILE (JSON Lines) for a bug report"))
            ->type_name("FILE");
    app.add_flag("--record-anonymous", options.recordAnonymous,
                 Tr("With --record: replace the GUIDs and the serial number in the recording"))
        ->needs(record);
    auto* replay = app.add_option("--replay", options.replay,
                                  Tr("Answer from a recording made with --record instead of a bus"))
                       ->type_name("FILE");
    app.add_flag("--replay-timing", options.replayTiming,
                 Tr("With --replay: take as long between answers as the recording did"))
        ->needs(replay);
    c.list = app.add_subcommand("list", Tr("List every Ky on the bus with its versions"));
    c.info = app.add_subcommand("info", Tr("Describe the firmware images built into kyfw"));
    c.update = app.add_subcommand("update", Tr("Write the built-in firmware into the Ky"));
    c.help = app.add_subcommand("help", Tr("Print the help of kyfw or of a subcommand"));
    // TRANSLATORS: what "kyfw help" takes; the subcommand names stay as they are.
    c.help->add_option("SUBCOMMAND", c.helpTopic, Tr("list, info or update"));
    // A subcommand's own -h is made before it takes the group's name.
    for (CLI::App* sub : {c.list, c.info, c.update, c.help})
        sub->get_help_ptr()->group(app.option_defaults()->get_group());
    for (CLI::App* sub : {c.list, c.info, c.update})
        sub->add_flag("--json", options.json, Tr("Print one JSON document and nothing else"));
    c.list
        ->add_flag("--names", options.names,
                   Tr("Print what --device takes for each Ky, one a line"))
        ->excludes("--json");
    AddUpdateOptions(*c.update, update);
}

// A fault means something only where it can show: in an update, and for
// the faults that change what a listing finds, in a listing. A replay takes
// its bus and its waits for the restart from the recording.
std::string FaultProblem(const Commands& c, const GlobalOptions& options) {
    if (!options.replay.empty() && options.simulate)
        return Tr("--replay and --simulate do not go together");
    for (const char* wait : {"--wait", "--no-wait", "--wait-timeout"})
        if (!options.replay.empty() && c.update->count(wait))
            // TRANSLATORS: {1} is an option: --wait, --no-wait or --wait-timeout.
            return Fill(Tr("{1} means nothing with --replay: it waits for the restart as the "
                           "recorded run did"),
                        {wait});
    if (options.simFault.empty()) return {};
    if (!options.simulate) return Tr("--sim-fault needs --simulate");
    if (!options.replay.empty()) return Tr("--sim-fault and --replay do not go together");
    const kysim::NamedFault* fault = kysim::FindNamedFault(options.simFault);
    if (*c.info) return Tr("--sim-fault means nothing to kyfw info");
    if (*c.list && !fault->listing)
        // TRANSLATORS: {1} is the name of a fault of the simulated Ky.
        return Fill(Tr("--sim-fault {1} means nothing to kyfw list: it acts on an update"),
                    {options.simFault});
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
        // An option kyfw does not have is named before the help.
        for (int i = 1; i < argc; ++i) {
            const std::string_view arg = argv[i];
            if (arg.starts_with("-") &&
                !app.get_option_no_throw(std::string(arg.substr(0, arg.find('=')))))
                err << "kyfw: "
                    << Fill(Tr("The following argument was not expected: {1}"), {Printable(arg)})
                    << "\n";
        }
        err << app.help();
        return kExitUsage;
    }
    err << "kyfw: " << UnknownSubcommand(given, true) << "\n";
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
        err << "kyfw: " << UnknownSubcommand(c.helpTopic, false) << "\n";
        return kExitUsage;
    }
    out << app.help();
    return kExitDone;
}
}  // namespace kyfw
