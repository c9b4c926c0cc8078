#pragma once

// kyfw's command line: its options and subcommands, what they mean
// together, and the words kyfw has for one it does not know.

#include <CLI/CLI.hpp>
#include <ostream>
#include <string>
#include <vector>

#include "cli/Context.h"

namespace kyfw {

struct Commands {
    CLI::App* list;
    CLI::App* info;
    CLI::App* update;
    CLI::App* help;
    std::string helpTopic;
};

// The parser's own words (its headings, its messages) in the user's
// language: before anything else is added to `app`.
void UseUsersLanguage(CLI::App& app);
void AddCommands(CLI::App& app, GlobalOptions& options, UpdateOptions& update, Commands& c);
// What is wrong with options that each parse but do not go together, or
// nothing.
std::string FaultProblem(const Commands& c, const GlobalOptions& options);
// The arguments as the parser takes them, last first.
std::vector<std::string> JsonAfterSubcommand(int argc, char** argv);
// A command line without a subcommand that kyfw knows: the usage, or what
// was meant; the exit status.
int NoSubcommand(const CLI::App& app, int argc, char** argv, std::ostream& err);
// kyfw help [SUBCOMMAND]; the exit status.
int Help(CLI::App& app, const Commands& c, std::ostream& out, std::ostream& err);

}  // namespace kyfw
