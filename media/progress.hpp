// A one-line progress bar on stderr, shown only when stderr is a terminal.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace qfmedia {

class ProgressBar {
public:
    ProgressBar(std::string label, uint64_t total, bool enabled);
    ~ProgressBar();
    void update(uint64_t done);
    void finish();  // clears the line
    double elapsedSeconds() const;

private:
    std::string label_;
    uint64_t total_;
    bool enabled_;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point lastDraw_;
};

}  // namespace qfmedia
