// The progress bar of long commands (import, export): drawn on standard error only when it
// is a terminal, redrawn at most ten times a second, erased when done. Also the stopwatch
// behind the "time" of their summaries.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

namespace irlib {

class Progress {
public:
    Progress(std::string label, size_t total);
    ~Progress();
    void Update(size_t done);
    void Finish();

private:
    std::string label_;
    size_t total_;
    bool active_;
    std::chrono::steady_clock::time_point last_{};
};

class Stopwatch {
public:
    Stopwatch() : start_(std::chrono::steady_clock::now()) {}
    double Seconds() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    }

private:
    std::chrono::steady_clock::time_point start_;
};

}  // namespace irlib
