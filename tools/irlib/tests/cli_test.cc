// irlib as a user runs it: the real binary, its exit status, its standard output and its
// one line of standard error. Covers the catalogue commands, import and export of real and
// made-up .ir trees (long names, collisions, remotes too large for one record), check on
// sound and damaged files, salvage, dump, stats and compact.
#include <cstring>
#include <filesystem>

#include "cli_support.h"
#include "format/blocks.h"
#include "format/endian.h"
#include "format/journal_blocks.h"
#include "varnel32.h"

namespace irlib::test {
namespace {

namespace fmt = varnel32::format;
namespace fs = std::filesystem;
using varnel32::format::Load16;
using varnel32::format::Load32;
using varnel32::format::Store32;

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

const std::string kHead = "Filetype: IR signals file\nVersion: 1\n";

// The file offsets of a library's blocks, found by walking it the way compaction does.
struct Layout {
    fmt::LibraryHeader header;
    std::vector<uint32_t> extents;
    std::vector<uint16_t> capacities;
};

Layout LayoutOf(const Bytes& file) {
    Layout l;
    l.header = fmt::DecodeLibraryHeader(std::span<const uint8_t, fmt::kHeaderSize>(file.data(), fmt::kHeaderSize));
    for (uint32_t p = fmt::kRecordAreaStart; p < l.header.dataEnd;) {
        const uint16_t capacity = Load16(file.data() + p + 10);
        l.extents.push_back(p);
        l.capacities.push_back(capacity);
        p += capacity;
    }
    return l;
}

void Reseal(Bytes& file, fmt::BlockKind kind, uint32_t offset) {
    fmt::Seal(kind, std::span<uint8_t>(file.data() + offset, fmt::ShapeOf(kind).size));
}

class Irlib : public CliTest {
protected:
    // Five small remotes at three depths, with parsed and raw signals and comments.
    void WriteSmallTree(const std::string& root) const {
        WriteText(root + "/TVs/Acme/TV-1.ir",
                  kHead + "#\n# Acme TV remote\n" + Parsed("Power", "NEC", "04 00 00 00", "08 00 00 00") +
                      Parsed("Mute", "NECext", "01 72 00 00", "5C A3 00 00") + Raw("Vol_up", 67, 1));
        WriteText(root + "/TVs/Acme/TV-2.ir", kHead + Raw("Power", 99, 2) + Raw("Input", 35, 3));
        WriteText(root + "/ACs/Cool/AC.ir", kHead + Raw("Off", 211, 4) + Parsed("On", "RC5", "00 00 00 00", "0C 00 00 00"));
        WriteText(root + "/Fans/Breeze/Tower/Fan-9.ir", kHead + Parsed("Speed", "SIRC", "01 00 00 00", "15 00 00 00"));
        WriteText(root + "/Fans/Loose.ir", kHead + Parsed("Power", "Samsung32", "07 00 00 00", "02 00 00 00"));
    }

    // lib.vlib holding the small tree.
    void MakeLibrary() const {
        WriteSmallTree("src");
        Ok({"create", "lib.vlib"});
        Ok({"import", "lib.vlib", "src"});
    }

    void ExpectOneErrorLine(const RunResult& r, const std::string& start) const {
        EXPECT_EQ(r.status, 1) << r.out << r.err;
        ASSERT_FALSE(r.err.empty());
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
        EXPECT_EQ(r.err.rfind(start, 0), 0u) << r.err;
    }

    // check on a damaged copy of lib.vlib: exit 1, one stderr line, the expected violation,
    // and the file left as it was.
    void ExpectViolation(const Bytes& damaged, const std::string& line) {
        WriteBytes("bad.vlib", damaged);
        const RunResult r = Run({"check", "bad.vlib"});
        ExpectOneErrorLine(r, "irlib: bad.vlib: ");
        EXPECT_NE(("\n" + r.out).find("\n" + line), std::string::npos) << "want: " << line << "\n" << r.out;
        EXPECT_EQ(ReadBytes("bad.vlib"), damaged);
    }
};

// A record another program wrote, with an entry that is no IR signal: show gives its bytes in
// hex, export reports it instead of guessing, and import never takes over its names.
TEST_F(Irlib, RecordsOfOtherProgramsAreShownNotOverwritten) {
    Ok({"create", "lib.vlib"});
    uint8_t record[67 + 40 + 4] = {};
    record[2] = 1;  // one entry
    std::memcpy(record + 4, "Acme", 4);
    std::memcpy(record + 25, "TVs", 3);
    std::memcpy(record + 46, "Remote", 6);
    record[67] = 0x55;  // a kind irlib does not know
    record[67 + 3] = 4;  // dataLength
    std::memcpy(record + 67 + 19, "Opaque", 6);
    std::memcpy(record + 67 + 40, "\xDE\xAD\xBE\xEF", 4);
    uint32_t status = 0;
    LibraryHandle* lib = IROpenLibrary(0, nullptr, Path("lib.vlib").c_str(), IRModeWrite, 0, &status);
    ASSERT_NE(lib, nullptr);
    ASSERT_EQ(IRWriteRemoteRecord(lib, reinterpret_cast<const RemoteRecord*>(record)), 1);
    IRCloseLibrary(lib);

    const std::string show = Ok({"show", "lib.vlib", "Acme", "TVs", "Remote"});
    EXPECT_NE(show.find("entry 0   unknown  not a signal (entry kind 85 is not an IR signal): de ad be ef"),
              std::string::npos) << show;
    EXPECT_NE(show.find("name=\"Opaque\""), std::string::npos) << show;
    ExpectOneErrorLine(Run({"export", "lib.vlib", "out"}), "irlib: lib.vlib: Acme / TVs / Remote: not an IR remote");

    WriteText("src/TVs/Acme/Remote.ir", kHead + Parsed("Power", "NEC", "01 00 00 00", "01 00 00 00"));
    const std::string j = Ok({"import", "lib.vlib", "src", "--json"});
    EXPECT_NE(j.find("\"takenBy\": \"(not an IR remote)\""), std::string::npos) << j;
    EXPECT_NE(Ok({"show", "lib.vlib", "Acme", "TVs", "Remote"}).find("de ad be ef"), std::string::npos);
}

TEST_F(Irlib, UsageErrorsAndFailuresFollowTheExitStatusRules) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, {"frobnicate"}, {"ls"}, {"ls", "a", "b", "c", "d"},
          {"ls", "--bogus", "x.vlib"}, {"import", "x.vlib", "--extra-space"},
          {"create", "x.vlib", "--kind", "purple"}, {"check", "--json=yes", "x.vlib"}}) {
        const RunResult r = Run(args);
        EXPECT_EQ(r.status, 2) << (args.empty() ? "" : args[0]);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
    }
    const std::string overview = Ok({"--help"});
    for (const char* c : {"create", "ls", "show", "put", "rm", "import", "export", "compact", "stats",
                          "check", "dump", "salvage"}) {
        EXPECT_NE(overview.find(std::string("  ") + c + " "), std::string::npos) << c;
        EXPECT_EQ(Ok({c, "--help"}).rfind(std::string("usage: irlib ") + c + " ", 0), 0u) << c;
    }
    ExpectOneErrorLine(Run({"ls", "missing.vlib"}), "irlib: missing.vlib: no such file");
    WriteText("notes.txt", std::string(4000, 'x'));
    ExpectOneErrorLine(Run({"stats", "notes.txt"}), "irlib: notes.txt: ");
    ExpectOneErrorLine(Run({"ls", "notes.txt"}), "irlib: notes.txt: not a library");
}

TEST_F(Irlib, CreatePutListShowRemove) {
    Ok({"create", "lib.vlib"});
    EXPECT_EQ(fs::file_size(Path("lib.vlib")), 1570u);
    ExpectOneErrorLine(Run({"create", "lib.vlib"}), "irlib: lib.vlib: already exists");
    Ok({"create", "lib.vlib", "--force", "--kind", "command"});
    EXPECT_EQ(Ok({"stats", "lib.vlib"}).find("kind           4 (command)") != std::string::npos, true);
    Ok({"create", "lib.vlib", "--force"});

    const std::string tv = kHead + "# Acme\n" + Parsed("Power", "NEC", "04 00 00 00", "08 00 00 00") +
                           Raw("Volume_up_with_a_long_button_name", 20, 9);
    WriteText("tv.ir", tv);
    EXPECT_EQ(Ok({"put", "lib.vlib", "Acme", "TVs", "TV-1", "tv.ir"}).rfind("stored Acme / TVs / TV-1: 2 signals", 0), 0u);
    const std::string longModel = "A_model_name_longer_than_twenty";
    const std::string put = Ok({"put", "lib.vlib", "Acme", "TVs", longModel, "tv.ir"});
    EXPECT_NE(put.find("shortened model \"" + longModel + "\""), std::string::npos) << put;
    WriteText("ac.ir", kHead + Parsed("On", "RC5", "00 00 00 00", "0C 00 00 00"));
    Ok({"put", "lib.vlib", "Cool", "ACs", "AC", "ac.ir"});

    const std::string shortModel = Ok({"ls", "lib.vlib", "Acme", "TVs"}).substr(5, 20);
    EXPECT_EQ(Ok({"ls", "lib.vlib"}),
              "Acme\n  TVs\n    TV-1\n    " + shortModel + "\nCool\n  ACs\n    AC\n");
    EXPECT_EQ(Ok({"ls", "lib.vlib", "cool"}), "ACs\n");
    EXPECT_NE(Ok({"ls", "lib.vlib", "--json"}).find("\"manufacturer\": \"Cool\""), std::string::npos);
    ExpectOneErrorLine(Run({"ls", "lib.vlib", "Nobody"}), "irlib: lib.vlib: no manufacturer 'Nobody'");

    // show, by the stored or by the full name; --ir gives the file back.
    const std::string show = Ok({"show", "lib.vlib", "Acme", "TVs", longModel});
    EXPECT_NE(show.find("full names    Acme / TVs / " + longModel), std::string::npos) << show;
    EXPECT_NE(show.find("entry 2   parsed   \"Power\" NEC address 04 00 00 00 command 08 00 00 00"),
              std::string::npos) << show;
    EXPECT_NE(show.find("name=\"" + std::string("Volume_up_with_a_long_button_name").substr(0, 15) + "~"),
              std::string::npos) << show;
    EXPECT_NE(show.find("\"Volume_up_with_a_long_button_name\" 38000 Hz, duty 0.330000, 20 timings:"),
              std::string::npos) << show;
    EXPECT_NE(show.find("head b0=1 w1=0x0000 len=0 w5=1 b7=0 w8=0x0004"), std::string::npos) << show;
    EXPECT_EQ(NormaliseIr(Ok({"show", "lib.vlib", "Acme", "TVs", shortModel, "--ir"})), NormaliseIr(tv));
    const std::string json = Ok({"show", "lib.vlib", "acme", "tvs", "tv-1", "--json"});
    EXPECT_NE(json.find("\"protocol\": \"NEC\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"model\": \"TV-1\""), std::string::npos) << json;

    EXPECT_EQ(Ok({"rm", "lib.vlib", "Acme", "TVs", "TV-1"}), "removed Acme / TVs / TV-1\n");
    ExpectOneErrorLine(Run({"rm", "lib.vlib", "Acme", "TVs", "TV-1"}), "irlib: lib.vlib: no record");
    ExpectOneErrorLine(Run({"show", "lib.vlib", "Acme", "TVs", "TV-1"}), "irlib: lib.vlib: no record");
    EXPECT_EQ(Ok({"check", "lib.vlib"}), "ok\n");

    Ok({"create", "ro.vlib", "--write-protected"});
    ExpectOneErrorLine(Run({"put", "ro.vlib", "A", "B", "C", "ac.ir"}), "irlib: ro.vlib: write-protected");
    Ok({"put", "ro.vlib", "A", "B", "C", "ac.ir", "--override-protection"});
}

TEST_F(Irlib, ShippedExamplesRoundTrip) {
    if (!fs::is_directory(IRLIB_EXAMPLES)) GTEST_SKIP() << "no examples/ directory";
    Ok({"create", "lib.vlib"});
    Ok({"import", "lib.vlib", IRLIB_EXAMPLES});
    Ok({"export", "lib.vlib", "out"});
    const auto in = ReadIrTree(IRLIB_EXAMPLES), out = ReadIrTree(Path("out"));
    ASSERT_EQ(in.size(), out.size());
    for (const auto& [path, text] : in) {
        ASSERT_TRUE(out.count(path)) << path;
        EXPECT_EQ(NormaliseIr(out.at(path)), NormaliseIr(text)) << path;
    }
}

// Names that merge without regard to case, long names, a remote larger than a record and
// one signal larger than any record: all reported, none silently lost or merged.
TEST_F(Irlib, ImportReportsCollisionsShortenedNamesSplitsAndSkips) {
    const std::string a = kHead + Parsed("Power", "NEC", "01 00 00 00", "01 00 00 00");
    const std::string b = kHead + Parsed("Power", "NEC", "02 00 00 00", "02 00 00 00");
    WriteText("src/TVs/Samsung/Remote.ir", a);
    WriteText("src/TVs/SAMSUNG/Remote.ir", b);
    WriteText("src/TVs/Acme/A_very_long_model_name_number_one.ir", a);
    WriteText("src/TVs/Acme/A_very_long_model_name_number_two.ir", b);
    WriteText("src/TVs/A_manufacturer_with_a_long_name/M.ir", a);
    std::string huge = kHead;
    for (int i = 0; i < 120; ++i) huge += Raw("Key_" + std::to_string(i), 300, static_cast<uint32_t>(i));
    WriteText("src/Big/Maker/Huge.ir", huge);
    WriteText("src/Big/Maker/TooBig.ir", kHead + Raw("Enormous", 40000, 1));
    WriteText("src/Junk/x/notir.ir", "this is not an IR file\n");

    Ok({"create", "lib.vlib"});
    const RunResult r = Run({"import", "lib.vlib", "src", "--json"});
    ExpectOneErrorLine(r, "irlib: ");
    const std::string& j = r.out;
    EXPECT_EQ(JsonNumber(j, "remotes"), 6);
    EXPECT_NE(j.find("\"wanted\": \"Remote\""), std::string::npos) << j;
    EXPECT_NE(j.find("\"takenBy\": \"TVs/SAMSUNG/Remote.ir\""), std::string::npos) << j;
    EXPECT_NE(j.find("\"original\": \"A_very_long_model_name_number_one\""), std::string::npos) << j;
    EXPECT_NE(j.find("\"original\": \"A_manufacturer_with_a_long_name\""), std::string::npos) << j;
    EXPECT_NE(j.find("\"path\": \"Big/Maker/Huge.ir\",\n      \"models\": [\n        \"Huge+1\""),
              std::string::npos) << j;
    EXPECT_NE(j.find("TooBig.ir\",\n      \"reason\": \"item 1 takes"), std::string::npos) << j;
    EXPECT_NE(j.find("notir.ir\",\n      \"reason\": \"not an IR signals file"), std::string::npos) << j;
    EXPECT_EQ(Ok({"check", "lib.vlib"}), "ok\n");

    // Every imported file comes back; the two skipped ones do not.
    Ok({"export", "lib.vlib", "out"});
    auto in = ReadIrTree(Path("src"));
    in.erase("Big/Maker/TooBig.ir");
    in.erase("Junk/x/notir.ir");
    const auto out = ReadIrTree(Path("out"));
    ASSERT_EQ(out.size(), in.size());
    for (const auto& [path, text] : in) {
        ASSERT_TRUE(out.count(path)) << path;
        EXPECT_EQ(NormaliseIr(out.at(path)), NormaliseIr(text)) << path;
    }

    // Importing again replaces each remote in place instead of adding copies.
    const long records = JsonNumber(Ok({"stats", "lib.vlib", "--json"}), "recordCount");
    EXPECT_EQ(JsonNumber(Run({"import", "lib.vlib", "src", "--json"}).out, "replaced"), 6);
    EXPECT_EQ(JsonNumber(Ok({"stats", "lib.vlib", "--json"}), "recordCount"), records);

    // Removing one part removes the whole split remote.
    const std::string rm = Ok({"rm", "lib.vlib", "Maker", "Big", "Huge+2"});
    EXPECT_NE(rm.find("removed Maker / Big / Huge+1"), std::string::npos) << rm;
    EXPECT_EQ(Ok({"ls", "lib.vlib"}).find("Huge"), std::string::npos);
    Ok({"export", "lib.vlib", "out2"});
    EXPECT_FALSE(fs::exists(Path("out2/Big/Maker/Huge.ir")));
}

// A file imported again after it grew past one record, or shrank back, leaves exactly one
// copy of itself: the records of its old layout go.
TEST_F(Irlib, ReimportingAFileThatGrewOrShrankKeepsOneCopy) {
    std::string big = kHead;
    for (int i = 0; i < 120; ++i) big += Raw("Key_" + std::to_string(i), 300, static_cast<uint32_t>(i));
    const std::string small = kHead + Parsed("Power", "NEC", "01 00 00 00", "01 00 00 00");
    Ok({"create", "lib.vlib"});
    for (const std::string* text : std::vector<const std::string*>{&small, &big, &big, &small, &big}) {
        WriteText("src/Big/Maker/Remote.ir", *text);
        Ok({"import", "lib.vlib", "src"});
        const std::string models = Ok({"ls", "lib.vlib", "Maker", "Big"});
        EXPECT_EQ(models, text == &small ? "Remote\n" : "Remote+1\nRemote+2\n");
        fs::remove_all(Path("out"));
        Ok({"export", "lib.vlib", "out"});
        const auto out = ReadIrTree(Path("out"));
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(NormaliseIr(out.begin()->second), NormaliseIr(*text));
    }
    EXPECT_EQ(Ok({"check", "lib.vlib"}), "ok\n");
}

TEST_F(Irlib, FullSampleRoundTripsSignalForSignal) {
    const std::string sample = std::string(IRLIB_SHARED_DATA) + "/flipper-irdb-sample";
    if (!fs::is_directory(sample)) GTEST_SKIP() << "skipped: " << sample << " is missing";
    Ok({"create", "lib.vlib"});
    const std::string j = Ok({"import", "lib.vlib", sample, "--json"});
    const auto in = ReadIrTree(sample);
    ASSERT_EQ(in.size(), 624u);
    EXPECT_EQ(JsonNumber(j, "remotes"), 624);
    EXPECT_NE(j.find("\"skipped\": []"), std::string::npos);
    EXPECT_NE(j.find("\"collisions\": []"), std::string::npos);
    // The largest file needs nine records; the others too large for one are split too.
    EXPECT_NE(j.find("\"path\": \"_Converted_/Power_off.ir\",\n      \"models\": [\n        \"Power_off+1\""),
              std::string::npos);
    EXPECT_NE(j.find("\"Power_off+9\"\n"), std::string::npos);
    EXPECT_NE(j.find("\"path\": \"_Converted_/IR_Plus/P/PIONEER/VSX-921.ir\""), std::string::npos);
    // Every model name longer than 20 bytes is reported with a stored form that fits.
    for (const auto& [path, text] : in) {
        std::string model = path.substr(0, path.size() - 3);
        const size_t first = model.find('/'), second = model.find('/', first + 1);
        model = second == std::string::npos ? model.substr(first + 1) : model.substr(second + 1);
        if (model.size() > 20) {
            EXPECT_NE(j.find("\"path\": \"" + path + "\",\n      \"level\": \"model\",\n      \"original\": \"" +
                             model + "\""), std::string::npos) << path;
        }
    }
    // ... and so is every button name longer than 20 bytes.
    size_t longButtons = 0;
    for (const auto& [path, text] : in)
        for (std::string line : LinesStartingWith(NormaliseIr(text), "name: "))
            longButtons += line.size() - 6 > 20;
    EXPECT_EQ(LinesStartingWith(j, "      \"level\": \"button\"").size(), longButtons);
    EXPECT_GT(longButtons, 300u);
    for (const std::string& line : LinesStartingWith(j, "      \"stored\": \""))
        EXPECT_LE(line.size() - 18, 20u) << line;  // `      "stored": "` + at most 20 bytes + `"`

    Ok({"export", "lib.vlib", "out"});
    const auto out = ReadIrTree(Path("out"));
    ASSERT_EQ(out.size(), in.size());
    size_t differ = 0;
    for (const auto& [path, text] : in) {
        ASSERT_TRUE(out.count(path)) << path;
        if (NormaliseIr(out.at(path)) != NormaliseIr(text) && ++differ < 5) ADD_FAILURE() << path;
    }
    EXPECT_EQ(differ, 0u);
    EXPECT_EQ(Ok({"check", "lib.vlib"}), "ok\n");
}

TEST_F(Irlib, CheckFindsNothingOnLibrariesTheLibraryWrote) {
    Ok({"create", "empty.vlib"});
    EXPECT_EQ(Ok({"check", "empty.vlib"}), "ok\n");
    MakeLibrary();
    EXPECT_EQ(Ok({"check", "lib.vlib"}), "ok\n");
    Ok({"rm", "lib.vlib", "Acme", "TVs", "TV-1"});
    Ok({"rm", "lib.vlib", "Cool", "ACs", "AC"});
    EXPECT_EQ(Ok({"check", "lib.vlib"}), "ok\n");  // deleted extents in free slots
    const std::string j = Ok({"check", "lib.vlib", "--json"});
    EXPECT_NE(j.find("\"ok\": true"), std::string::npos);
    EXPECT_NE(j.find("\"violations\": []"), std::string::npos);
    Ok({"compact", "lib.vlib"});
    EXPECT_EQ(Ok({"check", "lib.vlib"}), "ok\n");
}

TEST_F(Irlib, CheckNamesTheDamagedBlockAndOffset) {
    MakeLibrary();
    const Bytes good = ReadBytes("lib.vlib");
    const Layout l = LayoutOf(good);
    ASSERT_EQ(l.extents.size(), 5u);
    const uint32_t dataEnd = l.header.dataEnd;
    const uint32_t e0 = l.extents[0], e1 = l.extents[1];

    Bytes b = good;
    b[12] ^= 0x01;  // a flipped byte in the header
    ExpectViolation(b, "0: header: crc: ");

    b = good;
    b[e1 + 30] ^= 0x40;  // in a record header (its type name)
    ExpectViolation(b, std::to_string(e1) + ": record header: crc: ");

    b = good;
    const uint32_t entry = e0 + 79 + 48 + Load16(good.data() + e0 + 79 + 11);  // the second entry
    b[entry + 30] ^= 0x01;
    ExpectViolation(b, std::to_string(entry) + ": entry header: crc: ");

    b = good;
    b[dataEnd + 71 + 30] ^= 0x01;  // in index entry 1
    ExpectViolation(b, std::to_string(dataEnd + 71) + ": index entry 1: crc: ");

    b = good;
    Store32(b.data() + 12, l.header.recordCount + 1);  // a wrong counter, resealed
    Reseal(b, fmt::BlockKind::Header, 0);
    ExpectViolation(b, "0: header: recordCount: expected 5 (live extents), found 6");

    b = good;
    Store32(b.data() + 34, e1);  // a free slot pointing at a live extent
    b[38] = static_cast<uint8_t>(l.capacities[1]);
    b[39] = static_cast<uint8_t>(l.capacities[1] >> 8);
    Store32(b.data() + 16, 1);
    Store32(b.data() + 20, l.capacities[1]);
    Reseal(b, fmt::BlockKind::Header, 0);
    ExpectViolation(b, "0: header: freeSlots[0].offset: expected the offset of a deleted extent, found " +
                           std::to_string(e1) + " (a live extent");

    b = good;
    Store32(b.data() + dataEnd + 67, e0 + 1);  // an index entry pointing nowhere
    Reseal(b, fmt::BlockKind::Index, dataEnd);
    ExpectViolation(b, std::to_string(dataEnd) + ": index entry 0: recordOffset: expected the offset of a live "
                       "extent, found " + std::to_string(e0 + 1) + " (no extent starts there)");
}

TEST_F(Irlib, SalvageRecoversEveryIntactRecord) {
    MakeLibrary();
    Ok({"export", "lib.vlib", "ref"});
    const auto ref = ReadIrTree(Path("ref"));
    const Bytes good = ReadBytes("lib.vlib");
    const Layout l = LayoutOf(good);

    auto salvage = [&](const Bytes& damaged, long recovered, const std::string& lostLine) {
        WriteBytes("bad.vlib", damaged);
        fs::remove(Path("out.vlib"));
        const std::string j = Ok({"salvage", "bad.vlib", "out.vlib", "--json"});
        EXPECT_EQ(JsonNumber(j, "recovered"), recovered) << j;
        if (!lostLine.empty()) {
            EXPECT_NE(j.find(lostLine), std::string::npos) << j;
        }
        EXPECT_EQ(ReadBytes("bad.vlib"), damaged);  // never written
        EXPECT_EQ(Ok({"check", "out.vlib"}), "ok\n");
        fs::remove_all(Path("got"));
        Ok({"export", "out.vlib", "got"});
        return ReadIrTree(Path("got"));
    };

    Bytes b = good;  // header counters wrong, crc no longer matching
    Store32(b.data() + 12, 999);
    Store32(b.data() + 16, 7);
    Store32(b.data() + 24, 1570);
    EXPECT_EQ(salvage(b, 5, ""), ref);

    b = good;  // the index run overwritten
    std::memset(b.data() + l.header.dataEnd, 0x5A, b.size() - l.header.dataEnd);
    EXPECT_EQ(salvage(b, 5, ""), ref);

    b = good;  // dirty: as if the writer had crashed
    b[32] = 1;
    Reseal(b, fmt::BlockKind::Header, 0);
    EXPECT_EQ(salvage(b, 5, ""), ref);

    b = good;  // one extent's record header damaged: only that record is lost
    b[l.extents[2] + 20] ^= 0x01;
    auto got = salvage(b, 4, "\"offset\": " + std::to_string(l.extents[2]));
    EXPECT_EQ(got.size(), 4u);
    for (const auto& [path, text] : got) EXPECT_EQ(ref.at(path), text) << path;

    b = good;  // one entry header damaged: that record (the first in the file) is lost, by name
    b[l.extents[0] + 79 + 20] ^= 0x01;
    got = salvage(b, 4, "\"what\": \"\\\"Cool\\\" / \\\"ACs\\\" / \\\"AC\\\"\"");
    EXPECT_EQ(got.size(), 4u);
    EXPECT_EQ(got.count("ACs/Cool/AC.ir"), 0u);

    ExpectOneErrorLine(Run({"salvage", "lib.vlib", "lib.vlib", "--force"}), "irlib: lib.vlib: is the file");
    EXPECT_EQ(ReadBytes("lib.vlib"), good);
}

TEST_F(Irlib, DumpListsBlocksInFileOrder) {
    MakeLibrary();
    const std::string d = Ok({"dump", "lib.vlib"});
    const Layout l = LayoutOf(ReadBytes("lib.vlib"));
    size_t last = 0;
    auto expectNext = [&](const std::string& text) {
        const size_t at = d.find(text, last);
        EXPECT_NE(at, std::string::npos) << text << "\n" << d;
        if (at != std::string::npos) last = at;
    };
    expectNext("@0 header  crc ");
    expectNext("recordCount 5  freeSlotCount 0");
    expectNext("@1570 extent  live");
    expectNext("parsed \"On\" RC5 address 00 00 00 00 command 0C 00 00 00");
    for (size_t i = 1; i < l.extents.size(); ++i) expectNext("@" + std::to_string(l.extents[i]) + " extent  live");
    expectNext("@" + std::to_string(l.header.dataEnd) + " index entry 0");
    expectNext("index entry 4");
}

TEST_F(Irlib, StatsAndCompactAgreeOnTheSpaceReclaimed) {
    MakeLibrary();
    Ok({"rm", "lib.vlib", "Acme", "TVs", "TV-2"});
    Ok({"rm", "lib.vlib", "Cool", "ACs", "AC"});
    const std::string s = Ok({"stats", "lib.vlib", "--json"});
    EXPECT_EQ(JsonNumber(s, "liveExtents"), 3);
    EXPECT_EQ(JsonNumber(s, "deletedExtents"), 2);
    EXPECT_EQ(JsonNumber(s, "freeSlots"), 2);
    EXPECT_EQ(JsonNumber(s, "freeBytes"), JsonNumber(s, "deletedBytes"));
    EXPECT_EQ(JsonNumber(s, "manufacturers"), 3);

    const Bytes before = ReadBytes("lib.vlib");
    const std::string dry = Ok({"compact", "lib.vlib", "--dry-run", "--json"});
    EXPECT_EQ(ReadBytes("lib.vlib"), before);
    Ok({"compact", "lib.vlib"});
    EXPECT_EQ(static_cast<long>(fs::file_size(Path("lib.vlib"))), JsonNumber(dry, "sizeAfter"));
    EXPECT_EQ(JsonNumber(Ok({"stats", "lib.vlib", "--json"}), "deletedExtents"), 0);
    EXPECT_EQ(Ok({"check", "lib.vlib"}), "ok\n");
}

TEST_F(Irlib, DirtyLibraryIsRefusedForReadingAndRebuiltForWriting) {
    MakeLibrary();
    Bytes b = ReadBytes("lib.vlib");
    b[32] = 1;
    Reseal(b, fmt::BlockKind::Header, 0);
    WriteBytes("lib.vlib", b);
    for (const std::vector<std::string>& reader :
         {std::vector<std::string>{"ls", "lib.vlib"}, {"find", "lib.vlib", "--name=*"}, {"dupes", "lib.vlib"}})
        ExpectOneErrorLine(Run(reader), "irlib: lib.vlib: not closed properly");
    EXPECT_NE(Ok({"check", "lib.vlib"}).find("note: dirty"), std::string::npos);
    EXPECT_NE(Ok({"stats", "lib.vlib"}).find("dirty          yes"), std::string::npos);
    // A journal of a call cut short beside it (one that appended an index entry): check and
    // stats name it, and the writer that rebuilds the file undoes it first.
    fmt::JournalHeaderBytes journal;
    fmt::EncodeJournalHeader({.sequence = 1, .originalLength = static_cast<uint32_t>(b.size() - 71),
                              .headerCrc = fmt::Load32(b.data() + 4), .kind = fmt::Load32(b.data() + 28)},
                             journal);
    WriteBytes("lib.vlib-journal", Bytes(journal.begin(), journal.end()));
    EXPECT_NE(Ok({"check", "lib.vlib"}).find("note: hot journal"), std::string::npos);
    EXPECT_NE(Ok({"stats", "lib.vlib"}).find("journal        hot"), std::string::npos);
    const RunResult r = Run({"compact", "lib.vlib"});
    EXPECT_FALSE(fs::exists(Path("lib.vlib-journal")));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "irlib: lib.vlib: was not closed properly; rebuilt\n");  // no dialog text
    EXPECT_EQ(Ok({"check", "lib.vlib"}), "ok\n");
    EXPECT_EQ(Ok({"ls", "lib.vlib", "Acme", "TVs"}), "TV-1\nTV-2\n");
}

}  // namespace
}  // namespace irlib::test
