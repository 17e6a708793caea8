// Fuzz target: the input is a program of operations on one library - writes, rewrites and
// deletions under a small set of names, compactions, changes of the extra space, closes
// and reopens (for writing and read-only), fetches, snapshots that a second handle must
// repair as a crashed process's file, and faults armed for the next operation. A plain map
// models what the library must hold; every answer is checked against it. After a fault the
// model may no longer be exact, so the library is reopened and, when the failure left it
// unusable (as the file format allows), started afresh.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "format/blocks.h"
#include "fuzz_support.h"
#include "platform/testing/fault_injection.h"
#include "support/reliability.h"

namespace {

namespace rl = varnel32::reliability;
namespace fi = varnel32::platform::testing;
using varnel32::fuzz::Broken;
using varnel32::platform::FaultCall;
using varnel32::platform::FaultEffect;

class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool Empty() const { return at_ >= size_; }
    uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    uint16_t Word() { return static_cast<uint16_t>(Byte() | (Byte() << 8)); }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

class Program {
public:
    explicit Program(const std::string& dir) : path_(dir + "/ops.lib"), copy_(dir + "/crashed.lib") {
        Fresh();
    }
    ~Program() { IRCloseLibrary(h_); }

    void Step(Input& in) {
        const uint8_t op = in.Byte();
        switch (op % 12) {
            case 0: case 1: case 2: case 3: Write(in); break;
            case 4: case 5: Delete(in); break;
            case 6:
                if (IRCompactLibrary(h_) != 1 && !faulted_) Broken("a compaction failed");
                break;
            case 7: extra_ = in.Word(); IRSetExtraSpaceAmount(h_, extra_); break;
            case 8: Reopen(in.Byte() & 1); break;
            case 9: Check(); break;
            case 10: Crashed(); break;
            case 11: Fault(in); break;
        }
    }

private:
    // One of 72 names, the maker in either letter case.
    static std::array<std::string, 3> Names(uint8_t pick) {
        static const char* const makers[] = {"Sony", "sony", "Akai", "Grundig"};
        static const char* const types[] = {"TV", "VCR", "Sat"};
        return {makers[pick % 4], types[(pick >> 2) % 3], "m" + std::to_string((pick >> 4) % 6)};
    }

    void Write(Input& in) {
        const auto names = Names(in.Byte());
        std::vector<uint16_t> lengths(in.Byte() % 5);
        for (uint16_t& l : lengths) l = static_cast<uint16_t>(in.Word() % 2000);
        if (in.Byte() == 0xFF && !lengths.empty()) lengths[0] = in.Word();  // now and then far too large
        const rl::Bytes record = rl::MakeRecord(names[0], names[1], names[2], in.Byte(), lengths);
        const bool fits = rl::FetchImageOf(record).size() + extra_ <= varnel32::format::kMaxRecordSize;
        const bool written = rl::WriteRecord(h_, record);
        // Under a fault only what happened counts; the fault settles the model afterwards.
        if (written != fits && !faulted_) Broken(fits ? "a write that fits failed" : "an oversized write succeeded");
        if (!written) return;
        // A record rewritten in place keeps the letter case of the stored names in the
        // index but takes its own in the record header, which is what a fetch returns.
        model_[rl::KeyOfRecord(record)] = rl::FetchImageOf(record);
    }

    void Delete(Input& in) {
        const auto names = Names(in.Byte());
        const std::string key = rl::KeyOf(names[0], names[1], names[2]);
        const bool known = model_.count(key) != 0;
        const bool deleted = rl::DeleteRecord(h_, key);
        if (deleted != known && !faulted_) Broken(known ? "a delete failed" : "a delete of nothing succeeded");
        if (deleted) model_.erase(key);
    }

    void Check() {
        if (faulted_) return;
        if (rl::ReadContents(h_) != model_) Broken("the records differ from the model");
        if (!rl::Violations(rl::ReadFile(path_)).empty()) Broken(rl::Violations(rl::ReadFile(path_)).c_str());
    }

    void Reopen(bool readOnlyFirst) {
        IRCloseLibrary(h_);
        h_ = nullptr;
        if (readOnlyFirst && rl::ContentsOf(path_) != model_ && !faulted_) Broken("a read-only reopen differs");
        Open();
    }

    // The file as a process that died now would leave it: a second handle must repair it
    // (or find it clean) and see exactly the model.
    void Crashed() {
        if (faulted_) return;
        rl::WriteFile(copy_, rl::ReadFile(path_));
        uint32_t status = 0;
        LibraryHandle* other = IROpenLibrary(0, nullptr, copy_.c_str(), IRModeWrite, 0, &status);
        if (other == nullptr) Broken("a crashed session's file does not open for writing");
        if (rl::ReadContents(other) != model_) Broken("a crashed session's file lost records");
        IRCloseLibrary(other);
    }

    // Arms a fault for the next operation; afterwards the library is settled again.
    void Fault(Input& in) {
        if (faulted_) return;
        static const FaultCall calls[] = {FaultCall::Read, FaultCall::Write, FaultCall::Seek,
                                          FaultCall::Truncate, FaultCall::Allocate, FaultCall::Resize};
        const uint8_t how = in.Byte();
        fi::ClearFaults();
        fi::InjectFault(calls[how % 6], 1u + in.Byte() % 8, (how & 0x80) ? FaultEffect::Short : FaultEffect::Fail);
        faulted_ = true;
        if (in.Empty()) {
            fi::ClearFaults();
            faulted_ = false;
            return;
        }
        Step(in);
        const bool fired = fi::FaultFired();
        fi::ClearFaults();
        faulted_ = false;
        if (fired) Settle();
    }

    // After a failure: reopen (repairing a dirty file), compact, and take what survived as
    // the model; a file the failure left beyond repair is replaced by a fresh one.
    void Settle() {
        IRCloseLibrary(h_);
        h_ = nullptr;
        uint32_t status = 0;
        h_ = IROpenLibrary(0, nullptr, path_.c_str(), IRModeWrite, 0, &status);
        if (h_ != nullptr && IRCompactLibrary(h_) == 1) {
            IRSetExtraSpaceAmount(h_, extra_);
            model_ = rl::ReadContents(h_);
            return;
        }
        IRCloseLibrary(h_);
        h_ = nullptr;
        Fresh();
    }

    void Fresh() {
        static rl::Bytes empty;
        if (empty.empty()) {
            // Made once through the exports; later copies avoid emptying a file per input.
            if (IRCreateLibrary(0, path_.c_str(), 0) != 1) Broken("cannot create a library");
            empty = rl::ReadFile(path_);
        }
        rl::WriteFile(path_, empty);
        model_.clear();
        Open();
    }

    void Open() {
        uint32_t status = 0;
        h_ = IROpenLibrary(0, nullptr, path_.c_str(), IRModeWrite, 0, &status);
        if (h_ == nullptr && !faulted_) Broken("the library does not open for writing");
        IRSetExtraSpaceAmount(h_, extra_);
    }

    std::string path_, copy_;
    LibraryHandle* h_ = nullptr;
    rl::Contents model_;
    uint16_t extra_ = 64;
    bool faulted_ = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string dir = varnel32::fuzz::ScratchDir();
    {
        Program program(dir);
        Input in(data, size);
        while (!in.Empty()) program.Step(in);
        fi::ClearFaults();
    }
    fi::ClearUiEvents();
    return 0;
}
