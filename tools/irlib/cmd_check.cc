// check: the library's checker run over a file, read-only, and its report printed. Each
// violation names the offset of its block, the block, the field, and the expected and found
// values.
#include <cstdio>

#include "cli.h"
#include "json.h"
#include "scan.h"

namespace irlib {

int RunCheck(const Args& args) {
    const std::string& file = args.positional[0];
    std::vector<uint8_t> bytes;
    std::string error;
    if (!LoadFile(file, bytes, error)) return Fail(file, error);
    varnel32::check::Report checker = varnel32::check::Check(bytes);
    const bool hotJournal = HotJournalBeside(file);
    if (hotJournal) {
        checker.notes.push_back("hot journal beside the file: a changing call was cut short; the next "
                                "open for writing undoes it");
    }
    const auto& vs = checker.violations;
    if (args.Has("--json")) {
        Json out;
        out.BeginObject().Field("file", file).Field("ok", vs.empty()).Field("dirty", checker.dirty)
            .Field("hotJournal", hotJournal);
        out.Key("violations").BeginArray();
        for (const Violation& v : vs)
            out.BeginObject().Field("offset", v.offset).Field("fieldOffset", v.fieldOffset)
                .Field("block", v.block).Field("field", v.field).Field("expected", v.expected)
                .Field("found", v.found).EndObject();
        out.EndArray().Key("notes").BeginArray();
        for (const auto& n : checker.notes) out.String(n);
        out.EndArray().EndObject();
        std::fputs(out.Text().c_str(), stdout);
    } else {
        for (const Violation& v : vs)
            std::printf("%s\n", varnel32::check::Describe(v).c_str());
        for (const auto& n : checker.notes) std::printf("note: %s\n", n.c_str());
        if (vs.empty()) {
            std::printf("ok\n");
        } else {
            std::printf("%zu violation%s\n", vs.size(), vs.size() == 1 ? "" : "s");
        }
    }
    if (vs.empty()) return kExitOk;
    const Violation& v = vs.front();
    return Fail(file, std::to_string(vs.size()) + " violation" + (vs.size() == 1 ? "" : "s") +
                          ", the first at offset " + std::to_string(v.offset) + " (" + v.block + ", " +
                          v.field + ")");
}

}  // namespace irlib
