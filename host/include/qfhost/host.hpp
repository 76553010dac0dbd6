// The stand-in host: Veltrane's services over real files, the volume requester policies, and a
// loader that dlopens quillframer.vtp and plays movies through its thirteen entry points only.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

#include "qfhost/volume.hpp"
#include "quillframer/host_api.h"

namespace qfhost {

// How an unknown Amiga volume is answered.
enum class RequesterPolicy {
    FixedMap,  // only the volumes given; any other is cancelled
    Terminal,  // the fixed map first, then ask on the terminal
    Cancel,    // always cancel
};

struct HostSettings {
    int32_t version = 6;
    RequesterPolicy policy = RequesterPolicy::FixedMap;
    // Volume name (no colon) -> a directory, an AmigaDOS disk image or an LHA archive (see volume.hpp).
    std::map<std::string, std::filesystem::path> volumes;
    // Terminal policy: asks for the directory of a volume (name without colon); nullopt or an
    // empty answer cancels. Unset: asks on /dev/tty, or on stdin when that is a terminal.
    std::function<std::optional<std::string>(const std::string &volume)> prompt;
    // Before asking: a disk image whose label is the volume's name, beside the movie, then in
    // these directories. `notice` hears which one was used.
    std::vector<std::filesystem::path> searchDirectories;
    bool searchBesideMovie = false;
    std::function<void(const std::string &)> notice;
    // What a disk image or archive may cost while the movie's files are read from it.
    VolumeLimits volumeLimits;
};

enum class FailureKind {
    None,
    MovieFile,        // the movie file itself cannot be opened
    BadSignature,     // its first 12 bytes are neither signature
    ReferencedFile,   // a picture, face set or sound named by Amiga path cannot be opened
    VolumeCancelled,  // no directory was given for an Amiga volume
    EscapingPath,     // a path component would leave the volume's directory (or overflow the buffer)
    Malformed,        // anything else the plug-in refused
    OutOfMemory,      // the plug-in could not allocate what the movie needs
    RefusedPath,      // an Amiga path with no colon, or a volume name over 63 characters
};

// What the host saw go wrong during the last open, so a tool can name the cause.
struct FailureRecord {
    std::string what;  // one line, e.g. "cannot open Work:Anims/Faces/Hero (looked for /x/Anims/Faces/Hero)"
    FailureKind kind = FailureKind::None;
    std::string path;    // the host path involved, if any
    std::string volume;  // the Amiga volume involved (without colon), if any
};

// Veltrane's service tables over real files. The plug-in keeps a single host base per process,
// so the services are plain functions acting for the current Host: the one made last, or the
// one given to makeCurrent(). Files are read-only.
class Host {
public:
    explicit Host(HostSettings settings = {});
    ~Host();
    Host(const Host &) = delete;
    Host &operator=(const Host &) = delete;

    HostBase *base();
    HostSettings &settings();
    void makeCurrent();
    static Host *current();

    // A movie open starts: forget earlier failures, requester answers and bad-path marks.
    void beginOpen(const std::filesystem::path &movie);
    const FailureRecord &failure() const;

    // The option value of the last tagged open (0 after a plain open).
    uint32_t lastOpenOption() const;
    // The files opens through this host have read (device, inode): the movie, each file it named,
    // the disk image or archive serving one.
    std::vector<std::pair<dev_t, ino_t>> filesRead() const;
    // Files opened through the services and not closed yet (all hosts of the process).
    static int openFileCount();

    struct State;  // the host's own

private:
    std::unique_ptr<State> state_;
    friend struct HostServices;
};

// Why an open failed, worded from a second open through the plug-in's code built to record it.
struct OpenExplanation {
    std::string error;                  // one line; empty when that open succeeded
    std::vector<std::string> warnings;  // files named by path that were opened but not loaded
};

// Runs the open of movie again on host's services through qfcore_explain (the plug-in's code with
// QF_RECORDING, linked into qfhost with every plug-in symbol local) and words what it and
// the host recorded: the unreadable file, the bad signature, the unknown command byte or the
// payload cut off (with its offset), the index out of range, the allocation that failed (what and
// how big), the cancelled volume, the refused path. The requester answers only the volumes it
// answered during the open before, so no one is asked twice. The error also becomes
// host.failure(). Never throws.
OpenExplanation ExplainOpen(Host &host, const std::filesystem::path &movie, uint32_t openOption = 0);

// Plugin::open's failure: the cause, and warnings about referenced files the movie would have
// played without.
class OpenError : public std::runtime_error {
public:
    OpenError(const std::string &what, std::vector<std::string> warnings);
    std::vector<std::string> warnings;
};

// The volume named in a requester message ("...Amiga volume \"Work:\"!"), or nullopt.
std::optional<std::string> ParseRequesterVolume(const std::string &message);
// The existing path whose components equal those of path ignoring ASCII case, or nullopt.
// Components that exist as spelled are kept as spelled.
std::optional<std::filesystem::path> FindPathIgnoringCase(const std::filesystem::path &path);

// The thirteen entry points of a loaded plug-in.
struct EntryPoints {
    InitPluginFn InitPlugin;
    ClosePluginFn ClosePlugin;
    OpenVideoFn OpenVideo;
    CloseVideoFn CloseVideo;
    GetVideoFormatFn GetVideoFormat;
    GetVideoFramesFn GetVideoFrames;
    NextPacketFn NextPacket;
    FreePacketFn FreePacket;
    SeekVideoFn SeekVideo;
    DecodeVideoFrameFn DecodeVideoFrame;
    DecodeAudioFrameFn DecodeAudioFrame;
    FlushAudioFn FlushAudio;
    FlushVideoFn FlushVideo;
};

class Movie;

// A loaded plug-in with its HostBase. Throws std::runtime_error with a clear message when the
// library cannot be loaded or an entry point is missing (naming it).
class Plugin {
public:
    explicit Plugin(const std::filesystem::path &library, HostSettings settings = {});
    ~Plugin();
    Plugin(const Plugin &) = delete;
    Plugin &operator=(const Plugin &) = delete;

    const EntryPoints &entry() const;
    const PluginInfo &info() const;  // filled by InitPlugin at load
    HostBase *base();
    HostSettings &settings();
    Host &host();
    const FailureRecord &lastFailure() const;

    // Opens a movie; throws OpenError (a std::runtime_error) whose message names the cause on
    // failure, worded by ExplainOpen. Running out of memory is reported the same way.
    std::unique_ptr<Movie> open(const std::filesystem::path &movie, uint32_t openOption = 0);

    // Default plug-in path: $QUILLFRAMER_PLUGIN, else quillframer.vtp beside the running executable,
    // else ../lib/quillframer/quillframer.vtp from it (installed).
    static std::filesystem::path defaultPath();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// A packet taken from the plug-in. It owns its payload and hands it back with FreePacket when it
// goes, so it can be moved but not copied.
class Packet {
public:
    Packet() = default;
    Packet(FreePacketFn release, int32_t stream, double time, TimingPacket *payload)
        : release_(release), stream_(stream), time_(time), payload_(payload)
    {}
    ~Packet() { reset(); }
    Packet(Packet &&other) noexcept { *this = std::move(other); }
    Packet &operator=(Packet &&other) noexcept
    {
        if (this != &other) {
            reset();
            release_ = other.release_;
            stream_ = other.stream_;
            time_ = other.time_;
            payload_ = std::exchange(other.payload_, nullptr);
        }
        return *this;
    }
    Packet(const Packet &) = delete;
    Packet &operator=(const Packet &) = delete;

    bool isVideo() const { return stream_ == 0; }
    bool isAudio() const { return stream_ == 1; }
    int32_t stream() const { return stream_; }
    double time() const { return time_; }  // seconds
    TimingPacket *payload() const { return payload_; }
    // FreePacket now rather than when the packet goes.
    void reset()
    {
        if (payload_ && release_) release_(payload_);
        payload_ = nullptr;
    }

private:
    FreePacketFn release_ = nullptr;
    int32_t stream_ = 0;
    double time_ = 0;
    TimingPacket *payload_ = nullptr;
};

// What taking the next packet gave.
enum class Took {
    Packet,       // a packet (video and audio alternate, each pair at one time)
    End,          // the timeline is over
    OutOfMemory,  // NextPacket kept answering -2 (no memory for the payload) past the retries
};

struct Taken {
    Took result = Took::End;
    Packet packet;  // empty unless result is Took::Packet
};

// NextPacket's -2 means the payload could not be allocated and the same packet comes on a retry:
// the one policy for every caller is to retry this many times in a row, then give up.
inline constexpr int OutOfMemoryRetries = 8;

class Movie;

// The packets of a movie from where it stands, for range-for: ends at the end of the timeline and
// throws std::runtime_error when the plug-in stays out of memory. Taking the next packet happens
// when the loop asks for it, so a break takes none beyond the current one.
class Packets {
public:
    struct End {};
    class Iterator {
    public:
        explicit Iterator(Movie &movie);
        Packet &operator*() { return current_.packet; }
        Iterator &operator++();
        bool operator==(End) const { return current_.result != Took::Packet; }

    private:
        Movie *movie_;
        Taken current_;
    };
    explicit Packets(Movie &movie) : movie_(movie) {}
    Iterator begin() { return Iterator(movie_); }
    End end() const { return {}; }

private:
    Movie &movie_;
};

// One open movie. Frees its handle on destruction.
class Movie {
public:
    Movie(Plugin &plugin, MovieHandle *handle, const StreamDescriptor &descriptor);
    ~Movie();
    Movie(const Movie &) = delete;
    Movie &operator=(const Movie &) = delete;

    int width() const;
    int height() const;
    uint32_t durationMs() const;
    const StreamDescriptor &descriptor() const;
    uint32_t frames();  // GetVideoFrames

    // The playback loop: NextPacket under the out-of-memory policy. Throws std::runtime_error
    // on a result the plug-in should never give.
    Taken take();
    // take() as a range; the packets go from where the movie stands.
    Packets packets() { return Packets(*this); }
    void seek(uint32_t ms);  // SeekVideo, after the sound packet of a picture taken alone
    // What a seek to ms shows: seek, then the next video packet's picture (see decodeVideo).
    // nullopt when the stream ends first.
    std::optional<std::span<const uint32_t>> pictureAt(uint32_t ms);
    // DecodeVideoFrame into an internal buffer of width*height pixel words (bytes 0,R,G,B).
    std::span<const uint32_t> decodeVideo(const Packet &packet);
    // DecodeAudioFrame: QF_AUDIO_FRAMES_PER_PACKET stereo frames of int16.
    std::span<const int16_t> decodeAudio(const Packet &packet);

private:
    Plugin &plugin_;
    MovieHandle *handle_;
    StreamDescriptor descriptor_;
    std::vector<uint32_t> pixels_;
    std::vector<int16_t> samples_;
    bool midPair_ = false;  // the last packet taken was a picture
};

// Pixel word (memory bytes 0,R,G,B) to its colour components.
inline uint8_t Red(uint32_t word) { return reinterpret_cast<const uint8_t *>(&word)[1]; }
inline uint8_t Green(uint32_t word) { return reinterpret_cast<const uint8_t *>(&word)[2]; }
inline uint8_t Blue(uint32_t word) { return reinterpret_cast<const uint8_t *>(&word)[3]; }

}  // namespace qfhost
