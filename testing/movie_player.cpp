#include "testing/movie_player.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "plugin/memory.h"
#include "quillframer/host_api.h"

namespace qftest {

namespace {

void Require(bool ok, const char *what)
{
    if (ok) return;
    std::fprintf(stderr, "host contract broken: %s\n", what);
    std::abort();
}

// Seek decisions come from the input's tail, read backwards and round again.
struct SeekControl {
    std::span<const uint8_t> bytes;
    size_t next = 0;
    uint8_t take()
    {
        if (bytes.empty()) return 0xFF;
        size_t window = std::min<size_t>(bytes.size(), 16);
        return bytes[bytes.size() - 1 - (next++ % window)];
    }
};

uint64_t Hash(std::span<const uint8_t> bytes)
{
    uint64_t h = 1469598103934665603ull;  // FNV-1a
    for (uint8_t b : bytes) h = (h ^ b) * 1099511628211ull;
    return h;
}

}  // namespace

PlayReport PlayMovie(const char *name, std::span<const uint8_t> control)
{
    PlayReport report;
    StreamDescriptor descriptor{};
    MovieHandle *movie = OpenVideo(name, &descriptor);
    if (!movie) return report;
    report.opened = true;
    Require(descriptor.sampleRate == QF_AUDIO_SAMPLE_RATE, "sample rate");
    Require((descriptor.flags & 1) != 0, "flags bit 0");
    GetVideoFrames(movie);

    uint64_t width = static_cast<uint64_t>(std::max(descriptor.width, 0));
    uint64_t height = static_cast<uint64_t>(std::max(descriptor.height, 0));
    bool drawVideo = width * height <= MaxFramePixels;
    std::vector<uint32_t> pixels(drawVideo ? std::max<uint64_t>(width * height, 1) : 0);
    std::vector<uint8_t> samples(QF_AUDIO_BYTES_PER_PACKET);
    uint64_t pixelsLeft = PixelBudget;
    SeekControl seeks{control};

    for (int i = 0; i < MaxPackets; ++i) {
        if (i % 8 == 0) {
            uint8_t decision = seeks.take();
            if ((decision & 3) == 0) {  // one decision in four seeks, up to a little past the end
                uint64_t target = (uint64_t)(decision >> 2) * ((uint64_t)descriptor.duration + 80) / 63;
                SeekVideo(movie, static_cast<uint32_t>(std::min<uint64_t>(target, UINT32_MAX)));
                ++report.seeks;
            }
        }
        PacketRecord packet{};
        int32_t result = NextPacket(movie, &packet);
        if (result != 0) {
            Require(result == -1 || result == -2, "NextPacket result");
            break;
        }
        ++report.packets;
        Require(packet.payload != nullptr && packet.payloadSize == 8, "packet payload");
        if (packet.streamIndex == 0) {
            if (drawVideo && pixelsLeft >= width * height) {
                pixelsLeft -= width * height;
                void *buffers[1] = {pixels.data()};
                int32_t pitches[1] = {0};
                VideoFrameRecord frame{buffers, pitches, 7, 7, 0.0, 0.0};
                Require(DecodeVideoFrame(movie, packet.payload, &frame) == 0, "DecodeVideoFrame result");
                Require(pitches[0] == descriptor.width * 4, "video pitch");
                ++report.videoFrames;
            }
        } else {
            AudioFrameRecord audio{samples.data(), 0, 0, 0};
            Require(DecodeAudioFrame(movie, packet.payload, &audio) == 0, "DecodeAudioFrame result");
            Require(audio.byteCount == QF_AUDIO_BYTES_PER_PACKET && audio.word3 == 1, "audio record");
            ++report.audioFrames;
        }
        FreePacket(packet.payload);
    }
    CloseVideo(movie);
    return report;
}

PlayReport PlayMovieWithFailures(const char *name, std::span<const uint8_t> control)
{
    qfFailAt = 0;
    qfFailAll = 0;
    qfAllocationCount = 0;
    PlayReport report = PlayMovie(name, control);
    long allocations = qfAllocationCount;
    uint64_t h = Hash(control);
    if (allocations > 0 && (h & 3) == 0) {
        qfAllocationCount = 0;
        qfFailAt = 1 + static_cast<long>(h % static_cast<uint64_t>(allocations));
        qfFailAll = static_cast<int>((h >> 32) & 1);
        PlayMovie(name, control);
        qfFailAt = 0;
        qfFailAll = 0;
    }
    return report;
}

}  // namespace qftest
