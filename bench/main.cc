// varnel32_bench: times the phases of a library's life (load, reopen, browse, fetch,
// exists, rewrite, delete, compact) for this library, SQLite, LMDB and a raw-file floor on
// the same records, and prints one table per data set (or JSON). Each figure is the median
// of the runs; the last columns compare this library with the goal set for each phase.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "stores.h"

namespace bench {
namespace {

enum Phase { kLoad, kReopen, kBrowse, kFetch, kExists, kRewrite, kDelete, kCompact, kPhases };

struct Goal {
    const char* peer;  // the store the goal is measured against
    double factor;
};

const char* const kPhaseNames[kPhases] = {
    "load into a new file", "reopen (index load)", "browse the whole catalogue",
    "fetch every record, random order", "exists, N present + N absent",
    "rewrite 20%, 30% larger", "delete 50% (automatic compactions)", "compact"};
const Goal kGoals[kPhases] = {{"LMDB", 1}, {"raw file", 1}, {"raw file", 2}, {"raw file", 1},
                              {"raw file", 1.5}, {"LMDB", 1}, {"SQLite", 1}, {"raw file", 2}};

struct Options {
    size_t records = 100000;
    int runs = 0;  // 0: 3 on the sample, 1 on the synthetic set
    bool sample = true, synthetic = true, json = false;
    std::string sampleDir = VARNEL32_SAMPLE_DIR;
    std::string scratch = "/tmp";
    std::vector<std::string> stores;  // empty: all
};

struct Result {
    std::string store;
    double ms[kPhases] = {};
    std::vector<std::string> problems;
};

double Ms(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - since).count();
}

template <typename F>
double Time(F&& work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    return Ms(start);
}

// One run of every phase in order on a fresh file; returns the times in milliseconds.
std::vector<double> RunOnce(const Store& store, const Dataset& data, const std::string& path,
                            std::vector<std::string>& problems) {
    std::vector<double> ms(kPhases, 0);
    void* self = store.create();
    const size_t n = data.records.size();
    const auto problem = [&](const char* what, size_t got, size_t want) {
        if (got != want) problems.push_back(std::string(what) + ": " + std::to_string(got) + " of " + std::to_string(want));
    };
    ms[kLoad] = Time([&] { problem("load", store.load(self, path, data) ? n : 0, n); });
    ms[kReopen] = Time([&] { problem("reopen", store.open(self, path) ? 1 : 0, 1); });
    size_t names = 0;
    ms[kBrowse] = Time([&] { names = store.browse(self); });
    problem("names listed", names > 0 ? 1 : 0, 1);

    std::vector<size_t> order(n);
    for (size_t i = 0; i < n; ++i) order[i] = i;
    std::shuffle(order.begin(), order.end(), std::mt19937_64(42));
    size_t found = 0;
    ms[kFetch] = Time([&] {
        for (size_t i : order) found += store.fetch(self, data.records[i]) > 0 ? 1 : 0;
    });
    problem("fetched", found, n);

    std::vector<std::string> absent(n);
    for (size_t i = 0; i < n; ++i) absent[i] = "~absent" + std::to_string(i);
    size_t present = 0, missing = 0;
    ms[kExists] = Time([&] {
        for (size_t i : order) {
            const Record& r = data.records[i];
            present += store.exists(self, r.manufacturer, r.type, r.model) ? 1 : 0;
            missing += store.exists(self, r.manufacturer, r.type, absent[i]) ? 0 : 1;
        }
    });
    problem("present", present, n);
    problem("absent", missing, n);

    size_t rewritten = 0;
    ms[kRewrite] = Time([&] {
        for (size_t i = 0; i < n; i += 5) rewritten += store.write(self, data.records[i], data.records[i].grown) ? 1 : 0;
    });
    problem("rewritten", rewritten, (n + 4) / 5);
    size_t deleted = 0;
    ms[kDelete] = Time([&] {
        for (size_t i = 0; i < n; i += 2) deleted += store.remove(self, data.records[i]) ? 1 : 0;
    });
    problem("deleted", deleted, (n + 1) / 2);
    ms[kCompact] = Time([&] { problem("compact", store.compact(self) ? 1 : 0, 1); });
    store.close(self);
    store.destroy(self);
    store.unlink(path);
    return ms;
}

Result Measure(const Store& store, const Dataset& data, int runs, const std::string& scratch) {
    Result result{store.name, {}, {}};
    const std::string path = scratch + "/varnel32-bench-" + std::to_string(getpid()) + ".db";
    std::vector<std::vector<double>> times(kPhases);
    for (int r = 0; r < runs; ++r) {
        std::vector<std::string> problems;
        const auto ms = RunOnce(store, data, path, problems);
        for (int p = 0; p < kPhases; ++p) times[p].push_back(ms[p]);
        if (r == 0) result.problems = problems;
    }
    for (int p = 0; p < kPhases; ++p) {
        std::sort(times[p].begin(), times[p].end());
        result.ms[p] = times[p][times[p].size() / 2];
    }
    return result;
}

std::string Figure(double ms) {
    char text[32];
    if (ms >= 1000) std::snprintf(text, sizeof text, "%.2f s", ms / 1000);
    else if (ms >= 10) std::snprintf(text, sizeof text, "%.0f ms", ms);
    else std::snprintf(text, sizeof text, "%.2f ms", ms);
    return text;
}

const Result* Find(const std::vector<Result>& results, const char* name) {
    for (const Result& r : results)
        if (r.store == name) return &r;
    return nullptr;
}

void PrintTable(const Dataset& data, const std::vector<Result>& results, int runs) {
    std::printf("\n%s: %zu records, %zu listings; median of %d run%s\n\n", data.name.c_str(), data.records.size(),
                data.listings, runs, runs == 1 ? "" : "s");
    std::printf("| phase |");
    for (const Result& r : results) std::printf(" %s |", r.store.c_str());
    std::printf(" goal | varnel32 / goal |\n|---|");
    for (size_t i = 0; i < results.size() + 2; ++i) std::printf("---|");
    std::printf("\n");
    const Result* ours = Find(results, "varnel32");
    for (int p = 0; p < kPhases; ++p) {
        std::printf("| %s |", kPhaseNames[p]);
        for (const Result& r : results) std::printf(" %s |", Figure(r.ms[p]).c_str());
        const Result* peer = Find(results, kGoals[p].peer);
        if (kGoals[p].factor == 1) std::printf(" <= %s |", kGoals[p].peer);
        else std::printf(" <= %gx %s |", kGoals[p].factor, kGoals[p].peer);
        if (ours != nullptr && peer != nullptr && peer->ms[p] > 0)
            std::printf(" %.2f |\n", ours->ms[p] / (peer->ms[p] * kGoals[p].factor));
        else
            std::printf(" - |\n");
    }
    for (const Result& r : results)
        for (const std::string& problem : r.problems) std::printf("%s: %s\n", r.store.c_str(), problem.c_str());
}

void PrintJson(const std::vector<std::pair<Dataset, std::vector<Result>>>& all) {
    std::printf("{\"datasets\": [");
    for (size_t d = 0; d < all.size(); ++d) {
        const auto& [data, results] = all[d];
        std::printf("%s{\"name\": \"%s\", \"records\": %zu, \"stores\": {", d ? ", " : "", data.name.c_str(),
                    data.records.size());
        for (size_t s = 0; s < results.size(); ++s) {
            std::printf("%s\"%s\": {", s ? ", " : "", results[s].store.c_str());
            for (int p = 0; p < kPhases; ++p) std::printf("%s\"%s\": %.3f", p ? ", " : "", kPhaseNames[p], results[s].ms[p]);
            std::printf(", \"problems\": %zu}", results[s].problems.size());
        }
        std::printf("}}");
    }
    std::printf("]}\n");
}

int Usage() {
    std::fprintf(stderr,
                 "usage: varnel32_bench [--records N] [--runs R] [--no-sample] [--no-synthetic]\n"
                 "                      [--sample DIR] [--dir SCRATCH] [--store NAME]... [--json]\n"
                 "Times each phase (milliseconds, median of R runs) on the sample directory and on N\n"
                 "synthetic records (default 100000) for varnel32, SQLite, LMDB and a raw file.\n");
    return 2;
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
    using namespace bench;
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool more = i + 1 < argc;
        if (a == "--records" && more) o.records = std::strtoul(argv[++i], nullptr, 10);
        else if (a == "--runs" && more) o.runs = std::atoi(argv[++i]);
        else if (a == "--sample" && more) o.sampleDir = argv[++i];
        else if (a == "--dir" && more) o.scratch = argv[++i];
        else if (a == "--store" && more) o.stores.push_back(argv[++i]);
        else if (a == "--no-sample") o.sample = false;
        else if (a == "--no-synthetic") o.synthetic = false;
        else if (a == "--json") o.json = true;
        else return Usage();
    }
    std::vector<Store> stores;
    for (const Store& s : {Varnel32Store(), SqliteStore(), LmdbStore(), RawFileStore()}) {
        if (o.stores.empty() || std::find(o.stores.begin(), o.stores.end(), s.name) != o.stores.end())
            stores.push_back(s);
    }
    std::vector<std::pair<Dataset, int>> sets;
    if (o.sample) {
        Dataset sample;
        std::string why;
        if (SampleDataset(o.sampleDir, VARNEL32_IRLIB, o.scratch, sample, why)) sets.push_back({std::move(sample), o.runs ? o.runs : 3});
        else std::fprintf(stderr, "varnel32_bench: sample skipped: %s\n", why.c_str());
    }
    if (o.synthetic && o.records > 0) sets.push_back({SyntheticDataset(o.records), o.runs ? o.runs : 1});

    std::vector<std::pair<Dataset, std::vector<Result>>> all;
    for (auto& [data, runs] : sets) {
        std::vector<Result> results;
        for (const Store& s : stores) {
            if (!o.json) std::fprintf(stderr, "varnel32_bench: %s on %s...\n", s.name, data.name.c_str());
            results.push_back(Measure(s, data, runs, o.scratch));
        }
        if (!o.json) PrintTable(data, results, runs);
        all.push_back({std::move(data), std::move(results)});
    }
    if (o.json) PrintJson(all);
    return 0;
}
