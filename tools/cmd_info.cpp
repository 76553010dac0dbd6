// quillframer info: what a movie is, as the plug-in reports it.
#include <cstdio>
#include <nlohmann/json.hpp>

#include "common.hpp"
#include "info_movie.hpp"
#include "qfhost/volume_files.hpp"
#include "volume_glue.hpp"
#include "qfhost/time.hpp"
#include "quillframer/movie_format.h"
#include "qfutil/printable.hpp"

namespace qftools {
namespace {

struct InfoOptions {
    std::vector<std::string> movies;
    bool json = false;
    bool files = false;
    bool scenes = false;
    bool verbose = false;
    int jobs = 1;
};

struct PacketCount {
    uint64_t video = 0;
    uint64_t audio = 0;
};

// Walks the whole timeline without decoding anything.
PacketCount CountPackets(qfhost::Movie &movie)
{
    PacketCount count;
    for (qfhost::Packet &packet : movie.packets()) (packet.isVideo() ? count.video : count.audio)++;
    return count;
}

// A movie's details: printed, or into diskJson["movie"] when the movie is a disk's only one.
void RunInfoMovie(const Context &context, const InfoOptions &o, const std::string &path,
                  nlohmann::ordered_json *diskJson = nullptr)
{
    // Every missing file at once, before the open that would stop (or ask) at the first.
    const MovieContents contents = SurveyMovie(context, path);
    RefuseBroken(contents);
    RefuseMissing(contents, path, o.json);
    OpenedMovie opened = OpenMovie(context, path);
    qfhost::Movie &movie = *opened.movie;
    const PluginInfo &plugin = opened.plugin->info();
    // The pictures the stream delivers and how long they play: the counts every output shows.
    // The plug-in's GetVideoFrames and duration can be less (see PicturesDelivered).
    const uint32_t pluginFrames = movie.frames();
    const PacketCount packets = CountPackets(movie);
    const uint64_t frames = packets.video;
    const uint64_t lengthMs = qfhost::PlayedMs(frames);
    const uint32_t rate = movie.descriptor().sampleRate;
    const std::string version = std::to_string(plugin.version) + "." + std::to_string(plugin.revision);
    auto text = [](const char *s) { return std::string(s ? s : ""); };

    if (o.json) {
        nlohmann::ordered_json j;
        j["file"] = path;
        j["width"] = movie.width();
        j["height"] = movie.height();
        j["duration"] = lengthMs;
        j["length"] = qfhost::FormatTime(lengthMs);
        j["frames"] = frames;
        j["pluginFrames"] = pluginFrames;
        j["pluginDuration"] = movie.durationMs();
        j["packets"] = packets.video + packets.audio;
        j["videoPackets"] = packets.video;
        j["audioPackets"] = packets.audio;
        j["audio"] = {{"sampleRate", rate}, {"channels", 2}, {"bits", 16}};
        j["plugin"] = {{"name", text(plugin.name)}, {"version", version}, {"date", text(plugin.date)}};
        AddContents(j, contents);
        if (diskJson) {
            (*diskJson)["movie"] = std::move(j);
            return;
        }
        // JSON escapes control characters itself; bytes that are no UTF-8 become U+FFFD instead of an exception.
        std::printf("%s\n", j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
        return;
    }
    std::printf("%s\n", qfutil::Printable(MovieName(path)).c_str());
    std::printf("  picture  %d x %d\n", movie.width(), movie.height());
    std::printf("  length   %s (%s)\n", qfhost::FormatSeconds(lengthMs).c_str(), qfhost::FormatTime(lengthMs).c_str());
    std::printf("  frames   %llu at %d per second\n", static_cast<unsigned long long>(frames), QF_FRAMES_PER_SECOND);
    if (o.verbose)
        std::printf("  stream   duration %u ms, GetVideoFrames %u (the plug-in's own counts)\n", movie.durationMs(),
                    pluginFrames);
    std::printf("  packets  %llu (%llu video, %llu audio)\n",
                static_cast<unsigned long long>(packets.video + packets.audio),
                static_cast<unsigned long long>(packets.video), static_cast<unsigned long long>(packets.audio));
    std::printf("  audio    %u Hz, 2 channels, 16-bit signed\n", rate);
    std::printf("  plug-in  %s %s (%s)\n", text(plugin.name).c_str(), version.c_str(), text(plugin.date).c_str());
    PrintContents(contents);
    if (o.scenes) PrintScenes(contents);
}

void RunInfo(const Context &context, const InfoOptions &o, const std::string &path)
{
    // A container, however deep in others (set.zip:Disk1.adz), not a path inside one.
    std::optional<qfhost::ImagePath> split = qfhost::SplitImagePath(path);
    if (split && split->inside.empty() && split->shown() == path) {
        if (o.scenes)
            throw ToolError("--scenes describes a movie; \"" + qfutil::Printable(path) +
                            "\" is a disk image or archive");
        return RunInfoVolume(context, path, o.files, o.json,
                             [&](const std::string &movie, nlohmann::ordered_json *json) {
                                 if (!json) std::printf("\n");
                                 RunInfoMovie(context, o, movie, json);
                             });
    }
    if (o.files) throw ToolError("--files lists a disk image or archive; \"" + qfutil::Printable(path) + "\" is none");
    RunInfoMovie(context, o, path);
}

}  // namespace

void RegisterInfo(CLI::App &app, Context &context)
{
    auto options = std::make_shared<InfoOptions>();
    CLI::App *command = app.add_subcommand(
        "info", "Show a movie's picture size, its length and frame count at 25 per second (the pictures its packets\n"
                "deliver, counted by playing the timeline, as export writes them), the number of packets, the audio\n"
                "format and the plug-in's name and version; then how many scenes, pictures, face sets and sounds it\n"
                "has and each file it loads, embedded or by Amiga path with where it was found. A broken movie is\n"
                "named first; missing files are all listed at once, with the --volume flags that would supply them.");
    command
        ->add_option("MOVIE", options->movies,
                     "The movie files, or disk images or archives to describe (one block, or JSON line, each)")
        ->required();
    command->add_flag_callback(
        "--json", [&context, options] { options->json = context.json = true; },
        "Print one JSON object instead of text; a failure too, as {\"error\": \"...\", \"status\": N}");
    command->add_flag("--scenes", options->scenes, "For a movie: a table of its scenes too, one line each");
    command->add_flag("-v,--verbose", options->verbose,
                      "For a movie: the plug-in's own duration and GetVideoFrames too, which can be less than\n"
                      "what its packets deliver");
    command->add_flag("--files", options->files, "For a disk image or archive: list every file and folder too");
    AddJobsOption(*command, options->jobs);
    AddMovieOptions(*command, context);
    command->callback([&context, options] {
        ForEachMovie(context, options->movies, options->jobs,
                     [&context, options](const std::string &movie) { RunInfo(context, *options, movie); });
    });
}

}  // namespace qftools
