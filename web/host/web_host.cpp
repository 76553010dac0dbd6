// The plug-in's host inside a web page. Files are what the page handed in, held in memory under
// paths like "/movie/x.qf" and "/volumes/0/Pictures/Landscape". Names follow the stand-in host's
// rules (shared code): case-insensitive lookup, joins that refuse to climb out, and a requester
// that only answers volumes the page already has a folder for. An unanswered volume is cancelled
// and recorded, so the page can ask the user and open again: the plug-in's requester is
// synchronous and a browser's folder picker is not.
//
// A volume is any list of files under its root, or an ADF image mounted at a root: a file under
// that root is read from the image when it is opened, looked up as AmigaDOS looks names up.
#include <emscripten/emscripten.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "qfhost/name_rules.hpp"
#include "quillframer/host_api.h"
#include "quillframer/movie_format.h"
#include "web_disks.hpp"
#include "web_facts.hpp"

namespace {

using qfhost::CompareNamesIgnoringCase;

struct MemoryFile {
    std::string path;
    std::vector<uint8_t> bytes;
};

struct OpenedFile {
    const MemoryFile *file = nullptr;  // null once closed
    int64_t position = 0;              // may stand past the end
};

enum FailureKind {
    FailureNone = 0,
    FailureMovieFile = 1,
    FailureBadSignature = 2,
    FailureReferencedFile = 3,
    FailureVolumeWanted = 4,  // a volume the page has no folder for yet
    FailureEscapingPath = 5,
    FailureMalformed = 6,
};

struct Failure {
    int kind = FailureNone;
    std::string text;
    std::string volume;
};

// What one referenced file turned out to be, for the page's list of assets.
struct FoundAsset {
    std::string asked;  // the joined path the plug-in asked for
    std::string found;  // the file it got, after the case-insensitive lookup
    std::string form;   // the IFF FORM type, "" if none
    uint32_t size = 0;
};

std::vector<MemoryFile> files;
std::deque<MemoryFile> diskFiles;  // read from images while a movie is open; a deque keeps them in place
std::string diskMessage;
std::vector<OpenedFile> opened;                               // handle = index + 1
std::vector<std::pair<std::string, std::string>> answers;     // volume -> root directory
std::vector<FoundAsset> found;
Failure failure;
std::string moviePath;
const char *badBuffer = nullptr;  // a refused join leaves this buffer bad for the next open

HostBase base{};
HostFunction fileTable[HOST_FILE_TABLE_SIZE]{};
HostFunction utilityTable[HOST_UTILITY_TABLE_SIZE]{};
HostFunction requesterTable[HOST_REQUESTER_TABLE_SIZE]{};
PluginInfo pluginInfo{};

MovieHandle *movie = nullptr;
StreamDescriptor descriptor{};
std::vector<uint32_t> pixels;
std::vector<int16_t> samples(QF_AUDIO_BYTES_PER_PACKET / 2);
PacketRecord packet{};
std::string textResult;  // backs the strings handed to the page

void Fail(int kind, std::string text, std::string volume = {})
{
    failure = Failure{kind, std::move(text), std::move(volume)};
}

std::string Quote(std::string_view s) { return "\"" + std::string(s) + "\""; }

// The volume whose root starts path, or "".
std::string VolumeOf(std::string_view path)
{
    for (const auto &[volume, root] : answers)
        if (path.substr(0, root.size()) == root && (path.size() == root.size() || path[root.size()] == '/'))
            return volume;
    return {};
}

std::vector<std::string_view> Split(std::string_view path)
{
    std::vector<std::string_view> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string_view::npos) end = path.size();
        if (end > start) parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

// The file at path, looked up component by component ignoring case where the exact name does
// not exist, as the stand-in host does on a disk. Folders are the prefixes of the files' paths.
const MemoryFile *Lookup(std::string_view path, bool &isFolder)
{
    isFolder = false;
    for (const MemoryFile &f : files)
        if (f.path == path) return &f;
    std::string here;
    const std::vector<std::string_view> parts = Split(path);
    for (size_t level = 0; level < parts.size(); ++level) {
        std::vector<std::string> names;
        for (const MemoryFile &f : files) {
            std::string_view p = f.path;
            if (p.size() <= here.size() + 1 || p.substr(0, here.size()) != here || p[here.size()] != '/') continue;
            std::string_view rest = p.substr(here.size() + 1);
            std::string name(rest.substr(0, rest.find('/')));
            bool known = false;
            for (const std::string &n : names) known = known || n == name;
            if (!known) names.push_back(name);
        }
        auto match = qfhost::FindNameIgnoringCase(names, parts[level]);
        if (!match) return nullptr;
        here += "/" + names[*match];
    }
    for (const MemoryFile &f : files)
        if (f.path == here) return &f;
    isFolder = !parts.empty();
    return nullptr;
}

OpenedFile *FileOf(HostFile handle)
{
    uintptr_t index = reinterpret_cast<uintptr_t>(handle);
    if (index == 0 || index > opened.size() || !opened[index - 1].file) return nullptr;
    return &opened[index - 1];
}

void RecordOpenFailure(const std::string &name, const char *reason)
{
    if (name == moviePath) {
        Fail(FailureMovieFile, "cannot open the movie " + Quote(name) + ": " + reason);
        return;
    }
    std::string volume = VolumeOf(name);
    std::string inside = volume.empty() ? name : name.substr(name.find('/', 1 + name.find('/', 1)) + 1);
    if (volume.empty())
        Fail(FailureReferencedFile, "cannot open the referenced file " + Quote(name) + ": " + reason);
    else
        Fail(FailureReferencedFile,
             "a file the movie needs is missing: " + Quote(inside) + " on Amiga volume " + Quote(volume + ":") + " (" +
                 reason + ")",
             volume);
}

HostFile OpenFile(const char *name, int32_t mode)
{
    if (!name) return nullptr;
    if (badBuffer && badBuffer == name) {  // the join already said why
        badBuffer = nullptr;
        return nullptr;
    }
    badBuffer = nullptr;
    if (mode != 0) {
        RecordOpenFailure(name, "only reading is supported");
        return nullptr;
    }
    const MemoryFile *f = nullptr;
    if (qfweb::OnDiskImage(name)) {
        MemoryFile read;
        std::string why;
        if (!qfweb::ReadFromDiskImage(name, read.bytes, read.path, why)) {
            RecordOpenFailure(name, why.c_str());
            return nullptr;
        }
        auto known = std::find_if(diskFiles.begin(), diskFiles.end(), [&](const MemoryFile &d) { return d.path == read.path; });
        f = known != diskFiles.end() ? &*known : &diskFiles.emplace_back(std::move(read));
    } else {
        bool isFolder = false;
        f = Lookup(name, isFolder);
        if (!f) {
            RecordOpenFailure(name, isFolder ? "it is a folder" : "no such file");
            return nullptr;
        }
    }
    if (std::string_view(name) != moviePath) {
        FoundAsset asset{name, f->path, "", static_cast<uint32_t>(f->bytes.size())};
        if (f->bytes.size() >= 12 && std::memcmp(f->bytes.data(), "FORM", 4) == 0)
            asset.form.assign(reinterpret_cast<const char *>(f->bytes.data()) + 8, 4);
        found.push_back(std::move(asset));
    }
    for (size_t i = 0; i < opened.size(); ++i)
        if (!opened[i].file) {
            opened[i] = OpenedFile{f, 0};
            return reinterpret_cast<HostFile>(i + 1);
        }
    opened.push_back(OpenedFile{f, 0});
    return reinterpret_cast<HostFile>(opened.size());
}

HostFile OpenFileTagged(const char *name, int32_t mode, const uint32_t *) { return OpenFile(name, mode); }

void CloseFile(HostFile handle)
{
    if (OpenedFile *f = FileOf(handle)) f->file = nullptr;
}

int64_t Seek(HostFile handle, int64_t offset, int32_t mode)
{
    OpenedFile *f = FileOf(handle);
    if (!f) return -1;
    int64_t origin;
    switch (mode) {
    case HOST_SEEK_RELATIVE: origin = f->position; break;
    case HOST_SEEK_START: origin = 0; break;
    case HOST_SEEK_END: origin = static_cast<int64_t>(f->file->bytes.size()); break;
    default: return -1;
    }
    int64_t target;
    if (__builtin_add_overflow(origin, offset, &target) || target < 0) return -1;
    f->position = target;
    return target;
}

int32_t Read(HostFile handle, void *buffer, uint32_t count)
{
    OpenedFile *f = FileOf(handle);
    const int64_t size = f ? static_cast<int64_t>(f->file->bytes.size()) : 0;
    if (!f || !buffer || f->position >= size) return 0;
    int64_t got = std::min<int64_t>(count, size - f->position);
    std::memcpy(buffer, f->file->bytes.data() + f->position, static_cast<size_t>(got));
    f->position += got;
    return static_cast<int32_t>(got);
}

int32_t ReadByte(HostFile handle)
{
    OpenedFile *f = FileOf(handle);
    if (!f || f->position >= static_cast<int64_t>(f->file->bytes.size())) return 0;
    return f->file->bytes[static_cast<size_t>(f->position++)];
}

int32_t AtEndOfFile(HostFile handle)
{
    OpenedFile *f = FileOf(handle);
    return !f || f->position >= static_cast<int64_t>(f->file->bytes.size());
}

int32_t JoinPath(char *buffer, const char *component, uint32_t size)
{
    if (!buffer || !component || size == 0) return 0;
    if (badBuffer == buffer) return 0;
    std::string before(buffer, strnlen(buffer, size));
    const char *why = qfhost::AppendPathComponent(buffer, size, component);
    if (!why) return 1;
    badBuffer = buffer;
    std::string volume = VolumeOf(before);
    std::string where = volume.empty() ? "after " + Quote(before) : "on Amiga volume " + Quote(volume + ":");
    Fail(FailureEscapingPath, "the movie names a path that is refused, " + Quote(component) + " " + where + ": " + why,
         volume);
    return 0;
}

int32_t CompareNames(const char *a, const char *b)
{
    if (!a || !b) return a == b ? 0 : 1;
    return CompareNamesIgnoringCase(a, b);
}

int32_t PathRequester(const char *message, char *buffer, uint32_t size, uint32_t)
{
    if (!message || !buffer || size == 0) return 0;
    std::optional<std::string> volume = qfhost::ParseRequesterVolume(message);
    std::string name = volume.value_or(message);
    for (const auto &[v, root] : answers) {
        if (CompareNamesIgnoringCase(v, name) != 0) continue;
        if (root.size() + 1 > size) break;
        std::memcpy(buffer, root.c_str(), root.size() + 1);
        badBuffer = nullptr;
        return 1;
    }
    Fail(FailureVolumeWanted, "the movie needs Amiga volume " + Quote(name + ":"), name);
    return 0;
}

bool StartsLikeMovie(const std::vector<uint8_t> &bytes)
{
    return QfIsMovieSignature(bytes.data(), bytes.size());
}

// The plug-in only says "null"; its first test is the signature, which the host can repeat.
void ExplainFailedOpen()
{
    if (failure.kind != FailureNone) return;
    bool isFolder = false;
    const MemoryFile *f = Lookup(moviePath, isFolder);
    MemoryFile onDisk;
    std::string why;
    if (qfweb::OnDiskImage(moviePath) && qfweb::ReadFromDiskImage(moviePath, onDisk.bytes, onDisk.path, why)) f = &onDisk;
    std::string shown = Quote(moviePath.substr(moviePath.rfind('/') + 1));
    if (!f || !StartsLikeMovie(f->bytes))
        Fail(FailureBadSignature, shown + " is not a Quill Framer movie: it does not start with a movie's signature");
    else
        Fail(FailureMalformed, shown + " is not a valid Quill Framer movie: its command stream is malformed");
}

void CloseMovie()
{
    if (movie) CloseVideo(movie);
    movie = nullptr;
    descriptor = StreamDescriptor{};
    diskFiles.clear();
}

template <typename F>
HostFunction Slot(F f)
{
    return reinterpret_cast<HostFunction>(f);
}

void InitHost()
{
    if (base.version) return;
    fileTable[HOST_FILE_OPEN] = Slot(&OpenFile);
    fileTable[HOST_FILE_CLOSE] = Slot(&CloseFile);
    fileTable[HOST_FILE_SEEK] = Slot(&Seek);
    fileTable[HOST_FILE_READ] = Slot(&Read);
    fileTable[HOST_FILE_READ_BYTE] = Slot(&ReadByte);
    fileTable[HOST_FILE_AT_END] = Slot(&AtEndOfFile);
    fileTable[HOST_FILE_JOIN_PATH] = Slot(&JoinPath);
    fileTable[HOST_FILE_OPEN_TAGGED] = Slot(&OpenFileTagged);
    utilityTable[HOST_UTILITY_COMPARE_NAMES] = Slot(&CompareNames);
    requesterTable[HOST_REQUESTER_PATH] = Slot(&PathRequester);
    base.version = 6;  // as `dump` opens: version 6, open option 0
    base.fileTable = fileTable;
    base.utilityTable = utilityTable;
    base.requesterTable = requesterTable;
    InitPlugin(&pluginInfo, &base);
}

const char *Text(std::string s)
{
    textResult = std::move(s);
    return textResult.c_str();
}

}  // namespace

extern "C" {

// Files: the page copies bytes into a malloc'd block and hands it over with its path.
EMSCRIPTEN_KEEPALIVE int qfw_add_file(const char *path, const uint8_t *bytes, uint32_t size)
{
    if (!path) return 0;
    CloseMovie();  // an open movie's files must not move under it
    for (MemoryFile &f : files)
        if (f.path == path) {
            f.bytes.assign(bytes, bytes + size);
            return 1;
        }
    files.push_back(MemoryFile{path, std::vector<uint8_t>(bytes, bytes + size)});
    return 1;
}

// An ADF image for the volume at root: 1 and its label in qfw_disk_message, or 0 and why not.
EMSCRIPTEN_KEEPALIVE int qfw_add_disk_image(const char *root, const uint8_t *bytes, uint32_t size)
{
    if (!root) return 0;
    CloseMovie();
    return qfweb::MountDiskImage(root, std::vector<uint8_t>(bytes, bytes + size), diskMessage);
}
EMSCRIPTEN_KEEPALIVE const char *qfw_disk_message() { return diskMessage.c_str(); }

// The movies on the image mounted at root, by signature: their count, the first's path in
// qfw_disk_message.
EMSCRIPTEN_KEEPALIVE int qfw_disk_movies(const char *root)
{
    int count = 0;
    for (const std::string &path : qfweb::DiskImageFiles(root ? root : "")) {
        MemoryFile file;
        std::string why;
        if (!qfweb::ReadFromDiskImage(path, file.bytes, file.path, why) || !StartsLikeMovie(file.bytes)) continue;
        if (count++ == 0) diskMessage = path;
    }
    return count;
}

// Forgets every file under prefix (a movie, or a volume's root).
EMSCRIPTEN_KEEPALIVE void qfw_remove_files(const char *prefix)
{
    CloseMovie();
    std::string_view p = prefix ? prefix : "";
    qfweb::ForgetDiskImages(p);
    std::erase_if(files, [&](const MemoryFile &f) { return std::string_view(f.path).substr(0, p.size()) == p; });
}

EMSCRIPTEN_KEEPALIVE void qfw_answer_volume(const char *volume, const char *root)
{
    for (auto &[v, r] : answers)
        if (CompareNamesIgnoringCase(v, volume) == 0) {
            r = root;
            return;
        }
    answers.emplace_back(volume, root);
}

EMSCRIPTEN_KEEPALIVE int qfw_open(const char *path)
{
    InitHost();
    CloseMovie();
    failure = {};
    found.clear();
    badBuffer = nullptr;
    moviePath = path ? path : "";
    descriptor = StreamDescriptor{};
    movie = OpenVideo(moviePath.c_str(), &descriptor);
    for (OpenedFile &f : opened) f.file = nullptr;  // the plug-in closes its files; this is a guard
    if (!movie) {
        ExplainFailedOpen();
        return 0;
    }
    // One spare word so an empty picture still hands the plug-in a real buffer.
    size_t w = descriptor.width > 0 ? static_cast<size_t>(descriptor.width) : 0;
    size_t h = descriptor.height > 0 ? static_cast<size_t>(descriptor.height) : 0;
    pixels.assign(w * h + 1, 0);
    return 1;
}

EMSCRIPTEN_KEEPALIVE void qfw_close() { CloseMovie(); }

EMSCRIPTEN_KEEPALIVE int qfw_failure_kind() { return failure.kind; }
EMSCRIPTEN_KEEPALIVE const char *qfw_failure_text() { return failure.text.c_str(); }
EMSCRIPTEN_KEEPALIVE const char *qfw_failure_volume() { return failure.volume.c_str(); }

EMSCRIPTEN_KEEPALIVE int qfw_width() { return descriptor.width; }
EMSCRIPTEN_KEEPALIVE int qfw_height() { return descriptor.height; }
EMSCRIPTEN_KEEPALIVE uint32_t qfw_duration() { return descriptor.duration; }
EMSCRIPTEN_KEEPALIVE uint32_t qfw_sample_rate() { return descriptor.sampleRate; }
EMSCRIPTEN_KEEPALIVE uint32_t qfw_frames() { return movie ? GetVideoFrames(movie) : 0; }

EMSCRIPTEN_KEEPALIVE int qfw_found_count() { return static_cast<int>(found.size()); }
static const FoundAsset &Found(int i)
{
    static const FoundAsset none;
    return i >= 0 && static_cast<size_t>(i) < found.size() ? found[static_cast<size_t>(i)] : none;
}
EMSCRIPTEN_KEEPALIVE const char *qfw_found_asked(int i) { return Found(i).asked.c_str(); }
EMSCRIPTEN_KEEPALIVE const char *qfw_found_path(int i) { return Found(i).found.c_str(); }
EMSCRIPTEN_KEEPALIVE const char *qfw_found_form(int i) { return Found(i).form.c_str(); }
EMSCRIPTEN_KEEPALIVE uint32_t qfw_found_size(int i) { return Found(i).size; }

EMSCRIPTEN_KEEPALIVE int qfw_scene_count() { return movie ? SceneCount(movie) : 0; }
EMSCRIPTEN_KEEPALIVE uint32_t qfw_scene_start(int scene) { return movie ? SceneStartMs(movie, scene) : 0; }
EMSCRIPTEN_KEEPALIVE int qfw_scene_at(uint32_t ms) { return movie ? SceneAt(movie, ms) : 0; }
EMSCRIPTEN_KEEPALIVE int qfw_asset_count(int kind) { return movie ? AssetCount(movie, kind) : 0; }

// One packet, decoded the way `dump` decodes it: stream 0 into the pixel words, stream 1 into the
// samples. Returns NextPacket's code.
EMSCRIPTEN_KEEPALIVE int qfw_next()
{
    if (!movie) return -1;
    packet = PacketRecord{};
    int32_t code = NextPacket(movie, &packet);
    if (code != 0) return code;
    if (packet.streamIndex == 0) {
        void *buffers[1] = {pixels.data()};
        int32_t pitches[1] = {0};
        VideoFrameRecord frame{};
        frame.buffers = buffers;
        frame.pitches = pitches;
        DecodeVideoFrame(movie, packet.payload, &frame);
    } else if (packet.streamIndex == 1) {
        AudioFrameRecord audio{};
        audio.buffer = samples.data();
        DecodeAudioFrame(movie, packet.payload, &audio);
    }
    FreePacket(packet.payload);
    return 0;
}

EMSCRIPTEN_KEEPALIVE int qfw_packet_stream() { return packet.streamIndex; }
EMSCRIPTEN_KEEPALIVE double qfw_packet_time() { return packet.time; }
EMSCRIPTEN_KEEPALIVE const uint32_t *qfw_pixels() { return pixels.data(); }
EMSCRIPTEN_KEEPALIVE const int16_t *qfw_samples() { return samples.data(); }
EMSCRIPTEN_KEEPALIVE void qfw_seek(uint32_t ms)
{
    if (movie) SeekVideo(movie, ms);
}

EMSCRIPTEN_KEEPALIVE const char *qfw_plugin_name()
{
    InitHost();
    return Text(std::string(pluginInfo.name ? pluginInfo.name : "") + " " + std::to_string(pluginInfo.version) + "." +
                std::to_string(pluginInfo.revision) + " (" + (pluginInfo.date ? pluginInfo.date : "") + ")");
}

}  // extern "C"
