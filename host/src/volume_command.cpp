// Disk images and archives as the quillframer command sees them: files named inside them, the
// movies on them, images found by label, and their files copied out.
#include "qfhost/volume_command.hpp"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "qfhost/adf.hpp"
#include "qfhost/name_rules.hpp"
#include "qfhost/output.hpp"
#include "qfhost/printable.hpp"
#include "quillframer/movie_format.h"

namespace qfhost {
namespace fs = std::filesystem;

namespace {

bool IsImageFile(const fs::path &p)
{
    std::error_code ec;
    if (!fs::is_regular_file(p, ec)) return false;
    std::optional<VolumeKind> kind = Volume::Detect(p);
    return kind == VolumeKind::DiskImage || kind == VolumeKind::Archive;
}

std::string Trimmed(std::string inside)
{
    while (!inside.empty() && inside.front() == '/') inside.erase(0, 1);
    while (!inside.empty() && inside.back() == '/') inside.pop_back();
    return inside;
}

std::string Quote(const std::string &s) { return "\"" + Printable(s) + "\""; }

// Equal paths, or `path` below `folder`, as names on the volume compare.
bool Below(const std::string &path, const std::string &folder)
{
    if (folder.empty()) return true;
    if (path.size() <= folder.size() || path[folder.size()] != '/') return false;
    return CompareNamesIgnoringCase(std::string_view(path).substr(0, folder.size()), folder) == 0;
}

// The stored name of an entry (an archive gives none: its path's last part).
std::string NameOf(const VolumeEntry &e)
{
    if (!e.name.empty()) return e.name;
    size_t slash = e.path.rfind('/');
    return slash == std::string::npos ? e.path : e.path.substr(slash + 1);
}

// Why a name cannot be a file here, or null.
const char *Unusable(const std::string &name)
{
    if (name.empty()) return "an empty name";
    if (name == "." || name == "..") return "a name that means a folder here";
    if (name.find('/') != std::string::npos) return "a '/' inside the name";
    if (name.find('\0') != std::string::npos) return "a NUL byte inside the name";
    return nullptr;
}

void SetModified(const fs::path &p, std::time_t when)
{
    struct timespec times[2] = {{0, UTIME_OMIT}, {when, 0}};
    ::utimensat(AT_FDCWD, p.c_str(), times, 0);
}

}  // namespace

std::optional<ImagePath> SplitImagePath(const std::string &argument)
{
    if (IsImageFile(argument)) return ImagePath{argument, {}};
    for (size_t colon = argument.find(':'); colon != std::string::npos; colon = argument.find(':', colon + 1))
        if (colon > 0 && IsImageFile(argument.substr(0, colon)))
            return ImagePath{argument.substr(0, colon), Trimmed(argument.substr(colon + 1))};
    return std::nullopt;
}

std::optional<ImagePath> SplitServedPath(const std::string &path)
{
    for (size_t slash = path.rfind('/'); slash != std::string::npos && slash > 0; slash = path.rfind('/', slash - 1))
        if (IsImageFile(path.substr(0, slash))) return ImagePath{path.substr(0, slash), Trimmed(path.substr(slash + 1))};
    return std::nullopt;
}

std::string ServedPath(const ImagePath &file)
{
    std::error_code ec;
    return fs::absolute(file.image, ec).lexically_normal().string() + "/" + file.inside;
}

bool HasMovieSignature(std::span<const uint8_t> head) { return QfIsMovieSignature(head.data(), head.size()); }

std::vector<MovieOnVolume> FindMovies(const Volume &volume)
{
    std::vector<MovieOnVolume> movies;
    for (const VolumeEntry &e : volume.list()) {
        if (e.directory || e.link || e.size < QF_SIGNATURE_LENGTH) continue;
        VolumeFile file;
        try {
            file = volume.open(e.path);
        } catch (const VolumeError &) {
            continue;  // unreadable here: not a movie anyone can play
        }
        std::vector<uint8_t> head(QF_SIGNATURE_LENGTH);
        if (file.descriptor) {
            if (::pread(file.descriptor.get(), head.data(), head.size(), 0) != ssize_t(head.size())) continue;
        } else {
            head.assign(file.bytes.begin(), file.bytes.begin() + std::min<size_t>(file.bytes.size(), head.size()));
        }
        if (HasMovieSignature(head)) movies.push_back({e.path, e.size});
    }
    return movies;
}

std::string FileSystemName(const fs::path &location)
{
    switch (Volume::Detect(location).value_or(VolumeKind::Directory)) {
    case VolumeKind::Directory: return "directory";
    case VolumeKind::Archive: return "LHA archive";
    case VolumeKind::DiskImage: break;
    }
    AdfImage image = AdfImage::Load(location);
    std::string name = image.fastFileSystem() ? "FFS" : "OFS";
    if (image.directoryCache()) name += ", directory cache";
    else if (image.international()) name += ", international names";
    return name + " (" + image.dosType() + ")";
}

std::string ResolveMovieArgument(const std::string &argument, HostSettings &settings)
{
    std::optional<ImagePath> split = SplitImagePath(argument);
    if (!split) return argument;
    std::unique_ptr<Volume> volume = Volume::Open(split->image);
    if (split->inside.empty()) {
        std::vector<MovieOnVolume> movies = FindMovies(*volume);
        if (movies.empty()) throw VolumeError(Quote(argument) + " holds no movie");
        if (movies.size() > 1) {
            std::string names;
            for (const MovieOnVolume &m : movies) names += (names.empty() ? "" : ", ") + Quote(m.path);
            throw VolumeError(Quote(argument) + " holds " + std::to_string(movies.size()) + " movies (" + names +
                              "); name one as " + Printable(argument) + ":PATH");
        }
        split->inside = movies.front().path;
    }
    // A movie on a disk names its pictures by the disk's own label.
    if (volume->kind() == VolumeKind::DiskImage) {
        const std::string label = volume->label();
        bool mapped = std::any_of(settings.volumes.begin(), settings.volumes.end(),
                                  [&](const auto &v) { return CompareNamesIgnoringCase(v.first, label) == 0; });
        std::error_code ec;
        if (!mapped && !label.empty()) settings.volumes[label] = fs::absolute(split->image, ec).lexically_normal();
    }
    return ServedPath(*split);
}

std::optional<fs::path> FindImageByLabel(std::span<const fs::path> directories, const std::string &label)
{
    for (const fs::path &directory : directories) {
        std::vector<fs::path> candidates;
        std::error_code ec;
        for (fs::directory_iterator it(directory.empty() ? "." : directory, ec), end; !ec && it != end; it.increment(ec))
            if (it->is_regular_file(ec)) candidates.push_back(it->path());
        std::sort(candidates.begin(), candidates.end());
        for (const fs::path &candidate : candidates) {
            if (Volume::Detect(candidate) != VolumeKind::DiskImage) continue;
            try {
                if (CompareNamesIgnoringCase(AdfImage::Load(candidate).label(), label) == 0) return candidate;
            } catch (const AdfError &) {
                // a damaged image is no candidate
            }
        }
    }
    return std::nullopt;
}

std::string Latin1ToUtf8(std::string_view latin1)
{
    std::string out;
    for (char ch : latin1) {
        auto c = uint8_t(ch);
        if (c < 0x80) {
            out += ch;
        } else {
            out += char(0xC0 | c >> 6);
            out += char(0x80 | (c & 0x3F));
        }
    }
    return out;
}

ExtractResult ExtractVolume(const Volume &volume, const std::string &insideGiven, const fs::path &directory,
                            Outputs &outputs, const std::function<void(const std::string &)> &report)
{
    const std::string inside = Trimmed(insideGiven);
    const std::vector<VolumeEntry> entries = volume.list();
    if (!inside.empty()) {
        bool folder = std::any_of(entries.begin(), entries.end(), [&](const VolumeEntry &e) {
            return e.directory && CompareNamesIgnoringCase(e.path, inside) == 0;
        });
        bool anyBelow = std::any_of(entries.begin(), entries.end(), [&](const VolumeEntry &e) { return Below(e.path, inside); });
        if (!folder && !anyBelow) throw VolumeError("no folder " + Quote(inside) + " on " + Quote(volume.label()));
    }

    // Where each volume path goes, built parent by parent from the stored names; a refused
    // folder takes its contents with it.
    std::map<std::string, fs::path> placed{{inside, fs::path()}};
    std::vector<std::string> refused;
    struct Planned {
        const VolumeEntry *entry;
        fs::path target;
    };
    std::vector<Planned> files, folders;
    ExtractResult result;
    for (const VolumeEntry &e : entries) {
        if (!Below(e.path, inside)) continue;
        if (std::any_of(refused.begin(), refused.end(), [&](const std::string &r) { return Below(e.path, r); })) continue;
        const std::string name = NameOf(e);
        const std::string parent = e.path.size() > name.size() ? e.path.substr(0, e.path.size() - name.size() - 1) : "";
        const char *why = Unusable(name);
        auto where = placed.find(parent);
        if (where == placed.end()) {
            // An archive may list a file without its folders, and they need the same checks.
            fs::path made;
            size_t start = inside.empty() ? 0 : inside.size() + 1;
            while (start < parent.size()) {
                size_t end = std::min(parent.find('/', start), parent.size());
                std::string part = parent.substr(start, end - start);
                start = end + 1;
                if (part.empty()) continue;
                if (const char *bad = Unusable(part)) why = bad;
                made /= Latin1ToUtf8(part);
            }
            if (!why) where = placed.emplace(parent, made).first;
        }
        const std::string shown = Printable(Latin1ToUtf8(e.path));
        if (why) {
            report("refused " + Quote(Latin1ToUtf8(e.path)) + ": " + why + " cannot be a file here");
            refused.push_back(e.path);
            ++result.skipped;
            continue;
        }
        if (e.link) {
            report("skipped link \"" + shown + "\"" + (e.linkTarget.empty() ? "" : " -> " + Quote(Latin1ToUtf8(e.linkTarget))));
            ++result.skipped;
            continue;
        }
        fs::path relative = where->second / Latin1ToUtf8(name);
        if (e.directory) {
            placed[e.path] = relative;
            folders.push_back({&e, directory / relative});
        } else {
            files.push_back({&e, directory / relative});
        }
    }

    std::vector<fs::path> targets;
    for (const Planned &f : files) targets.push_back(f.target);
    outputs.claim(targets, directory.string());
    std::error_code ec;
    fs::create_directories(directory, ec);
    for (const Planned &d : folders) {
        fs::create_directories(d.target, ec);
        if (ec) throw VolumeError("cannot make folder " + Quote(d.target.string()) + ": " + ec.message());
        ++result.directories;
    }
    for (const Planned &f : files) {
        fs::create_directories(f.target.parent_path(), ec);
        VolumeFile file;
        try {
            file = volume.open(f.entry->path);
        } catch (const VolumeError &e) {
            throw VolumeError(Quote(Latin1ToUtf8(f.entry->path)) + ": " + e.what());
        }
        outputs.write(f.target, [&](const fs::path &temporary) {
            std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
            if (file.descriptor) {
                char buffer[65536];
                ssize_t n;
                while ((n = ::read(file.descriptor.get(), buffer, sizeof buffer)) > 0) out.write(buffer, n);
            } else {
                out.write(reinterpret_cast<const char *>(file.bytes.data()), std::streamsize(file.bytes.size()));
            }
            if (!out.flush()) throw std::runtime_error("cannot write " + temporary.string());
        });
        SetModified(f.target, f.entry->modified);
        ++result.files;
    }
    // Folders last and deepest first: writing into a folder changes its time.
    for (auto it = folders.rbegin(); it != folders.rend(); ++it) SetModified(it->target, it->entry->modified);
    return result;
}

std::vector<std::string> ListVolume(const Volume &volume)
{
    std::vector<std::string> lines;
    for (const VolumeEntry &e : volume.list()) {
        std::tm t{};
        std::time_t when = e.modified;
        gmtime_r(&when, &t);
        char date[32];
        std::strftime(date, sizeof date, "%Y/%m/%d  %H:%M:%S", &t);
        std::string size = e.directory || e.link ? "" : std::to_string(e.size);
        std::string line = std::string(std::max<size_t>(10, size.size()) - size.size(), ' ') + size + "  " + date + "  " +
                           Printable(Latin1ToUtf8(e.path));
        if (e.directory) line += "/";
        if (e.link) line += " -> " + Printable(Latin1ToUtf8(e.linkTarget));
        lines.push_back(std::move(line));
    }
    return lines;
}

}  // namespace qfhost
