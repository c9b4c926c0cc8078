#include "cli/Main.h"

#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <iostream>

#include "base/FdStream.h"
#include "base/KyAssert.h"
#include "base/Translate.h"
#include "cli/CommandLine.h"
#include "cli/Context.h"
#include "cli/ExitStatus.h"
#include "cli/Text.h"
#include "sim/SimFaults.h"
#include "update/kyfirmwareupdate.h"

namespace kyfw {

namespace {

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

// The bus the run works on, from the replay or the options; nothing when
// there is one, else the early end.
std::optional<int> Prepare(Context& context, const Commands& commands) {
    const GlobalOptions& o = context.options;
    if (auto failure =
            context.start.Open({std::string("kyfw ") + KY_VERSION_STRING, o.simulate, o.simReset,
                                o.replay, o.replayTiming, o.record, o.recordAnonymous}))
        return EndEarly(context, commands, failure->status, failure->message);
    if (!o.simFault.empty())
        kysim::ApplyNamedFault(*context.start.Simulated()->Bus(), context.start.Simulated()->Guid(),
                               o.simFault);
    return std::nullopt;
}

// Once the command has its outcome: what the replay and the recording make
// of it. What failed is said, and is the message of the run's document.
int AfterTheCommand(Context& context, int status) {
    const ky::StartEnd end = context.start.Finish(ExitStatus(status));
    for (const std::string& problem : end.problems) {
        context.err << "kyfw: " << Printable(problem, true) << "\n";
        if (context.document) (*context.document)["message"] = problem;
    }
    return end.status;
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
    CLI::App app{
        std::string("kyfw - ") + ky::Tr("firmware updater for the Ky FireWire video device"),
        "kyfw"};
    UseUsersLanguage(app);
    app.fallthrough();
    app.require_subcommand(1);
    // TRANSLATORS: {1} is kyfw's version, {2} that of the firmware it writes.
    const char* version = ky::Tr("kyfw {1} (built-in firmware {2})");
    app.set_version_flag("--version",
                         ky::Fill(version, {KY_VERSION_STRING, ky::BuiltInVersionText()}),
                         ky::Tr("Display program version information and exit"));
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
    // A document for programs is the same in every language.
    if (options.json) ky::UseEnglish();
    if (!update.deviceText.empty())
        update.device = *DeviceSelector::Parse(update.deviceText);  // checked by the parser
    // A reader that goes away (kyfw ... | head) must not end the program:
    // a failed write is noticed and reported instead.
    signal(SIGPIPE, SIG_IGN);
    std::ostream& err = std::cerr;
    ky::StreamTraceSink verboseTrace(err);
    ky::FdOutputBuffer stdoutBuffer(STDOUT_FILENO);
    std::ostream out(&stdoutBuffer);
    // The engine's trace lines go to standard error with --verbose, else
    // nowhere; the user's output keeps standard output.
    const ky::Trace trace = options.verbose ? ky::Trace(verboseTrace) : ky::Trace();
    Context context{
        options, out, err, stdoutBuffer, false, processes, trace, ky::StartUp(trace), std::nullopt};
    int status = kExitDone;
    if (*commands.help)
        status = Help(app, commands, out, err);
    else if (const std::string problem = FaultProblem(commands, options); !problem.empty())
        status = EndEarly(context, commands, kExitUsage, problem);
    else
        status = Dispatch(context, commands, update);
    PrintDocument(context, commands, status);
    if (!stdoutBuffer.Finish()) {
        if (!context.outputFailureSaid) {
            // TRANSLATORS: {1} is the system's reason, as "Broken pipe".
            const char* failed = ky::Tr("the result could not be written to standard output ({1})");
            err << "kyfw: " << ky::Fill(failed, {stdoutBuffer.ErrorText()}) << "\n";
        }
        if (status == kExitDone) status = kExitFailed;
    }
    return status;
}

}  // namespace kyfw
