// irlib as a user runs it: the real binary, its exit status, its standard output and its
// one line of standard error. Usage errors; .ir trees imported and exported signal for
// signal (the shipped examples, the shared sample when present, and a made-up tree of long
// names, collisions, remotes too large for one record); check and salvage on one table of
// damaged files; a dirty library with a journal beside it.
#include <cstring>
#include <functional>

#include "cli_support.h"
#include "format/blocks.h"
#include "format/journal_blocks.h"
#include "varnel32.h"

namespace irlib::test {
namespace {

namespace fmt = varnel32::format;

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

// Decodes the header, lets `edit` change it, and writes it back sealed, as a program that got
// a field wrong would.
void EditHeader(Bytes& file, const std::function<void(fmt::LibraryHeader&)>& edit) {
    const std::span<uint8_t, fmt::kHeaderSize> bytes(file.data(), fmt::kHeaderSize);
    fmt::LibraryHeader h = fmt::DecodeLibraryHeader(bytes);
    edit(h);
    fmt::Encode(h, bytes);
    fmt::Seal(fmt::BlockKind::Header, bytes);
}

class Irlib : public CliTest {
protected:
    void ExpectOneErrorLine(const RunResult& r, const std::string& start) const {
        EXPECT_EQ(r.status, 1) << r.out << r.err;
        ASSERT_FALSE(r.err.empty());
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
        EXPECT_EQ(r.err.rfind(start, 0), 0u) << r.err;
    }
    // Imports `from` into a fresh lib.vlib, exports it and expects every file back, signal
    // for signal, but those named in `skipped`. Returns the import's --json report.
    std::string RoundTrip(const std::string& from, std::vector<std::string> skipped = {}) {
        fs::remove(Path("lib.vlib"));
        fs::remove_all(Path("out"));
        Ok({"create", "lib.vlib"});
        const RunResult r = Run({"import", "lib.vlib", from, "--json"});
        EXPECT_EQ(r.status, skipped.empty() ? 0 : 1) << r.err;
        Ok({"export", "lib.vlib", "out"});
        auto in = ReadIrTree(from);
        for (const std::string& s : skipped) EXPECT_EQ(in.erase(s), 1u) << s;
        const auto out = ReadIrTree(Path("out"));
        EXPECT_EQ(out.size(), in.size());
        size_t differ = 0;
        for (const auto& [path, text] : in) {
            const bool same = out.count(path) && NormaliseIr(out.at(path)) == NormaliseIr(text);
            if (!same && ++differ < 5) ADD_FAILURE() << path << " did not come back as it was";
        }
        EXPECT_EQ(Ok({"check", "lib.vlib"}), "ok\n");
        return r.out;
    }
};

TEST_F(Irlib, UsageErrorsAndFailuresFollowTheExitStatusRules) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, {"frobnicate"}, {"ls"}, {"ls", "a", "b", "c", "d"},
          {"ls", "--bogus", "x.vlib"}, {"import", "x.vlib", "--extra-space"},
          {"create", "x.vlib", "--kind", "purple"}, {"check", "--json=yes", "x.vlib"},
          {"find", "x.vlib", "--code", "NEC", "4", "two"}}) {
        const RunResult r = Run(args);
        EXPECT_EQ(r.status, 2) << (args.empty() ? "" : args[0]);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
    }
    const std::string overview = Ok({"--help"});
    for (const char* c : {"create", "ls", "show", "put", "rm", "import", "export", "compact", "stats",
                          "check", "dump", "salvage", "find", "dupes", "convert"}) {
        EXPECT_NE(overview.find(std::string("  ") + c + " "), std::string::npos) << c;
        EXPECT_EQ(Ok({c, "--help"}).rfind(std::string("usage: irlib ") + c + " ", 0), 0u) << c;
    }
    ExpectOneErrorLine(Run({"ls", "missing.vlib"}), "irlib: missing.vlib: no such file");
    WriteText("notes.txt", std::string(4000, 'x'));
    ExpectOneErrorLine(Run({"ls", "notes.txt"}), "irlib: notes.txt: not a library");
    Ok({"create", "lib.vlib"});
    ExpectOneErrorLine(Run({"create", "lib.vlib"}), "irlib: lib.vlib: already exists");
    ExpectOneErrorLine(Run({"ls", "lib.vlib", "Nobody"}), "irlib: lib.vlib: no manufacturer 'Nobody'");
    ExpectOneErrorLine(Run({"rm", "lib.vlib", "A", "B", "C"}), "irlib: lib.vlib: no record");
    Ok({"create", "ro.vlib", "--write-protected"});
    WriteText("a.ir", kHead + Parsed("On", "RC5", "00 00 00 00", "0C 00 00 00"));
    ExpectOneErrorLine(Run({"put", "ro.vlib", "A", "B", "C", "a.ir"}), "irlib: ro.vlib: write-protected");
    Ok({"put", "ro.vlib", "A", "B", "C", "a.ir", "--override-protection"});
    ExpectOneErrorLine(Run({"salvage", "ro.vlib", "ro.vlib", "--force"}), "irlib: ro.vlib: is the file");
}

TEST_F(Irlib, ShippedExamplesAndTheSharedSampleRoundTrip) {
    RoundTrip(IRLIB_EXAMPLES);
    const std::string sample = std::string(IRLIB_SHARED_DATA) + "/flipper-irdb-sample";
    if (!fs::is_directory(sample)) GTEST_SKIP() << "skipped the shared sample: " << sample << " is missing";
    EXPECT_EQ(JsonNumber(RoundTrip(sample), "remotes"), 624);
}

// Names that merge without regard to case, long names, a remote larger than a record and
// one signal larger than any record: all reported, none silently lost or merged; a second
// import replaces in place; the commands that list, show and remove see the same.
TEST_F(Irlib, MadeUpTreeRoundTripsWithEveryNameReported) {
    const std::string a = kHead + "# Acme\n" + Parsed("Power", "NEC", "01 00 00 00", "01 00 00 00");
    const std::string b = kHead + Parsed("Power", "NEC", "02 00 00 00", "02 00 00 00") +
                          Raw("Volume_up_with_a_long_button_name", 20, 9);
    WriteText("src/TVs/Samsung/Remote.ir", a);
    WriteText("src/TVs/SAMSUNG/Remote.ir", b);
    WriteText("src/TVs/Acme/A_very_long_model_name_number_one.ir", a);
    WriteText("src/TVs/Acme/A_very_long_model_name_number_two.ir", b);
    WriteText("src/TVs/A_manufacturer_with_a_long_name/M.ir", a);
    WriteText("src/Fans/Loose.ir", b);
    std::string huge = kHead;
    for (int i = 0; i < 120; ++i) huge += Raw("Key_" + std::to_string(i), 300, static_cast<uint32_t>(i));
    WriteText("src/Big/Maker/Huge.ir", huge);
    WriteText("src/Big/Maker/TooBig.ir", kHead + Raw("Enormous", 40000, 1));
    WriteText("src/Junk/x/notir.ir", "this is not an IR file\n");

    const std::string j = RoundTrip(Path("src"), {"Big/Maker/TooBig.ir", "Junk/x/notir.ir"});
    EXPECT_EQ(JsonNumber(j, "remotes"), 7);
    for (const char* s : {"\"wanted\": \"Remote\"", "\"takenBy\": \"TVs/SAMSUNG/Remote.ir\"",
                                 "\"original\": \"A_very_long_model_name_number_one\"",
                                 "\"original\": \"A_manufacturer_with_a_long_name\"",
                                 "\"level\": \"button\",\n      \"original\": \"Volume_up_with_a_long_button_name\"",
                                 "\"path\": \"Big/Maker/Huge.ir\",\n      \"models\": [\n        \"Huge+1\"",
                                 "TooBig.ir\",\n      \"reason\": \"item 1 takes",
                                 "notir.ir\",\n      \"reason\": \"not an IR signals file"})
        EXPECT_NE(j.find(s), std::string::npos) << s << "\n" << j;
    for (const std::string& line : LinesStartingWith(j, "      \"stored\": \""))
        EXPECT_LE(line.size() - 18, 20u) << line;  // `      "stored": "` + at most 20 bytes + `"`

    const long records = JsonNumber(Ok({"stats", "lib.vlib", "--json"}), "recordCount");
    EXPECT_EQ(JsonNumber(Run({"import", "lib.vlib", "src", "--json"}).out, "replaced"), 7);
    EXPECT_EQ(JsonNumber(Ok({"stats", "lib.vlib", "--json"}), "recordCount"), records);
    EXPECT_EQ(Ok({"ls", "lib.vlib", "samsung"}), "TVs\n");
    const std::string shortModel = Ok({"ls", "lib.vlib", "Acme", "TVs"}).substr(0, 20);
    EXPECT_EQ(NormaliseIr(Ok({"show", "lib.vlib", "Acme", "TVs", shortModel, "--ir"})), NormaliseIr(a));
    const std::string show = Ok({"show", "lib.vlib", "Acme", "TVs", "A_very_long_model_name_number_two"});
    EXPECT_NE(show.find("parsed   \"Power\" NEC address 02 00 00 00 command 02 00 00 00"), std::string::npos) << show;
    // Removing one part removes the whole split remote; compaction reclaims what stats
    // counted and what its dry run promised.
    EXPECT_NE(Ok({"rm", "lib.vlib", "Maker", "Big", "Huge+2"}).find("removed Maker / Big / Huge+1"), std::string::npos);
    EXPECT_EQ(Ok({"ls", "lib.vlib"}).find("Huge"), std::string::npos);
    const std::string s = Ok({"stats", "lib.vlib", "--json"});
    EXPECT_EQ(JsonNumber(s, "freeBytes"), JsonNumber(s, "deletedBytes"));
    EXPECT_GT(JsonNumber(s, "deletedExtents"), 1);
    const std::string dry = Ok({"compact", "lib.vlib", "--dry-run", "--json"});
    Ok({"compact", "lib.vlib"});
    EXPECT_EQ(static_cast<long>(fs::file_size(Path("lib.vlib"))), JsonNumber(dry, "sizeAfter"));
    EXPECT_EQ(JsonNumber(Ok({"stats", "lib.vlib", "--json"}), "deletedExtents"), 0);
    EXPECT_EQ(Ok({"check", "lib.vlib"}), "ok\n");
}

// Each damaged copy of a library of five remotes: check names the first broken promise by
// offset, block and field and leaves the file alone; salvage never writes it and recovers
// into a sound new library every record whose blocks are whole, unchanged.
TEST_F(Irlib, CheckAndSalvageOnATableOfDamagedFiles) {
    WriteText("src/TVs/Acme/TV-1.ir", kHead + "# Acme TV\n" + Parsed("Power", "NEC", "04 00 00 00", "08 00 00 00") +
                                          Parsed("Mute", "NECext", "01 72 00 00", "5C A3 00 00") + Raw("Vol_up", 67, 1));
    WriteText("src/TVs/Acme/TV-2.ir", kHead + Raw("Power", 99, 2) + Raw("Input", 35, 3));
    WriteText("src/ACs/Cool/AC.ir", kHead + Raw("Off", 211, 4) + Parsed("On", "RC5", "00 00 00 00", "0C 00 00 00"));
    WriteText("src/Fans/Breeze/Tower/Fan-9.ir", kHead + Parsed("Speed", "SIRC", "01 00 00 00", "15 00 00 00"));
    WriteText("src/Fans/Loose.ir", kHead + Parsed("Power", "Samsung32", "07 00 00 00", "02 00 00 00"));
    RoundTrip(Path("src"));
    const auto ref = ReadIrTree(Path("out"));
    const Bytes good = ReadBytes("lib.vlib");
    const fmt::LibraryHeader header =
        fmt::DecodeLibraryHeader(std::span<const uint8_t, fmt::kHeaderSize>(good.data(), fmt::kHeaderSize));
    std::vector<uint32_t> extents;
    for (uint32_t p = fmt::kRecordAreaStart; p < header.dataEnd;) {
        extents.push_back(p);
        p += fmt::DecodeRecordHeader(std::span<const uint8_t, fmt::kRecordHeaderSize>(good.data() + p, fmt::kRecordHeaderSize)).capacity;
    }
    ASSERT_EQ(extents.size(), 5u);
    const uint32_t e0 = extents[0], e1 = extents[1], index = header.dataEnd;
    const uint32_t entry1 = e0 + fmt::kRecordHeaderSize + fmt::kEntryHeaderSize +
        fmt::DecodeEntryHeader(std::span<const uint8_t, fmt::kEntryHeaderSize>(good.data() + e0 + fmt::kRecordHeaderSize,
                                                                               fmt::kEntryHeaderSize)).dataLength();
    // dump lists the blocks in file order.
    const std::string dump = Ok({"dump", "lib.vlib"});
    size_t at = 0;
    for (const std::string& block : {std::string("@0 header  crc "), "@" + std::to_string(e1) + " extent  live",
                                    "@" + std::to_string(index) + " index entry 0"}) {
        at = dump.find(block, at);
        EXPECT_NE(at, std::string::npos) << block << "\n" << dump;
    }
    const auto flip = [](uint32_t at) { return [at](Bytes& b) { b[at] ^= 0x01; }; };
    const auto head = [](std::function<void(fmt::LibraryHeader&)> edit) {
        return [edit](Bytes& b) { EditHeader(b, edit); };
    };
    const struct {
        const char* what;
        std::function<void(Bytes&)> damage;
        std::string violation;  // empty: check finds none
        long recovered;
    } rows[] = {
        {"a byte of the header", flip(100), "0: header: crc: ", 5},
        {"a record header", flip(e1 + 30), std::to_string(e1) + ": record header: crc: ", 4},
        {"the second entry header", flip(entry1 + 30), std::to_string(entry1) + ": entry header: crc: ", 4},
        {"an index entry", flip(index + fmt::kIndexEntrySize + 30),
         std::to_string(index + fmt::kIndexEntrySize) + ": index entry 1: crc: ", 5},
        {"the index run overwritten", [&](Bytes& b) { std::fill(b.begin() + index, b.end(), 0x5A); },
         std::to_string(index) + ": index entry 0: ", 5},
        {"a counter, resealed", head([](auto& h) { ++h.recordCount; }), "0: header: recordCount: ", 5},
        {"a free slot at a live extent, resealed", head([&](auto& h) {
             h.freeSlots[0] = {e1, static_cast<uint16_t>(extents[2] - e1)};
             h.freeSlotCount = 1;
             h.freeBytes = extents[2] - e1; }), "0: header: freeSlots[0].offset: ", 5},
        {"an index entry pointing nowhere, resealed", [&](Bytes& b) {
             const std::span<uint8_t, fmt::kIndexEntrySize> bytes(b.data() + index, fmt::kIndexEntrySize);
             fmt::IndexEntry e = fmt::DecodeIndexEntry(bytes);
             e.recordOffset = e0 + 1;
             fmt::Encode(e, bytes);
             fmt::Seal(fmt::BlockKind::Index, bytes); },
         std::to_string(index) + ": index entry 0: recordOffset: ", 5},
        {"dirty, as if the writer crashed", head([](auto& h) { h.dirty = 1; }), "", 5},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Bytes damaged = good;
        row.damage(damaged);
        WriteBytes("bad.vlib", damaged);
        const RunResult check = Run({"check", "bad.vlib"});
        if (row.violation.empty()) {
            EXPECT_EQ(check.status, 0) << check.out << check.err;
        } else {
            ExpectOneErrorLine(check, "irlib: bad.vlib: ");
            EXPECT_NE(("\n" + check.out).find("\n" + row.violation), std::string::npos) << check.out;
        }
        fs::remove(Path("out.vlib"));
        fs::remove_all(Path("got"));
        const std::string j = Ok({"salvage", "bad.vlib", "out.vlib", "--json"});
        EXPECT_EQ(JsonNumber(j, "recovered"), row.recovered) << j;
        EXPECT_EQ(ReadBytes("bad.vlib"), damaged) << "check or salvage wrote the damaged file";
        EXPECT_EQ(Ok({"check", "out.vlib"}), "ok\n");
        Ok({"export", "out.vlib", "got"});
        const auto got = ReadIrTree(Path("got"));
        EXPECT_EQ(static_cast<long>(got.size()), row.recovered);
        for (const auto& [path, text] : got) EXPECT_EQ(ref.count(path) ? ref.at(path) : "", text) << path;
    }
    // A dirty library is refused by the commands that only read; check and stats name it, and
    // a journal of a call cut short beside it; the first writer undoes the journal, rebuilds
    // the file and says so in one line, without the library's dialog text.
    Bytes b = good;
    EditHeader(b, [](auto& h) { h.dirty = 1; });
    WriteBytes("lib.vlib", b);
    for (const std::vector<std::string>& reader :
         {std::vector<std::string>{"ls", "lib.vlib"}, {"find", "lib.vlib", "--name=*"}, {"dupes", "lib.vlib"}})
        ExpectOneErrorLine(Run(reader), "irlib: lib.vlib: not closed properly");
    EXPECT_NE(Ok({"check", "lib.vlib"}).find("note: dirty"), std::string::npos);
    EXPECT_NE(Ok({"stats", "lib.vlib"}).find("dirty          yes"), std::string::npos);
    // The journal of a call that appended an index entry.
    const fmt::LibraryHeader h =
        fmt::DecodeLibraryHeader(std::span<const uint8_t, fmt::kHeaderSize>(b.data(), fmt::kHeaderSize));
    fmt::JournalHeaderBytes journal;
    fmt::EncodeJournalHeader({.sequence = 1, .originalLength = static_cast<uint32_t>(b.size() - fmt::kIndexEntrySize),
                              .headerCrc = h.crc, .kind = h.kind}, journal);
    WriteBytes("lib.vlib-journal", Bytes(journal.begin(), journal.end()));
    EXPECT_NE(Ok({"check", "lib.vlib"}).find("note: hot journal"), std::string::npos);
    EXPECT_NE(Ok({"stats", "lib.vlib"}).find("journal        hot"), std::string::npos);
    const RunResult r = Run({"compact", "lib.vlib"});
    EXPECT_FALSE(fs::exists(Path("lib.vlib-journal")));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "irlib: lib.vlib: was not closed properly; rebuilt\n");
    EXPECT_EQ(Ok({"check", "lib.vlib"}), "ok\n");
    EXPECT_EQ(Ok({"ls", "lib.vlib", "Acme", "TVs"}), "TV-1\nTV-2\n");
}

// A record another program wrote, whose entry is no IR signal: show gives its bytes in hex,
// export refuses it rather than guess, and import never takes over its names.
TEST_F(Irlib, RecordsOfOtherProgramsAreShownNotOverwritten) {
    Ok({"create", "lib.vlib"});
    uint8_t record[IR_RECORD_ENTRIES_OFFSET + IR_ENTRY_HEAD_SIZE + 4] = {};
    IR_PUT16(record + IR_RECORD_ENTRY_COUNT_OFFSET, 1);
    std::memcpy(record + IR_RECORD_MANUFACTURER_OFFSET, "Acme", 4);
    std::memcpy(record + IR_RECORD_TYPE_OFFSET, "TVs", 3);
    std::memcpy(record + IR_RECORD_MODEL_OFFSET, "Remote", 6);
    record[IR_RECORD_ENTRIES_OFFSET] = 0x55;  // an entry kind irlib does not know
    IR_PUT16(record + IR_RECORD_ENTRIES_OFFSET + IR_ENTRY_DATA_LENGTH_OFFSET, 4);
    std::memcpy(record + IR_RECORD_ENTRIES_OFFSET + IR_ENTRY_HEAD_SIZE, "\xDE\xAD\xBE\xEF", 4);
    uint32_t status = 0;
    LibraryHandle* lib = IROpenLibrary(0, nullptr, Path("lib.vlib").c_str(), IRModeWrite, 0, &status);
    ASSERT_NE(lib, nullptr);
    ASSERT_EQ(IRWriteRemoteRecord(lib, reinterpret_cast<const RemoteRecord*>(record)), 1);
    IRCloseLibrary(lib);
    const std::string shown = "unknown  not a signal (entry kind 85 is not an IR signal): de ad be ef";
    EXPECT_NE(Ok({"show", "lib.vlib", "Acme", "TVs", "Remote"}).find(shown), std::string::npos);
    ExpectOneErrorLine(Run({"export", "lib.vlib", "out"}), "irlib: lib.vlib: Acme / TVs / Remote: not an IR remote");
    WriteText("src/TVs/Acme/Remote.ir", kHead + Parsed("Power", "NEC", "01 00 00 00", "01 00 00 00"));
    EXPECT_NE(Ok({"import", "lib.vlib", "src", "--json"}).find("\"takenBy\": \"(not an IR remote)\""), std::string::npos);
    EXPECT_NE(Ok({"show", "lib.vlib", "Acme", "TVs", "Remote"}).find(shown), std::string::npos);
}

}  // namespace
}  // namespace irlib::test
