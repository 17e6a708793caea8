// The .ir parser and writer: what becomes a signal, what stays verbatim so that its
// spelling survives, and that writing and parsing again loses nothing.
#include <gtest/gtest.h>

#include "irfile.h"

namespace irlib {
namespace {

IrFile Parse(const std::string& text) {
    IrFile file;
    std::string error;
    EXPECT_TRUE(ParseIrFile(text, file, error)) << error;
    return file;
}

// Whitespace-only differences and bare "#" lines do not count.
std::string Normalise(const std::string& text) {
    std::string out, line;
    auto flush = [&] {
        std::string words, w;
        for (char c : line + " ") {
            if (c == ' ' || c == '\t' || c == '\r') {
                if (!w.empty()) words += (words.empty() ? "" : " ") + w;
                w.clear();
            } else {
                w += c;
            }
        }
        if (!words.empty() && words != "#") out += words + "\n";
        line.clear();
    };
    for (char c : text) {
        if (c == '\n') flush(); else line += c;
    }
    flush();
    return out;
}

const char* const kTypical =
    "Filetype: IR signals file\n"
    "Version: 1\n"
    "#\n"
    "# AKAI ATE-22Y604W TV\n"
    "# \n"
    "name: Power\n"
    "type: parsed\n"
    "protocol: NECext\n"
    "address: 01 72 00 00\n"
    "command: 1E E1 00 00\n"
    "# \n"
    "name: Vol_up\n"
    "type: raw\n"
    "frequency: 38000\n"
    "duty_cycle: 0.330000\n"
    "data: 9000 4500 560 1690 560 70000\n";

TEST(IrFile, ParsesSignalsAndCommentsInOrder) {
    const IrFile f = Parse(kTypical);
    EXPECT_EQ(f.filetype, "IR signals file");
    EXPECT_EQ(f.version, "1");
    ASSERT_EQ(f.items.size(), 3u);
    EXPECT_EQ(f.items[0].kind, Item::Kind::Comment);
    EXPECT_EQ(f.items[0].text, " AKAI ATE-22Y604W TV");
    ASSERT_EQ(f.items[1].kind, Item::Kind::Signal);
    const Signal& p = f.items[1].signal;
    EXPECT_EQ(p.name, "Power");
    EXPECT_EQ(p.type, Signal::Type::Parsed);
    EXPECT_EQ(p.protocol, "NECext");
    EXPECT_EQ(p.address, (std::array<uint8_t, 4>{0x01, 0x72, 0, 0}));
    EXPECT_EQ(p.command, (std::array<uint8_t, 4>{0x1E, 0xE1, 0, 0}));
    ASSERT_EQ(f.items[2].kind, Item::Kind::Signal);
    const Signal& r = f.items[2].signal;
    EXPECT_EQ(r.type, Signal::Type::Raw);
    EXPECT_EQ(r.frequency, 38000u);
    EXPECT_EQ(r.dutyMillionths, 330000u);
    EXPECT_EQ(r.dutyDecimals, 6);
    EXPECT_EQ(r.timings, (std::vector<uint32_t>{9000, 4500, 560, 1690, 560, 70000}));
    EXPECT_EQ(f.SignalCount(), 2u);
}

TEST(IrFile, WritesBackTheSameLines) {
    const std::string written = WriteIrFile(Parse(kTypical));
    EXPECT_EQ(Normalise(written), Normalise(kTypical));
    EXPECT_EQ(Parse(written), Parse(kTypical));
}

// Numbers keep the file's spelling: "0.33" and "0.330000" are the same duty cycle but come
// back as they were written.
TEST(IrFile, DutyCycleKeepsItsDecimals) {
    for (const std::string duty : {"0.33", "0.330000", "0.5", "1", "0.000001", "4294.967295"}) {
        const std::string text = "Filetype: IR signals file\nVersion: 1\n#\nname: A\ntype: raw\n"
                                 "frequency: 40000\nduty_cycle: " + duty + "\ndata: 1 2\n";
        const IrFile f = Parse(text);
        ASSERT_EQ(f.items[0].kind, Item::Kind::Signal) << duty;
        EXPECT_EQ(WriteIrFile(f), text) << duty;
    }
}

// Blocks the compact form could not give back exactly are kept verbatim, line for line.
TEST(IrFile, UnusualBlocksStayVerbatim) {
    const char* const blocks[] = {
        "name: A\ntype: parsed\nprotocol: NEC\naddress: 0a 00 00 00\ncommand: 01 00 00 00",
        "name: A\ntype: parsed\nprotocol: NEC\naddress: 0A 00 00\ncommand: 01 00 00 00",
        "name: A\ntype: raw\nfrequency: 038000\nduty_cycle: 0.33\ndata: 1 2",
        "name: A\ntype: raw\nfrequency: 38000\nduty_cycle: .33\ndata: 1 2",
        "name: A\ntype: raw\nfrequency: 38000\nduty_cycle: 0.3300001\ndata: 1 2",
        "name: A\ntype: raw\nfrequency: 38000\nduty_cycle: 0.33\ndata: 1 -2",
        "name: A\ntype: raw\nfrequency: 38000\nduty_cycle: 0.33\ndata: 1 4294967296",
        "name: A\ntype: raw\nfrequency: 38000\nduty_cycle: 0.33\ndata: 1 2\ndata: 3 4",
        "name: A\ntype: parsed\naddress: 01 00 00 00\nprotocol: NEC\ncommand: 01 00 00 00",
        "name: A\ntype: parsed\nprotocol: NEC\naddress: 01 00 00 00\ncommand: 01 00 00 00\nrepeat: 2",
        "name: A\ntype: learned\nblob: 1",
        "name: A\ntype: parsed\nprotocol: NEC\nthis line has no colon",
    };
    for (const char* block : blocks) {
        const std::string text = std::string("Filetype: IR signals file\nVersion: 1\n#\n") + block + "\n";
        const IrFile f = Parse(text);
        ASSERT_EQ(f.items.size(), 1u) << block;
        EXPECT_EQ(f.items[0].kind, Item::Kind::Verbatim) << block;
        EXPECT_EQ(f.items[0].name, "A");
        EXPECT_EQ(WriteIrFile(f), text) << block;
    }
}

TEST(IrFile, KeysBeforeAnyNameAndCommentsInsideBlocksSurvive) {
    const std::string text =
        "Filetype: IR library file\nVersion: 2\n"
        "stray: line\n"
        "name: A\ntype: parsed\n# a comment inside\nprotocol: NEC\naddress: 01 00 00 00\n"
        "command: 02 00 00 00\n"
        "name: B\ntype: raw\nfrequency: 38000\nduty_cycle: 0.33\ndata:\n";
    const IrFile f = Parse(text);
    EXPECT_EQ(f.filetype, "IR library file");
    EXPECT_EQ(f.version, "2");
    ASSERT_EQ(f.items.size(), 5u);
    EXPECT_EQ(f.items[0].kind, Item::Kind::Verbatim);  // "stray: line"
    EXPECT_EQ(f.items[1].kind, Item::Kind::Verbatim);  // A cut short by the comment
    EXPECT_EQ(f.items[2].kind, Item::Kind::Comment);
    EXPECT_EQ(f.items[3].kind, Item::Kind::Verbatim);  // the rest of A
    ASSERT_EQ(f.items[4].kind, Item::Kind::Signal);
    EXPECT_TRUE(f.items[4].signal.timings.empty());
    EXPECT_EQ(Normalise(WriteIrFile(f)), Normalise(text));
    EXPECT_EQ(Parse(WriteIrFile(f)), f);
}

TEST(IrFile, CarriageReturnsAndSpacingAreWhitespace) {
    const std::string text =
        "Filetype: IR signals file\r\nVersion: 1\r\n\r\n#\r\n  name:   Power  \r\n"
        "type: parsed\r\nprotocol: NEC\r\naddress:  01  00 00 00\r\ncommand: 02 00 00 00\r\n";
    const IrFile f = Parse(text);
    ASSERT_EQ(f.items.size(), 1u);
    ASSERT_EQ(f.items[0].kind, Item::Kind::Signal);
    EXPECT_EQ(f.items[0].signal.name, "Power");
    EXPECT_EQ(Normalise(WriteIrFile(f)), Normalise(text));
}

TEST(IrFile, RefusesFilesWithoutTheHeaderLines) {
    IrFile f;
    std::string error;
    EXPECT_FALSE(ParseIrFile("", f, error));
    EXPECT_FALSE(ParseIrFile("name: A\ntype: parsed\n", f, error));
    EXPECT_NE(error.find("Filetype"), std::string::npos);
    EXPECT_FALSE(ParseIrFile("Filetype: IR signals file\nname: A\n", f, error));
    EXPECT_NE(error.find("Version"), std::string::npos);
    EXPECT_FALSE(ParseIrFile("Filetype: IR signals file\n", f, error));
    EXPECT_TRUE(ParseIrFile("Filetype: IR signals file\nVersion: 1\n", f, error));
    EXPECT_TRUE(f.items.empty());
}

}  // namespace
}  // namespace irlib
