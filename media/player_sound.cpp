#include "media/player_sound.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace qfmedia::detail {

namespace {

// While it lives, what is written to stderr goes nowhere: ALSA, PulseAudio and JACK, probed by
// SDL, print their own complaints there when there is no sound card; SDL_GetError keeps the cause.
class QuietStderr {
public:
    QuietStderr()
    {
        std::fflush(stderr);
        const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (null < 0) return;
        saved_ = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0);
        if (saved_ >= 0) ::dup2(null, STDERR_FILENO);
        ::close(null);
    }
    ~QuietStderr()
    {
        if (saved_ < 0) return;
        ::dup2(saved_, STDERR_FILENO);
        ::close(saved_);
    }
    QuietStderr(const QuietStderr &) = delete;
    QuietStderr &operator=(const QuietStderr &) = delete;

private:
    int saved_ = -1;
};

}  // namespace

SoundOut::SoundOut()
{
    std::string cause;
    {
        QuietStderr quiet;
        if (SDL_InitSubSystem(SDL_INIT_AUDIO) == 0) {
            system_ = true;
            SDL_AudioSpec want{}, have{};
            want.freq = QF_AUDIO_SAMPLE_RATE;
            want.format = AUDIO_S16SYS;
            want.channels = 2;
            want.samples = 1024;
            device_ = SDL_OpenAudioDevice(nullptr, 0, &want, &have, 0);
        }
        if (!device_) cause = SDL_GetError();
    }
    // Once for a playlist, not once per movie.
    static bool told = false;
    if (!device_ && !told) {
        std::fprintf(stderr, "quillframer: no sound device (%s); playing without sound\n",
                     cause.empty() ? "none found" : cause.c_str());
        told = true;
    }
}

SoundOut::~SoundOut()
{
    if (device_) SDL_CloseAudioDevice(device_);
    if (system_) SDL_QuitSubSystem(SDL_INIT_AUDIO);
}

void SoundOut::pause(bool paused)
{
    if (device_) SDL_PauseAudioDevice(device_, paused ? 1 : 0);
}

void SoundOut::queue(std::span<const int16_t> samples)
{
    if (!device_) return;
    SDL_QueueAudio(device_, samples.data(), static_cast<Uint32>(samples.size_bytes()));
    queued_ += samples.size_bytes();
}

void SoundOut::clear()
{
    if (device_) SDL_ClearQueuedAudio(device_);
    queued_ = 0;
}

}  // namespace qfmedia::detail
