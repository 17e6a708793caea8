// The other formats as a user meets them: a small file of each converts to .ir and back to
// the same signals, every malformed line is reported with file, line and reason while the
// rest converts, and find and dupes answer from a library filled from an irdb tree.

#include "cli_support.h"

namespace irlib::test {
namespace {


class Formats : public CliTest {};

const char kLirc[] =
    "# a coded NEC remote, a raw one, RC5 and RC6\n"
    "begin remote\n  name TV\n  bits 16\n  flags SPACE_ENC|CONST_LENGTH\n  header 9000 4500\n"
    "  one 562 1687\n  zero 562 562\n  ptrail 562\n  pre_data_bits 16\n  pre_data 0x20DF\n"
    "  begin codes\n    KEY_POWER 0x10EF\n    KEY_MUTE 0x906F\n  end codes\nend remote\n"
    "begin remote\n  name amp\n  flags RAW_CODES\n  frequency 38000\n  begin raw_codes\n"
    "    name vol_up\n      4500 4500 560 1690\n      560 560 560\n  end raw_codes\nend remote\n"
    "begin remote\n  name vcr\n  bits 13\n  flags RC5|CONST_LENGTH\n  one 889 889\n  zero 889 889\n"
    "  plead 889\n  begin codes\n    power 0x100C\n    mode 0x0011\n  end codes\nend remote\n"
    "begin remote\n  name mce\n  bits 16\n  flags RC6|CONST_LENGTH\n  header 2666 889\n"
    "  one 444 444\n  zero 444 444\n  pre_data_bits 5\n  pre_data 0x10\n  begin codes\n"
    "    power 0x040C\n  end codes\nend remote\n";

const char kPronto[] =
    "Power: 0000 006D 0022 0002 0157 00AC 0015 0016 0015 0016 0015 0016 0015 0016 0015 0016 0015 "
    "0016 0015 0016 0015 0016 0015 0041 0015 0041 0015 0041 0015 0041 0015 0041 0015 0041 0015 0041 "
    "0015 0041 0015 0016 0015 0041 0015 0016 0015 0016 0015 0016 0015 0016 0015 0016 0015 0016 0015 "
    "0041 0015 0016 0015 0041 0015 0041 0015 0041 0015 0041 0015 0041 0015 0041 0015 0689 0157 0056 "
    "0015 0E94\n"
    "<Digit 1>\n"
    "0000 0067 0000 000d 0060 0018 0018 0018 0018 0018 0018 0018 0018 0018 0018 0018 0018 0018\n"
    "0018 0018 0018 0018 0030 0018 0018 0018 0030 0018 0030 03f6\n";

const char kCsv[] =
    "functionname,protocol,device,subdevice,function\n"
    "Power,Sony12,1,-1,21\n\"Vol, up\",NEC1,4,-1,2\nWide,NEC1,4,7,9\nPanasonic power,Panasonic,128,0,61\n"
    "Samsung mute,NECx2,7,7,15\nVCR,RC5,5,-1,70\nMCE,RC6,4,-1,12\n";

TEST_F(Formats, EachFormatConvertsToIrAndBackToTheSameSignals) {
    struct Row { const char* file; const char* text; size_t signals; std::vector<std::string> expect; };
    const Row rows[] = {
        {"tv.lircd.conf", kLirc, 6,
         {"name: KEY_MUTE\ntype: parsed\nprotocol: NEC\naddress: 04 00 00 00\ncommand: 09 00 00 00",
          "name: vol_up\ntype: raw\nfrequency: 38000\nduty_cycle: 0.33\ndata: 4500 4500 560 1690 560 560 560",
          "name: mode\ntype: parsed\nprotocol: RC5X\naddress: 00 00 00 00\ncommand: 51 00 00 00",
          "protocol: RC6\naddress: 04 00 00 00\ncommand: 0C 00 00 00"}},
        {"codes.pronto", kPronto, 2, {"name: Power\ntype: raw\nfrequency: 38029", "name: Digit 1\ntype: raw"}},
        {"1,-1.csv", kCsv, 7,
         {"name: Power\ntype: parsed\nprotocol: SIRC\naddress: 01 00 00 00\ncommand: 15 00 00 00",
          "name: Wide\ntype: parsed\nprotocol: NECext\naddress: 04 07 00 00\ncommand: 09 F6 00 00",
          "protocol: Kaseikyo\naddress: 80 02 20 00\ncommand: D0 03 00 00",
          "protocol: Samsung32\naddress: 07 00 00 00\ncommand: 0F 00 00 00",
          "protocol: RC5X\naddress: 05 00 00 00\ncommand: 46 00 00 00"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.file);
        WriteText(row.file, row.text);
        const std::string ext = std::string(row.file).substr(std::string(row.file).find('.'));
        Ok({"convert", row.file, "a.ir"});
        Ok({"convert", "a.ir", "b" + ext});
        Ok({"convert", "b" + ext, "c.ir"});
        const std::string a = ReadText("a.ir");
        EXPECT_EQ(ReadText("c.ir"), a);
        EXPECT_EQ(LinesStartingWith(a, "name: ").size(), row.signals);
        for (const std::string& e : row.expect) EXPECT_NE(a.find(e), std::string::npos) << e << "\nin\n" << a;
    }
    // --decode makes the Pronto captures parsed, --render the parsed signals raw (that they
    // decode back to the same codes is checked for every protocol in protocols_test).
    Ok({"convert", "codes.pronto", "d.ir", "--decode"});
    const std::string decoded = ReadText("d.ir");
    EXPECT_NE(decoded.find("name: Power\ntype: parsed\nprotocol: NEC\naddress: 00 00 00 00\ncommand: 02 00"),
              std::string::npos) << decoded;
    EXPECT_NE(decoded.find("name: Digit 1\ntype: parsed\nprotocol: SIRC\naddress: 1A"), std::string::npos);
    Ok({"convert", "1,-1.csv", "raw.ir", "--render"});
    EXPECT_EQ(LinesStartingWith(ReadText("raw.ir"), "type: raw").size(), 7u);
    // A remote of one protocol and address that LIRC has no coded layout for goes as raw codes.
    WriteText("k.ir", "Filetype: IR signals file\nVersion: 1\n#\nname: A\ntype: parsed\nprotocol: Kaseikyo\n"
                      "address: 80 02 20 01\ncommand: 00 03 00 00\n#\nname: B\ntype: parsed\nprotocol: Kaseikyo\n"
                      "address: 80 02 20 01\ncommand: 10 03 00 00\n");
    Ok({"convert", "k.ir", "k.lircd.conf"});
    Ok({"convert", "k.lircd.conf", "k2.ir", "--decode"});
    EXPECT_EQ(ReadText("k2.ir"), ReadText("k.ir"));
}

TEST_F(Formats, MalformedLinesAreReportedAndTheRestConverts) {
    struct Row { const char* file; std::string text; const char* reason; size_t signals; };
    const Row rows[] = {
        {"bad.pronto", "A: 0000 006D 0001 0000 0010 0010\nB: 0000 006D 0001 0000 0010 00G0\n",
         "bad.pronto:2: word 6 \"00G0\" is not four hex digits", 1},
        {"count.pronto", "A: 0000 006D 0002 0000 0010 0010\nB: 0000 006D 0001 0000 0010 0010\n",
         "count.pronto:1: the code announces 2 + 0 pairs (8 words) but has 6 words", 1},
        {"long.pronto", "A: 0000 006D 0001 0000 0010 0010 0010\nB: 0000 006D 0001 0000 0010 0010\n",
         "long.pronto:1: the code announces 1 + 0 pairs (6 words) but has 7 words", 1},
        {"odd.lircd.conf", "begin remote\nname r\nflags RAW_CODES\nbegin raw_codes\nname a\n100 200 300\n"
                           "name b\n100 200\nend raw_codes\nend remote\n",
         "odd.lircd.conf:7: raw code \"b\" has 2 durations", 1},
        {"open.lircd.conf", "begin remote\nname r\nflags RAW_CODES\nbegin raw_codes\nname a\n100 200 300\n"
                            "end raw_codes\nend remote\nbegin remote\nname s\n",
         "open.lircd.conf:9: 'begin remote' without 'end remote'", 1},
        {"noone.lircd.conf", "begin remote\nname r\nbits 8\nheader 9000 4500\nbegin codes\nA 0x01\nend codes\n"
                             "end remote\nbegin remote\nname s\nflags RAW_CODES\nbegin raw_codes\nname b\n1 2 3\n"
                             "end raw_codes\nend remote\n",
         "noone.lircd.conf:6: remote \"r\" has no bits or no 'one' timing before its codes", 1},
        {"dur.lircd.conf", "begin remote\nname r\nflags RAW_CODES\nbegin raw_codes\nname a\n100 2x0 300\n"
                           "name b\n1 2 3\nend raw_codes\nend remote\n",
         "dur.lircd.conf:6: \"2x0\" is not a duration; code \"a\" skipped", 1},
        {"fields.csv", "functionname,protocol,device,subdevice,function\nA,NEC1,1,-1\nB,NEC1,x,-1,2\nC,NEC1,1,-1,2\n",
         "fields.csv:2: expected 5 fields, found 4", 1},
        {"number.csv", "functionname,protocol,device,subdevice,function\nB,NEC1,x,-1,2\nC,NEC1,1,-1,2\n",
         "number.csv:2: device, subdevice and function must be whole numbers", 1},
        {"none.ir", "not a signal file\n", "none.ir:1: not an IR signals file (no Filetype line)", 0},
        {"proto.csv", "functionname,protocol,device,subdevice,function\nA,NEC1,1,-1,2\nB,Nokia32,1,-1,2\n",
         "proto.csv:3: unknown protocol \"Nokia32\"", 1},
        {"wide.csv", "functionname,protocol,device,subdevice,function\nA,Sony12,40,-1,2\nB,NEC1,1,-1,2\n",
         "wide.csv:2: cannot render SIRC: address 40 is wider than the protocol carries", 1},
        {"byte.csv", "functionname,protocol,device,subdevice,function\nA,NEC1,256,-1,2\nB,NEC1,1,-1,2\n",
         "byte.csv:2: device, subdevice and function must be 0..255", 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.file);
        WriteText(row.file, row.text);
        fs::remove(Path("out.ir"));
        const RunResult r = Run({"convert", row.file, "out.ir"});
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(std::string("irlib: ") + row.reason), std::string::npos) << r.err;
        EXPECT_EQ(LinesStartingWith(ReadText("out.ir"), "name: ").size(), row.signals);
    }
    // What a format cannot hold is reported too, never dropped silently.
    WriteText("x.ir", "Filetype: IR signals file\nVersion: 1\n#\nname: A\ntype: parsed\nprotocol: RC5\n"
                      "address: 00 00 00 00\ncommand: FF 00 00 00\n#\nname: B\ntype: parsed\nprotocol: NEC\n"
                      "address: 01 00 00 00\ncommand: 02 00 00 00\n");
    const RunResult r = Run({"convert", "x.ir", "x.pronto"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("A: cannot render RC5: command 255 is wider than the protocol carries; left out"),
              std::string::npos) << r.err;
    EXPECT_EQ(LinesStartingWith(ReadText("x.pronto"), "B: 0000 006D").size(), 1u);
}

// find takes one code four ways (numbers, NECext bytes, Pronto, raw timings) and matches
// undecodable timings by shape; dupes groups remotes that hold the same codes.
TEST_F(Formats, FindAndDupesAnswerFromALibraryFilledFromAnIrdbTree) {
    const std::string head = "functionname,protocol,device,subdevice,function\n";
    WriteText("codes/Sony/TV/1,-1.csv", kCsv);
    WriteText("codes/Acme/TV/4,-1.csv", head + "Volume Up,NEC1,4,-1,2\nMute,NEC1,4,-1,9\n");
    WriteText("codes/Acme/TV/copy.csv", head + "Louder,NEC1,4,-1,2\nQuiet,NEC1,4,-1,9\n");
    WriteText("odd.ir", "Filetype: IR signals file\nVersion: 1\n#\nname: Blip\ntype: raw\nfrequency: 38000\n"
                        "duty_cycle: 0.33\ndata: 1000 2000 1000 2000 1000\n");
    Ok({"create", "lib.vlib"});
    Ok({"import", "lib.vlib", Path("codes"), "--format", "csv"});
    Ok({"import", "lib.vlib", Path("odd.ir")});
    Ok({"export", "lib.vlib", "out", "--format", "pronto"});
    const std::string pronto = ReadText("out/TV/Acme/4,-1.pronto");
    ASSERT_EQ(pronto.rfind("Volume Up: 0000 006D 0022 0002 ", 0), 0u) << pronto;
    Ok({"export", "lib.vlib", "raw", "--render"});
    const std::vector<std::string> data = LinesStartingWith(ReadText("raw/TV/Acme/4,-1.ir"), "data: ");
    ASSERT_EQ(data.size(), 2u);
    const std::string want = "Acme / TV / 4,-1 / Volume Up\nAcme / TV / copy / Louder\nSony / TV / 1,-1 / Vol, up\n"
                             "3 matches in 4 remotes\n";
    EXPECT_EQ(Ok({"find", "lib.vlib", "--code", "NEC", "4", "2"}), want);
    EXPECT_EQ(Ok({"find", "lib.vlib", "--code", "NECext 0xFB04 0xFD02"}), want);
    EXPECT_EQ(Ok({"find", "lib.vlib", "--pronto", pronto.substr(11, pronto.find('\n') - 11)}), "decoded as NEC 0x4 0x2\n" + want);
    EXPECT_EQ(Ok({"find", "lib.vlib", "--raw", data[0].substr(6)}), "decoded as NEC 0x4 0x2\n" + want);
    EXPECT_EQ(Ok({"find", "lib.vlib", "--raw", "1100 1900 1000 2100 950"}),
              "does not decode; matching by timing\n(none) / (none) / odd / Blip\n1 matches in 4 remotes\n");
    EXPECT_EQ(Ok({"find", "lib.vlib", "--raw", "1500 2000 1000 2000 1000"}),
              "does not decode; matching by timing\n0 matches in 4 remotes\n");
    EXPECT_EQ(Ok({"find", "lib.vlib", "--name", "*MUTE*"}),
              "Acme / TV / 4,-1 / Mute\nSony / TV / 1,-1 / Samsung mute\n2 matches in 4 remotes\n");
    EXPECT_EQ(Ok({"dupes", "lib.vlib"}), "identical (2 codes):\n  Acme / TV / 4,-1\n  Acme / TV / copy\n"
                                         "1 groups of identical remotes, 0 remotes contained in others, 4 remotes\n");
}

}  // namespace
}  // namespace irlib::test
