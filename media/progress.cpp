#include "media/progress.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "qfhost/time.hpp"

namespace qfmedia {

ProgressBar::ProgressBar(std::string label, uint64_t total, bool enabled)
    : label_(std::move(label)), total_(total), enabled_(enabled && isatty(STDERR_FILENO)),
      start_(std::chrono::steady_clock::now())
{}

ProgressBar::~ProgressBar() { finish(); }

double ProgressBar::elapsedSeconds() const
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void ProgressBar::update(uint64_t done)
{
    if (!enabled_) return;
    auto now = std::chrono::steady_clock::now();
    if (drawn_ && done < total_ && now - lastDraw_ < std::chrono::milliseconds(100)) return;
    lastDraw_ = now;
    drawn_ = true;
    double elapsed = elapsedSeconds();
    double speed = elapsed > 0 ? done / elapsed : 0;
    constexpr int Width = 30;
    int filled = total_ ? static_cast<int>(Width * std::min<uint64_t>(done, total_) / total_) : Width;
    std::string bar(filled, '#');
    bar.resize(Width, '-');
    std::string left =
        speed > 0 && total_ > done ? qfhost::FormatTime(qfhost::MillisecondsOf((total_ - done) / speed)) : "-";
    std::fprintf(stderr, "\r%s [%s] %llu/%llu frames  %.1f fps  %s left \x1b[K", label_.c_str(), bar.c_str(),
                 static_cast<unsigned long long>(done), static_cast<unsigned long long>(total_), speed, left.c_str());
    std::fflush(stderr);
}

void ProgressBar::finish()
{
    if (enabled_ && drawn_) {
        std::fprintf(stderr, "\r\x1b[K");
        std::fflush(stderr);
    }
    drawn_ = false;
    enabled_ = false;
}

}  // namespace qfmedia
