// What may run at once: listing and existence queries side by side on one shared read-only
// handle while other threads open and close that same handle, and whole write, fetch,
// delete and compaction cycles on different handles in different threads. The results must
// be exactly those of one thread; the ThreadSanitizer build (make test-tsan) runs these
// with the registry's opens and closes to find any state the calls share by accident.
#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "handle/handle.h"
#include "support/reliability.h"
#include "support/test_support.h"

namespace varnel32::test {
namespace {

namespace rl = reliability;
namespace fi = platform::testing;

constexpr int kThreads = 4;

std::vector<std::string> Names(NameList* list) {
    std::vector<std::string> names = NamesOf(list);
    IRFreeModels(list);
    return names;
}

class Concurrency : public LibraryTest {};

TEST_F(Concurrency, ListingQueriesSideBySideOnOneSharedHandle) {
    const std::string path = Path("shared.lib");
    ASSERT_EQ(IRCreateLibrary(0, path.c_str(), 0), 1);
    LibraryHandle* w = Open(path, IRModeWrite);
    std::map<std::string, std::map<std::string, std::vector<std::string>>> expected;
    std::vector<std::string> manufacturers;
    for (int m = 0; m < 4; ++m) {
        const std::string mn = "Maker" + std::to_string(m);
        manufacturers.push_back(mn);
        for (int t = 0; t < 3; ++t) {
            const std::string tn = "Type" + std::to_string(t);
            for (int n = 0; n < 5; ++n) {
                const std::string mo = "M" + std::to_string(m * 100 + t * 10 + n);
                ASSERT_TRUE(rl::WriteRecord(w, rl::MakeRecord(mn, tn, mo, static_cast<uint32_t>(n), {4})));
                expected[mn][tn].push_back(mo);
            }
        }
    }
    IRCloseLibrary(w);

    LibraryHandle* h = Open(path, IRModeReadOnly);
    ASSERT_NE(h, nullptr);
    std::atomic<int> failures{0};
    std::atomic<bool> stop{false};
    const auto query = [&] {
        for (int round = 0; round < 200; ++round) {
            if (Names(IRFindAllManufacturers(h)) != manufacturers) ++failures;
            for (const auto& [mn, types] : expected) {
                std::vector<std::string> typeNames;
                for (const auto& [tn, models] : types) typeNames.push_back(tn);
                if (Names(IRFindAllTypes(h, mn.c_str())) != typeNames) ++failures;
                for (const auto& [tn, models] : types) {
                    if (Names(IRFindAllModels(h, mn.c_str(), tn.c_str())) != models) ++failures;
                    const rl::NameFields f = rl::FieldsOf(rl::KeyOf(mn, tn, models.back()));
                    if (IRDoesRemoteRecordExist(h, f.manufacturer.data(), f.type.data(), f.model.data()) != 1) {
                        ++failures;
                    }
                }
            }
        }
    };
    // Opens and closes of the same path and mode word share `h`: they only move its
    // reference count, under the registry lock, while the queries read its tree.
    const auto share = [&] {
        fi::SetCurrentCursorForTest(nullptr);
        while (!stop) {
            uint32_t status = 99;
            LibraryHandle* again = IROpenLibrary(0, nullptr, path.c_str(), IRModeReadOnly, 0, &status);
            if (again != h) ++failures;
            IRCloseLibrary(again);
        }
    };
    std::thread sharer(share);
    std::vector<std::thread> queries;
    for (int i = 0; i < kThreads; ++i) queries.emplace_back(query);
    for (std::thread& t : queries) t.join();
    stop = true;
    sharer.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(h->referenceCount, 1);
    IRCloseLibrary(h);
}

// Different handles on different threads share nothing: each thread drives its own file
// through writes, rewrites, deletions, compactions, closes and reopens and must see exactly
// what it wrote.
TEST_F(Concurrency, WholeCyclesOnDifferentHandlesAtOnce) {
    std::atomic<int> failures{0};
    const auto cycle = [&](int id) {
        fi::SetCurrentCursorForTest(nullptr);
        const std::string path = Path("own" + std::to_string(id) + ".lib");
        if (IRCreateLibrary(0, path.c_str(), static_cast<uint32_t>(id % 2 == 0 ? 0 : 4)) != 1) {
            ++failures;
            return;
        }
        rl::Contents model;
        uint32_t status = 0;
        LibraryHandle* h = IROpenLibrary(0, nullptr, path.c_str(), IRModeWrite, 0, &status);
        IRSetExtraSpaceAmount(h, static_cast<uint32_t>(8 * id));
        for (int step = 0; step < 120 && h != nullptr; ++step) {
            const std::string model_name = "m" + std::to_string(step % 17);
            const Bytes record = rl::MakeRecord("T" + std::to_string(id), "TV", model_name,
                                                static_cast<uint32_t>(step),
                                                {static_cast<uint16_t>(step * 7 % 90)});
            const std::string key = rl::KeyOfRecord(record);
            if (step % 5 == 3 && model.count(key) != 0) {
                if (!rl::DeleteRecord(h, key)) ++failures;
                model.erase(key);
            } else {
                if (!rl::WriteRecord(h, record)) ++failures;
                model[key] = rl::FetchImageOf(record);
            }
            if (step % 23 == 22 && IRCompactLibrary(h) != 1) ++failures;
            if (step % 31 == 30) {
                IRCloseLibrary(h);
                h = IROpenLibrary(0, nullptr, path.c_str(), IRModeWrite, 0, &status);
                IRSetExtraSpaceAmount(h, static_cast<uint32_t>(8 * id));
            }
            if (h == nullptr || rl::ReadContents(h) != model) ++failures;
        }
        IRCloseLibrary(h);
        if (rl::ContentsOf(path) != model) ++failures;
    };
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) threads.emplace_back(cycle, i);
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
}

}  // namespace
}  // namespace varnel32::test
