// quillframer info on a disk image or archive: what it holds.
#include <cstdio>
#include <nlohmann/json.hpp>

#include "qfhost/adf.hpp"
#include "qfhost/dms.hpp"
#include "qfutil/printable.hpp"
#include "qfhost/time.hpp"
#include "qfhost/volume_files.hpp"
#include "volume_glue.hpp"

namespace qftools {

bool IsVolumeArgument(const std::string &argument) { return qfhost::SplitImagePath(argument).has_value(); }

bool IsMovieOnVolume(const std::string &argument)
{
    std::optional<qfhost::ImagePath> split = qfhost::SplitImagePath(argument);
    try {
        return split && qfhost::NamesMovie(*split);
    } catch (const std::runtime_error &) {
        return false;  // the volume's own reading says what is wrong
    }
}

namespace {

std::vector<std::string> Lines(const std::string &text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = std::min(text.find('\n', start), text.size());
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

// The facts of a DMS archive beside the disk's own: how it was packed, and the texts it carries.
void ShowDms(const qfhost::DmsDisk &d, bool json, nlohmann::ordered_json &j)
{
    std::vector<std::string> modes;
    for (unsigned m = 0; m < qfhost::dms::modeCount; ++m)
        if (d.modesUsed & (1u << m)) modes.emplace_back(qfhost::dms::ModeName(qfhost::dms::Mode(m)));
    // Texts are the packer's 8-bit characters: shown as Latin-1, as the disk's names are.
    const std::string banner = qfhost::Latin1ToUtf8(d.banner), fileId = qfhost::Latin1ToUtf8(d.fileId);
    if (json) {
        nlohmann::ordered_json o{{"modes", modes},           {"density", d.highDensity ? "HD" : "DD"},
                                 {"tracks", d.tracks},       {"lowTrack", d.lowTrack},
                                 {"highTrack", d.highTrack}, {"encrypted", d.encrypted}};
        if (d.creatorVersion) o["creatorVersion"] = d.creatorVersion;
        if (!banner.empty()) o["banner"] = banner;
        if (!fileId.empty()) o["fileId"] = fileId;
        j["dms"] = o;
        return;
    }
    std::string joined;
    for (const std::string &m : modes) joined += (joined.empty() ? "" : ", ") + m;
    std::printf("  packed       DMS, %s; %u tracks (%u-%u) of a %s floppy%s\n", joined.c_str(), d.tracks, d.lowTrack,
                d.highTrack, d.highDensity ? "HD" : "DD", d.encrypted ? "; encrypted" : "");
    if (d.creatorVersion) std::printf("  packed by    DMS version %u\n", d.creatorVersion);
    for (auto [title, text] : {std::pair{"banner     ", &banner}, std::pair{"FILEID.DIZ ", &fileId}}) {
        const char *head = title;
        for (const std::string &line : Lines(*text)) {
            std::printf("  %s  %s\n", head, qfutil::Printable(line).c_str());
            head = "           ";
        }
    }
}

}  // namespace

void RunInfoVolume(const Context &context, const std::string &image, bool files, bool json,
                   const std::function<void(const std::string &movie, nlohmann::ordered_json *json)> &oneMovie)
{
    std::optional<qfhost::ImagePath> split = qfhost::SplitImagePath(image);
    if (!split) throw ToolError(qfutil::Quoted(image) + " is no disk image or archive");
    std::unique_ptr<qfhost::Volume> volume;
    std::string fileSystem;
    std::optional<qfhost::DmsDisk> packed;
    try {
        volume = qfhost::Volume::Open(split->image);
        fileSystem = volume->fileSystem();
        std::error_code ec;
        if (std::filesystem::is_regular_file(split->image, ec)) packed = qfhost::LoadDms(split->image);
    } catch (const std::runtime_error &e) {
        throw ToolError(e.what());
    }
    const bool labelled = volume->kind() == qfhost::VolumeKind::DiskImage;
    const std::string label = labelled ? qfhost::Latin1ToUtf8(volume->label()) : "";

    // What the disk's own checks say: blocks whose checksums fail (the root's among them, when its
    // label may be garbage) and a bitmap AmigaDOS would have to validate.
    std::vector<std::string> warnings;
    if (labelled && volume->disk()) {
        try {
            qfhost::AdfImage disk = *volume->disk();
            if (!disk.bitmapValid())
                warnings.push_back("the bitmap is marked invalid: AmigaDOS would validate the disk before writing");
            disk.list();
            warnings.insert(warnings.end(), disk.warnings().begin(), disk.warnings().end());
        } catch (const qfhost::AdfError &e) {
            warnings.push_back(e.what());
        }
    }

    nlohmann::ordered_json j;
    j["file"] = split->shown();
    j["label"] = label;
    j["fileSystem"] = fileSystem;
    j["movies"] = nlohmann::json::array();
    if (!json) {
        std::printf("%s\n", qfutil::Printable(split->shown()).c_str());
        std::printf("  volume       %s\n", labelled ? ("\"" + qfutil::Printable(label) + ":\"").c_str()
                                                    : "(none: an archive maps only with --volume)");
        std::printf("  file system  %s\n", fileSystem.c_str());
        for (const std::string &w : warnings) std::printf("  warning      %s\n", qfutil::Printable(w).c_str());
    }
    if (!warnings.empty()) j["warnings"] = warnings;
    if (packed) ShowDms(*packed, json, j);
    // A whole hard-disk image of several partitions (none named) shows each and the movies on it;
    // one of a single partition is shown as its file system alone, as it always was.
    const std::vector<qfhost::AdfPartition> none;
    const std::vector<qfhost::AdfPartition> &partitions =
        volume->disk() && volume->disk()->partitions().size() > 1 && !qfhost::NamesPartition(*volume, split->image)
            ? volume->disk()->partitions()
            : none;
    std::vector<qfhost::MovieOnVolume> movies = qfhost::FindMovies(*volume);
    if (!json && partitions.empty()) std::printf("  movies       %zu\n", movies.size());
    bool playable = false;
    // One movie's line or JSON object, at its place given as the command takes it.
    auto describe = [&](const qfhost::MovieOnVolume &m, const std::string &place, nlohmann::ordered_json &list) {
        std::string length, why;
        uint32_t ms = 0;
        try {
            OpenedMovie opened = OpenMovie(context, place + ":" + m.path);
            ms = static_cast<uint32_t>(qfhost::PlayedMs(qfhost::PicturesDelivered(opened.movie->durationMs())));
            length = qfhost::FormatTime(ms);
            playable = true;
        } catch (const std::runtime_error &e) {
            why = e.what();
        }
        const std::string path = qfhost::Latin1ToUtf8(m.path);
        if (json) {
            nlohmann::ordered_json movie{{"path", path}, {"size", m.size}};
            if (why.empty()) movie["duration"] = ms, movie["length"] = length;
            else movie["error"] = why;
            list.push_back(movie);
        } else {
            std::printf("%s%s  %llu bytes  %s\n", partitions.empty() ? "    " : "      ",
                        qfutil::Printable(path).c_str(), static_cast<unsigned long long>(m.size),
                        why.empty() ? length.c_str() : ("cannot open: " + qfutil::Printable(why)).c_str());
        }
    };
    if (json || partitions.empty())
        for (const qfhost::MovieOnVolume &m : movies) describe(m, split->shown(), j["movies"]);
    if (!partitions.empty()) {
        if (!json) std::printf("  partitions   %zu\n", partitions.size());
        j["partitions"] = nlohmann::json::array();
        size_t partitionMovies = 0;
        for (const qfhost::AdfPartition &p : partitions) {
            const std::string place = split->shown() + ":" + p.drive;
            const std::string plabel = qfhost::Latin1ToUtf8(p.label);
            nlohmann::ordered_json o{{"drive", qfhost::Latin1ToUtf8(p.drive)},
                                     {"label", plabel},
                                     {"dosType", p.dosType},
                                     {"fileSystem", p.fileSystem},
                                     {"bytes", p.bytes},
                                     {"movies", nlohmann::json::array()}};
            std::vector<qfhost::MovieOnVolume> found;
            std::string why = p.problem;
            if (why.empty()) {
                try {
                    if (std::unique_ptr<qfhost::Volume> part = volume->partition(p.drive))
                        found = qfhost::FindMovies(*part);
                } catch (const std::runtime_error &e) {
                    why = e.what();
                }
            }
            if (!json)
                std::printf(
                    "    %s  %s  %s (%s)  %llu bytes  %s\n", qfutil::Printable(qfhost::Latin1ToUtf8(p.drive)).c_str(),
                    plabel.empty() ? "(no label)" : ("\"" + qfutil::Printable(plabel) + ":\"").c_str(),
                    p.fileSystem.c_str(), qfutil::Printable(p.dosType).c_str(),
                    static_cast<unsigned long long>(p.bytes),
                    why.empty() ? (std::to_string(found.size()) + (found.size() == 1 ? " movie" : " movies")).c_str()
                                : ("cannot read: " + qfutil::Printable(why)).c_str());
            if (!why.empty()) o["error"] = why;
            partitionMovies += found.size();
            for (const qfhost::MovieOnVolume &m : found) describe(m, place, o["movies"]);
            j["partitions"].push_back(o);
        }
        // The one movie of the whole disk is then named by its partition.
        if (partitionMovies != movies.size()) playable = false;
    }
    if (files) {
        if (json) {
            j["files"] = nlohmann::json::array();
            for (const qfhost::VolumeEntry &e : volume->list()) {
                nlohmann::ordered_json f{{"path", qfhost::Latin1ToUtf8(e.path)},
                                         {"kind", e.link        ? "link"
                                                  : e.directory ? "folder"
                                                                : "file"},
                                         {"size", e.size},
                                         {"modified", static_cast<int64_t>(e.modified)}};
                if (e.link) f["target"] = qfhost::Latin1ToUtf8(e.linkTarget);
                if (!e.damage.empty()) f["damage"] = e.damage;
                j["files"].push_back(f);
            }
        } else {
            std::printf("  files\n");
            for (const std::string &line : qfhost::ListVolume(*volume)) std::printf("%s\n", line.c_str());
        }
    }
    // A disk of one movie is mostly that movie.
    const std::string only = movies.size() == 1 && playable ? split->shown() + ":" + movies.front().path : "";
    if (!json && !only.empty()) oneMovie(only, nullptr);
    if (!json) return;
    if (!only.empty()) oneMovie(only, &j);
    std::printf("%s\n", j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
}

}  // namespace qftools
