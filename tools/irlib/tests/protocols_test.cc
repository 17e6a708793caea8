// The protocol engine: every protocol renders and decodes back over a spread of values, also
// through Pronto hex with its once and repeat parts, codes wider than their protocol are
// refused, and timings that are no frame decode to nothing.
#include <gtest/gtest.h>

#include "pronto.h"
#include "protocols.h"

namespace irlib {
namespace {

TEST(Engine, EveryProtocolRoundTripsThroughTimingsAndPronto) {
    const struct { const char* protocol; uint32_t maxAddress, maxCommand; } rows[] = {
        {"NEC", 0xFF, 0xFF},          {"NECext", 0xFFFF, 0xFFFF}, {"NEC42", 0x1FFF, 0xFF},
        {"NEC42ext", 0x3FFFFFF, 0xFFFF}, {"Samsung32", 0xFF, 0xFF}, {"RC5", 0x1F, 0x3F},
        {"RC5X", 0x1F, 0x7F},         {"RC6", 0xFF, 0xFF},        {"SIRC", 0x1F, 0x7F},
        {"SIRC15", 0xFF, 0x7F},       {"SIRC20", 0x1FFF, 0x7F},   {"RCA", 0xF, 0xFF},
        {"Kaseikyo", 0x03FFFFFF, 0x3FF}, {"Pioneer", 0xFF, 0xFF},
    };
    ASSERT_EQ(std::size(rows), EngineProtocols().size());
    // 0x00FF00FF: a 16-bit command that carries its complement beside an address that does not.
    const uint32_t spread[] = {0, 1, 0x55555555, 0xAAAAAAAA, 0x12345678, 0x00FF00FF, 0xFFFFFFFF};
    Rendering r;
    std::string error;
    for (const auto& row : rows)
        for (uint32_t a : spread)
            for (uint32_t c : spread) {
                Code code{row.protocol, a & row.maxAddress, c & row.maxCommand};
                if (code.protocol == "RC5X") code.command |= 0x40;
                if (code.protocol == "Kaseikyo") code.address = (code.address & 0xFF0000FF) | 0x200200;
                SCOPED_TRACE(testing::Message() << code.protocol << " " << code.address << " " << code.command);
                ASSERT_TRUE(Render(code, r, error)) << error;
                std::vector<uint32_t> timings = r.once;
                timings.insert(timings.end(), r.repeat.begin(), r.repeat.end() - 1);
                const auto d = Decode(timings, r.frequency);
                ASSERT_TRUE(d.has_value());
                EXPECT_TRUE(d->clean);
                EXPECT_EQ(Canonical(d->code), Canonical(code));
                // Pronto durations are whole carrier periods; the once and repeat parts stay apart.
                ProntoCode pronto;
                ASSERT_TRUE(ParsePronto(ProntoText(r.frequency, r.once, r.repeat), pronto, error)) << error;
                EXPECT_NEAR(pronto.frequency, r.frequency, r.frequency / 100);
                EXPECT_EQ(pronto.once.size(), r.once.size());
                EXPECT_EQ(pronto.repeat.size(), r.repeat.size());
                const auto p = Decode(ProntoTimings(pronto), pronto.frequency);
                ASSERT_TRUE(p.has_value());
                EXPECT_EQ(Canonical(p->code), Canonical(code));
                // One bit past the protocol's width is refused, not cut.
                EXPECT_FALSE(Render({code.protocol, row.maxAddress + 1, 0}, r, error));
            }
    // A SIRC press sends its frame at least three times.
    ASSERT_TRUE(Render(Code{"SIRC", 4, 8}, r, error));
    EXPECT_EQ(r.once.size(), 3 * r.repeat.size());
    for (const char* protocol : {"NEC", "SIRC"}) {  // captures off by up to a fifth of each duration
        ASSERT_TRUE(Render(Code{protocol, 4, 8}, r, error));
        for (size_t i = 0; i < r.once.size(); ++i) r.once[i] = r.once[i] * (i % 2 ? 6 : 4) / 5;
        EXPECT_EQ(Decode(r.once, r.frequency).value_or(Decoded{}).code, (Code{protocol, 4, 8}));
    }
    // A space that is neither a zero nor a one makes no code at all, nor does a frame cut short,
    // nor a bi-phase half 40% too long.
    ASSERT_TRUE(Render(Code{"NEC", 4, 8}, r, error));
    r.once[10] = 1100;
    EXPECT_FALSE(Decode(r.once, r.frequency).has_value());
    ASSERT_TRUE(Render(Code{"RC6", 4, 8}, r, error));
    EXPECT_FALSE(Decode(std::span(r.once).first(r.once.size() - 5), r.frequency).has_value());
    ASSERT_TRUE(Render(Code{"RC5", 4, 8}, r, error));
    r.once[3] = r.once[3] * 7 / 5;
    EXPECT_FALSE(Decode(r.once, r.frequency).has_value());
}

}  // namespace
}  // namespace irlib
