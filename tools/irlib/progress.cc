// Drawing the progress bar. Scripts and pipes never see it: it needs a terminal on stderr.
#include "progress.h"

#include <unistd.h>

#include <cstdio>

namespace irlib {

Progress::Progress(std::string label, size_t total)
    : label_(std::move(label)), total_(total), active_(isatty(STDERR_FILENO) == 1 && total > 0) {}

Progress::~Progress() { Finish(); }

void Progress::Update(size_t done) {
    if (!active_) return;
    const auto now = std::chrono::steady_clock::now();
    if (done < total_ && now - last_ < std::chrono::milliseconds(100)) return;
    last_ = now;
    constexpr size_t kWidth = 30;
    const size_t filled = total_ ? done * kWidth / total_ : kWidth;
    std::string bar(filled, '#');
    bar.append(kWidth - filled, '.');
    std::fprintf(stderr, "\r%s [%s] %zu/%zu", label_.c_str(), bar.c_str(), done, total_);
    std::fflush(stderr);
}

void Progress::Finish() {
    if (!active_) return;
    active_ = false;
    std::fprintf(stderr, "\r\033[K");
    std::fflush(stderr);
}

}  // namespace irlib
