// The plug-in's host inside a web page: the functions the page calls. Files are what the page
// handed in (web_files), served to the plug-in by web_services; a volume is any list of files
// under its root, or an ADF image mounted at a root (web_disks): a file under that root is read
// from the image when it is opened, looked up as AmigaDOS looks names up.
#include <emscripten/emscripten.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "qfhost/time.hpp"
#include "quillframer/host_api.h"
#include "quillframer/movie_format.h"
#include "web_disks.hpp"
#include "web_facts.hpp"
#include "web_files.hpp"
#include "web_services.hpp"

using namespace qfweb;

namespace {

std::string diskMessage;
MemoryFile diskRead;  // the last file read out of a disk image for the page
MovieHandle *movie = nullptr;
StreamDescriptor descriptor{};
std::vector<uint32_t> pixels;
std::vector<int16_t> samples(QF_AUDIO_BYTES_PER_PACKET / 2);
PacketRecord packet{};
std::string textResult;  // backs the strings handed to the page

void CloseMovie()
{
    if (movie) CloseVideo(movie);
    movie = nullptr;
    descriptor = StreamDescriptor{};
    ForgetDiskFiles();
}

const char *Text(std::string s)
{
    textResult = std::move(s);
    return textResult.c_str();
}

const FoundAsset &Found(int i)
{
    static const FoundAsset none;
    const std::vector<FoundAsset> &found = FoundAssets();
    return i >= 0 && static_cast<size_t>(i) < found.size() ? found[static_cast<size_t>(i)] : none;
}

}  // namespace

extern "C" {

// Files: the page copies bytes into a malloc'd block and hands it over with its path.
EMSCRIPTEN_KEEPALIVE int qfw_add_file(const char *path, const uint8_t *bytes, uint32_t size)
{
    if (!path) return 0;
    CloseMovie();  // an open movie's files must not move under it
    PutFile(path, bytes, size);
    return 1;
}

// An ADF image for the volume at root: 1 and its label in qfw_disk_message, or 0 and why not.
EMSCRIPTEN_KEEPALIVE int qfw_add_disk_image(const char *root, const uint8_t *bytes, uint32_t size)
{
    if (!root) return 0;
    CloseMovie();
    return MountDiskImage(root, std::vector<uint8_t>(bytes, bytes + size), diskMessage);
}
EMSCRIPTEN_KEEPALIVE const char *qfw_disk_message() { return diskMessage.c_str(); }

// The movies on the image mounted at root, by signature: their count, and their paths one a line
// in qfw_disk_message.
EMSCRIPTEN_KEEPALIVE int qfw_disk_movies(const char *root)
{
    int count = 0;
    diskMessage.clear();
    for (const std::string &path : DiskImageFiles(root ? root : "")) {
        MemoryFile file;
        std::string why;
        if (!ReadFromDiskImage(path, file.bytes, file.path, why) || !StartsLikeMovie(file.bytes)) continue;
        diskMessage += (count++ ? "\n" : "") + path;
    }
    return count;
}

// Every file on the image mounted at root: their count, and their paths one a line in
// qfw_disk_message.
EMSCRIPTEN_KEEPALIVE int qfw_disk_files(const char *root)
{
    diskMessage.clear();
    const std::vector<std::string> paths = DiskImageFiles(root ? root : "");
    for (const std::string &path : paths) diskMessage += (diskMessage.empty() ? "" : "\n") + path;
    return int(paths.size());
}

// Reads the first maxBytes of a file on a mounted image for the page, kept until the next call
// (qfw_disk_read_data, qfw_disk_read_size): 1, or 0 and why in qfw_disk_message.
EMSCRIPTEN_KEEPALIVE int qfw_disk_read(const char *path, uint32_t maxBytes)
{
    diskRead = MemoryFile{};
    return ReadFromDiskImage(path ? path : "", diskRead.bytes, diskRead.path, diskMessage, maxBytes);
}
EMSCRIPTEN_KEEPALIVE const uint8_t *qfw_disk_read_data() { return diskRead.bytes.data(); }
EMSCRIPTEN_KEEPALIVE uint32_t qfw_disk_read_size() { return uint32_t(diskRead.bytes.size()); }

// Whether bytes start like a movie, as the plug-in tells: how a member of an archive is offered.
EMSCRIPTEN_KEEPALIVE int qfw_is_movie(const uint8_t *bytes, uint32_t size)
{
    return bytes && QfIsMovieSignature(bytes, size);
}

// Forgets every file under prefix (a movie, or a volume's root).
EMSCRIPTEN_KEEPALIVE void qfw_remove_files(const char *prefix)
{
    CloseMovie();
    std::string_view p = prefix ? prefix : "";
    ForgetDiskImages(p);
    RemoveFiles(p);
}

EMSCRIPTEN_KEEPALIVE void qfw_answer_volume(const char *volume, const char *root) { AnswerVolume(volume, root); }
EMSCRIPTEN_KEEPALIVE void qfw_forget_volume(const char *volume)
{
    if (volume) ForgetVolume(volume);
}

EMSCRIPTEN_KEEPALIVE int qfw_open(const char *path)
{
    InitHost();
    CloseMovie();
    BeginOpen(path ? path : "");
    descriptor = StreamDescriptor{};
    movie = OpenVideo(MoviePath().c_str(), &descriptor);
    CloseAllHandles();  // the plug-in closes its files; this is a guard
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

EMSCRIPTEN_KEEPALIVE int qfw_failure_kind() { return LastFailure().kind; }
EMSCRIPTEN_KEEPALIVE const char *qfw_failure_text() { return LastFailure().text.c_str(); }
EMSCRIPTEN_KEEPALIVE const char *qfw_failure_volume() { return LastFailure().volume.c_str(); }

EMSCRIPTEN_KEEPALIVE int qfw_width() { return descriptor.width; }
EMSCRIPTEN_KEEPALIVE int qfw_height() { return descriptor.height; }
EMSCRIPTEN_KEEPALIVE uint32_t qfw_duration() { return descriptor.duration; }
EMSCRIPTEN_KEEPALIVE uint32_t qfw_sample_rate() { return descriptor.sampleRate; }
// The pictures the packets deliver and how long they play, as `info` counts and prints them (not
// GetVideoFrames, which can be one fewer).
EMSCRIPTEN_KEEPALIVE uint32_t qfw_frames()
{
    return movie ? static_cast<uint32_t>(qfhost::PicturesDelivered(descriptor.duration)) : 0;
}
EMSCRIPTEN_KEEPALIVE uint32_t qfw_length_ms() { return static_cast<uint32_t>(qfhost::PlayedMs(qfw_frames())); }
// "10.44 s (00:10.440)": info's length line.
EMSCRIPTEN_KEEPALIVE const char *qfw_length_text()
{
    static std::string text;
    text = qfhost::FormatSeconds(qfw_length_ms()) + " (" + qfhost::FormatTime(qfw_length_ms()) + ")";
    return text.c_str();
}

EMSCRIPTEN_KEEPALIVE int qfw_found_count() { return static_cast<int>(FoundAssets().size()); }
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
    const PluginInfo &info = Plugin();
    return Text(std::string(info.name ? info.name : "") + " " + std::to_string(info.version) + "." +
                std::to_string(info.revision) + " (" + (info.date ? info.date : "") + ")");
}

}  // extern "C"
