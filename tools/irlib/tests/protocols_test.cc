// The protocol engine: every protocol renders and decodes back over a spread of values (also
// through Pronto hex), two published Pronto codes decode as documented, and the raw captures
// of the shared sample that decode agree with the parsed signals of the same file.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <tuple>
#include <sstream>

#include "irfile.h"
#include "pronto.h"
#include "protocols.h"

namespace irlib {
namespace {

TEST(Engine, EveryProtocolRoundTripsThroughTimingsAndPronto) {
    struct Row { const char* protocol; uint32_t maxAddress, maxCommand; };
    const Row rows[] = {
        {"NEC", 0xFF, 0xFF},          {"NECext", 0xFFFF, 0xFFFF}, {"NEC42", 0x1FFF, 0xFF},
        {"NEC42ext", 0x3FFFFFF, 0xFFFF}, {"Samsung32", 0xFF, 0xFF}, {"RC5", 0x1F, 0x3F},
        {"RC5X", 0x1F, 0x7F},         {"RC6", 0xFF, 0xFF},        {"SIRC", 0x1F, 0x7F},
        {"SIRC15", 0xFF, 0x7F},       {"SIRC20", 0x1FFF, 0x7F},   {"RCA", 0xF, 0xFF},
        {"Kaseikyo", 0x03FFFFFF, 0x3FF}, {"Pioneer", 0xFF, 0xFF},
    };
    ASSERT_EQ(std::size(rows), EngineProtocols().size());
    // 0x00FF00FF: a 16-bit command that carries its complement beside an address that does not.
    const uint32_t spread[] = {0, 1, 0x55555555, 0xAAAAAAAA, 0x12345678, 0x00FF00FF, 0xFFFFFFFF};
    for (const Row& row : rows)
        for (uint32_t a : spread)
            for (uint32_t c : spread) {
                Code code{row.protocol, a & row.maxAddress, c & row.maxCommand};
                if (code.protocol == "RC5X") code.command |= 0x40;
                if (code.protocol == "Kaseikyo") code.address = (code.address & 0xFF0000FF) | 0x200200;
                SCOPED_TRACE(code.protocol + " " + std::to_string(code.address) + " " + std::to_string(code.command));
                Rendering r;
                std::string error;
                ASSERT_TRUE(Render(code, r, error)) << error;
                std::vector<uint32_t> timings = r.once;
                timings.insert(timings.end(), r.repeat.begin(), r.repeat.end());
                timings.pop_back();
                const auto d = Decode(timings, r.frequency);
                ASSERT_TRUE(d.has_value());
                EXPECT_TRUE(d->clean);
                EXPECT_EQ(Canonical(d->code), Canonical(code));
                // The same through a Pronto code, whose durations are whole carrier periods.
                ProntoCode pronto;
                ASSERT_TRUE(ParsePronto(ProntoText(r.frequency, r.once, r.repeat), pronto, error)) << error;
                EXPECT_NEAR(pronto.frequency, r.frequency, r.frequency / 100);
                const auto p = Decode(ProntoTimings(pronto), pronto.frequency);
                ASSERT_TRUE(p.has_value());
                EXPECT_EQ(Canonical(p->code), Canonical(code));
                // One bit past the protocol's width is refused, not cut.
                if (row.maxAddress < 0xFFFFFFFF) {
                    Code wide = code;
                    wide.address = row.maxAddress + 1;
                    EXPECT_FALSE(Render(wide, r, error));
                }
            }
    Rendering r;
    std::string error;
    EXPECT_FALSE(Render(Code{"NEC", 0, 0x100}, r, error));
    EXPECT_FALSE(Render(Code{"Sharp", 1, 1}, r, error));
    // A space that is neither a zero nor a one makes no code at all, nor does a frame cut short.
    ASSERT_TRUE(Render(Code{"NEC", 4, 8}, r, error));
    r.once[10] = 1100;
    EXPECT_FALSE(Decode(r.once, r.frequency).has_value());
    ASSERT_TRUE(Render(Code{"RC6", 4, 8}, r, error));
    EXPECT_FALSE(Decode(std::span(r.once).first(r.once.size() - 5), r.frequency).has_value());
    ASSERT_TRUE(Render(Code{"RC5", 4, 8}, r, error));
    r.once[3] = r.once[3] * 7 / 5;  // a bi-phase half 40% too long is no half
    EXPECT_FALSE(Decode(r.once, r.frequency).has_value());
}

TEST(Engine, PublishedProntoCodesDecodeAsDocumented) {
    struct Row { const char* text; uint32_t frequency; Code code; };
    const Row rows[] = {
        // A receiver's Power On: NEC at about 39.9 kHz.
        {"0000 0068 0000 0022 0168 00B4 0016 0043 0016 0016 0016 0016 0016 0016 0016 0016 0016 0016 "
         "0016 0016 0016 0016 0016 0016 0016 0043 0016 0043 0016 0043 0016 0043 0016 0043 0016 0043 "
         "0016 0043 0016 0016 0016 0043 0016 0016 0016 0016 0016 0043 0016 0016 0016 0016 0016 0016 "
         "0016 0043 0016 0016 0016 0043 0016 0043 0016 0016 0016 0043 0016 0043 0016 0043 0016 05F7",
         39900, {"NEC", 0x01, 0x12}},
        // A disc player's digit key: 12-bit SIRC at 40.2 kHz, mark 0018 = 0, 0030 = 1.
        {"0000 0067 0000 000d 0060 0018 0018 0018 0018 0018 0018 0018 0018 0018 0018 0018 0018 0018 "
         "0018 0018 0018 0018 0030 0018 0018 0018 0030 0018 0030 03f6",
         40200, {"SIRC", 0x1A, 0x00}},
    };
    for (const Row& row : rows) {
        ProntoCode pronto;
        std::string error;
        ASSERT_TRUE(ParsePronto(row.text, pronto, error)) << error;
        EXPECT_NEAR(pronto.frequency, row.frequency, 100);
        const auto d = Decode(ProntoTimings(pronto), pronto.frequency);
        ASSERT_TRUE(d.has_value()) << row.text;
        EXPECT_EQ(d->code, row.code);
    }
    // Malformed codes say what is wrong.
    const std::pair<const char*, const char*> bad[] = {
        {"0000 006D 0001 0000 0010 001G", "word 6 \"001G\""},
        {"0000 006D 0002 0000 0010 0010", "announces 2 + 0 pairs"},
        {"5000 006D 0000 0000", "not a learned code"},
        {"0000 0000 0000 0000", "carrier word is 0000"},
    };
    for (const auto& [text, reason] : bad) {
        ProntoCode pronto;
        std::string error;
        EXPECT_FALSE(ParsePronto(text, pronto, error));
        EXPECT_NE(error.find(reason), std::string::npos) << error;
    }
}

// Every file of the sample with both parsed and raw signals: a raw capture that decodes
// cleanly (one code in every frame) uses the protocol of the file's parsed signals, and
// nearly always their address too (a receiver's remote also drives its disc player). Captures
// of two codes (Pioneer's two-part keys) are not clean and not compared; the aggregate file
// (one button name with many codes: _Converted_/Power_off.ir) is counted for exact codes.
TEST(Engine, SampleCapturesAgreeWithTheParsedSignalsOfTheirFile) {
    namespace fs = std::filesystem;
    const fs::path sample = fs::path(IRLIB_SHARED_DATA) / "flipper-irdb-sample";
    if (!fs::is_directory(sample)) GTEST_SKIP() << "skipped: " << sample << " is missing";
    size_t raw = 0, clean = 0, compared = 0, agree = 0, aggregate = 0, exact = 0;
    for (const auto& entry : fs::recursive_directory_iterator(sample)) {
        if (entry.path().extension() != ".ir") continue;
        std::ifstream in(entry.path(), std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        IrFile file;
        std::string error;
        ASSERT_TRUE(ParseIrFile(text.str(), file, error)) << entry.path();
        using Key = std::tuple<std::string, uint32_t, uint32_t>;
        std::set<Key> codes, addresses;
        std::set<std::string> protocols;
        std::map<std::string, std::set<Key>> byName;
        std::vector<const Signal*> captures;
        for (const Item& item : file.items) {
            if (item.kind != Item::Kind::Signal) continue;
            if (item.signal.type == Signal::Type::Raw) {
                captures.push_back(&item.signal);
                continue;
            }
            const Code c = Canonical(CodeOf(item.signal));
            codes.insert({c.protocol, c.address, c.command});
            addresses.insert({c.protocol, c.address, 0});
            protocols.insert(c.protocol);
            byName[item.signal.name].insert({c.protocol, c.address, c.command});
        }
        if (codes.empty()) continue;
        bool many = false;
        for (const auto& [name, set] : byName) many |= set.size() > 1;
        for (const Signal* capture : captures) {
            ++raw;
            const auto d = Decode(capture->timings, capture->frequency);
            if (!d || !d->clean) continue;
            ++clean;
            const Code c = Canonical(d->code);
            if (many) {
                ++aggregate;
                exact += codes.count({c.protocol, c.address, c.command});
                continue;
            }
            ++compared;
            EXPECT_TRUE(protocols.count(c.protocol)) << entry.path() << ": " << capture->name << " is " << c.protocol;
            agree += addresses.count({c.protocol, c.address, 0});
        }
    }
    std::printf("sample: %zu raw captures beside parsed signals, %zu decode cleanly; of %zu in one-remote "
                "files all have the file's protocol, %zu its address too; of %zu in the aggregate file %zu are one of its parsed codes\n",
                raw, clean, compared, agree, aggregate, exact);
    EXPECT_GE(compared, 50u);
}

}  // namespace
}  // namespace irlib
