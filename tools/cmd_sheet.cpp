// quillframer sheet: a contact sheet of a movie.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <unordered_map>

#include "common.hpp"
#include "media_png.hpp"
#include "media_progress.hpp"
#include "media_sheet.hpp"

namespace qftools {

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
    double time;
    RgbImage image;
};

struct SheetCommand {
    std::string movie, out, every;
    int columns = 4;
    int shrink = 0;
};

}  // namespace

Sheet MakeSheet(qfhost::Movie &movie, const SheetOptions &options)
{
    const int w = movie.width(), h = movie.height();
    if (w <= 0 || h <= 0) throw std::runtime_error("the movie has an empty picture");
    const double length = movie.durationMs() / 1000.0;
    const int shrink = options.shrink > 0 ? options.shrink : (w > 200 ? 2 : 1);
    const double interval = options.every ? *options.every : std::max(1.0, length / 12.0);
    const size_t pixels = static_cast<size_t>(w) * h;

    std::vector<Thumb> thumbs;
    Histogram previous;
    double lastThumb = -1e9;
    ProgressBar progress("sheet", static_cast<uint64_t>(std::ceil(length / 0.04)), !options.quiet);
    uint64_t frames = 0;
    while (true) {
        qfhost::Packet packet = movie.next();
        if (packet.code == -1) break;
        if (packet.code != 0) throw std::runtime_error("the plug-in ran out of memory while playing");
        if (packet.stream != 0) {
            movie.release(packet);
            continue;
        }
        std::span<const uint32_t> frame = movie.decodeVideo(packet);
        double time = packet.time;
        movie.release(packet);
        progress.update(++frames);
        bool take;
        if (options.every) {
            take = time >= lastThumb + interval - 1e-6 || thumbs.empty();
        } else {
            Histogram counts = ColourCounts(frame);
            take = thumbs.empty() || HistogramChange(previous, counts, pixels) > 0.3 ||
                   time >= lastThumb + interval - 1e-6;
            previous = std::move(counts);
        }
        if (!take) continue;
        if (static_cast<int>(thumbs.size()) >= options.maxThumbnails) break;
        thumbs.push_back({time, Shrink(FromPixelWords(frame, w, h), shrink)});
        lastThumb = time;
    }
    progress.finish();
    if (thumbs.empty()) throw std::runtime_error("the movie has no pictures (it is 0 ms long)");

    const int tw = thumbs[0].image.width, th = thumbs[0].image.height;
    const int columns = std::max(1, std::min(options.columns, static_cast<int>(thumbs.size())));
    const int rows = (static_cast<int>(thumbs.size()) + columns - 1) / columns;
    const int gap = 8, label = TextHeight() + 4;
    const int header = options.title.empty() ? 0 : TextHeight() + gap;
    const int cellW = std::max(tw, TextWidth("0:00.00")), cellH = th + label;
    Sheet sheet;
    sheet.image = RgbImage(gap + columns * (cellW + gap), gap + header + rows * (cellH + gap), {32, 32, 40});
    if (!options.title.empty()) DrawText(sheet.image, gap, gap, options.title, {230, 230, 230});
    for (size_t i = 0; i < thumbs.size(); ++i) {
        int x = gap + static_cast<int>(i % columns) * (cellW + gap);
        int y = gap + header + static_cast<int>(i / columns) * (cellH + gap);
        Blit(sheet.image, thumbs[i].image, x, y);
        DrawText(sheet.image, x, y + th + 3, FormatTime(thumbs[i].time), {200, 200, 120});
    }
    sheet.thumbnails = static_cast<int>(thumbs.size());
    return sheet;
}

void RegisterSheet(CLI::App &app, Context &context)
{
    auto o = std::make_shared<SheetCommand>();
    CLI::App *command = app.add_subcommand(
        "sheet", "Make a contact sheet: a labelled thumbnail at each scene change (a new picture or palette),\n"
                 "and at least one per twelfth of the movie; or one per --every interval.");
    command->add_option("MOVIE", o->movie, "The movie file")->required();
    command->add_option("-o,--output", o->out, "The PNG file to write")->required();
    command->add_option("--every", o->every, "A thumbnail every T (seconds or mm:ss) instead of at changes");
    command->add_option("--columns", o->columns, "Thumbnails per row (default 4)")->check(CLI::Range(1, 64));
    command->add_option("--shrink", o->shrink, "Thumbnail = picture / N (default 2, or 1 for small pictures)")
        ->check(CLI::Range(1, 16));
    AddMovieOptions(*command, context);
    AddOverwriteOptions(*command, context);
    command->callback([&context, o] {
        qfhost::Outputs outputs = CommandOutputs(context, {o->movie});
        outputs.claim(o->out);
        SheetOptions options;
        if (!o->every.empty()) {
            auto t = ParseTime(o->every);
            if (!t || *t <= 0) throw ToolError("--every: \"" + o->every + "\" is not a time (seconds or mm:ss)");
            options.every = t;
        }
        options.columns = o->columns;
        options.shrink = o->shrink;
        options.quiet = context.quiet;
        std::filesystem::path movie = o->movie;
        OpenedMovie opened = OpenMovie(context, movie);
        options.title = movie.filename().string() + "  " + std::to_string(opened.movie->width()) + "x" +
                        std::to_string(opened.movie->height()) + "  " +
                        FormatTime(opened.movie->durationMs() / 1000.0);
        try {
            Sheet sheet = MakeSheet(*opened.movie, options);
            outputs.write(o->out, [&](const std::filesystem::path &file) { WritePng(file, sheet.image); });
            if (!context.quiet)
                std::printf("wrote %s: %d thumbnails, %dx%d\n", o->out.c_str(), sheet.thumbnails, sheet.image.width,
                            sheet.image.height);
        } catch (const std::runtime_error &e) {
            throw ToolError(e.what());
        }
    });
}

}  // namespace qftools
