// What the fuzz targets share: a scratch directory of their own (tmpfs when there is one,
// so that rewriting a file for every input never waits on a disk) and a loud stop when a
// property fails, which libFuzzer records as a crash with the input that caused it.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace varnel32::fuzz {

// The directory's name outlives every static object, so that the exit handler that removes
// the directory can still read it.
inline char g_scratch[4096];

// Empties and removes the scratch directory when the fuzzer exits.
inline void RemoveScratch() {
    if (DIR* d = opendir(g_scratch)) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] != '.') unlink((std::string(g_scratch) + "/" + e->d_name).c_str());
        }
        closedir(d);
    }
    rmdir(g_scratch);
}

inline std::string ScratchDir() {
    if (g_scratch[0] == '\0') {
        const char* base = std::getenv("VARNEL32_FUZZ_DIR");
        const std::string root = base != nullptr ? base : (access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
        std::snprintf(g_scratch, sizeof g_scratch, "%s/varnel32-fuzz-XXXXXX", root.c_str());
        if (mkdtemp(g_scratch) == nullptr) std::abort();
        std::atexit(RemoveScratch);
    }
    return g_scratch;
}

[[noreturn]] inline void Broken(const char* what) {
    std::fprintf(stderr, "varnel32 fuzz: property broken: %s\n", what);
    std::abort();
}

}  // namespace varnel32::fuzz
