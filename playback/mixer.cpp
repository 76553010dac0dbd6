// DecodeAudioFrame: starts the scene's sounds and mixes four channels into 40 ms of stereo.
#include "playback/playback.h"

static void StartChannel(AudioChannel *channel, const SoundSample *sample, uint32_t rate, uint32_t volume,
                         int32_t scene)
{
    // A sample without bytes stays silent but still counts as started by this scene.
    channel->data = sample->length ? sample->data : 0;
    channel->length = sample->length;
    channel->rate = rate;
    channel->position = 0.0;
    channel->step = (double)rate / (double)QF_AUDIO_SAMPLE_RATE;
    channel->volume = volume * 1024;
    channel->startScene = scene;
}

static void StartSceneSounds(MovieHandle *movie, int32_t s)
{
    const SceneRecord *scene = &movie->scenes[s];
    for (int k = 0; k < ChannelCount; ++k) {
        if (scene->sounds[k] && movie->channels[k].startScene != s)
            StartChannel(&movie->channels[k], scene->sounds[k], scene->rates[k], scene->volumes[k], s);
    }
}

static int32_t MixFrame(MovieHandle *movie)
{
    int32_t sum = 0;
    for (int k = 0; k < ChannelCount; ++k) {
        AudioChannel *channel = &movie->channels[k];
        if (!channel->data) continue;
        sum += (int32_t)channel->data[(uint32_t)channel->position] * (int32_t)channel->volume;
        channel->position += channel->step;
        if ((uint32_t)channel->position >= channel->length) {
            channel->data = 0;
            channel->startScene = 0;
        }
    }
    return sum;
}

int32_t DecodeAudioFrame(MovieHandle *movie, TimingPacket *payload, AudioFrameRecord *audio)
{
    StartSceneSounds(movie, FindScene(movie, SecondsToMs(payload->time)));
    int16_t *out = (int16_t *)audio->buffer;
    for (int f = 0; f < QF_AUDIO_FRAMES_PER_PACKET; ++f) {
        int32_t sum = MixFrame(movie);
        if (sum < -8388608) sum = -8388608;
        if (sum > 8388607) sum = 8388607;
        int16_t value = (int16_t)(sum >> 8);  // floor division by 256
        out[2 * f] = value;
        out[2 * f + 1] = value;
    }
    audio->byteCount = QF_AUDIO_BYTES_PER_PACKET;
    audio->word3 = 1;
    return 0;
}
