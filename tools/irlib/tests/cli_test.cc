// irlib as a user runs it, the real binary in a fresh directory per test: exit statuses with
// one line of standard error; .ir trees imported and exported signal for signal; check and
// salvage on one table of damaged files; the other formats converted, searched and refused.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

#include "format/blocks.h"
#include "format/journal_blocks.h"
#include "varnel32.h"

namespace irlib::test {
namespace {

namespace fs = std::filesystem;
namespace fmt = varnel32::format;
using Args = std::vector<std::string>;

struct RunResult { int status; std::string out, err; };

const std::string kHead = "Filetype: IR signals file\nVersion: 1\n";

std::string Parsed(const std::string& name, const std::string& protocol, const std::string& address,
                   const std::string& command) {
    return "#\nname: " + name + "\ntype: parsed\nprotocol: " + protocol + "\naddress: " + address +
           "\ncommand: " + command + "\n";
}

std::string Raw(const std::string& name, size_t timings, uint32_t seed) {
    std::string s = "#\nname: " + name + "\ntype: raw\nfrequency: 38000\nduty_cycle: 0.330000\ndata:";
    for (size_t i = 0; i < timings; ++i) s += " " + std::to_string(300 + (seed * 7919 + i * 104729) % 9000);
    return s + "\n";
}

std::string ReadPath(const fs::path& p) {
    std::ostringstream s;
    s << std::ifstream(p, std::ios::binary).rdbuf();
    return s.str();
}

// Every *.ir file below `root`, by relative path, as its fields, comments and header lines in
// order, whatever the spacing, line ends and bare "#" lines: what an export must give back.
std::map<std::string, std::string> ReadIrTree(const std::string& root) {
    std::map<std::string, std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        if (!e.is_regular_file() || e.path().extension() != ".ir") continue;
        std::istringstream in(ReadPath(e.path()));
        std::string& out = files[e.path().lexically_relative(root).generic_string()];
        for (std::string line, word, joined; std::getline(in, line); joined.clear()) {
            for (std::istringstream words(line); words >> word;) joined += (joined.empty() ? "" : " ") + word;
            if (!joined.empty() && joined != "#") out += joined + "\n";
        }
    }
    return files;
}

std::vector<std::string> LinesStartingWith(const std::string& text, const std::string& prefix) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (line.rfind(prefix, 0) == 0) lines.push_back(line);
    return lines;
}

long JsonNumber(const std::string& json, const std::string& key) {
    const size_t at = json.find("\"" + key + "\": ");
    return at == std::string::npos ? -1 : std::stol(json.substr(at + key.size() + 4));
}

// The header with `change` applied and sealed again, as a program that got a field wrong would
// write it; returns the new header.
fmt::LibraryHeader Reseal(std::string& file, const std::function<void(fmt::LibraryHeader&)>& change) {
    std::span<uint8_t, fmt::kHeaderSize> bytes(reinterpret_cast<uint8_t*>(file.data()), fmt::kHeaderSize);
    fmt::LibraryHeader h = fmt::DecodeLibraryHeader(bytes);
    change(h);
    fmt::Encode(h, bytes);
    fmt::Seal(fmt::BlockKind::Header, bytes);
    return fmt::DecodeLibraryHeader(bytes);
}

class Irlib : public ::testing::Test {
protected:
    void SetUp() override {  // a directory of its own, even beside another run of the suite
        dir_ = testing::TempDir() + "irlib_XXXXXX";
        ASSERT_NE(mkdtemp(dir_.data()), nullptr);
    }
    void TearDown() override { if (!HasFailure()) fs::remove_all(dir_); }
    // Through the shell, every argument in single quotes (no test passes one that holds a quote);
    // output goes to files, not pipes, so a chatty command cannot block.
    RunResult Run(const Args& args) const {
        std::string line = "cd '" + dir_ + "' && '" IRLIB_BINARY "'";
        for (const std::string& a : args) line += " '" + a + "'";
        const int status = std::system((line + " </dev/null >.stdout 2>.stderr").c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, Read(".stdout"), Read(".stderr")};
    }
    // Expects `status` with nothing on standard error, or when it fails one line that starts
    // with `err`; returns standard output.
    std::string Ok(const Args& args, int status = 0, const std::string& err = "") const {
        const RunResult r = Run(args);
        EXPECT_EQ(r.status, status) << testing::PrintToString(args) << "\n" << r.out << r.err;
        const bool oneLine = r.err.starts_with(err) && r.err.find('\n') == r.err.size() - 1;
        EXPECT_TRUE(status ? oneLine : r.err.empty()) << r.err;
        return r.out;
    }
    std::string Path(const std::string& name) const { return dir_ + "/" + name; }
    std::string Read(const std::string& name) const { return ReadPath(Path(name)); }
    void Write(const std::string& name, const std::string& text) const {
        fs::create_directories(fs::path(Path(name)).parent_path());
        std::ofstream(Path(name), std::ios::binary) << text;
    }
    // Imports `from` into a fresh lib.vlib and exports it to out/: every file comes back signal
    // for signal but those named in `skipped`. Returns the import's --json report.
    std::string RoundTrip(const std::string& from, std::vector<std::string> skipped = {}) {
        Ok({"create", "lib.vlib"});
        const RunResult r = Run({"import", "lib.vlib", from, "--json"});
        EXPECT_EQ(r.status, skipped.empty() ? 0 : 1) << r.err;
        Ok({"export", "lib.vlib", "out"});
        auto in = ReadIrTree(from);
        for (const std::string& s : skipped) EXPECT_EQ(in.erase(s), 1u) << s;
        const auto out = ReadIrTree(Path("out"));
        EXPECT_EQ(out.size(), in.size());
        for (const auto& [path, text] : in) EXPECT_EQ(out.count(path) ? out.at(path) : "", text) << path;
        EXPECT_EQ(Ok({"check", "lib.vlib"}), "ok\n");
        return r.out;
    }

    std::string dir_;
};

TEST_F(Irlib, UsageErrorsAndFailuresGiveTheirStatusAndOneLine) {
    Ok({"create", "lib.vlib"});
    Ok({"create", "ro.vlib", "--write-protected"});
    Write("notes.txt", std::string(4000, 'x'));
    Write("a.ir", kHead + Parsed("On", "RC5", "00 00 00 00", "0C 00 00 00"));
    const struct { Args args; int status; const char* err; } rows[] = {
        {{}, 2, "irlib: no command given"},
        {{"import", "x.vlib", "--extra-space"}, 2, "irlib import: --extra-space needs a value"},
        {{"ls", "missing.vlib"}, 1, "irlib: missing.vlib: no such file"},
        {{"ls", "notes.txt"}, 1, "irlib: notes.txt: not a library"},
        {{"create", "lib.vlib"}, 1, "irlib: lib.vlib: already exists"},
        {{"rm", "lib.vlib", "A", "B", "C"}, 1, "irlib: lib.vlib: no record"},
        {{"put", "ro.vlib", "A", "B", "C", "a.ir"}, 1, "irlib: ro.vlib: write-protected"},
        {{"salvage", "ro.vlib", "ro.vlib", "--force"}, 1, "irlib: ro.vlib: is the file"},
    };
    for (const auto& row : rows) EXPECT_EQ(Ok(row.args, row.status, row.err), "");
    Ok({"put", "ro.vlib", "A", "B", "C", "a.ir", "--override-protection"});
}

// Long names at every level, split remotes. (The shipped examples round trip further down.)
TEST_F(Irlib, TheSharedSampleRoundTrips) {
    const std::string sample = std::string(IRLIB_SHARED_DATA) + "/flipper-irdb-sample";
    if (!fs::is_directory(sample)) GTEST_SKIP() << "skipped the shared sample: " << sample << " is missing";
    const std::string report = RoundTrip(sample);
    EXPECT_EQ(JsonNumber(report, "remotes"), 624);
    for (const std::string& line : LinesStartingWith(report, "      \"stored\": \""))
        EXPECT_LE(line.size() - 18, 20u) << line;  // `      "stored": "` + at most 20 bytes + `"`
}

// Names that merge without regard to case, a remote larger than a record and one signal
// larger than any record: all reported, none silently lost or merged; a second import replaces
// in place; showing and removing see the same.
TEST_F(Irlib, MadeUpTreeRoundTripsWithEveryNameReported) {
    const std::string a = kHead + "# Acme\n" + Parsed("Power", "NEC", "01 00 00 00", "01 00 00 00");
    std::string huge = kHead;
    for (int i = 0; i < 120; ++i) huge += Raw("Key_" + std::to_string(i), 300, static_cast<uint32_t>(i));
    for (const auto& [path, text] : std::map<std::string, std::string>{
             {"TVs/ACME/Remote.ir", a}, {"TVs/Acme/Remote.ir", kHead + Raw("Volume_up", 20, 9)},
             {"Big/Maker/Huge.ir", huge}, {"Big/Maker/TooBig.ir", kHead + Raw("Enormous", 40000, 1)},
             {"Junk/x/notir.ir", "not an IR file\n"}})
        Write("src/" + path, text);
    const std::string j = RoundTrip(Path("src"), {"Big/Maker/TooBig.ir", "Junk/x/notir.ir"});
    for (const char* s : {"\"takenBy\": \"TVs/ACME/Remote.ir\"", "\"models\": [\n        \"Huge+1\"",
                          "TooBig.ir\",\n      \"reason\": \"item 1 takes",
                          "notir.ir\",\n      \"reason\": \"not an IR"})
        EXPECT_NE(j.find(s), std::string::npos) << s << "\n" << j;
    EXPECT_EQ(JsonNumber(Run({"import", "lib.vlib", "src", "--json"}).out, "replaced"), 3);
    EXPECT_EQ(Ok({"show", "lib.vlib", "acme", "tvs", "remote", "--ir"}), a);
    // Removing one part removes the whole split remote.
    const std::string removed = Ok({"rm", "lib.vlib", "Maker", "Big", "Huge+2"});
    EXPECT_NE(removed.find("removed Maker / Big / Huge+1"), std::string::npos) << removed;
    EXPECT_EQ(Ok({"ls", "lib.vlib"}).find("Huge"), std::string::npos);
}

// Each damaged copy of the shipped examples' library with a removed remote: check names the first
// broken promise by offset, block and field and leaves the file alone; salvage never writes it
// and recovers into a sound new library every live record whose blocks are whole, unchanged.
TEST_F(Irlib, CheckAndSalvageOnATableOfDamagedFiles) {
    RoundTrip(IRLIB_EXAMPLES);
    Ok({"put", "lib.vlib", "Gone", "TVs", "Old", "out/Fans/Dyson/Dyson_Pure_Cool_TP4A.ir"});
    Ok({"rm", "lib.vlib", "Gone", "TVs", "Old"});
    const auto ref = ReadIrTree(Path("out"));
    const long all = static_cast<long>(ref.size());
    const std::string good = Read("lib.vlib"), listing = Ok({"ls", "lib.vlib"});
    std::map<std::string, std::vector<uint32_t>> blocks;  // where dump finds each kind of block
    for (const std::string& line : LinesStartingWith(Ok({"dump", "lib.vlib"}), "@")) {
        std::istringstream words(line.substr(1));
        uint32_t offset = 0;
        std::string kind;
        words >> offset >> kind;
        blocks[kind].push_back(offset);
    }
    ASSERT_EQ(blocks["extent"].size(), ref.size() + 1);
    const uint32_t e1 = blocks["extent"][1], entry1 = blocks["entry"][1], index = blocks["index"][0];

    const auto flip = [](uint32_t at) { return [at](std::string& b) { b[at] ^= 0x01; }; };
    const auto edit = [](void (*change)(fmt::LibraryHeader&)) {
        return [=](std::string& b) { Reseal(b, change); };
    };
    // The damage, the start of the line check gives about it (a note when it is no violation),
    // and the number of remotes salvage recovers.
    const struct { const char* what; std::function<void(std::string&)> damage; std::string report; long kept; }
        rows[] = {
        {"a byte of the header", flip(100), "0: header: crc: ", all},
        {"a record header", flip(e1 + 30), std::to_string(e1) + ": record header: crc: ", all - 1},
        {"an entry header", flip(entry1 + 30), std::to_string(entry1) + ": entry header: crc: ", all - 1},
        {"an index entry", flip(index + fmt::kIndexEntrySize + 30),
         std::to_string(index + fmt::kIndexEntrySize) + ": index entry 1: crc: ", all},
        {"a counter, resealed", edit([](auto& h) { ++h.recordCount; }), "0: header: recordCount: ", all},
        {"dirty, as if the writer crashed", edit([](auto& h) { h.dirty = 1; }), "note: dirty", all},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        std::string damaged = good;
        row.damage(damaged);
        Write("bad.vlib", damaged);
        const int status = row.report.starts_with("note:") ? 0 : 1;
        const std::string report = "\n" + Ok({"check", "bad.vlib"}, status, "irlib: bad.vlib: ");
        EXPECT_NE(report.find("\n" + row.report), std::string::npos) << report;
        fs::remove_all(Path("got"));
        const std::string salvage = Ok({"salvage", "bad.vlib", "out.vlib", "--json", "--force"});
        EXPECT_EQ(JsonNumber(salvage, "recovered"), row.kept);
        EXPECT_EQ(Read("bad.vlib"), damaged) << "check or salvage wrote the damaged file";
        EXPECT_EQ(Ok({"check", "out.vlib"}), "ok\n");
        Ok({"export", "out.vlib", "got"});
        const auto got = ReadIrTree(Path("got"));
        EXPECT_EQ(static_cast<long>(got.size()), row.kept);
        for (const auto& [path, text] : got) EXPECT_EQ(ref.count(path) ? ref.at(path) : "", text) << path;
    }
    // A dirty library is refused by the commands that only read; check names a journal of a call
    // cut short (one that appended an index entry) beside it; the first writer undoes the
    // journal, rebuilds the file and says so in one line, without the library's dialog text.
    std::string dirty = good;
    const fmt::LibraryHeader h = Reseal(dirty, [](auto& header) { header.dirty = 1; });
    Write("lib.vlib", dirty);
    for (const Args& reader : std::vector<Args>{{"ls", "lib.vlib"}, {"find", "lib.vlib", "--name=*"},
                                                {"dupes", "lib.vlib"}})
        EXPECT_EQ(Ok(reader, 1, "irlib: lib.vlib: not closed properly"), "");
    fmt::JournalHeaderBytes journal;
    const auto before = static_cast<uint32_t>(good.size() - fmt::kIndexEntrySize);
    fmt::EncodeJournalHeader({.sequence = 1, .originalLength = before, .headerCrc = h.crc, .kind = h.kind},
                             journal);
    Write("lib.vlib-journal", std::string(journal.begin(), journal.end()));
    EXPECT_NE(Ok({"check", "lib.vlib"}).find("note: hot journal"), std::string::npos);
    EXPECT_EQ(Run({"compact", "lib.vlib"}).err, "irlib: lib.vlib: was not closed properly; rebuilt\n");
    EXPECT_EQ(Ok({"ls", "lib.vlib"}), listing);
}

const char kLirc[] =  // a coded NEC remote, a raw one and RC5
    "begin remote\n  name TV\n  bits 16\n  flags SPACE_ENC|CONST_LENGTH\n  header 9000 4500\n"
    "  one 562 1687\n  zero 562 562\n  ptrail 562\n  pre_data_bits 16\n  pre_data 0x20DF\n"
    "  begin codes\n    KEY_POWER 0x10EF\n    KEY_MUTE 0x906F\n  end codes\nend remote\n"
    "begin remote\n  name amp\n  flags RAW_CODES\n  frequency 38000\n  begin raw_codes\n"
    "    name vol_up\n      4500 4500 560 1690\n      560 560 560\n  end raw_codes\nend remote\n"
    "begin remote\n  name vcr\n  bits 13\n  flags RC5|CONST_LENGTH\n  one 889 889\n  zero 889 889\n"
    "  plead 889\n  begin codes\n    power 0x100C\n    mode 0x0011\n  end codes\nend remote\n";

// Published captures: NEC address 0 command 2 with its repeat, and a 12-bit SIRC code under a
// label line, wrapped.
const char kPronto[] =
    "Power: 0000 006D 0022 0002 0157 00AC 0015 0016 0015 0016 0015 0016 0015 0016 0015 0016 0015 "
    "0016 0015 0016 0015 0016 0015 0041 0015 0041 0015 0041 0015 0041 0015 0041 0015 0041 0015 0041 "
    "0015 0041 0015 0016 0015 0041 0015 0016 0015 0016 0015 0016 0015 0016 0015 0016 0015 0016 0015 "
    "0041 0015 0016 0015 0041 0015 0041 0015 0041 0015 0041 0015 0041 0015 0041 0015 0689 0157 0056 "
    "0015 0E94\n<Digit 1>\n"
    "0000 0067 0000 000d 0060 0018 0018 0018 0018 0018 0018 0018 0018 0018 0018 0018 0018 0018\n"
    "0018 0018 0018 0018 0030 0018 0018 0018 0030 0018 0030 03f6\n";

const std::string kCsvHead = "functionname,protocol,device,subdevice,function\n";
const std::string kCsv = kCsvHead + "Power,Sony12,1,-1,21\n\"Vol, up\",NEC1,4,-1,2\nWide,NEC1,4,7,9\n"
    "Plain,NEC1,4,251,9\nPanasonic power,Panasonic,128,0,61\nSamsung mute,NECx2,7,7,15\nVCR,RC5,5,-1,70\n";

// Each file goes to .ir, back to its own format and to .ir again unchanged; the first .ir
// holds the expected signals.
TEST_F(Irlib, EachFormatConvertsToIrAndBackToTheSameSignals) {
    const struct { const char* file; std::string text; size_t signals; std::vector<std::string> expect; }
        rows[] = {
        {"tv.lircd.conf", kLirc, 5,
         {"name: KEY_MUTE\ntype: parsed\nprotocol: NEC\naddress: 04 00 00 00\ncommand: 09 00 00 00",
          "name: vol_up\ntype: raw\nfrequency: 38000\nduty_cycle: 0.33\ndata: 4500 4500 560 1690 560 560 560",
          "name: mode\ntype: parsed\nprotocol: RC5X\naddress: 00 00 00 00\ncommand: 51 00 00 00"}},
        {"codes.pronto", kPronto, 2, {"name: Power\ntype: raw\nfrequency: 38029", "name: Digit 1\ntype: raw"}},
        {"1,-1.csv", kCsv, 7,
         {"name: Power\ntype: parsed\nprotocol: SIRC\naddress: 01 00 00 00\ncommand: 15 00 00 00",
          "name: Wide\ntype: parsed\nprotocol: NECext\naddress: 04 07 00 00\ncommand: 09 F6 00 00",
          "name: Plain\ntype: parsed\nprotocol: NEC\naddress: 04 00 00 00\ncommand: 09 00 00 00",
          "protocol: Kaseikyo\naddress: 80 02 20 00\ncommand: D0 03 00 00",
          "protocol: Samsung32\naddress: 07 00 00 00\ncommand: 0F 00 00 00",
          "protocol: RC5X\naddress: 05 00 00 00\ncommand: 46 00 00 00"}},
    };
    for (const auto& row : rows) {
        Write(row.file, row.text);
        const std::string back = std::string("b") + std::strchr(row.file, '.');
        Ok({"convert", row.file, "a.ir"});
        Ok({"convert", "a.ir", back});
        Ok({"convert", back, "c.ir"});
        const std::string a = Read("a.ir");
        EXPECT_EQ(Read("c.ir"), a);
        EXPECT_EQ(LinesStartingWith(a, "name: ").size(), row.signals);
        for (const std::string& e : row.expect) EXPECT_NE(a.find(e), std::string::npos) << e << "\nin\n" << a;
    }
    // --decode makes the Pronto captures parsed signals.
    Ok({"convert", "codes.pronto", "d.ir", "--decode"});
    const std::string d = Read("d.ir");
    EXPECT_NE(d.find("name: Power\ntype: parsed\nprotocol: NEC\naddress: 00 00 00 00\ncommand: 02"), d.npos);
    EXPECT_NE(d.find("name: Digit 1\ntype: parsed\nprotocol: SIRC\naddress: 1A"), d.npos) << d;
}

TEST_F(Irlib, MalformedLinesAreReportedAndTheRestConverts) {
    const std::string raw = "begin remote\nname r\nflags RAW_CODES\nbegin raw_codes\nname a\n";
    const struct { const char* file; std::string text; const char* reason; size_t signals; } rows[] = {
        {"bad.pronto", "A: 0000 006D 0001 0000 0010 0010\nB: 0000 006D 0001 0000 0010 00G0\n",
         "bad.pronto:2: word 6 \"00G0\" is not four hex digits", 1},
        {"odd.lircd.conf", raw + "100 200 300\nname b\n100 200\nend raw_codes\nend remote\n",
         "odd.lircd.conf:7: raw code \"b\" has 2 durations", 1},
        {"number.csv", kCsvHead + "B,NEC1,x,-1,2\nC,NEC1,1,-1,2\n",
         "number.csv:2: device, subdevice and function must be whole numbers", 1},
        {"none.ir", "not a signal file\n", "none.ir:1: not an IR signals file (no Filetype line)", 0},
        {"x.ir",  // what a format cannot hold is reported too, never dropped silently
         kHead + Parsed("A", "RC5", "00 00 00 00", "FF 00 00 00") + Parsed("B", "NEC", "01 00 00 00", "02 00 00 00"),
         "A: cannot render RC5: command 255 is wider than the protocol carries; left out", 1},
    };
    for (const auto& row : rows) {
        Write(row.file, row.text);
        const std::string to = std::string(row.file) == "x.ir" ? "out.pronto" : "out.ir";
        fs::remove(Path(to));
        const RunResult r = Run({"convert", row.file, to});
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(row.reason), std::string::npos) << r.err;
        EXPECT_EQ(LinesStartingWith(Read(to), to == "out.ir" ? "name: " : "B: 0000").size(), row.signals);
    }
}

// find takes one code four ways (numbers, NECext bytes, Pronto, raw timings) and matches
// undecodable timings by shape; dupes groups remotes that hold the same codes.
TEST_F(Irlib, FindAndDupesAnswerFromALibraryFilledFromAnIrdbTree) {
    Write("codes/Sony/TV/1,-1.csv", kCsv);
    Write("codes/Acme/TV/4,-1.csv", kCsvHead + "Volume Up,NEC1,4,-1,2\nMute,NEC1,4,-1,9\n");
    Write("codes/Acme/TV/copy.csv", kCsvHead + "Louder,NEC1,4,-1,2\nQuiet,NEC1,4,-1,9\n");
    Write("odd.ir", kHead + "#\nname: Blip\ntype: raw\nfrequency: 38000\nduty_cycle: 0.33\n"
                    "data: 1000 2000 1000 2000 1000\n");
    Ok({"create", "lib.vlib"});
    Ok({"import", "lib.vlib", Path("codes"), "--format", "csv"});
    Ok({"import", "lib.vlib", Path("odd.ir")});
    Ok({"export", "lib.vlib", "out", "--format", "pronto"});
    const std::string pronto = Read("out/TV/Acme/4,-1.pronto");
    ASSERT_EQ(pronto.rfind("Volume Up: 0000 006D 0022 0002 ", 0), 0u) << pronto;
    const std::string want = "Acme / TV / 4,-1 / Volume Up\nAcme / TV / copy / Louder\n"
                             "Sony / TV / 1,-1 / Vol, up\n3 matches in 4 remotes\n";
    const std::string byTiming = "does not decode; matching by timing\n";
    EXPECT_EQ(Ok({"find", "lib.vlib", "--code", "NEC", "4", "2"}), want);
    const std::string code = pronto.substr(11, pronto.find('\n') - 11);
    EXPECT_EQ(Ok({"find", "lib.vlib", "--pronto", code}), "decoded as NEC 0x4 0x2\n" + want);
    EXPECT_EQ(Ok({"find", "lib.vlib", "--raw", "1100 1900 1000 2100 950"}),
              byTiming + "(none) / (none) / odd / Blip\n1 matches in 4 remotes\n");
    EXPECT_EQ(Ok({"find", "lib.vlib", "--name", "*MUTE*"}),
              "Acme / TV / 4,-1 / Mute\nSony / TV / 1,-1 / Samsung mute\n2 matches in 4 remotes\n");
    EXPECT_EQ(Ok({"dupes", "lib.vlib"}),
              "identical (2 codes):\n  Acme / TV / 4,-1\n  Acme / TV / copy\ncontained: Acme / TV / 4,-1\n"
              "  in Sony / TV / 1,-1\ncontained: Acme / TV / copy\n  in Sony / TV / 1,-1\n"
              "1 groups of identical remotes, 1 remotes contained in others, 4 remotes\n");
}

}  // namespace
}  // namespace irlib::test
