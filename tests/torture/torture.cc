// Torture: several processes open, write, delete, compact and close the same few library
// files at random for a bounded time. A process that opens a library for writing has it
// alone, so it keeps that library's model (a small text file beside it) up to date after
// every completed call; whoever opens the library next checks it against the model. Now
// and then a process ends without closing, as a killed one would, and the next writer must
// repair the file. Share-mode refusals and read-only refusals of such a dirty file are
// expected; anything else (a failed call, a lost or changed record, a broken invariant of
// the file format, a repair that fails) is a failure.
//
//   varnel32_torture [--seconds N] [--processes P] [--seed S] [--files F]
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "platform/testing/fault_injection.h"
#include "maintenance/check.h"
#include "support/reliability.h"
#include "support/test_support.h"

namespace {

namespace rl = varnel32::reliability;
namespace fi = varnel32::platform::testing;
using rl::Bytes;

const char* const kDirtyRefusal =
    "Infrared library file was not closed properly... Open file in the Quorvik to repair.";
const char* const kRecoveryPrompt = "Library file was not closed properly... Click OK to attempt recovery";

struct Stats {
    uint64_t opens = 0, refused = 0, dirtyRefusals = 0, repairs = 0, abandons = 0;
    uint64_t writes = 0, deletes = 0, compactions = 0, checks = 0, failures = 0;
    void Add(const Stats& s) {
        opens += s.opens;
        refused += s.refused;
        dirtyRefusals += s.dirtyRefusals;
        repairs += s.repairs;
        abandons += s.abandons;
        writes += s.writes;
        deletes += s.deletes;
        compactions += s.compactions;
        checks += s.checks;
        failures += s.failures;
    }
};

// One record of a model: its names as written, and what builds its bytes.
struct Plan {
    std::string manufacturer, type, model;
    uint32_t seed = 0;
    std::vector<uint16_t> lengths;
    Bytes Record() const { return rl::MakeRecord(manufacturer, type, model, seed, lengths); }
};
using Model = std::map<std::string, Plan>;

Model LoadModel(const std::string& path) {
    Model model;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        Plan s;
        size_t n = 0;
        fields >> s.manufacturer >> s.type >> s.model >> s.seed >> n;
        s.lengths.resize(n);
        for (uint16_t& l : s.lengths) fields >> l;
        model[rl::KeyOf(s.manufacturer, s.type, s.model)] = s;
    }
    return model;
}

// Written beside and renamed over, so that a process ending at any moment leaves either
// the old model or the new one.
void SaveModel(const std::string& path, const Model& model) {
    const std::string temp = path + ".tmp" + std::to_string(getpid());
    {
        std::ofstream out(temp, std::ios::trunc);
        for (const auto& [key, s] : model) {
            out << s.manufacturer << ' ' << s.type << ' ' << s.model << ' ' << s.seed << ' '
                << s.lengths.size();
            for (uint16_t l : s.lengths) out << ' ' << l;
            out << '\n';
        }
    }
    std::rename(temp.c_str(), path.c_str());
}

rl::Contents Expected(const Model& model) {
    rl::Contents contents;
    for (const auto& [key, s] : model) contents[key] = rl::FetchImageOf(s.Record());
    return contents;
}

bool Shown(const char* text) {
    for (const auto& e : fi::UiEvents()) {
        if (e.kind == fi::UiEvent::Kind::MessageBox && e.text == text) return true;
    }
    return false;
}

class Worker {
public:
    Worker(const std::vector<std::string>& libraries, uint64_t seed, int id)
        : libraries_(libraries), rng_(seed), id_(id) {}

    // Runs until `deadline`; returns false when it ended without closing (abandoned).
    bool Run(std::chrono::steady_clock::time_point deadline) {
        while (std::chrono::steady_clock::now() < deadline) {
            fi::ClearUiEvents();
            const std::string& path = libraries_[Pick(libraries_.size())];
            if (Pick(10) < 4) {
                ReadSession(path);
            } else if (!WriteSession(path)) {
                return false;
            }
        }
        return true;
    }

    Stats stats;

private:
    size_t Pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }
    // A refused open is cheap; without a pause the processes would mostly retry.
    void Backoff() { usleep(static_cast<useconds_t>(200 + Pick(1000))); }

    void Fail(const std::string& path, const std::string& what) {
        ++stats.failures;
        std::fprintf(stderr, "torture: process %d, %s: %s\n", id_, path.c_str(), what.c_str());
    }

    void Check(const std::string& path, LibraryHandle* h, const char* when) {
        ++stats.checks;
        if (rl::ReadContents(h) != Expected(LoadModel(path + ".model"))) {
            Fail(path, std::string("the records differ from the model ") + when);
        }
    }

    void ReadSession(const std::string& path) {
        uint32_t status = 99;
        LibraryHandle* h = IROpenLibrary(0, nullptr, path.c_str(), IRModeReadOnly, 0, &status);
        ++stats.opens;
        if (h == nullptr) {
            if (status == IROpenCannotOpenFile) {
                ++stats.refused;  // a writer has it
                Backoff();
            } else if (status == IROpenBadLibrary && Shown(kDirtyRefusal)) {
                ++stats.dirtyRefusals;  // left dirty by a process that ended without closing
            } else {
                Fail(path, "read-only open failed with status " + std::to_string(status));
            }
            return;
        }
        Check(path, h, "on a read-only open");
        // Nobody can write while this handle is open: the bytes are the clean file's.
        if (const std::string broken = rl::Violations(rl::ReadFile(path)); !broken.empty()) Fail(path, broken);
        IRCloseLibrary(h);
    }

    // False when the process is to end here without closing.
    bool WriteSession(const std::string& path) {
        uint32_t status = 99;
        LibraryHandle* h = IROpenLibrary(0, nullptr, path.c_str(), IRModeWrite, 0, &status);
        ++stats.opens;
        if (h == nullptr) {
            if (status == IROpenCannotOpenFile) {
                ++stats.refused;  // somebody else has it
                Backoff();
            } else {
                Fail(path, "open for writing failed with status " + std::to_string(status));
            }
            return true;
        }
        // A file is dirty exactly when its last writer ended without closing while the file
        // was dirty; that writer left a mark, which the repair takes away.
        const std::string mark = path + ".abandoned";
        const bool marked = ::access(mark.c_str(), F_OK) == 0;
        if (Shown(kRecoveryPrompt)) {
            ++stats.repairs;
            if (!marked) Fail(path, "a file closed properly needed a repair");
        } else if (marked) {
            Fail(path, "a file abandoned after changes opened without a repair");
        }
        ::unlink(mark.c_str());
        const std::string modelPath = path + ".model";
        Model model = LoadModel(modelPath);
        Check(path, h, "on an open for writing");
        const uint16_t extras[] = {0, 16, 1024};
        IRSetExtraSpaceAmount(h, extras[Pick(3)]);
        const size_t calls = 1 + Pick(12);
        for (size_t i = 0; i < calls; ++i) {
            const size_t what = Pick(100);
            if (what < 55) {
                Plan s{std::string(1, static_cast<char>('A' + Pick(3))), Pick(2) ? "TV" : "VCR",
                       "m" + std::to_string(Pick(20)), static_cast<uint32_t>(Pick(1000)), {}};
                for (size_t e = Pick(4); e > 0; --e) s.lengths.push_back(static_cast<uint16_t>(Pick(300)));
                ++stats.writes;
                if (!rl::WriteRecord(h, s.Record())) Fail(path, "a write failed");
                model[rl::KeyOf(s.manufacturer, s.type, s.model)] = s;
            } else if (what < 90) {
                if (model.empty()) continue;
                auto it = model.begin();
                std::advance(it, static_cast<long>(Pick(model.size())));
                ++stats.deletes;
                if (!rl::DeleteRecord(h, it->first)) Fail(path, "a delete failed");
                model.erase(it);
            } else if (what < 95) {
                ++stats.compactions;
                if (IRCompactLibrary(h) != 1) Fail(path, "a compaction failed");
            } else {
                Check(path, h, "in the middle of a session");
                continue;
            }
            SaveModel(modelPath, model);
        }
        if (Pick(100) < 3) {
            ++stats.abandons;
            const varnel32::check::Report file = varnel32::check::Check(rl::ReadFile(path));
            if (file.headerVerifies && file.dirty) std::fclose(std::fopen(mark.c_str(), "w"));
            return false;
        }
        IRCloseLibrary(h);
        return true;
    }

    const std::vector<std::string>& libraries_;
    std::mt19937_64 rng_;
    int id_;
};

// Forks one worker; its statistics come back through `pipe`.
pid_t Spawn(const std::vector<std::string>& libraries, uint64_t seed, int id,
            std::chrono::steady_clock::time_point deadline, int pipeEnd) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid != 0) return pid;
    Worker worker(libraries, seed, id);
    const bool closed = worker.Run(deadline);
    const ssize_t n = write(pipeEnd, &worker.stats, sizeof worker.stats);
    (void)n;
    // An abandoning process ends without closing what it holds, as if it had been killed.
    _exit(closed ? 0 : 3);
}

}  // namespace

int main(int argc, char** argv) {
    int seconds = 20, processes = 4, files = 3;
    uint64_t seed = static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--processes") == 0) processes = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--files") == 0) files = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--seed") == 0) seed = std::strtoull(argv[i + 1], nullptr, 10);
    }
    std::printf("torture: seed %" PRIu64 ", %d processes, %d files, %d s (rerun with --seed %" PRIu64 ")\n",
                seed, processes, files, seconds, seed);
    const std::string dir = varnel32::test::MakeTempDir();
    std::vector<std::string> libraries;
    for (int f = 0; f < files; ++f) {
        libraries.push_back(dir + "/lib" + std::to_string(f) + ".lib");
        if (IRCreateLibrary(0, libraries.back().c_str(), 0) != 1) {
            std::fprintf(stderr, "torture: cannot create %s\n", libraries.back().c_str());
            return 2;
        }
        SaveModel(libraries.back() + ".model", {});
    }

    // Each process sends its tallies as it ends; the reading end does not wait, so that one
    // which died without sending cannot hold up the others.
    int fds[2];
    if (pipe2(fds, O_NONBLOCK) != 0) return 2;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    std::map<pid_t, int> running;
    uint64_t spawned = 0;
    for (int p = 0; p < processes; ++p) running[Spawn(libraries, seed + spawned++, p, deadline, fds[1])] = p;
    Stats total;
    bool crashed = false;
    while (!running.empty()) {
        int status = 0;
        const pid_t pid = wait(&status);
        if (pid < 0) break;
        const int id = running[pid];
        running.erase(pid);
        Stats s;
        if (read(fds[0], &s, sizeof s) == static_cast<ssize_t>(sizeof s)) total.Add(s);
        if (!WIFEXITED(status) || (WEXITSTATUS(status) != 0 && WEXITSTATUS(status) != 3)) {
            std::fprintf(stderr, "torture: process %d ended with status 0x%x\n", id, static_cast<unsigned>(status));
            crashed = true;
        }
        // One that abandoned its library is replaced by a fresh process.
        if (WIFEXITED(status) && WEXITSTATUS(status) == 3 && std::chrono::steady_clock::now() < deadline) {
            running[Spawn(libraries, seed + 1000 * ++spawned, id, deadline, fds[1])] = id;
        }
    }

    // Afterwards every library opens for writing (repairing it when the last holder ended
    // without closing), holds exactly its model, and keeps every promise of the format.
    for (const std::string& path : libraries) {
        uint32_t status = 99;
        LibraryHandle* h = IROpenLibrary(0, nullptr, path.c_str(), IRModeWrite, 0, &status);
        if (h == nullptr) {
            std::fprintf(stderr, "torture: %s: the final open failed with status %u\n", path.c_str(), status);
            ++total.failures;
            continue;
        }
        const rl::Contents expected = Expected(LoadModel(path + ".model"));
        if (rl::ReadContents(h) != expected) {
            std::fprintf(stderr, "torture: %s: the records differ from the model at the end\n", path.c_str());
            ++total.failures;
        }
        IRCloseLibrary(h);
        if (const std::string broken = rl::Violations(rl::ReadFile(path)); !broken.empty()) {
            std::fprintf(stderr, "torture: %s: %s\n", path.c_str(), broken.c_str());
            ++total.failures;
        }
        if (rl::ContentsOf(path) != expected) {
            std::fprintf(stderr, "torture: %s: a read-only reopen differs from the model\n", path.c_str());
            ++total.failures;
        }
    }
    std::printf("torture: %" PRIu64 " opens (%" PRIu64 " refused by the share modes, %" PRIu64
                " refused as dirty), %" PRIu64 " writes, %" PRIu64 " deletes, %" PRIu64
                " compactions, %" PRIu64 " checks against the model, %" PRIu64
                " processes ended without closing, %" PRIu64 " repairs\n",
                total.opens, total.refused, total.dirtyRefusals, total.writes, total.deletes,
                total.compactions, total.checks, total.abandons, total.repairs);
    if (total.dirtyRefusals > 0 && total.abandons == 0) {
        std::fprintf(stderr, "torture: dirty files without any process that ended unclosed\n");
        ++total.failures;
    }
    if (total.failures > 0 || crashed) {
        std::printf("torture: FAILED (%" PRIu64 " failures; rerun with --seed %" PRIu64 ")\n", total.failures, seed);
        return 1;
    }
    varnel32::test::RemoveTree(dir);
    std::printf("torture: passed\n");
    return 0;
}
