// Contact sheets: one labelled thumbnail per scene change (or per fixed interval).
#include "media/sheet.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <unordered_map>
#include <vector>

#include "media/progress.hpp"
#include "qfhost/host.hpp"
#include "qfhost/time.hpp"
#include "quillframer/movie_format.h"

namespace qfmedia {

namespace {

using Histogram = std::unordered_map<uint32_t, uint32_t>;

Histogram ColourCounts(std::span<const uint32_t> pixels)
{
    Histogram h;
    for (uint32_t p : pixels) ++h[p];
    return h;
}

// Half the summed count differences: the share of pixels whose colour "moved" to another colour.
// Scrolling, sprites and a little colour cycling barely change it; a new picture or palette does.
double HistogramChange(const Histogram &a, const Histogram &b, size_t pixels)
{
    uint64_t diff = 0;
    for (auto &[colour, n] : a) {
        auto it = b.find(colour);
        uint32_t m = it == b.end() ? 0 : it->second;
        diff += n > m ? n - m : m - n;
    }
    for (auto &[colour, m] : b)
        if (!a.count(colour)) diff += m;
    return pixels ? diff / (2.0 * pixels) : 0;
}

struct Thumb {
    double time;  // of the packet played
    RgbImage image;
    uint32_t ms = 0;  // the label
};

bool operator==(const RgbImage &a, const RgbImage &b) { return a.width == b.width && a.rgb == b.rgb; }

}  // namespace

Sheet MakeSheet(qfhost::Movie &movie, const SheetOptions &options)
{
    const int w = movie.width(), h = movie.height();
    if (w <= 0 || h <= 0) throw std::runtime_error("the movie has an empty picture");
    const double length = movie.durationMs() / 1000.0;
    const int shrink = options.shrink > 0 ? options.shrink : (w > 200 ? 2 : 1);
    const double interval = options.everyMs ? *options.everyMs / 1000.0 : std::max(1.0, length / 12.0);
    const size_t pixels = static_cast<size_t>(w) * h;
    const Layout layout = PlacePicture(w, h, 1, options.aspect);
    auto thumbnail = [&](std::span<const uint32_t> frame) {
        return Shrink(RenderPicture(frame, w, h, layout), shrink);
    };

    std::vector<Thumb> thumbs;
    Histogram previous;
    double lastThumb = -1e9;
    ProgressBar progress("sheet", (movie.durationMs() + QF_PACKET_MS - 1) / QF_PACKET_MS, !options.quiet);
    uint64_t frames = 0;
    for (qfhost::Packet &packet : movie.packets()) {
        if (!packet.isVideo()) continue;
        std::span<const uint32_t> frame = movie.decodeVideo(packet);
        double time = packet.time();
        packet.reset();
        progress.update(++frames);
        bool take;
        if (options.everyMs) {
            take = time >= lastThumb + interval - 1e-6 || thumbs.empty();
        } else {
            Histogram counts = ColourCounts(frame);
            take = thumbs.empty() || HistogramChange(previous, counts, pixels) > 0.3 ||
                   time >= lastThumb + interval - 1e-6;
            previous = std::move(counts);
        }
        if (!take) continue;
        if (static_cast<int>(thumbs.size()) >= options.maxThumbnails) break;
        thumbs.push_back({time, thumbnail(frame)});
        lastThumb = time;
    }
    progress.finish();
    if (thumbs.empty()) throw std::runtime_error("the movie has no pictures (it is 0 ms long)");

    // Each label, given to `frame --at`, gives its thumbnail: the thumbnail is what a seek to the
    // label shows. The stream's clock drifts below whole 40 ms steps (0.39999999999999997 s) and
    // the plug-in truncates it, so the nearest millisecond can seek into the next scene; then the
    // label is the millisecond the plug-in read for the played picture. A seek also restarts
    // colour cycling, which the played picture had run.
    for (Thumb &t : thumbs) {
        const uint32_t nearest = static_cast<uint32_t>(qfhost::MillisecondsOf(t.time));
        const auto truncated = static_cast<uint32_t>(std::max(0.0, t.time * 1000.0));
        t.ms = nearest;
        std::optional<std::span<const uint32_t>> picture = movie.pictureAt(nearest);
        if (nearest != truncated && (!picture || thumbnail(*picture) != t.image)) {
            t.ms = truncated;
            picture = movie.pictureAt(truncated);
        }
        if (!picture) throw std::runtime_error("no picture at " + qfhost::FormatTime(t.ms));
        t.image = thumbnail(*picture);
    }

    const int tw = thumbs[0].image.width, th = thumbs[0].image.height;
    const int columns = std::max(1, std::min(options.columns, static_cast<int>(thumbs.size())));
    const int rows = (static_cast<int>(thumbs.size()) + columns - 1) / columns;
    const int gap = 8, label = TextHeight() + 4;
    const int header = options.title.empty() ? 0 : TextHeight() + gap;
    const int cellW = std::max(tw, TextWidth(qfhost::FormatTime(0))), cellH = th + label;
    Sheet sheet;
    sheet.image = RgbImage(gap + columns * (cellW + gap), gap + header + rows * (cellH + gap), {32, 32, 40});
    if (!options.title.empty()) DrawText(sheet.image, gap, gap, options.title, {230, 230, 230});
    for (size_t i = 0; i < thumbs.size(); ++i) {
        int x = gap + static_cast<int>(i % columns) * (cellW + gap);
        int y = gap + header + static_cast<int>(i / columns) * (cellH + gap);
        Blit(sheet.image, thumbs[i].image, x, y);
        DrawText(sheet.image, x, y + th + 3, qfhost::FormatTime(thumbs[i].ms), {200, 200, 120});
        sheet.times.push_back(thumbs[i].ms);
    }
    sheet.thumbnails = static_cast<int>(thumbs.size());
    return sheet;
}

}  // namespace qfmedia
