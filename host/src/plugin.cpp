// The loader: dlopen a .vtp, resolve its thirteen entry points, register it with a HostBase, and
// play movies through the entry points only.
#include <cstdlib>
#include <dlfcn.h>
#include <new>
#include <stdexcept>

#include "qfhost/host.hpp"

namespace qfhost {
namespace fs = std::filesystem;

namespace {

// The base the plug-in holds right now; another Plugin may have replaced ours since.
const HostBase *installedBase = nullptr;

template <typename T>
void Resolve(void *library, const char *name, T &slot, std::string &missing)
{
    slot = reinterpret_cast<T>(dlsym(library, name));
    if (!slot) missing += (missing.empty() ? "" : ", ") + std::string(name);
}

}  // namespace

struct Plugin::Impl {
    void *library = nullptr;
    EntryPoints entry{};
    PluginInfo info{};
    Host host;
    explicit Impl(HostSettings settings) : host(std::move(settings)) {}
};

Plugin::Plugin(const fs::path &library, HostSettings settings) : impl_(std::make_unique<Impl>(std::move(settings)))
{
    dlerror();
    impl_->library = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!impl_->library) {
        const char *why = dlerror();
        throw std::runtime_error("cannot load plug-in " + library.string() + ": " + (why ? why : "unknown error"));
    }
    EntryPoints &e = impl_->entry;
    std::string missing;
    Resolve(impl_->library, "InitPlugin", e.InitPlugin, missing);
    Resolve(impl_->library, "ClosePlugin", e.ClosePlugin, missing);
    Resolve(impl_->library, "OpenVideo", e.OpenVideo, missing);
    Resolve(impl_->library, "CloseVideo", e.CloseVideo, missing);
    Resolve(impl_->library, "GetVideoFormat", e.GetVideoFormat, missing);
    Resolve(impl_->library, "GetVideoFrames", e.GetVideoFrames, missing);
    Resolve(impl_->library, "NextPacket", e.NextPacket, missing);
    Resolve(impl_->library, "FreePacket", e.FreePacket, missing);
    Resolve(impl_->library, "SeekVideo", e.SeekVideo, missing);
    Resolve(impl_->library, "DecodeVideoFrame", e.DecodeVideoFrame, missing);
    Resolve(impl_->library, "DecodeAudioFrame", e.DecodeAudioFrame, missing);
    Resolve(impl_->library, "FlushAudio", e.FlushAudio, missing);
    Resolve(impl_->library, "FlushVideo", e.FlushVideo, missing);
    if (!missing.empty()) {
        dlclose(impl_->library);
        throw std::runtime_error("plug-in " + library.string() + " lacks the entry point(s) " + missing);
    }
    impl_->host.makeCurrent();
    if (e.InitPlugin(&impl_->info, impl_->host.base()) != 1) {
        dlclose(impl_->library);
        throw std::runtime_error("plug-in " + library.string() + " refused to start (InitPlugin did not return 1)");
    }
    installedBase = impl_->host.base();
}

Plugin::~Plugin()
{
    impl_->entry.ClosePlugin();
    if (installedBase == impl_->host.base()) installedBase = nullptr;
    dlclose(impl_->library);
}

const EntryPoints &Plugin::entry() const { return impl_->entry; }
const PluginInfo &Plugin::info() const { return impl_->info; }
HostBase *Plugin::base() { return impl_->host.base(); }
HostSettings &Plugin::settings() { return impl_->host.settings(); }
Host &Plugin::host() { return impl_->host; }
const FailureRecord &Plugin::lastFailure() const { return impl_->host.failure(); }

std::unique_ptr<Movie> Plugin::open(const fs::path &movie, uint32_t openOption)
{
    Host &host = impl_->host;
    host.makeCurrent();
    if (installedBase != host.base()) {
        impl_->entry.InitPlugin(&impl_->info, host.base());
        installedBase = host.base();
    }
    host.beginOpen(movie);
    StreamDescriptor descriptor{};
    descriptor.openOption = openOption;
    MovieHandle *handle = impl_->entry.OpenVideo(movie.c_str(), &descriptor);
    if (!handle) {
        OpenExplanation why = ExplainOpen(host, movie, openOption);
        // The recording open went through: what failed did not repeat, most likely memory.
        if (why.error.empty())
            why.error =
                "cannot open " + movie.string() + ": the plug-in failed, but not when tried again (memory ran short?)";
        throw OpenError(why.error, std::move(why.warnings));
    }
    try {
        return std::make_unique<Movie>(*this, handle, descriptor);
    } catch (const std::bad_alloc &) {
        impl_->entry.CloseVideo(handle);
        throw OpenError("out of memory opening \"" + movie.string() + "\"", {});
    } catch (...) {
        impl_->entry.CloseVideo(handle);
        throw;
    }
}

fs::path Plugin::defaultPath()
{
    if (const char *env = std::getenv("QUILLFRAMER_PLUGIN"); env && *env) return env;
    std::error_code ec;
    fs::path self = fs::read_symlink("/proc/self/exe", ec);
    fs::path beside = (ec ? fs::current_path() : self.parent_path()) / "quillframer.vtp";
    // Installed, the command is in bin/ and the plug-in in lib/quillframer/.
    fs::path installed = beside.parent_path().parent_path() / "lib" / "quillframer" / "quillframer.vtp";
    return fs::exists(beside, ec) || !fs::exists(installed, ec) ? beside : installed;
}

Movie::Movie(Plugin &plugin, MovieHandle *handle, const StreamDescriptor &descriptor)
    : plugin_(plugin), handle_(handle), descriptor_(descriptor)
{}

Movie::~Movie() { plugin_.entry().CloseVideo(handle_); }

int Movie::width() const { return descriptor_.width; }
int Movie::height() const { return descriptor_.height; }
uint32_t Movie::durationMs() const { return descriptor_.duration; }
const StreamDescriptor &Movie::descriptor() const { return descriptor_; }
uint32_t Movie::frames() { return plugin_.entry().GetVideoFrames(handle_); }

Taken Movie::take()
{
    for (int failures = 0;;) {
        PacketRecord record{};
        int32_t code = plugin_.entry().NextPacket(handle_, &record);
        if (code == 0) {
            midPair_ = record.streamIndex == 0;
            return {Took::Packet, Packet(plugin_.entry().FreePacket, record.streamIndex, record.time, record.payload)};
        }
        if (code == -1) return {Took::End, {}};
        if (code != -2) throw std::runtime_error("NextPacket returned the unknown code " + std::to_string(code));
        if (++failures > OutOfMemoryRetries) return {Took::OutOfMemory, {}};
    }
}

Packets::Iterator::Iterator(Movie &movie) : movie_(&movie), current_(movie.take())
{
    if (current_.result == Took::OutOfMemory)
        throw std::runtime_error("the plug-in ran out of memory for a packet (NextPacket returned -2 " +
                                 std::to_string(OutOfMemoryRetries + 1) + " times)");
}

Packets::Iterator &Packets::Iterator::operator++()
{
    current_.packet.reset();
    *this = Iterator(*movie_);
    return *this;
}

void Movie::seek(uint32_t ms)
{
    // SeekVideo keeps the place within a picture and sound pair: after a picture alone, the next
    // seek would hand out a sound packet first and its picture 40 ms late. Finish the pair first.
    if (midPair_) take();
    plugin_.entry().SeekVideo(handle_, ms);
}

std::optional<std::span<const uint32_t>> Movie::pictureAt(uint32_t ms)
{
    seek(ms);
    for (Packet &packet : packets()) {
        if (!packet.isVideo()) continue;
        std::span<const uint32_t> picture = decodeVideo(packet);
        return picture;
    }
    return std::nullopt;
}

std::span<const uint32_t> Movie::decodeVideo(const Packet &packet)
{
    size_t w = descriptor_.width > 0 ? static_cast<size_t>(descriptor_.width) : 0;
    size_t h = descriptor_.height > 0 ? static_cast<size_t>(descriptor_.height) : 0;
    // One spare word so an empty picture still hands the plug-in a real buffer.
    if (pixels_.size() != w * h + 1) pixels_.assign(w * h + 1, 0);
    void *buffers[1] = {pixels_.data()};
    int32_t pitches[1] = {0};
    VideoFrameRecord frame{};
    frame.buffers = buffers;
    frame.pitches = pitches;
    plugin_.entry().DecodeVideoFrame(handle_, packet.payload(), &frame);
    return {pixels_.data(), w * h};
}

std::span<const int16_t> Movie::decodeAudio(const Packet &packet)
{
    samples_.assign(QF_AUDIO_BYTES_PER_PACKET / sizeof(int16_t), 0);
    AudioFrameRecord audio{};
    audio.buffer = samples_.data();
    plugin_.entry().DecodeAudioFrame(handle_, packet.payload(), &audio);
    return {samples_.data(), samples_.size()};
}

}  // namespace qfhost
