// Benchmarks of the operations a host application repeats: writing records (append and in
// place), fetching, listing, opening a library with a large catalogue, deleting and
// compacting. Each reports bytes or items per second; memory is reported as the peak
// resident set of the process (ru_maxrss) after the run.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "varnel32.h"

namespace {

std::string TempPath(const char* name) {
    return std::string("/tmp/varnel32-bench-") + std::to_string(getpid()) + "-" + name;
}

void NameField(char* field, const std::string& text) {
    std::memset(field, 0, IR_NAME_FIELD_SIZE);
    std::memcpy(field, text.data(), std::min<size_t>(text.size(), 20));
}

// A RemoteRecord with `entries` entries of `length` data bytes each: a typical remote has
// 10 to 40 buttons of 4 to 600 bytes.
std::vector<unsigned char> MakeRecord(int maker, int model, int entries, int length) {
    std::vector<unsigned char> r(IR_RECORD_ENTRIES_OFFSET, 0);
    IR_PUT16(r.data() + IR_RECORD_ENTRY_COUNT_OFFSET, entries);
    NameField(reinterpret_cast<char*>(r.data()) + IR_RECORD_MANUFACTURER_OFFSET, "Maker" + std::to_string(maker));
    NameField(reinterpret_cast<char*>(r.data()) + IR_RECORD_TYPE_OFFSET, "TV");
    NameField(reinterpret_cast<char*>(r.data()) + IR_RECORD_MODEL_OFFSET, "Model" + std::to_string(model));
    for (int e = 0; e < entries; ++e) {
        std::vector<unsigned char> head(IR_ENTRY_HEAD_SIZE, static_cast<unsigned char>(e));
        IR_PUT16(head.data() + IR_ENTRY_DATA_LENGTH_OFFSET, length);
        r.insert(r.end(), head.begin(), head.end());
        r.insert(r.end(), static_cast<size_t>(length), static_cast<unsigned char>(e * 3));
    }
    return r;
}

LibraryHandle* OpenOrDie(const std::string& path, uint32_t mode) {
    uint32_t status = 0;
    LibraryHandle* h = IROpenLibrary(0, nullptr, path.c_str(), mode, 0, &status);
    if (h == nullptr) {
        std::fprintf(stderr, "open %s failed: %u\n", path.c_str(), status);
        std::abort();
    }
    return h;
}

// A library of `records` remotes spread over 50 manufacturers.
std::string BuildLibrary(const char* name, int records, int entries, int length) {
    const std::string path = TempPath(name);
    IRCreateLibrary(0, path.c_str(), 0);
    LibraryHandle* h = OpenOrDie(path, IRModeWrite);
    IRSetExtraSpaceAmount(h, 0);
    for (int i = 0; i < records; ++i) {
        const auto r = MakeRecord(i % 50, i, entries, length);
        IRWriteRemoteRecord(h, reinterpret_cast<const RemoteRecord*>(r.data()));
    }
    IRCloseLibrary(h);
    return path;
}

void BM_WriteAppend(benchmark::State& state) {
    const int entries = static_cast<int>(state.range(0));
    const std::string path = TempPath("append");
    int64_t bytes = 0;
    for (auto _ : state) {
        state.PauseTiming();
        IRCreateLibrary(0, path.c_str(), 0);
        LibraryHandle* h = OpenOrDie(path, IRModeWrite);
        std::vector<std::vector<unsigned char>> records;
        for (int i = 0; i < 200; ++i) records.push_back(MakeRecord(i % 20, i, entries, 64));
        state.ResumeTiming();
        for (const auto& r : records) {
            IRWriteRemoteRecord(h, reinterpret_cast<const RemoteRecord*>(r.data()));
            bytes += static_cast<int64_t>(r.size());
        }
        IRCloseLibrary(h);
    }
    state.SetItemsProcessed(state.iterations() * 200);
    state.SetBytesProcessed(bytes);
    unlink(path.c_str());
}
BENCHMARK(BM_WriteAppend)->Arg(4)->Arg(32)->Unit(benchmark::kMillisecond);

void BM_RewriteInPlace(benchmark::State& state) {
    const std::string path = BuildLibrary("inplace", 500, 20, 64);
    LibraryHandle* h = OpenOrDie(path, IRModeWrite);
    const auto r = MakeRecord(7, 257, 20, 64);
    for (auto _ : state) {
        benchmark::DoNotOptimize(IRWriteRemoteRecord(h, reinterpret_cast<const RemoteRecord*>(r.data())));
    }
    IRCloseLibrary(h);
    state.SetItemsProcessed(state.iterations());
    unlink(path.c_str());
}
BENCHMARK(BM_RewriteInPlace);

void BM_Fetch(benchmark::State& state) {
    const int entries = static_cast<int>(state.range(0));
    const std::string path = BuildLibrary("fetch", 1000, entries, 64);
    LibraryHandle* h = OpenOrDie(path, IRModeReadOnly);
    char m[IR_NAME_FIELD_SIZE], t[IR_NAME_FIELD_SIZE], mo[IR_NAME_FIELD_SIZE];
    int i = 0;
    int64_t bytes = 0;
    for (auto _ : state) {
        NameField(m, "Maker" + std::to_string(i % 50));
        NameField(t, "TV");
        NameField(mo, "Model" + std::to_string(i));
        RemoteRecord* r = IRFetchRemoteRecord(h, m, t, mo);
        if (r != nullptr) bytes += IR_GET16(r);
        IRFreeRemoteRecord(r);
        i = (i + 37) % 1000;
    }
    IRCloseLibrary(h);
    state.SetBytesProcessed(bytes);
    state.SetItemsProcessed(state.iterations());
    unlink(path.c_str());
}
BENCHMARK(BM_Fetch)->Arg(4)->Arg(32);

void BM_ListModels(benchmark::State& state) {
    const std::string path = BuildLibrary("list", 2000, 1, 8);
    LibraryHandle* h = OpenOrDie(path, IRModeReadOnly);
    for (auto _ : state) {
        NameList* makers = IRFindAllManufacturers(h);
        NameList* models = IRFindAllModels(h, "Maker3", "TV");
        benchmark::DoNotOptimize(models);
        IRFreeManufacturers(makers);
        IRFreeModels(models);
    }
    IRCloseLibrary(h);
    unlink(path.c_str());
}
BENCHMARK(BM_ListModels);

void BM_OpenLargeCatalogue(benchmark::State& state) {
    const int records = static_cast<int>(state.range(0));
    const std::string path = BuildLibrary("open", records, 1, 8);
    for (auto _ : state) {
        LibraryHandle* h = OpenOrDie(path, IRModeReadOnly);
        IRCloseLibrary(h);
    }
    state.SetItemsProcessed(state.iterations() * records);
    unlink(path.c_str());
}
BENCHMARK(BM_OpenLargeCatalogue)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

void BM_DeleteHalfAndCompact(benchmark::State& state) {
    const std::string path = TempPath("compact");
    for (auto _ : state) {
        state.PauseTiming();
        const std::string built = BuildLibrary("compact-src", 400, 16, 64);
        rename(built.c_str(), path.c_str());
        LibraryHandle* h = OpenOrDie(path, IRModeWrite);
        char m[IR_NAME_FIELD_SIZE], t[IR_NAME_FIELD_SIZE], mo[IR_NAME_FIELD_SIZE];
        NameField(t, "TV");
        for (int i = 0; i < 400; i += 2) {
            NameField(m, "Maker" + std::to_string(i % 50));
            NameField(mo, "Model" + std::to_string(i));
            IRDeleteRemoteRecord(h, m, t, mo);
        }
        state.ResumeTiming();
        IRCompactLibrary(h);
        IRCloseLibrary(h);
    }
    unlink(path.c_str());
}
BENCHMARK(BM_DeleteHalfAndCompact)->Unit(benchmark::kMillisecond);

// Deletions alone: 200 of 400 records, fewer than the 255 that would compact the file.
void BM_Delete(benchmark::State& state) {
    const std::string path = TempPath("delete");
    for (auto _ : state) {
        state.PauseTiming();
        const std::string built = BuildLibrary("delete-src", 400, 16, 64);
        rename(built.c_str(), path.c_str());
        LibraryHandle* h = OpenOrDie(path, IRModeWrite);
        char m[IR_NAME_FIELD_SIZE], t[IR_NAME_FIELD_SIZE], mo[IR_NAME_FIELD_SIZE];
        NameField(t, "TV");
        state.ResumeTiming();
        for (int i = 0; i < 400; i += 2) {
            NameField(m, "Maker" + std::to_string(i % 50));
            NameField(mo, "Model" + std::to_string(i));
            IRDeleteRemoteRecord(h, m, t, mo);
        }
        state.PauseTiming();
        IRCloseLibrary(h);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * 200);
    unlink(path.c_str());
}
BENCHMARK(BM_Delete)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("peak resident set: %ld KiB\n", usage.ru_maxrss);
    return 0;
}
