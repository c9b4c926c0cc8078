#include <CLI/CLI.hpp>
#include <iostream>
#include <streambuf>

#include "cli/Context.h"
#include "cli/ExitStatus.h"
#include "cli/Main.h"

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
    std::streambuf* Stdout() const { return mSaved; }

private:
    std::streambuf* mSaved;
};

void AddGlobalOptions(CLI::App& app, GlobalOptions& options) {
    app.add_flag("--simulate", options.simulate,
                 "Use the simulated Ky instead of the FireWire bus");
    app.add_flag("--sim-reset", options.simReset,
                 "Start the simulated Ky afresh (older firmware, empty state)");
    app.add_flag("-v,--verbose", options.verbose, "Show the engine's trace lines on stderr");
}

}  // namespace

int Main(int argc, char** argv) {
    CLI::App app{"kyfw - firmware updater for the Ky FireWire video device", "kyfw"};
    app.fallthrough();
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string("kyfw ") + KY_VERSION_STRING);
    GlobalOptions options;
    AddGlobalOptions(app, options);
    CLI::App* list = app.add_subcommand("list", "List every Ky on the bus with its versions");
    list->add_flag("--json", options.json, "Print one JSON document");
    CLI::App* info = app.add_subcommand("info", "Describe the firmware images built into kyfw");
    info->add_flag("--json", options.json, "Print one JSON document");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int code = app.exit(e);
        return code == 0 ? kExitDone : kExitUsage;
    }

    NullBuffer null;
    TraceRedirect redirect(options.verbose ? std::cerr.rdbuf() : &null);
    std::ostream out(redirect.Stdout());
    Context context{options, nullptr, {}, out, std::cerr};
    if (*info) return RunInfo(context);
    if (!OpenBus(context)) return kExitNoKy;
    int status = kExitUsage;
    if (*list) status = RunList(context);
    std::string error;
    if (!context.choice.Save(error)) context.err << "kyfw: " << error << "\n";
    return status;
}

}  // namespace kyfw
