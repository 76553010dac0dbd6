#include "qfhost/volume_files.hpp"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <set>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "qfhost/adf.hpp"
#include "qfhost/dms.hpp"
#include "qfhost/name_rules.hpp"
#include "qfhost/volume_member.hpp"
#include "qfutil/output.hpp"
#include "qfutil/printable.hpp"
#include "volume_open.hpp"
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

}  // namespace

namespace {

// The member of volume named `path` (case ignored) when it is itself a disk image or archive.
bool IsContainerMember(const Volume &volume, const std::string &path)
{
    if (path.empty()) return false;
    for (const std::string &part : {std::string("."), std::string("..")})
        if (path == part || path.starts_with(part + "/") || path.ends_with("/" + part) ||
            path.find("/" + part + "/") != std::string::npos)
            return false;  // the served path would leave the container
    bool container = false;
    volume.walk([&](const VolumeEntry &e) {
        if (e.directory || e.link || !e.damage.empty() || CompareNamesIgnoringCase(e.path, path) != 0) return true;
        try {
            container = DetectContent(volume.head(e, size_t(1) << 16), e.size).has_value();
        } catch (const VolumeError &) {
            // unreadable: not a way in
        }
        return false;
    });
    return container;
}

// The drive name of the partition of a hard-disk image that segment names (by drive name or
// label); the segment itself for one named that cannot be read, so that opening it says why.
std::optional<std::string> PartitionNamed(const Volume &volume, const std::string &segment)
{
    if (segment.empty() || segment.find('/') != std::string::npos || !volume.disk() ||
        volume.disk()->partitions().empty())
        return std::nullopt;
    try {
        std::unique_ptr<Volume> part = volume.partition(segment);
        if (!part) return std::nullopt;
        return part->disk() ? part->disk()->drive() : segment;
    } catch (const VolumeError &) {
        return segment;
    }
}

// From a host container on: each next segment that names a container member goes into the image;
// with `whole`, so does a last segment that names one. A segment naming a partition of a hard-disk
// image selects it, served by its drive name (work.hdf:Work:x is /work.hdf/DH0/x).
ImagePath Descend(ImagePath split, const std::string &separators, bool whole)
{
    std::string image = split.image.string();
    bool partitioned = false;
    while (!split.inside.empty()) {
        std::unique_ptr<Volume> volume;
        try {
            volume = Volume::Open(image);
        } catch (const VolumeError &) {
            break;  // opening the whole says why
        }
        const size_t cut = split.inside.find_first_of(separators);
        if (!partitioned && (whole || cut != std::string::npos)) {
            const std::string segment = Trimmed(split.inside.substr(0, cut));
            if (std::optional<std::string> drive = PartitionNamed(*volume, segment)) {
                image += "/" + *drive;
                split.given = split.shown() + ":" + segment;
                split.image = image;
                split.inside = cut == std::string::npos ? "" : split.inside.substr(cut + 1);
                partitioned = true;
                continue;
            }
        }
        partitioned = false;
        bool deeper = false;
        for (size_t cut = split.inside.find_first_of(separators); !deeper;
             cut = split.inside.find_first_of(separators, cut + 1)) {
            const bool last = cut == std::string::npos;
            if (last && !whole) break;
            const std::string member = Trimmed(split.inside.substr(0, cut));
            if (IsContainerMember(*volume, member)) {
                image += "/" + member;
                split.given = split.shown() + ":" + member;
                split.image = image;
                split.inside = last ? "" : split.inside.substr(cut + 1);
                deeper = true;
            }
            if (last) break;
        }
        if (!deeper) break;
    }
    split.inside = Trimmed(split.inside);
    return split;
}

}  // namespace

std::optional<ImagePath> SplitImagePath(const std::string &argument)
{
    if (IsImageFile(argument)) return ImagePath{argument, {}, {}};
    for (size_t colon = argument.find(':'); colon != std::string::npos; colon = argument.find(':', colon + 1))
        if (colon > 0 && IsImageFile(argument.substr(0, colon)))
            return Descend(ImagePath{argument.substr(0, colon), argument.substr(colon + 1), {}}, ":", true);
    return std::nullopt;
}

std::optional<ImagePath> SplitServedPath(const std::string &path)
{
    for (size_t slash = path.rfind('/'); slash != std::string::npos && slash > 0; slash = path.rfind('/', slash - 1))
        if (IsImageFile(path.substr(0, slash))) {
            ImagePath split =
                Descend(ImagePath{path.substr(0, slash), Trimmed(path.substr(slash + 1)), {}}, "/", false);
            split.given.clear();
            return split;
        }
    return std::nullopt;
}

std::string ServedPath(const ImagePath &file)
{
    std::error_code ec;
    return fs::absolute(file.image, ec).lexically_normal().string() + "/" + file.inside;
}

fs::path HostFileOf(const std::string &argument)
{
    std::error_code ec;
    if (fs::exists(argument, ec)) return argument;
    std::optional<ImagePath> split = SplitImagePath(argument);
    // Inside containers (set.zip/Disk1.adz): the host file the way starts from.
    fs::path host = split ? split->image : fs::path(argument);
    while (!fs::exists(host, ec) && !host.filename().empty()) host = host.parent_path();
    return fs::is_regular_file(host, ec) ? host : fs::path(argument);
}

bool HasMovieSignature(std::span<const uint8_t> head) { return QfIsMovieSignature(head.data(), head.size()); }

std::vector<MovieOnVolume> FindMovies(const Volume &volume)
{
    std::vector<MovieOnVolume> movies;
    volume.walk([&](const VolumeEntry &e) {
        if (e.directory || e.link || !e.damage.empty() || e.size < QF_SIGNATURE_LENGTH) return true;
        std::vector<uint8_t> head;
        try {
            head = volume.head(e, QF_SIGNATURE_LENGTH);
        } catch (const VolumeError &) {
            return true;  // unreadable here: not a movie anyone can play
        }
        if (HasMovieSignature(head)) movies.push_back({e.path, e.size});
        return true;
    });
    return movies;
}

bool NamesMovie(const ImagePath &file)
{
    const std::string inside = Trimmed(file.inside);
    if (inside.empty()) return false;
    bool movie = false;
    std::unique_ptr<Volume> volume = Volume::Open(file.image);
    volume->walk([&](const VolumeEntry &e) {
        if (e.directory || e.link || CompareNamesIgnoringCase(e.path, inside) != 0) return true;
        try {
            movie = HasMovieSignature(volume->head(e, QF_SIGNATURE_LENGTH));
        } catch (const VolumeError &) {
            // unreadable: extracting the file says why
        }
        return false;
    });
    return movie;
}

std::string FileSystemName(const fs::path &location)
{
    switch (Volume::Detect(location).value_or(VolumeKind::Directory)) {
    case VolumeKind::Directory: return "directory";
    case VolumeKind::Archive:
    case VolumeKind::DiskImage: break;
    }
    return Volume::Open(location)->fileSystem();
}

std::string ResolveMovieArgument(const std::string &argument, HostSettings &)
{
    std::optional<ImagePath> split = SplitImagePath(argument);
    if (!split) return argument;
    std::unique_ptr<Volume> volume = Volume::Open(split->image);
    if (split->inside.empty()) {
        std::vector<MovieOnVolume> movies = FindMovies(*volume);
        if (movies.empty()) throw VolumeError(qfutil::Quoted(argument) + " holds no movie");
        if (movies.size() > 1) {
            std::string names;
            for (const MovieOnVolume &m : movies) names += (names.empty() ? "" : ", ") + qfutil::Quoted(m.path);
            throw VolumeError(qfutil::Quoted(argument) + " holds " + std::to_string(movies.size()) + " movies (" +
                              names + "); name one as " + qfutil::Printable(argument) + ":PATH");
        }
        split->inside = movies.front().path;
    }
    return ServedPath(*split);
}

namespace {

// A compressed floppy in the label search is expanded no further than the largest floppy, so a
// bomb among the files beside a movie costs no more than a disk would.
constexpr uint64_t packedFloppyCap = uint64_t(2) * amigados::floppyBlocksDD * amigados::blockSize;

// The place on a disk image candidate that is labelled `label`: the image, or for a hard-disk image
// the partition of that drive name or label. Damaged candidates are none.
std::optional<fs::path> LabelledPlace(const fs::path &candidate, const std::string &label)
{
    try {
        std::vector<uint8_t> head(64);
        {
            std::ifstream in(candidate, std::ios::binary);
            in.read(reinterpret_cast<char *>(head.data()), std::streamsize(head.size()));
            head.resize(size_t(in.gcount()));
        }
        if (PackingOf(head) == Packing::Stream) {
            VolumeLimits limits;
            limits.nest.expandedBytes = std::min(limits.nest.expandedBytes, packedFloppyCap);
            std::unique_ptr<Volume> volume = Volume::Open(candidate, limits);
            if (volume->kind() == VolumeKind::DiskImage && CompareNamesIgnoringCase(volume->label(), label) == 0)
                return candidate;
            return std::nullopt;
        }
        AdfImage image = AdfImage::Load(candidate);
        if (image.partitions().empty())
            return CompareNamesIgnoringCase(image.label(), label) == 0 ? std::optional(candidate) : std::nullopt;
        if (std::optional<AdfImage> part = image.partition(label)) return candidate / part->drive();
    } catch (const AdfError &) {
        // a damaged image is no candidate
    } catch (const DmsError &) {
        // nor a damaged archive of one
    } catch (const VolumeError &) {
        // nor a damaged or oversized compressed one
    }
    return std::nullopt;
}

}  // namespace

std::optional<fs::path> FindImageByLabel(std::span<const fs::path> directories, const std::string &label)
{
    for (const fs::path &directory : directories) {
        std::vector<fs::path> candidates;
        std::error_code ec;
        for (fs::directory_iterator it(directory.empty() ? "." : directory, ec), end; !ec && it != end;
             it.increment(ec))
            if (it->is_regular_file(ec)) candidates.push_back(it->path());
        std::sort(candidates.begin(), candidates.end());
        for (const fs::path &candidate : candidates)
            if (Volume::Detect(candidate) == VolumeKind::DiskImage)
                if (std::optional<fs::path> place = LabelledPlace(candidate, label)) return place;
    }
    return std::nullopt;
}

bool NamesPartition(const Volume &opened, const fs::path &location)
{
    std::error_code ec;
    const AdfImage *disk = opened.disk();
    return disk && !disk->drive().empty() && !fs::exists(location, ec) &&
           CompareNamesIgnoringCase(location.filename().string(), disk->drive()) == 0;
}

std::optional<fs::path> PartitionFor(const Volume &opened, const fs::path &location, const std::string &volume)
{
    const AdfImage *disk = opened.disk();
    if (!disk || disk->partitions().empty()) return std::nullopt;
    // The partitions beside a partition are its parent's.
    const fs::path whole = NamesPartition(opened, location) ? location.parent_path() : location;
    try {
        std::unique_ptr<Volume> part = opened.partition(volume);
        if (!part) return std::nullopt;
        return whole / part->disk()->drive();
    } catch (const VolumeError &) {
        return whole / volume;  // named, but unreadable: opening it says why
    }
}

std::optional<fs::path> FindFolderByName(const fs::path &directory, const std::string &volume)
{
    if (volume.empty()) return std::nullopt;
    std::optional<std::string> match;
    std::error_code ec;
    for (fs::directory_iterator it(directory.empty() ? "." : directory, ec), end; !ec && it != end; it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (CompareNamesIgnoringCase(name, volume) != 0 || !it->is_directory(ec)) continue;
        if (name == volume) return it->path();
        if (!match || name < *match) match = name;
    }
    if (!match) return std::nullopt;
    return (directory.empty() ? fs::path(".") : directory) / *match;
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

std::string EntryUtf8(const VolumeEntry &entry, std::string_view text)
{
    return entry.utf8 ? std::string(text) : Latin1ToUtf8(text);
}

namespace {

// `path` strictly below `folder`, as the volume spells them ("" is the top folder's empty-named child).
bool Inside(const std::string &path, const std::string &folder)
{
    return path.size() > folder.size() && path[folder.size()] == '/' && path.compare(0, folder.size(), folder) == 0;
}

// Folders below the output folder, opened one component at a time with O_NOFOLLOW, so a symbolic
// link already there is never followed. The folders of the last path stay open for the next one
// (a walk goes depth first), up to a bound that keeps clear of the descriptor limit.
class FolderOpener {
public:
    explicit FolderOpener(int root) : root_(root) {}

    // The folder's descriptor (made when `make`), or -1 with why set.
    int open(const fs::path &relative, bool make, std::string &why)
    {
        std::vector<std::string> parts;
        for (const fs::path &part : relative) parts.push_back(part.string());
        size_t keep = 0;
        while (keep < open_.size() && keep < parts.size() && open_[keep].first == parts[keep]) ++keep;
        open_.resize(keep);
        int at = keep ? open_.back().second.get() : root_;
        FileDescriptor deep;  // past the bound, each level closes the one above it
        for (size_t i = keep; i < parts.size(); ++i) {
            if (make && ::mkdirat(at, parts[i].c_str(), 0777) != 0 && errno != EEXIST) {
                why = std::strerror(errno);
                return -1;
            }
            FileDescriptor next(::openat(at, parts[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!next) {
                struct stat info {};
                bool link = ::fstatat(at, parts[i].c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode);
                why = link ? "a symbolic link stands in its way in the output folder" : std::strerror(errno);
                return -1;
            }
            at = next.get();
            if (open_.size() < 64 && open_.size() == i) open_.emplace_back(parts[i], std::move(next));
            else deep = std::move(next);
        }
        deep_ = std::move(deep);
        return at;
    }

private:
    int root_;
    std::vector<std::pair<std::string, FileDescriptor>> open_;
    FileDescriptor deep_;
};

// A name the output's file system refused, made printable and short: the characters other systems
// refuse ('*', '?', ':' ...) and control characters become '_', and it is cut to 200 bytes (room
// for a temporary name beside it) at a character's start. Empty when that changes nothing.
std::string Replacement(const std::string &name)
{
    std::string out;
    for (char ch : name) {
        auto c = uint8_t(ch);
        out += c < 0x20 || c == 0x7F || std::strchr("\\:*?\"<>|", ch) ? '_' : ch;
    }
    if (out.size() > 200) {
        size_t cut = 200;
        while (cut > 0 && (uint8_t(out[cut]) & 0xC0) == 0x80) --cut;
        out.resize(cut);
    }
    return out == name ? "" : out;
}

// "Tools/Prog: 3 of 27 blocks unreadable (bytes 1464–2951 written as zeros)": the ranges inclusive,
// as a hex editor shows them.
std::string SalvageLine(const std::string &path, const AdfSalvage &s)
{
    std::string ranges;
    for (auto [from, to] : s.zeros)
        ranges += (ranges.empty() ? "" : ", ") + std::to_string(from) + "\u2013" + std::to_string(to - 1);
    return qfutil::Printable(Latin1ToUtf8(path)) + ": " + std::to_string(s.unreadable) + " of " +
           std::to_string(s.blocks) + (s.blocks == 1 ? " block" : " blocks") + " unreadable (bytes " + ranges +
           " written as zeros)";
}

void WriteAll(int fd, std::span<const uint8_t> bytes)
{
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw std::runtime_error(std::strerror(n < 0 ? errno : ENOSPC));
        bytes = bytes.subspan(size_t(n));
    }
}

}  // namespace

ExtractResult ExtractVolume(const Volume &volume, const std::string &insideGiven, const fs::path &directory,
                            qfutil::Outputs &outputs, const std::function<void(const std::string &)> &report,
                            bool salvage)
{
    const std::string inside = Trimmed(insideGiven);
    ExtractResult result;
    auto failed = [&](const std::string &line) {
        report(line);
        ++result.failed;
    };

    // The plan: where each entry goes, built parent by parent from the stored names; a refused
    // folder takes its contents with it.
    struct Planned {
        VolumeEntry entry;
        fs::path relative;
    };
    std::vector<Planned> files, folders;
    std::map<std::string, fs::path> placed{{inside, fs::path()}};
    std::map<std::string, unsigned> children;  // entries seen so far in each folder, for positions
    std::vector<std::string> refused;
    bool found = inside.empty();
    std::string walkError;
    try {
        volume.walk([&](const VolumeEntry &e) {
            if (!inside.empty()) {
                const bool named = CompareNamesIgnoringCase(e.path, inside) == 0;
                if (named && e.directory) found = true;
                if (named && !e.directory && !e.link && !found) {
                    // IMAGE:path of a file: that file alone, into the folder.
                    found = true;
                    const std::string name = NameOf(e);
                    if (const char *why = Unusable(name)) {
                        report("refused " + qfutil::Quoted(EntryUtf8(e, e.path)) + ": " + why +
                               " cannot be a file here");
                        ++result.skipped;
                    } else {
                        files.push_back({e, EntryUtf8(e, name)});
                    }
                    return true;
                }
                if (!Below(e.path, inside)) return true;
                found = true;
            }
            const std::string name = NameOf(e);
            const std::string parent =
                e.path.size() > name.size() ? e.path.substr(0, e.path.size() - name.size() - 1) : "";
            const unsigned position = ++children[parent];
            if (std::any_of(refused.begin(), refused.end(), [&](const std::string &r) { return Inside(e.path, r); }))
                return true;
            if (!e.damage.empty()) {
                ++result.damaged;
                failed(e.damage);
                return true;
            }
            if (name.empty()) {
                // Damage no Amiga file system makes: this entry alone cannot come out.
                failed("entry " + std::to_string(position) + " of " +
                       (parent.empty() ? std::string("the top folder") : qfutil::Quoted(EntryUtf8(e, parent))) +
                       " has an empty name");
                if (e.directory) refused.push_back(e.path);
                return true;
            }
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
                    made /= EntryUtf8(e, part);
                }
                if (!why) where = placed.emplace(parent, made).first;
            }
            const std::string shown = qfutil::Printable(EntryUtf8(e, e.path));
            if (why) {
                report("refused " + qfutil::Quoted(EntryUtf8(e, e.path)) + ": " + why + " cannot be a file here");
                refused.push_back(e.path);
                ++result.skipped;
                return true;
            }
            if (e.link) {
                report("skipped link \"" + shown + "\"" +
                       (e.linkTarget.empty() ? "" : " -> " + qfutil::Quoted(EntryUtf8(e, e.linkTarget))));
                ++result.skipped;
                return true;
            }
            fs::path relative = where->second / EntryUtf8(e, name);
            if (e.directory) {
                placed[e.path] = relative;
                folders.push_back({e, std::move(relative)});
            } else {
                files.push_back({e, std::move(relative)});
            }
            return true;
        });
    } catch (const VolumeError &e) {
        walkError = e.what();  // what was walked is still extracted
    }
    if (!found && walkError.empty())
        throw VolumeError("no folder or file " + qfutil::Quoted(inside) + " on " + qfutil::Quoted(volume.label()));

    std::vector<fs::path> targets;
    for (const Planned &f : files) targets.push_back(directory / f.relative);
    outputs.claim(targets, directory.string());
    std::error_code ec;
    fs::create_directories(directory, ec);
    FileDescriptor root(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!root)
        throw VolumeError("cannot open folder " + qfutil::Quoted(directory.string()) + ": " + std::strerror(errno));
    FolderOpener opener(root.get());
    std::string why;
    // Folders kept under another name, and where a planned path lands because of them.
    std::map<fs::path, fs::path> moved;
    auto landing = [&](const fs::path &relative) {
        fs::path out, planned;
        for (const fs::path &part : relative) {
            planned /= part;
            auto it = moved.find(planned);
            out = it != moved.end() ? it->second : out / part;
        }
        return out;
    };
    auto keptAs = [&](const std::string &shown, const std::string &other, const std::string &cause) {
        report("kept " + shown + " as " + qfutil::Quoted(other) + ": the output folder refuses its name (" + cause +
               ")");
    };
    // A folder made a component at a time (those the listing never gave too): one the file system
    // refuses is made under its replacement, and what lies inside follows it.
    auto makeFolder = [&](const fs::path &planned, std::string &cause) {
        fs::path done;
        int fd = opener.open(fs::path(), true, cause);
        for (const fs::path &part : planned) {
            done /= part;
            const fs::path at = landing(done);
            if ((fd = opener.open(at, true, cause)) >= 0) continue;
            const std::string other = Replacement(at.filename().string());
            std::string again;
            if (other.empty() || (fd = opener.open(at.parent_path() / other, true, again)) < 0) return -1;
            moved[done] = at.parent_path() / other;
            keptAs(qfutil::Quoted(done.string()), other, cause);
        }
        return fd;
    };
    for (const Planned &d : folders) {
        if (makeFolder(d.relative, why) < 0) {
            failed("cannot extract " + qfutil::Quoted(EntryUtf8(d.entry, d.entry.path)) + ": " + why);
            continue;
        }
        ++result.directories;
    }

    // Files this extraction made, by identity: a name that lands on one of them (a file system that
    // ignores case, or a name twice in one folder) must not replace it.
    std::set<std::pair<dev_t, ino_t>> made;
    for (const Planned &f : files) {
        const std::string shown = qfutil::Quoted(EntryUtf8(f.entry, f.entry.path));
        int folder = makeFolder(f.relative.parent_path(), why);
        const fs::path relative = landing(f.relative);
        const fs::path target = directory / relative;
        if (folder < 0) {
            failed("cannot extract " + shown + ": " + why);
            continue;
        }
        std::string name = relative.filename().string();
        struct stat there {};
        if (::fstatat(folder, name.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(there.st_mode)) {
            failed("cannot extract " + shown + ": a symbolic link stands in its way in the output folder");
            continue;
        }
        if (made.count({there.st_dev, there.st_ino})) {
            std::string kept;
            for (int n = 2; kept.empty(); ++n) {
                std::string candidate = name + "~" + std::to_string(n);
                if (::fstatat(folder, candidate.c_str(), &there, AT_SYMLINK_NOFOLLOW) != 0) kept = candidate;
            }
            report("kept " + shown + " as " + qfutil::Quoted(kept) +
                   ": this folder cannot hold its name beside a file already extracted");
            name = kept;
        }
        // The volume's message names the file. Salvaged from a disk image, a file keeps every block
        // that can be read, zeros in place of the rest; from an archive, its bytes before the damage.
        std::string damage;
        auto write = [&](const std::string &as) {
            outputs.writeAt(folder, as, target.parent_path() / as, [&](int fd) {
                auto sink = [&](std::span<const uint8_t> bytes) { WriteAll(fd, bytes); };
                if (salvage && volume.disk() && f.entry.id != 0) {
                    AdfSalvage s;
                    try {
                        s = volume.disk()->salvage(uint32_t(f.entry.id), f.entry.path, sink);
                    } catch (const AdfError &e) {
                        throw VolumeError(e.what());
                    }
                    if (s.unreadable) damage = SalvageLine(f.entry.path, s);
                    else if (!s.listDamage.empty()) damage = s.listDamage + " (each data block was found by the last)";
                } else {
                    try {
                        volume.copy(f.entry, sink);
                    } catch (const VolumeError &e) {
                        damage = std::string(e.what()) + " (its readable part was kept)";
                        if (!salvage) throw;
                    }
                }
                struct timespec times[2] = {{0, UTIME_OMIT}, {f.entry.modified, 0}};
                ::futimens(fd, times);
                struct stat info {};
                if (::fstat(fd, &info) == 0) made.insert({info.st_dev, info.st_ino});
            });
        };
        try {
            try {
                write(name);
            } catch (const VolumeError &) {
                throw;
            } catch (const std::runtime_error &e) {
                // Written as another name only when the file system refused this one.
                const std::string other = Replacement(name);
                if (other.empty()) throw;
                try {
                    write(other);
                } catch (const std::runtime_error &) {
                    throw e;
                }
                keptAs(shown, other, e.what());
            }
        } catch (const VolumeError &e) {
            ++result.damaged;
            failed(e.what());
            continue;
        } catch (const std::runtime_error &e) {
            failed("cannot extract " + shown + ": " + e.what());
            continue;
        }
        if (!damage.empty()) {
            ++result.damaged, ++result.salvaged;
            failed(damage);
            continue;
        }
        ++result.files;
    }
    // Folders last and deepest first: writing into a folder changes its time.
    for (auto it = folders.rbegin(); it != folders.rend(); ++it) {
        const fs::path relative = landing(it->relative);
        int parent = opener.open(relative.parent_path(), false, why);
        struct timespec times[2] = {{0, UTIME_OMIT}, {it->entry.modified, 0}};
        if (parent >= 0) ::utimensat(parent, relative.filename().c_str(), times, AT_SYMLINK_NOFOLLOW);
    }
    if (!walkError.empty()) failed(walkError);
    return result;
}

std::vector<std::string> ListVolume(const Volume &volume)
{
    std::vector<std::string> lines;
    volume.walk([&](const VolumeEntry &e) {
        std::tm t{};
        std::time_t when = e.modified;
        gmtime_r(&when, &t);
        char date[32];
        std::strftime(date, sizeof date, "%Y/%m/%d  %H:%M:%S", &t);
        std::string size = e.directory || e.link ? "" : std::to_string(e.size);
        std::string line = std::string(std::max<size_t>(10, size.size()) - size.size(), ' ') + size + "  " + date +
                           "  " + qfutil::Printable(EntryUtf8(e, e.path));
        if (e.directory) line += "/";
        if (e.link) line += " -> " + qfutil::Printable(EntryUtf8(e, e.linkTarget));
        if (!e.damage.empty()) line += "  (unreadable: " + qfutil::Printable(e.damage) + ")";
        lines.push_back(std::move(line));
        return true;
    });
    return lines;
}

}  // namespace qfhost
