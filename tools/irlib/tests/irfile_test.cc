// The .ir parser and writer, on one table of texts: what becomes a signal, a comment or a
// verbatim block (whose spelling the compact form could not give back), and that writing
// parses back to the same file, byte for byte where the text was already in written form.
#include <gtest/gtest.h>

#include "irfile.h"

namespace irlib {
namespace {

const std::string kHead = "Filetype: IR signals file\nVersion: 1\n#\n";

std::string Kinds(const IrFile& f) {
    std::string kinds;
    for (const Item& item : f.items) kinds += "SCV"[static_cast<int>(item.kind)];
    return kinds;
}

TEST(IrFile, ParsesAndWritesBackATableOfTexts) {
    const struct {
        std::string text;
        const char* kinds;  // Signal, Comment, Verbatim
        bool exact;         // written back byte for byte
    } rows[] = {
        {kHead + "# AKAI TV\nname: Power\ntype: parsed\nprotocol: NECext\naddress: 01 72 00 00\n"
                 "command: 1E E1 00 00\n# \nname: Vol_up\ntype: raw\nfrequency: 38000\nduty_cycle: 0.330000\n"
                 "data: 9000 4500 560 1690 560 70000\n", "CSS", false},
        // Numbers keep the file's spelling.
        {kHead + "name: A\ntype: raw\nfrequency: 40000\nduty_cycle: 0.33\ndata: 1 2\n", "S", true},
        {kHead + "name: A\ntype: raw\nfrequency: 40000\nduty_cycle: 1\ndata: 1 2\n", "S", true},
        {kHead + "name: A\ntype: raw\nfrequency: 40000\nduty_cycle: 0.000001\ndata: 1 2\n", "S", true},
        {kHead + "name: A\ntype: raw\nfrequency: 40000\nduty_cycle: 4294.967295\ndata: 1 2\n", "S", true},
        {kHead + "name: A\ntype: parsed\nprotocol: NEC\naddress: 0a 00 00 00\ncommand: 01 00 00 00\n", "V", true},
        {kHead + "name: A\ntype: parsed\nprotocol: NEC\naddress: 0A 00 00\ncommand: 01 00 00 00\n", "V", true},
        {kHead + "name: A\ntype: raw\nfrequency: 038000\nduty_cycle: 0.33\ndata: 1 2\n", "V", true},
        {kHead + "name: A\ntype: raw\nfrequency: 38000\nduty_cycle: .33\ndata: 1 2\n", "V", true},
        {kHead + "name: A\ntype: raw\nfrequency: 38000\nduty_cycle: 0.\ndata: 1 2\n", "V", true},
        {kHead + "name: A\ntype: raw\nfrequency: 38000\nduty_cycle: 0.3300001\ndata: 1 2\n", "V", true},
        {kHead + "name: A\ntype: raw\nfrequency: 38000\nduty_cycle: 0.33\ndata: 1 -2\n", "V", true},
        {kHead + "name: A\ntype: raw\nfrequency: 38000\nduty_cycle: 0.33\ndata: 1 4294967296\n", "V", true},
        {kHead + "name: A\ntype: raw\nfrequency: 38000\nduty_cycle: 0.33\ndata: 1 2\ndata: 3 4\n", "V", true},
        {kHead + "name: A\ntype: parsed\naddress: 01 00 00 00\nprotocol: NEC\ncommand: 01 00 00 00\n", "V", true},
        {kHead + "name: A\ntype: parsed\nprotocol: NEC\naddress: 01 00 00 00\ncommand: 01 00 00 00\nrepeat: 2\n", "V", true},
        {kHead + "name: A\ntype: learned\nblob: 1\n", "V", true},
        {kHead + "name: A\ntype: parsed\nprotocol: NEC\nthis line has no colon\n", "V", true},
        // Keys before any name, and a comment that cuts a block in two.
        {"Filetype: IR library file\nVersion: 2\nstray: line\nname: A\ntype: parsed\n# inside\nprotocol: NEC\n"
         "address: 01 00 00 00\ncommand: 02 00 00 00\nname: B\ntype: raw\nfrequency: 38000\nduty_cycle: 0.33\ndata:\n",
         "VVCVS", false},
        {"Filetype: IR signals file\r\nVersion: 1\r\n\r\n#\r\n  name:   Power  \r\ntype: parsed\r\nprotocol: NEC\r\n"
         "address:  01  00 00 00\r\ncommand: 02 00 00 00\r\n", "S", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        IrFile f;
        std::string error;
        ASSERT_TRUE(ParseIrFile(row.text, f, error)) << error;
        EXPECT_EQ(Kinds(f), row.kinds);
        const std::string written = WriteIrFile(f);
        EXPECT_TRUE(!row.exact || written == row.text) << written;
        IrFile again;
        ASSERT_TRUE(ParseIrFile(written, again, error)) << error;
        EXPECT_EQ(again, f);
    }
    // The fields of the first row's signals.
    IrFile f;
    std::string error;
    ASSERT_TRUE(ParseIrFile(rows[0].text, f, error));
    const Signal& p = f.items[1].signal;
    EXPECT_EQ(f.items[0].text, " AKAI TV");
    EXPECT_EQ(p.name, "Power");
    EXPECT_EQ(p.protocol, "NECext");
    EXPECT_EQ(p.address, (std::array<uint8_t, 4>{0x01, 0x72, 0, 0}));
    EXPECT_EQ(p.command, (std::array<uint8_t, 4>{0x1E, 0xE1, 0, 0}));
    const Signal& r = f.items[2].signal;
    EXPECT_EQ(r.type, Signal::Type::Raw);
    EXPECT_EQ(r.frequency, 38000u);
    EXPECT_EQ(r.dutyMillionths, 330000u);
    EXPECT_EQ(r.timings, (std::vector<uint32_t>{9000, 4500, 560, 1690, 560, 70000}));
    EXPECT_EQ(f.SignalCount(), 2u);
    // Without both header lines a text is no .ir file.
    for (const char* text : {"", "name: A\ntype: parsed\n", "Filetype: IR signals file\nname: A\n"}) {
        EXPECT_FALSE(ParseIrFile(text, f, error)) << text;
    }
}

}  // namespace
}  // namespace irlib
