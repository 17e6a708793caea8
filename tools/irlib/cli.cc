// The command table, --help texts and argument parsing of irlib. Options may stand anywhere
// after the command, as "--name value" or "--name=value"; "--" ends them.
#include "cli.h"

#include <cstdint>
#include <cstdio>

namespace irlib {
namespace {

const OptionDef kJson{"--json", nullptr, "print the result as JSON"};
const OptionDef kOverride{"--override-protection", nullptr,
                           "write to a write-protected library anyway"};
const OptionDef kFormat{"--format", "FORMAT", "ir (default), pronto, lirc or csv"};
const OptionDef kDecode{"--decode", nullptr, "raw signals that decode cleanly become parsed ones"};
const OptionDef kRender{"--render", nullptr, "parsed signals become raw timings"};
#define IRLIB_PROTOCOLS                                                                      \
    "Protocols rendered and decoded: NEC, NECext, NEC42, NEC42ext, Samsung32, RC5, RC5X,\n" \
    "RC6 (mode 0), SIRC, SIRC15, SIRC20, RCA, Kaseikyo and Pioneer. Codes wider than their\n" \
    "protocol carries are refused, never cut.\n"
#define IRLIB_FORMATS                                                                         \
    "Formats: ir (.ir), pronto (.pronto, .hex: 'NAME: CODE' lines or a label line before\n"  \
    "each code), lirc (.conf, .lirc, .lircd: raw, space-encoded, RC5 and RC6 remotes), csv\n" \
    "(irdb: functionname,protocol,device,subdevice,function). Comments are kept only in .ir.\n"

const OptionDef kExtraSpace{"--extra-space", "N",
                             "spare bytes per record for later growth (default 0)"};

void PrintCommandHelp(const CommandDef& c) {
    std::printf("usage: irlib %s %s%s\n\n%s\n%s", c.name, c.synopsis,
                c.options.empty() ? "" : " [options]", c.summary, c.help);
    if (!c.options.empty()) {
        std::printf("\noptions:\n");
        for (const OptionDef& o : c.options) {
            std::string left = o.name;
            if (o.value) left += std::string(" ") + o.value;
            std::printf("  %-24s %s\n", left.c_str(), o.help);
        }
    }
    std::printf("  %-24s %s\n", "--help", "show this help");
}

void PrintOverview() {
    std::printf(
        "usage: irlib COMMAND [arguments] [options]\n\n"
        "Looks inside, checks, repairs and fills varnel32 library files of IR remotes.\n\n"
        "commands:\n");
    for (const CommandDef& c : Commands()) std::printf("  %-9s %s\n", c.name, c.summary);
    std::printf(
        "\n'irlib COMMAND --help' describes one command. Exit status: 0 success, 1 failure\n"
        "(one line on standard error names the file and the reason), 2 bad usage.\n");
}

const OptionDef* FindOption(const CommandDef& c, const std::string& name) {
    for (const OptionDef& o : c.options)
        if (name == o.name) return &o;
    return nullptr;
}

}  // namespace

std::string Args::Get(const std::string& option, const std::string& fallback) const {
    auto it = options.find(option);
    return it == options.end() ? fallback : it->second;
}

int Fail(const std::string& file, const std::string& reason) {
    std::fflush(stdout);
    std::fprintf(stderr, "irlib: %s: %s\n", file.c_str(), reason.c_str());
    return kExitFailure;
}

int UsageError(const std::string& command, const std::string& reason) {
    if (command.empty()) {
        std::fprintf(stderr, "irlib: %s (see 'irlib --help')\n", reason.c_str());
    } else {
        std::fprintf(stderr, "irlib %s: %s (see 'irlib %s --help')\n", command.c_str(),
                     reason.c_str(), command.c_str());
    }
    return kExitUsage;
}

bool ParseNumber(const std::string& text, unsigned long max, unsigned long& out) {
    if (text.empty() || text.size() > 10) return false;
    unsigned long v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<unsigned long>(c - '0');
    }
    if (v > max) return false;
    out = v;
    return true;
}

const std::vector<CommandDef>& Commands() {
    static const std::vector<CommandDef> commands = {
        {"create", "FILE", "create an empty library file",
         "An existing file is left alone unless --force is given.\n",
         {{"--kind", "KIND", "infrared (default), command or kind8"},
          {"--write-protected", nullptr, "mark the library write-protected"},
          {"--force", nullptr, "replace an existing file"}},
         1, 1, RunCreate},
        {"ls", "FILE [MANUFACTURER [TYPE]]", "list the catalogue",
         "Without names: the whole catalogue as a tree (manufacturer, type, model). With a\n"
         "manufacturer: its types; with a type as well: its models. Library order, not sorted.\n",
         {kJson}, 1, 3, RunLs},
        {"show", "FILE MANUFACTURER TYPE MODEL", "show one record and its entries",
         "Names, sizes and every entry: its name, head fields, and its data decoded as a\n"
         "signal where it is one, else in hex. Names longer than 20 characters may be given\n"
         "in full; they are shortened the way import shortens them.\n",
         {kJson, {"--ir", nullptr, "print the record as a .ir file instead"}}, 4, 4, RunShow},
        {"put", "FILE MANUFACTURER TYPE MODEL IRFILE", "store one remote from a .ir file",
         "Replaces a record with the same names. Long names are shortened and kept in full\n"
         "in the record, as by import.\n",
         {kExtraSpace, kOverride, kJson}, 5, 5, RunPut},
        {"rm", "FILE MANUFACTURER TYPE MODEL", "delete one remote",
         "Deletes the record; for a remote stored in several parts, every part.\n",
         {kOverride}, 4, 4, RunRm},
        {"import", "FILE PATH...", "import .ir files and directory trees",
         "A directory is walked recursively (hidden entries skipped, sorted by name); a file\n"
         "below it at <Category>/<Manufacturer>/.../<Model>.ir becomes the record named\n"
         "manufacturer, type <Category>, model <...>/<Model>. A file given directly keeps only\n"
         "its own name. Prints a summary: remotes, signals, shortened names, collisions,\n"
         "split remotes, skipped files with reasons, time. Exit status 1 when any file was\n"
         "skipped.\n"
         "With --format, a directory yields the files of that format and a file given is read\n"
         "as it. An irdb CSV becomes manufacturer and type from its two directories, model from\n"
         "its name; a lircd.conf with several remotes becomes one model per remote. Coded LIRC\n"
         "keys are stored parsed where they decode, Pronto codes raw unless --decode. Every\n"
         "malformed line is reported with its file and line number; the rest is imported.\n"
         IRLIB_FORMATS,
         {kJson, kExtraSpace, kOverride,
          {"--verbose", nullptr, "list every shortened name in the summary"}, kFormat, kDecode,
          kRender},
         2, SIZE_MAX, RunImport},
        {"export", "FILE DIR", "write every remote back as .ir files",
         "Each remote goes to DIR/<its original relative path>; parts of a split remote are\n"
         "joined again. Exit status 1 when any remote could not be written.\n"
         "With --format, each remote is written in that format (extension changed); parsed\n"
         "signals are rendered for Pronto and raw LIRC, and every signal the format cannot\n"
         "hold is reported.\n" IRLIB_FORMATS,
         {kJson, kFormat, kDecode, kRender}, 2, 2, RunExport},
        {"compact", "FILE", "squeeze deleted records out of the file",
         "With --dry-run, only says what compaction would reclaim.\n",
         {{"--dry-run", nullptr, "change nothing; report what would be reclaimed"}, kJson,
          kOverride},
         1, 1, RunCompact},
        {"stats", "FILE", "counts, sizes, free space, dirty flag and kind", "", {kJson}, 1, 1,
         RunStats},
        {"check", "FILE", "verify every block and every invariant of the file",
         "Prints each violation as 'OFFSET: BLOCK: FIELD: expected E, found F', or 'ok'.\n"
         "Exit status 0 only for a sound file. Never changes the file.\n",
         {kJson}, 1, 1, RunCheck},
        {"dump", "FILE", "print the blocks of the file in file order",
         "Header, free slots, every extent with its entries, the index run and the tail,\n"
         "with the offset of each block and whether its checksum verifies.\n",
         {}, 1, 1, RunDump},
        {"salvage", "FILE OUT", "copy every intact record of a damaged file into a new one",
         "Trusts neither the header's counters nor the index: walks the extents by their\n"
         "capacity and, where that breaks, searches byte by byte for the next record header\n"
         "that verifies. Every live record whose record and entry headers verify is written\n"
         "to OUT, a new library. FILE is only read.\n",
         {kJson, {"--kind", "KIND", "kind of OUT when FILE's header is unreadable"},
          {"--force", nullptr, "replace an existing OUT"}},
         2, 2, RunSalvage},
        {"convert", "IN OUT", "convert a file between .ir, Pronto, LIRC and irdb CSV",
         "Formats are chosen by extension, or by --from and --format. Lines that cannot be read\n"
         "and signals the output format cannot hold are reported (file, line, reason) and left\n"
         "out; the rest is converted. Exit status 1 when anything was left out.\n" IRLIB_FORMATS
         IRLIB_PROTOCOLS,
         {{"--from", "FORMAT", "format of IN: ir, pronto, lirc or csv"},
          {"--format", "FORMAT", "format of OUT: ir, pronto, lirc or csv"}, kDecode, kRender},
         2, 2, RunConvert},
        {"find", "FILE", "which remotes hold a code",
         "Prints manufacturer / type / model / button for every signal that matches. A code is\n"
         "matched whether it is stored parsed or raw (raw signals are decoded); NECext whose\n"
         "bytes carry their complements is the same code as NEC. Raw timings or a Pronto code\n"
         "are decoded first; when they do not decode, raw signals are matched by timing within\n"
         "25% or 200 us. --code takes PROTOCOL ADDRESS COMMAND, numbers decimal or 0x hex.\n"
         IRLIB_PROTOCOLS,
         {{"--code", "PROTOCOL", "followed by ADDRESS COMMAND"},
          {"--pronto", "CODE", "a Pronto hex code, quoted"},
          {"--raw", "TIMINGS", "mark, space... durations in us, quoted"},
          {"--name", "GLOB", "button names matching GLOB (* and ?, any case)"}, kJson},
         1, 3, RunFind},
        {"dupes", "FILE", "remotes whose signals repeat another's",
         "Lists groups of remotes whose signals are the same codes, and remotes whose codes are\n"
         "all among another's, after decoding raw signals. A raw signal that does not decode\n"
         "counts by its exact timings.\n",
         {kJson}, 1, 1, RunDupes},
    };
    return commands;
}

int Main(int argc, char** argv) {
    if (argc < 2) return UsageError("", "no command given");
    const std::string first = argv[1];
    if (first == "--help" || first == "-h" || first == "help") {
        if (first == "help" && argc > 2) {
            for (const CommandDef& c : Commands())
                if (argv[2] == std::string(c.name)) {
                    PrintCommandHelp(c);
                    return kExitOk;
                }
            return UsageError("", std::string("unknown command '") + argv[2] + "'");
        }
        PrintOverview();
        return kExitOk;
    }
    if (first == "--version") {
        std::printf("irlib 1.0\n");
        return kExitOk;
    }
    const CommandDef* command = nullptr;
    for (const CommandDef& c : Commands())
        if (first == c.name) command = &c;
    if (command == nullptr) return UsageError("", "unknown command '" + first + "'");

    Args args;
    args.command = command->name;
    bool optionsEnded = false;
    for (int i = 2; i < argc; ++i) {
        std::string a = argv[i];
        if (optionsEnded || a.size() < 2 || a[0] != '-') {
            args.positional.push_back(a);
            continue;
        }
        if (a == "--") {
            optionsEnded = true;
            continue;
        }
        if (a == "--help" || a == "-h") {
            PrintCommandHelp(*command);
            return kExitOk;
        }
        std::string value;
        const size_t eq = a.find('=');
        const bool inlineValue = eq != std::string::npos;
        if (inlineValue) {
            value = a.substr(eq + 1);
            a.resize(eq);
        }
        const OptionDef* option = FindOption(*command, a);
        if (option == nullptr) return UsageError(command->name, "unknown option " + a);
        if (option->value != nullptr && !inlineValue) {
            if (i + 1 >= argc) return UsageError(command->name, a + " needs a value");
            value = argv[++i];
        } else if (option->value == nullptr && inlineValue) {
            return UsageError(command->name, a + " takes no value");
        }
        args.options[a] = value;
    }
    if (args.positional.size() < command->minArgs)
        return UsageError(command->name, "missing arguments; usage: irlib " +
                                             std::string(command->name) + " " + command->synopsis);
    if (args.positional.size() > command->maxArgs)
        return UsageError(command->name, "too many arguments; usage: irlib " +
                                             std::string(command->name) + " " + command->synopsis);
    const int status = command->run(args);
    std::fflush(stdout);
    return status;
}

}  // namespace irlib
