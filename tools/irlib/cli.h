// Command-line plumbing shared by every subcommand: the table of commands with their
// options and help texts, argument parsing, and the exit-status rules (0 success; 1 failure
// with one line on stderr naming the file and the reason; 2 bad usage).
#pragma once

#include <map>
#include <string>
#include <vector>

namespace irlib {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

struct Args {
    std::string command;
    std::vector<std::string> positional;
    std::map<std::string, std::string> options;  // "--json" -> "" for flags

    bool Has(const std::string& option) const { return options.count(option) != 0; }
    std::string Get(const std::string& option, const std::string& fallback = "") const;
};

struct OptionDef {
    const char* name;  // with its dashes
    const char* value; // the value's placeholder, or nullptr for a flag
    const char* help;
};

struct CommandDef {
    const char* name;
    const char* synopsis;  // the positional arguments
    const char* summary;   // one line for the command list
    const char* help;      // the rest of --help
    std::vector<OptionDef> options;
    size_t minArgs;
    size_t maxArgs;  // SIZE_MAX for "any number"
    int (*run)(const Args&);
};

const std::vector<CommandDef>& Commands();

// Runs the whole command line; the process's exit status.
int Main(int argc, char** argv);

// Prints "irlib: FILE: reason" on stderr and returns kExitFailure.
int Fail(const std::string& file, const std::string& reason);
// Prints "irlib COMMAND: reason (see 'irlib COMMAND --help')" and returns kExitUsage.
int UsageError(const std::string& command, const std::string& reason);

// Parses an unsigned option value in [0, max]; false for anything else.
bool ParseNumber(const std::string& text, unsigned long max, unsigned long& out);

// The subcommands, one file each (cmd_*.cc).
int RunCreate(const Args&);
int RunLs(const Args&);
int RunShow(const Args&);
int RunPut(const Args&);
int RunRm(const Args&);
int RunImport(const Args&);
int RunExport(const Args&);
int RunCompact(const Args&);
int RunStats(const Args&);
int RunCheck(const Args&);
int RunDump(const Args&);
int RunSalvage(const Args&);
int RunConvert(const Args&);
int RunFind(const Args&);
int RunDupes(const Args&);

}  // namespace irlib
