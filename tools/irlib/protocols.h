// The protocol engine: a parsed signal (protocol, address, command) rendered as mark/space
// timings with its carrier, and timings decoded back with a tolerance. No I/O; the format
// readers and writers and the find/dupes commands build on it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "irfile.h"

namespace irlib {

// Address and command as numbers: the four bytes of a parsed signal, little-endian.
struct Code {
    std::string protocol;
    uint32_t address = 0;
    uint32_t command = 0;
    bool operator==(const Code&) const = default;
};

// What one press sends: `once`, then `repeat` for as long as the button is held. Both are
// mark, space pairs in microseconds; the last space of each is the gap before what follows.
struct Rendering {
    uint32_t frequency = 0;
    std::vector<uint32_t> once;
    std::vector<uint32_t> repeat;
};

// The protocols the engine renders and decodes, in a fixed order.
const std::vector<std::string_view>& EngineProtocols();

// False, with `error` set, for an unknown protocol or an address or command wider than the
// protocol carries.
bool Render(const Code& code, Rendering& out, std::string& error);

struct Decoded {
    Code code;
    // Every frame of the timings was this code (or a protocol's repeat mark) and nothing but
    // a final gap was left over: rendering the code gives the same signal back.
    bool clean = false;
};

// Decodes mark-first timings. `frequency` 0 means unknown; it only separates protocols
// whose timings overlap. Nothing when the first frame matches no protocol.
std::optional<Decoded> Decode(std::span<const uint32_t> timings, uint32_t frequency);

// The data bits of the code's frame in the order they are sent (NEC family, SIRC: the
// frame's bits; RC5: S2, toggle, address, command; RC6: start, mode, toggle, address,
// command). Empty for the other protocols or a code that does not render.
std::vector<bool> SentBits(const Code& code);

// One code per physical signal: NECext whose bytes carry their complements is NEC (the same
// for NEC42ext), and RC5X with a command below 64 is RC5 (the same frame).
Code Canonical(Code code);

// True when `a` and `b` have the same length and each duration of `b` is within the
// tolerance of `a`'s.
bool TimingsMatch(std::span<const uint32_t> a, std::span<const uint32_t> b);

// Between .ir signals and codes.
Code CodeOf(const Signal& parsed);
Signal ParsedSignal(const std::string& name, const Code& code);

// A parsed signal as a raw one: `once` without its trailing gap, duty cycle 0.33.
bool RenderSignal(const Signal& parsed, Signal& raw, std::string& error);
// A raw signal as a parsed one, when it decodes cleanly.
std::optional<Signal> DecodeSignal(const Signal& raw);

}  // namespace irlib
