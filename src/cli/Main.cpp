#include "cli/Main.h"

#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <iostream>
#include <streambuf>

#include "cli/Context.h"
#include "cli/ExitStatus.h"
#include "sim/SimFaults.h"

namespace kyfw {

namespace {

// Swallows what is written to it.
class NullBuffer final : public std::streambuf {
protected:
    int overflow(int c) override { return traits_type::not_eof(c); }
};

// While it lives, the engine's trace lines (std::cout) go to `sink`; the
// user's output keeps the real standard output.
class TraceRedirect {
public:
    explicit TraceRedirect(std::streambuf* sink) : mSaved(std::cout.rdbuf(sink)) {}
    ~TraceRedirect() { std::cout.rdbuf(mSaved); }
    TraceRedirect(const TraceRedirect&) = delete;
    TraceRedirect& operator=(const TraceRedirect&) = delete;
    std::streambuf* Stdout() const { return mSaved; }

private:
    std::streambuf* mSaved;
};

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
};

Commands AddCommands(CLI::App& app, GlobalOptions& options, UpdateOptions& update) {
    app.add_flag("--simulate", options.simulate,
                 "Use the simulated Ky instead of the FireWire bus");
    app.add_flag("--sim-reset", options.simReset,
                 "Start the simulated Ky afresh (older firmware, empty state)");
    app.add_option("--sim-fault", update.simFault, FaultHelp())->type_name("NAME");
    app.add_flag("-v,--verbose", options.verbose, "Show the engine's trace lines on stderr");
    Commands c{};
    c.list = app.add_subcommand("list", "List every Ky on the bus with its versions");
    c.info = app.add_subcommand("info", "Describe the firmware images built into kyfw");
    c.update = app.add_subcommand("update", "Write the built-in firmware into the Ky");
    for (CLI::App* sub : {c.list, c.info, c.update})
        sub->add_flag("--json", options.json, "Print one JSON document and nothing else");
    c.update->add_option("--device", update.device, "The Ky to update: its GUID or /dev/fwN")
        ->type_name("GUID|/dev/fwN");
    c.update->add_flag("-y,--yes", update.yes, "Do not ask for confirmation");
    c.update->add_flag("--allow-downgrade", update.allowDowngrade,
                       "Write the built-in firmware even if the Ky has newer firmware");
    c.update->add_flag("--reinstall", update.reinstall,
                       "Write the built-in firmware even if the Ky already has it");
    return c;
}

int Dispatch(Context& context, const Commands& commands, const UpdateOptions& update) {
    if (*commands.info) return RunInfo(context);
    if (int status = OpenBus(context); status >= 0) return status;
    return *commands.list ? RunList(context) : RunUpdate(context, update);
}

}  // namespace

int Main(int argc, char** argv) {
    CLI::App app{"kyfw - firmware updater for the Ky FireWire video device", "kyfw"};
    app.fallthrough();
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string("kyfw ") + KY_VERSION_STRING);
    GlobalOptions options;
    UpdateOptions update;
    const Commands commands = AddCommands(app, options, update);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? kExitDone : kExitUsage;
    }
    // A reader that goes away (kyfw ... | head) must not end the program:
    // a failed write is noticed and reported instead.
    signal(SIGPIPE, SIG_IGN);
    NullBuffer null;
    std::ostream err(std::cerr.rdbuf());
    TraceRedirect redirect(options.verbose ? std::cerr.rdbuf() : &null);
    ky::FdOutputBuffer stdoutBuffer(STDOUT_FILENO);
    std::ostream out(&stdoutBuffer);
    Context context{options, nullptr, {}, out, err, stdoutBuffer};
    int status = Dispatch(context, commands, update);
    if (!stdoutBuffer.Finish()) {
        if (!context.outputFailureSaid)
            err << "kyfw: could not write to standard output: " << stdoutBuffer.ErrorText() << "\n";
        if (status == kExitDone) status = kExitImageFailed;
    }
    return status;
}

}  // namespace kyfw
