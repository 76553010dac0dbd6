#include "media/sound_file.hpp"

#include <sndfile.h>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <cmath>
#include <memory>
#include <stdexcept>

namespace qfmedia {

SoundFile ReadSoundFile(const std::filesystem::path &path)
{
    SF_INFO info{};
    SNDFILE *file = sf_open(path.c_str(), SFM_READ, &info);
    if (!file) throw std::runtime_error("cannot read sound " + path.string() + ": " + sf_strerror(nullptr));
    std::unique_ptr<SNDFILE, int (*)(SNDFILE *)> guard(file, sf_close);
    if (info.channels < 1 || info.samplerate < 1)
        throw std::runtime_error("cannot read sound " + path.string() + ": no audio");
    std::vector<float> frames(static_cast<size_t>(info.frames) * info.channels);
    sf_count_t got = sf_readf_float(file, frames.data(), info.frames);
    SoundFile sound;
    sound.rate = info.samplerate;
    sound.samples.resize(static_cast<size_t>(std::max<sf_count_t>(got, 0)));
    for (size_t i = 0; i < sound.samples.size(); ++i) {
        float sum = 0;
        for (int c = 0; c < info.channels; ++c) sum += frames[i * info.channels + c];
        sound.samples[i] = sum / static_cast<float>(info.channels);
    }
    return sound;
}

std::vector<int8_t> ToAmigaSamples(const SoundFile &sound, uint32_t rate, double gain)
{
    if (rate == 0) throw std::runtime_error("a sound needs a play rate above 0");
    std::vector<float> resampled;
    if (static_cast<uint32_t>(sound.rate) == rate || sound.samples.empty()) {
        resampled = sound.samples;
    } else {
        SwrContext *swr = nullptr;
        AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
        if (swr_alloc_set_opts2(&swr, &mono, AV_SAMPLE_FMT_FLT, static_cast<int>(rate), &mono, AV_SAMPLE_FMT_FLT,
                                sound.rate, 0, nullptr) < 0 ||
            swr_init(swr) < 0) {
            swr_free(&swr);
            throw std::runtime_error("cannot set up the sound resampler");
        }
        std::unique_ptr<SwrContext, void (*)(SwrContext *)> guard(swr, [](SwrContext *s) { swr_free(&s); });
        int room = swr_get_out_samples(swr, static_cast<int>(sound.samples.size())) + 64;
        resampled.resize(static_cast<size_t>(room));
        const uint8_t *in[1] = {reinterpret_cast<const uint8_t *>(sound.samples.data())};
        uint8_t *out[1] = {reinterpret_cast<uint8_t *>(resampled.data())};
        int made = swr_convert(swr, out, room, in, static_cast<int>(sound.samples.size()));
        if (made < 0) throw std::runtime_error("cannot resample a sound");
        uint8_t *rest[1] = {reinterpret_cast<uint8_t *>(resampled.data() + made)};
        int tail = swr_convert(swr, rest, room - made, nullptr, 0);
        resampled.resize(static_cast<size_t>(made + std::max(tail, 0)));
    }
    std::vector<int8_t> out(resampled.size());
    for (size_t i = 0; i < out.size(); ++i) {
        double v = std::round(resampled[i] * gain * 127.0);
        out[i] = static_cast<int8_t>(std::clamp(v, -128.0, 127.0));
    }
    return out;
}

void WriteAmigaSound(const std::filesystem::path &path, std::span<const int8_t> samples, int rate)
{
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_U8;
    SNDFILE *file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!file) throw std::runtime_error("cannot write sound " + path.string() + ": " + sf_strerror(nullptr));
    std::unique_ptr<SNDFILE, int (*)(SNDFILE *)> guard(file, sf_close);
    // libsndfile keeps the top byte of a short for 8-bit PCM: value * 256 comes back exactly.
    std::vector<short> wide(samples.size());
    for (size_t i = 0; i < samples.size(); ++i) wide[i] = static_cast<short>(samples[i] * 256);
    if (sf_write_short(file, wide.data(), static_cast<sf_count_t>(wide.size())) != static_cast<sf_count_t>(wide.size()))
        throw std::runtime_error("cannot write sound " + path.string() + ": " + sf_strerror(file));
    if (sf_close(guard.release()) != 0) throw std::runtime_error("cannot write sound " + path.string());
}

}  // namespace qfmedia
