// Writes the binary seed corpora of the fuzzers: library files in the states that matter
// (empty, clean with deleted extents, dirty, nearly full of free slots, cut short) for the
// file target, and operation programs, hand-made and random, for the operations target.
//
//   varnel32_fuzz_corpus <directory>   (creates <directory>/open_file and /operations)
#include <sys/stat.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "support/reliability.h"

namespace rl = varnel32::reliability;

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <directory>\n", argv[0]);
        return 2;
    }
    const std::string out = argv[1];
    const std::string files = out + "/open_file", programs = out + "/operations";
    mkdir(out.c_str(), 0755);
    mkdir(files.c_str(), 0755);
    mkdir(programs.c_str(), 0755);
    const std::string scratch = files + "/scratch.tmp";

    if (IRCreateLibrary(0, (files + "/empty.lib").c_str(), 0) != 1) return 1;
    const rl::Library main = rl::MakeMainLibrary(files + "/main.lib");
    const rl::Library dirty = rl::MakeDirtyLibrary(files + "/dirty.lib", main);
    const rl::Library full = rl::MakeNearlyFullLibrary(scratch);
    if (main.file.empty() || dirty.file.empty() || full.file.empty()) return 1;
    rl::WriteFile(files + "/full.lib", full.file);
    rl::WriteFile(files + "/short.lib", rl::Bytes(main.file.begin(), main.file.end() - 100));
    std::remove(scratch.c_str());

    // Programs: opcode bytes as operations_fuzzer.cc reads them.
    const std::vector<std::vector<uint8_t>> handmade = {
        // three writes, a rewrite that grows, a delete, a compaction, a check
        {0, 0x00, 2, 10, 0, 20, 0, 0, 1, 1, 0x10, 1, 30, 0, 0, 2, 2, 0x20, 0, 0, 3,
         0, 0x00, 3, 200, 1, 200, 1, 100, 0, 0, 4, 4, 0x10, 6, 9},
        // writes, a crashed copy, reopen read-only first, check
        {0, 0x05, 1, 50, 0, 0, 9, 1, 0x16, 2, 5, 0, 5, 0, 0, 9, 10, 8, 1, 9},
        // extra space 0, write, faults on write and read around writes and a delete
        {7, 0, 0, 0, 0x01, 1, 40, 0, 0, 1, 11, 1, 2, 0, 0x02, 1, 40, 0, 0, 2, 11, 0x80, 1,
         4, 0x01, 9},
        // extra space at the limit, a record that does not fit, one that does
        {7, 0xFF, 0xFF, 0, 0x03, 0, 0, 5, 7, 0, 0, 0, 0x03, 0, 0, 5, 9},
    };
    int n = 0;
    for (const auto& p : handmade) rl::WriteFile(programs + "/hand" + std::to_string(n++), p);
    std::mt19937 rng(20240601);
    for (int i = 0; i < 16; ++i) {
        std::vector<uint8_t> p(64 + 32 * (i % 4));
        for (uint8_t& b : p) b = static_cast<uint8_t>(rng());
        rl::WriteFile(programs + "/random" + std::to_string(i), p);
    }
    std::printf("fuzz corpus: 5 library files in %s, %d programs in %s\n", files.c_str(), n + 16,
                programs.c_str());
    return 0;
}
