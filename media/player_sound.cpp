#include "media/player_sound.hpp"

#include <cstdio>

namespace qfmedia::detail {

SoundOut::SoundOut()
{
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) == 0) {
        system_ = true;
        SDL_AudioSpec want{}, have{};
        want.freq = QF_AUDIO_SAMPLE_RATE;
        want.format = AUDIO_S16SYS;
        want.channels = 2;
        want.samples = 1024;
        device_ = SDL_OpenAudioDevice(nullptr, 0, &want, &have, 0);
    }
    if (!device_) std::fprintf(stderr, "quillframer: no sound (%s); playing without\n", SDL_GetError());
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
