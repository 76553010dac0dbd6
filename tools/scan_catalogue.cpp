// quillframer scan: the catalogue made from every unit's finds. Each distinct movie is surveyed
// once with the same code info uses; a volume it names and its own disk does not hold is looked
// for among all labelled disks of the collection, and the one holding its files is mapped.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <set>

#include "frame.hpp"
#include "info_movie.hpp"
#include "media/export.hpp"
#include "media/sheet.hpp"
#include "qfhost/adf.hpp"
#include "qfhost/name_rules.hpp"
#include "qfhost/time.hpp"
#include "qfhost/volume_files.hpp"
#include "qfutil/process_pool.hpp"
#include "scan.hpp"

namespace qftools::scan {
namespace {

namespace fs = std::filesystem;
using nlohmann::ordered_json;

std::vector<std::string> Segments(const Location &location)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t colon; (colon = location.find(':', start)) != std::string::npos; start = colon + 1)
        parts.push_back(location.substr(start, colon - start));
    parts.push_back(location.substr(start));
    return parts;
}

std::string Parent(const Location &location) { return location.substr(0, location.rfind(':')); }

std::string LabelKey(const std::string &label)
{
    std::string key = label;
    for (char &c : key) c = char(std::toupper(static_cast<unsigned char>(c)));
    return key;
}

// Containers inside containers made into host files, so the host can serve them by path: each
// once per catalogue, in a folder that goes with it.
class Materialiser {
public:
    Materialiser(std::vector<fs::path> roots, fs::path scratch) : roots_(std::move(roots)), scratch_(std::move(scratch))
    {}
    ~Materialiser()
    {
        std::error_code ec;
        fs::remove_all(scratch_, ec);
    }

    fs::path host(size_t root, const std::string &first) const
    {
        const fs::path &r = roots_.at(root);
        std::error_code ec;
        return fs::is_directory(r, ec) ? r / first : r;
    }

    // A container by its location: a host file.
    fs::path container(size_t root, const Location &location)
    {
        auto known = files_.find(location);
        if (known != files_.end()) return known->second;
        const std::vector<std::string> parts = Segments(location);
        fs::path file;
        if (parts.size() == 1) {
            file = host(root, parts[0]);
        } else {
            const fs::path parent = container(root, Parent(location));
            std::unique_ptr<qfhost::Volume> volume = qfhost::Volume::Open(parent);
            // A partition of a hard-disk image needs no copy: the volumes open it by its served path.
            if (std::unique_ptr<qfhost::Volume> part = volume->partition(parts.back()))
                return files_[location] = parent / part->disk()->drive();
            std::optional<qfhost::VolumeEntry> entry = find(*volume, parts.back());
            if (!entry) throw qfhost::VolumeError(location + ": no longer there");
            fs::create_directories(scratch_);
            file = scratch_ / std::to_string(files_.size());
            std::ofstream out(file, std::ios::binary);
            volume->copy(*entry, [&](std::span<const uint8_t> piece) {
                out.write(reinterpret_cast<const char *>(piece.data()), std::streamsize(piece.size()));
            });
            if (!out.flush()) throw qfhost::VolumeError(location + ": cannot copy out to " + file.string());
        }
        files_[location] = file;
        return file;
    }

    // A movie as the host is to be given it: a host file, or CONTAINER:inside as stored.
    std::string movie(size_t root, const Location &location)
    {
        const std::vector<std::string> parts = Segments(location);
        if (parts.size() == 1) return host(root, parts[0]).string();
        const fs::path parent = container(root, Parent(location));
        std::unique_ptr<qfhost::Volume> volume = qfhost::Volume::Open(parent);
        std::optional<qfhost::VolumeEntry> entry = find(*volume, parts.back());
        if (!entry) throw qfhost::VolumeError(location + ": no longer there");
        std::error_code ec;
        if (!fs::exists(parent, ec)) return (parent / entry->path).string();  // on a partition: served
        return parent.string() + ":" + entry->path;
    }

    // The location a host path the survey reported lies at, when it is inside a container made here.
    std::optional<Location> locate(const std::string &hostPath) const
    {
        // The deepest: a partition's served path lies below its disk's.
        std::optional<Location> found;
        size_t longest = 0;
        for (const auto &[location, file] : files_) {
            const std::string prefix = file.string() + "/";
            if (!hostPath.starts_with(prefix) || prefix.size() <= longest) continue;
            longest = prefix.size();
            std::string rest = hostPath.substr(prefix.size());
            // A partition of the disk not copied out yet: named as locations name it.
            const size_t slash = rest.find('/');
            try {
                if (slash != std::string::npos && qfhost::Volume::Open(file)->partition(rest.substr(0, slash)))
                    rest[slash] = ':';
            } catch (const std::exception &) {
                // unreadable: the path as it is
            }
            found = location + ":" + qfhost::Latin1ToUtf8(rest);
        }
        return found;
    }

private:
    static std::optional<qfhost::VolumeEntry> find(const qfhost::Volume &volume, const std::string &inside)
    {
        std::optional<qfhost::VolumeEntry> found;
        volume.walk([&](const qfhost::VolumeEntry &e) {
            if (!e.directory && qfhost::Latin1ToUtf8(e.path) == inside) found = e;
            return !found;
        });
        return found;
    }

    std::vector<fs::path> roots_;
    fs::path scratch_;
    std::map<Location, fs::path> files_;
};

struct Movie {
    std::string sha256;
    uint64_t size = 0;
    size_t root = 0;
    std::set<Location> locations;
};

struct Labelled {
    size_t root;
    Location location;
};

// The Amiga path without its volume, as a volume opens it.
std::string Inside(const std::string &amigaPath)
{
    const size_t colon = amigaPath.find(':');
    return colon == std::string::npos ? amigaPath : amigaPath.substr(colon + 1);
}

const char *KindName(qfhost::AssetType type)
{
    return type == qfhost::AssetType::Background ? "background"
           : type == qfhost::AssetType::FaceSet  ? "faces"
                                                 : "sound";
}

class Cataloguer {
public:
    Cataloguer(const Context &context, const fs::path &dir, const std::vector<UnitFinds> &units,
               const CatalogueOptions &options)
        : context_(context), dir_(dir), options_(options), files_(options.roots, dir / ".scan" / "work")
    {
        for (const UnitFinds &u : units) {
            for (const MovieFound &m : u.movies) {
                Movie &movie = movies_[m.sha256];
                if (movie.locations.empty() || m.location < *movie.locations.begin()) movie.root = u.root;
                movie.sha256 = m.sha256, movie.size = m.size;
                movie.locations.insert(m.location);
            }
            for (const LabelFound &l : u.labels) labels_[LabelKey(l.label)].push_back({u.root, l.location});
            for (const Damage &d : u.damage) damage_.push_back(d);
        }
        for (auto &[key, list] : labels_)
            std::sort(list.begin(), list.end(),
                      [](const Labelled &a, const Labelled &b) { return a.location < b.location; });
        std::sort(damage_.begin(), damage_.end(),
                  [](const Damage &a, const Damage &b) { return a.location < b.location; });
    }

    std::vector<ordered_json> movieLines()
    {
        std::vector<ordered_json> lines;
        for (const auto &[sha, movie] : movies_) lines.push_back(describe(movie));
        makeMedia(lines);
        return lines;
    }

    const std::vector<Damage> &damage() const { return damage_; }
    size_t locationCount() const
    {
        size_t n = 0;
        for (const auto &[sha, movie] : movies_) n += movie.locations.size();
        return n;
    }

private:
    // Which labelled disk holds most of the files wanted from a volume; nullopt when none holds any.
    std::optional<Labelled> choose(const std::vector<Labelled> &candidates, const std::vector<std::string> &wanted)
    {
        std::optional<Labelled> best;
        size_t bestHits = 0;
        for (const Labelled &c : candidates) {
            size_t hits = 0;
            try {
                std::unique_ptr<qfhost::Volume> volume = qfhost::Volume::Open(files_.container(c.root, c.location));
                for (const std::string &inside : wanted) {
                    try {
                        volume->open(inside);
                        ++hits;
                    } catch (const qfhost::VolumeError &) {
                        // not on this one
                    }
                }
            } catch (const std::exception &) {
                continue;  // a damaged candidate holds nothing
            }
            if (hits > bestHits) best = c, bestHits = hits;
        }
        return best;
    }

    // Where the host found a file: its own container first, then the disk mapped for its volume,
    // as the host looks (the path it reports for the first is a name below the container).
    std::optional<Location> foundAt(const Movie &movie, const Location &first, const qfhost::AssetEntry &a,
                                    const std::vector<std::pair<std::string, Labelled>> &mapped)
    {
        std::vector<Labelled> chain;
        if (first.find(':') != std::string::npos) chain.push_back({movie.root, Parent(first)});
        for (const auto &[key, disk] : mapped)
            if (key == LabelKey(a.volume)) chain.push_back(disk);
        const std::string inside = Inside(a.rawAmigaPath);
        for (const Labelled &c : chain) {
            try {
                qfhost::Volume::Open(files_.container(c.root, c.location))->open(inside);
                return c.location + ":" + qfhost::Latin1ToUtf8(inside);
            } catch (const std::exception &) {
                // not on this one
            }
        }
        // Elsewhere (a --volume the user gave): the host's own path.
        return files_.locate(a.hostPath).value_or(a.hostPath);
    }

    ordered_json describe(const Movie &movie)
    {
        const Location &first = *movie.locations.begin();
        ordered_json j{{"type", "movie"}, {"sha256", movie.sha256}};
        const size_t slash = first.find_last_of(":/");
        j["name"] = slash == std::string::npos ? first : first.substr(slash + 1);
        j["locations"] = movie.locations;
        j["size"] = movie.size;
        Context context = context_;
        context.unattended = true;
        context.quiet = true;
        std::string argument;
        MovieContents contents;
        std::vector<std::pair<std::string, Labelled>> mapped;  // volume key, disk
        try {
            argument = files_.movie(movie.root, first);
            contents = SurveyMovie(context, argument);
            // The volumes whose files neither its own container nor the options answered, from the
            // disks labelled so.
            std::vector<std::string> unanswered;
            for (const qfhost::AssetEntry &a : contents.assets)
                if ((a.origin == qfhost::AssetOrigin::VolumeMissing || a.origin == qfhost::AssetOrigin::FileMissing) &&
                    std::none_of(unanswered.begin(), unanswered.end(),
                                 [&](const std::string &v) { return LabelKey(v) == LabelKey(a.volume); }))
                    unanswered.push_back(a.volume);
            for (const std::string &volume : unanswered) {
                auto candidates = labels_.find(LabelKey(volume));
                if (candidates == labels_.end()) continue;
                std::vector<std::string> wanted;
                for (const qfhost::AssetEntry &a : contents.assets)
                    if (a.missing() && LabelKey(a.volume) == LabelKey(volume)) wanted.push_back(Inside(a.rawAmigaPath));
                if (std::optional<Labelled> chosen = choose(candidates->second, wanted)) {
                    context.volumes.push_back(volume + "=" + files_.container(chosen->root, chosen->location).string());
                    mapped.emplace_back(LabelKey(volume), *chosen);
                }
            }
            if (!mapped.empty()) contents = SurveyMovie(context, argument);
        } catch (const std::exception &e) {
            j["error"] = e.what();
            return j;
        }
        if (!contents.opened) {
            j["error"] = contents.failure.empty() ? "cannot be surveyed" : contents.failure;
            return j;
        }
        j["width"] = contents.width;
        j["height"] = contents.height;
        playable_[movie.sha256] = {argument, context.volumes};
        try {
            OpenedMovie opened = OpenMovie(context, argument);
            uint64_t frames = 0;
            for (qfhost::Packet &packet : opened.movie->packets()) frames += packet.isVideo() ? 1 : 0;
            const uint64_t ms = qfhost::PlayedMs(frames);
            j["frames"] = frames;
            j["length"] = double(ms) / 1000.0;
            j["lengthText"] = qfhost::FormatTime(ms);
        } catch (const std::exception &) {
            // It does not play (a file is missing): the assets below say which.
            j["frames"] = nullptr, j["length"] = nullptr, j["lengthText"] = nullptr;
            playable_.erase(movie.sha256);
        }
        j["scenes"] = contents.scenes.size();
        j["assets"] = nlohmann::json::array();
        std::vector<std::string> volumes;
        std::map<std::string, std::string> foundOn;  // volume key -> the container its files came from
        for (const qfhost::AssetEntry &a : contents.assets) {
            if (a.origin == qfhost::AssetOrigin::Embedded) continue;
            std::optional<Location> at;
            if (!a.missing()) at = foundAt(movie, first, a, mapped);
            ordered_json asset{{"kind", KindName(a.type)}, {"amigaPath", a.amigaPath}};
            asset["foundAt"] = at ? ordered_json(*at) : ordered_json();
            asset["missing"] = a.missing();
            j["assets"].push_back(asset);
            const std::string key = LabelKey(a.volume);
            if (std::find_if(volumes.begin(), volumes.end(),
                             [&](const std::string &v) { return LabelKey(v) == key; }) == volumes.end())
                volumes.push_back(a.volume);
            if (at && !foundOn.count(key)) foundOn[key] = Parent(*at);
        }
        j["volumes"] = nlohmann::json::array();
        for (const std::string &volume : volumes) {
            std::set<Location> candidates;
            if (auto list = labels_.find(LabelKey(volume)); list != labels_.end())
                for (const Labelled &l : list->second) candidates.insert(l.location);
            auto chosen = foundOn.find(LabelKey(volume));
            if (chosen != foundOn.end()) candidates.insert(chosen->second);
            j["volumes"].push_back({{"label", volume},
                                    {"chosen", chosen == foundOn.end() ? ordered_json() : ordered_json(chosen->second)},
                                    {"candidates", candidates}});
        }
        return j;
    }

    struct Playable {
        std::string argument;
        std::vector<std::string> volumes;
    };

    // The poster, sheet and video of each playable movie, made once per content: a file already in
    // media/ (or in another catalogue's media/, for --merge) is kept.
    void makeMedia(std::vector<ordered_json> &lines)
    {
        struct Job {
            size_t line;
            std::vector<std::pair<std::string, fs::path>> missing;  // kind, file
        };
        std::vector<Job> jobs;
        const fs::path media = dir_ / "media";
        fs::create_directories(media);
        for (size_t i = 0; i < lines.size(); ++i) {
            const std::string sha = lines[i]["sha256"];
            lines[i]["media"] = ordered_json::object();
            if (!playable_.count(sha)) continue;
            const std::string stem = MediaStem(*movies_[sha].locations.begin(), sha);
            std::vector<std::pair<std::string, std::string>> wanted{{"poster", stem + ".png"},
                                                                    {"sheet", stem + "-sheet.png"}};
            if (!options_.video.empty()) wanted.push_back({"video", stem + "." + options_.video});
            Job job{i, {}};
            for (const auto &[kind, name] : wanted) {
                std::error_code ec;
                if (!fs::exists(media / name, ec))
                    for (const fs::path &other : options_.mediaFrom)
                        if (fs::exists(other / "media" / name, ec)) {
                            fs::copy_file(other / "media" / name, media / name, ec);
                            break;
                        }
                if (!fs::exists(media / name, ec)) job.missing.push_back({kind, media / name});
            }
            if (!job.missing.empty() && options_.media) jobs.push_back(std::move(job));
        }
        auto child = [&](size_t index) {
            const Job &job = jobs[index];
            const Playable &p = playable_[lines[job.line]["sha256"]];
            Context context = context_;
            context.unattended = true;
            context.quiet = true;
            context.volumes = p.volumes;
            int status = 0;
            for (const auto &[kind, file] : job.missing) {
                try {
                    makeOne(context, p.argument, kind, file, lines[job.line]["name"]);
                } catch (const std::exception &e) {
                    std::fprintf(stderr, "quillframer: scan: %s: %s\n", file.filename().c_str(), e.what());
                    status = 1;
                }
            }
            return status;
        };
        try {
            qfutil::RunInChildren(jobs.size(), std::max(1, options_.jobs), false, child,
                                  [](const qfutil::ChildDone &) {});
        } catch (const std::runtime_error &e) {
            throw ToolError(e.what());
        }
        for (size_t i = 0; i < lines.size(); ++i) {
            const std::string sha = lines[i]["sha256"];
            lines[i]["media"] = ordered_json::object();
            if (!playable_.count(sha)) continue;
            const std::string stem = MediaStem(*movies_[sha].locations.begin(), sha);
            ordered_json made = ordered_json::object();
            std::error_code ec;
            if (fs::exists(media / (stem + ".png"), ec)) made["poster"] = "media/" + stem + ".png";
            if (fs::exists(media / (stem + "-sheet.png"), ec)) made["sheet"] = "media/" + stem + "-sheet.png";
            const std::string video = stem + "." + options_.video;
            if (!options_.video.empty() && fs::exists(media / video, ec)) made["video"] = "media/" + video;
            lines[i]["media"] = made;
        }
    }

    // The same code paths as frame, sheet and export.
    static void makeOne(const Context &context, const std::string &argument, const std::string &kind,
                        const fs::path &file, const std::string &name)
    {
        OpenedMovie opened = OpenMovie(context, argument);
        qfhost::Movie &movie = *opened.movie;
        qfutil::Outputs outputs(qfutil::Overwrite::Always);
        if (kind == "poster") {
            const uint32_t at = movie.durationMs() > 1000 ? 1000 : 0;
            const qfmedia::RgbImage image = PictureAt(movie, at, 1, PictureOptions{});
            outputs.write(file, [&](const fs::path &f) { qfmedia::WriteStill(f, image, qfmedia::StillFormat::Png); });
        } else if (kind == "sheet") {
            qfmedia::SheetOptions options;
            options.quiet = true;
            options.title = name + "  " + std::to_string(movie.width()) + "x" + std::to_string(movie.height()) + "  " +
                            qfhost::FormatTime(movie.durationMs());
            const qfmedia::Sheet sheet = qfmedia::MakeSheet(movie, options);
            outputs.write(file,
                          [&](const fs::path &f) { qfmedia::WriteStill(f, sheet.image, qfmedia::StillFormat::Png); });
        } else {
            qfmedia::ExportOptions options;
            options.quiet = true;
            outputs.claim(file);
            qfmedia::ExportMovie(movie, file, options, outputs);
        }
    }

    const Context &context_;
    fs::path dir_;
    const CatalogueOptions &options_;
    Materialiser files_;
    std::map<std::string, Movie> movies_;  // by sha256, so lines come out sorted
    std::map<std::string, std::vector<Labelled>> labels_;
    std::vector<Damage> damage_;
    std::map<std::string, Playable> playable_;
};

std::string CsvField(const std::string &text)
{
    if (text.find_first_of(",\"\n\r") == std::string::npos) return text;
    std::string quoted = "\"";
    for (char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

std::string Text(const ordered_json &value)
{
    if (value.is_null()) return "";
    if (value.is_string()) return value.get<std::string>();
    return value.dump();
}

std::string CsvRow(const ordered_json &m)
{
    int missing = 0;
    for (const auto &a : m.value("assets", ordered_json::array())) missing += a["missing"].get<bool>() ? 1 : 0;
    std::string locations;
    for (const auto &l : m["locations"]) locations += (locations.empty() ? "" : " | ") + l.get<std::string>();
    const std::vector<std::string> cells{Text(m["locations"][0]),
                                         m["sha256"],
                                         m["name"],
                                         Text(m["size"]),
                                         Text(m.value("width", ordered_json())),
                                         Text(m.value("height", ordered_json())),
                                         Text(m.value("frames", ordered_json())),
                                         Text(m.value("length", ordered_json())),
                                         Text(m.value("scenes", ordered_json())),
                                         std::to_string(missing),
                                         locations};
    std::string row;
    for (const std::string &cell : cells) row += (row.empty() ? "" : ",") + CsvField(cell);
    return row + "\n";
}

// Written beside the target, flushed to disk, then renamed over it.
void WriteWhole(const fs::path &target, const std::string &text)
{
    const fs::path temporary = target.string() + ".tmp";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw ToolError("cannot write " + temporary.string() + ": " + std::strerror(errno));
    for (size_t done = 0; done < text.size();) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int error = errno;
            ::close(fd);
            ::unlink(temporary.c_str());
            throw ToolError("cannot write " + temporary.string() + ": " + std::strerror(error));
        }
        done += size_t(n);
    }
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    if (!synced || ::rename(temporary.c_str(), target.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        throw ToolError("cannot write " + target.string() + ": " + std::strerror(error));
    }
}

std::string Line(const ordered_json &j)
{
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

}  // namespace

std::string MediaStem(const Location &first, const std::string &sha256)
{
    std::string stem;
    for (const std::string &segment : Segments(first)) {
        std::string safe;
        for (unsigned char c : segment) safe += std::isalnum(c) || c == '.' || c == '-' ? char(c) : '_';
        stem += (stem.empty() ? "" : "_") + safe;
    }
    if (stem.size() > 80) stem.resize(80);
    return stem + "-" + sha256.substr(0, 8);
}

void WriteCatalogue(const Context &context, const fs::path &dir, const std::vector<UnitFinds> &units,
                    const CatalogueOptions &options, const Totals &totals)
{
    Cataloguer cataloguer(context, dir, units, options);
    const std::vector<ordered_json> movies = cataloguer.movieLines();
    std::string text, csv = "location,sha256,name,size,width,height,frames,length,scenes,missing,locations\n";
    for (const ordered_json &m : movies) text += Line(m), csv += CsvRow(m);
    for (const Damage &d : cataloguer.damage())
        text += Line({{"type", "container"}, {"location", d.location}, {"reason", d.reason}});
    ordered_json summary{{"type", "summary"}};
    uint64_t files = 0, containers = 0, pictures = 0, faceSets = 0, sounds = 0;
    for (const UnitFinds &u : units) {
        files += u.files, containers += u.containers;
        pictures += u.pictures, faceSets += u.faceSets, sounds += u.sounds;
    }
    summary["containers"] = containers;
    summary["movies"] = movies.size();
    summary["damaged"] = cataloguer.damage().size();
    summary["seconds"] = double(int64_t(totals.seconds * 10 + 0.5)) / 10;
    summary["files"] = files;
    summary["locations"] = cataloguer.locationCount();
    summary["pictures"] = pictures;
    summary["faceSets"] = faceSets;
    summary["sounds"] = sounds;
    summary["complete"] = totals.complete;
    text += Line(summary);
    WriteWhole(dir / "catalogue.jsonl", text);
    if (options.csv) WriteWhole(dir / "catalogue.csv", csv);
}

}  // namespace qftools::scan
