// What the fuzz targets share: a scratch directory of their own (tmpfs when there is one,
// so that rewriting a file for every input never waits on a disk) and a loud stop when a
// property fails, which libFuzzer records as a crash with the input that caused it.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace varnel32::fuzz {

// A plain array, so that the exit handler that removes the directory can still read its name.
inline char g_scratch[4096];

inline std::string ScratchDir() {
    if (g_scratch[0] == '\0') {
        std::snprintf(g_scratch, sizeof g_scratch, "%s/varnel32-fuzz-XXXXXX",
                      access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
        if (mkdtemp(g_scratch) == nullptr) std::abort();
        std::atexit([] { std::error_code ignored; std::filesystem::remove_all(g_scratch, ignored); });
    }
    return g_scratch;
}

[[noreturn]] inline void Broken(const char* what) {
    std::fprintf(stderr, "varnel32 fuzz: property broken: %s\n", what);
    std::abort();
}

}  // namespace varnel32::fuzz
