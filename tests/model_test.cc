// The randomised model run: random writes (new, in place, moved), deletions, compactions,
// changes of the extra space, closes and reopens on a library and its model, compared after
// every step. VARNEL32_MODEL_SEED and VARNEL32_MODEL_SECONDS override the run.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "support/file_builder.h"
#include "support/model.h"

namespace varnel32::test {
namespace {

// What no call of the run can hand the catalogue: a name without its terminator (the
// exports refuse it first) or a model without a record. The tree refuses both, as adds and
// as removals, and stays as it was.
TEST(Catalogue, RefusesKeysItCouldNotCompare) {
    index::CatalogueIndex tree{};
    ASSERT_EQ(index::AddIndexEntry(tree, Key("M", "T", "a", 1570)), 1);
    format::IndexEntry unterminated = Key("M", "T", "a", 1570);
    for (format::Name* name : {&unterminated.manufacturer, &unterminated.type, &unterminated.model}) {
        const format::Name kept = *name;
        name->fill('x');
        EXPECT_EQ(index::AddIndexEntry(tree, unterminated), 0);
        EXPECT_EQ(index::RemoveIndexEntry(tree, unterminated), 0);
        *name = kept;
    }
    EXPECT_EQ(index::AddIndexEntry(tree, Key("M", "T", "b", 0)), 0);
    EXPECT_EQ(KeysOf(tree), std::vector<std::string>{"M/T/a@1570"});
    index::FreeCatalogueIndex(tree);
}

struct Seeded : model::Source {
    std::mt19937 rng;
    uint32_t Below(uint32_t n) override { return std::uniform_int_distribution<uint32_t>(0, n - 1)(rng); }
};

using ModelRun = LibraryTest;

TEST_F(ModelRun, RandomisedOperationsAgreeWithTheModel) {
    const auto env = [](const char* v, double d) { return std::getenv(v) ? std::atof(std::getenv(v)) : d; };
    const auto seed = static_cast<uint32_t>(env("VARNEL32_MODEL_SEED", 20261205));
    const auto end = std::chrono::steady_clock::now() +
                     std::chrono::duration<double>(env("VARNEL32_MODEL_SECONDS", 3));
    std::printf("model run: seed %u (VARNEL32_MODEL_SEED; VARNEL32_MODEL_SECONDS sets the length)\n", seed);
    Seeded source;
    source.rng.seed(seed);
    model::Run run(dir_, source);
    uint32_t step = 0;
    for (; step < 20000 && std::chrono::steady_clock::now() < end; ++step) {
        std::string what = "compact two megabytes";
        if (step == 40) {
            // Once, two megabytes of records behind a hole: the compaction's moves fill its
            // output buffer several times over. Then they go again.
            const auto big = [](int i) { return model::Fields("Big", "X", std::to_string(i)); };
            for (int i = 0; i < 40; ++i) run.Write(run.Record(big(i), {50000}));
            run.Delete(big(0));
            run.Compact();
            run.Check();
            for (int i = 1; i < 40; ++i) run.Delete(big(i));
        } else {
            what = run.Step();
        }
        run.Check();
        ASSERT_EQ(run.failure, "") << "step " << step << ": " << what << " (seed " << seed << ")";
    }
    std::printf("model run: %u steps, %zu records live\n", step, run.model.run.size());
}

}  // namespace
}  // namespace varnel32::test
