// The .ir parser and writer on one table of texts: what becomes a signal, a comment or a
// verbatim block (whose spelling the compact form could not give back), and that writing gives
// the text back byte for byte where it was already in written form. (The fuzzer checks that
// whatever parses writes back to the same file.)
#include <gtest/gtest.h>

#include "irfile.h"

namespace irlib {
namespace {

TEST(IrFile, ParsesAndWritesBackATableOfTexts) {
    const std::string file = "Filetype: IR signals file\nVersion: 1\n#\n", head = file + "name: A\ntype: ";
    const std::string raw = head + "raw\nfrequency: ", nec = head + "parsed\nprotocol: NEC\naddress: ";
    // The kinds of the items (Signal, Comment, Verbatim), and whether the text is written back byte for byte.
    const struct { std::string text; const char* kinds; bool exact; } rows[] = {
        {file + "# AKAI TV\nname: Power\ntype: parsed\nprotocol: NECext\naddress: 01 72 00 00\n"
         "command: 1E E1 00 00\n# \nname: Vol_up\ntype: raw\nfrequency: 38000\nduty_cycle: 0.330000\n"
         "data: 9000 4500 560 1690 560 70000\n", "CSS", false},
        // Numbers keep the file's spelling, or the block stays verbatim.
        {raw + "40000\nduty_cycle: 0.33\ndata: 1 2\n", "S", true},
        {nec + "0a 00 00 00\ncommand: 01 00 00 00\n", "V", true},
        {raw + "38000\nduty_cycle: 0.3300001\ndata: 1 2\n", "V", true},
        {raw + "38000\nduty_cycle: 0.33\ndata: 1 4294967296\n", "V", true},
        {raw + "38000\nduty_cycle: 0.33\ndata: 1 2\ndata: 3 4\n", "V", true},
        {head + "parsed\naddress: 01 00 00 00\nprotocol: NEC\ncommand: 01 00 00 00\n", "V", true},
        {nec + "01 00 00 00\ncommand: 01 00 00 00\nrepeat: 2\n", "V", true},
        {head + "parsed\nprotocol: NEC\nthis line has no colon\n", "V", true},
        // Keys before any name, and a comment that cuts a block in two.
        {"Filetype: IR library file\nVersion: 2\nstray: line\nname: A\ntype: parsed\n# inside\nprotocol: NEC\n"
         "address: 01 00 00 00\ncommand: 02 00 00 00\nname: B\ntype: raw\nfrequency: 38000\nduty_cycle: 0.33\n"
         "data:\n",
         "VVCVS", false},
        {"Filetype: IR signals file\r\nVersion: 1\r\n\r\n#\r\n  name:   Power  \r\ntype: parsed\r\n"
         "protocol: NEC\r\naddress:  01  00 00 00\r\ncommand: 02 00 00 00\r\n", "S", false},
    };
    IrFile f;
    std::string error;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        ASSERT_TRUE(ParseIrFile(row.text, f, error)) << error;
        std::string kinds;
        for (const Item& item : f.items) kinds += "SCV"[static_cast<int>(item.kind)];
        EXPECT_EQ(kinds, row.kinds);
        EXPECT_TRUE(!row.exact || WriteIrFile(f) == row.text) << WriteIrFile(f);
    }
    ASSERT_TRUE(ParseIrFile(rows[0].text, f, error));
    EXPECT_EQ(f.items[0].text, " AKAI TV");
    EXPECT_EQ(f.items[1].signal,
              (Signal{.name = "Power", .protocol = "NECext", .address = {1, 0x72}, .command = {0x1E, 0xE1}}));
    EXPECT_EQ(f.items[2].signal, (Signal{.name = "Vol_up", .type = Signal::Type::Raw, .frequency = 38000,
                                         .dutyMillionths = 330000, .dutyDecimals = 6,
                                         .timings = {9000, 4500, 560, 1690, 560, 70000}}));
    EXPECT_FALSE(ParseIrFile("Filetype: IR signals file\nname: A\n", f, error));  // no Version line
}

}  // namespace
}  // namespace irlib
