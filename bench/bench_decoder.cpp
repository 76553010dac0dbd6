// DecodePlanarBody beside two yardsticks in the same run: FFmpeg's ILBM decoder fed the same BODY,
// and a plain memcpy of the decoded size. Pictures: the 320 x 256, 5-plane backdrop packed and
// plain, a 640 x 512, 8-plane packed picture and a 64 x 64 face (5 planes, packed).
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "testing/movies.h"
#include "bench/bench_ratios.h"
#include "testing/scripted_host.h"
#include "iff/iff_loaders.h"

namespace {

using qfauthor::Compression;

struct Picture {
    std::string name;
    int planes;
    Compression compression;
    qfauthor::IndexedImage image;
    qftest::Bytes body;
};

// 256 colours with runs (sky bands), detail (noise) and edges, as a painted 8-plane picture has.
qfauthor::IndexedImage DeepPicture(int width, int height)
{
    qfauthor::IndexedImage image{width, height, qftest::Bytes(static_cast<size_t>(width) * height)};
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            uint32_t h = static_cast<uint32_t>(x) * 73856093u ^ static_cast<uint32_t>(y) * 19349663u;
            int ground = y > height / 2 + (x / 7) % 23;
            image.pixels[static_cast<size_t>(y) * width + x] =
                static_cast<uint8_t>(ground ? 128 + (h >> 7) % 128 : y / 8 % 64 + (x / 80) * 4);
        }
    return image;
}

// A round face on index 0, like the sprites of a face set.
qfauthor::IndexedImage Face(int size)
{
    qfauthor::IndexedImage image{size, size, qftest::Bytes(static_cast<size_t>(size) * size)};
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x) {
            int dx = x - size / 2, dy = y - size / 2;
            image.pixels[static_cast<size_t>(y) * size + x] =
                dx * dx + dy * dy < size * size / 4 ? static_cast<uint8_t>(1 + (x / 3 + y / 5) % 31) : 0;
        }
    return image;
}

const Picture &PictureNumber(int n)
{
    static const std::vector<Picture> pictures = [] {
        std::vector<Picture> list = {
            {"packed_320x256x5", qftest::BackdropPlanes, Compression::ByteRun1, qftest::Backdrop(), {}},
            {"plain_320x256x5", qftest::BackdropPlanes, Compression::None, qftest::Backdrop(), {}},
            {"packed_640x512x8", 8, Compression::ByteRun1, DeepPicture(640, 512), {}},
            {"face_64x64x5", 5, Compression::ByteRun1, Face(64), {}},
        };
        for (Picture &p : list) p.body = qfauthor::EncodePlanarBody(p.image, p.planes, p.compression, nullptr);
        return list;
    }();
    return pictures[static_cast<size_t>(n)];
}

void DecodeOurs(benchmark::State &state, int n)
{
    const Picture &p = PictureNumber(n);
    static qftest::ScriptedHost host;
    host.quiet();
    host.install();
    host.addFile(p.name, p.body);
    std::vector<uint8_t> picture(p.image.pixels.size());
    for (auto _ : state) {
        std::memset(picture.data(), 0, picture.size());  // the loaders hand over a zeroed block
        HostFile file = host.openDirect(p.name);
        DecodePlanarBody(file, static_cast<uint32_t>(p.body.size()), picture.data(), p.image.width, p.image.height,
                         p.planes, 0, static_cast<int32_t>(p.compression));
        host.closeDirect(file);
        host.resetOpens();
        benchmark::DoNotOptimize(picture.data());
    }
    if (picture != p.image.pixels) state.SkipWithError("decoded picture differs from the source");
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(picture.size()));
}

// libavcodec's ILBM decoder takes the BMHD facts in extradata: a big-endian 16-bit header size
// (41), then compression, bits per pixel, ham, flags, a 16-bit transparent colour, masking and
// sixteen 16-bit tvdc words; the palette's RGB triples follow the header.
void DecodeFfmpeg(benchmark::State &state, int n)
{
    const Picture &p = PictureNumber(n);
    const AVCodec *codec = avcodec_find_decoder(AV_CODEC_ID_IFF_ILBM);
    AVCodecContext *context = codec ? avcodec_alloc_context3(codec) : nullptr;
    if (!context) {
        state.SkipWithError("no ILBM decoder in libavcodec");
        return;
    }
    context->width = p.image.width;
    context->height = p.image.height;
    context->bits_per_coded_sample = p.planes;
    context->codec_tag = MKTAG('I', 'L', 'B', 'M');
    std::vector<uint8_t> extra{0, 41, static_cast<uint8_t>(p.compression), static_cast<uint8_t>(p.planes), 0, 0, 0,
                               0, 0};
    extra.resize(41, 0);
    for (int i = 0; i < 1 << p.planes; ++i)
        extra.insert(extra.end(),
                     {static_cast<uint8_t>(i), static_cast<uint8_t>(255 - i), static_cast<uint8_t>(i * 7)});
    context->extradata = static_cast<uint8_t *>(av_mallocz(extra.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    std::memcpy(context->extradata, extra.data(), extra.size());
    context->extradata_size = static_cast<int>(extra.size());
    if (avcodec_open2(context, codec, nullptr) < 0) {
        state.SkipWithError("avcodec_open2 failed");
        avcodec_free_context(&context);
        return;
    }
    AVPacket *packet = av_packet_alloc();
    AVFrame *frame = av_frame_alloc();
    av_new_packet(packet, static_cast<int>(p.body.size()));
    std::memcpy(packet->data, p.body.data(), p.body.size());
    bool failed = false;
    for (auto _ : state) {
        if (avcodec_send_packet(context, packet) < 0 || avcodec_receive_frame(context, frame) < 0) {
            failed = true;
            break;
        }
        benchmark::DoNotOptimize(frame->data[0]);
    }
    // Same indices as ours, or the comparison means nothing.
    if (failed) {
        state.SkipWithError("FFmpeg could not decode the BODY");
    } else {
        for (int y = 0; y < p.image.height && !failed; ++y)
            failed = std::memcmp(frame->data[0] + y * frame->linesize[0],
                                 &p.image.pixels[static_cast<size_t>(y) * p.image.width],
                                 static_cast<size_t>(p.image.width)) != 0;
        if (failed) state.SkipWithError("FFmpeg's picture differs from the source");
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(p.image.pixels.size()));
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&context);
}

void Memcpy(benchmark::State &state)
{
    std::vector<uint8_t> source(qftest::BackdropWidth * qftest::BackdropHeight, 7), target(source.size());
    for (auto _ : state) {
        std::memcpy(target.data(), source.data(), source.size());
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(source.size()));
}

}  // namespace

BENCHMARK_CAPTURE(DecodeOurs, packed_320x256x5, 0);
BENCHMARK_CAPTURE(DecodeFfmpeg, packed_320x256x5, 0);
BENCHMARK_CAPTURE(DecodeOurs, plain_320x256x5, 1);
BENCHMARK_CAPTURE(DecodeFfmpeg, plain_320x256x5, 1);
BENCHMARK_CAPTURE(DecodeOurs, packed_640x512x8, 2);
BENCHMARK_CAPTURE(DecodeFfmpeg, packed_640x512x8, 2);
BENCHMARK_CAPTURE(DecodeOurs, face_64x64x5, 3);
BENCHMARK_CAPTURE(DecodeFfmpeg, face_64x64x5, 3);
BENCHMARK(Memcpy)->Name("memcpy_320x256");

int main(int argc, char **argv)
{
    av_log_set_level(AV_LOG_ERROR);
    return qfbench::RunWithRatios(
        argc, argv,
        {{"ByteRun1 320x256x5 vs FFmpeg", "DecodeOurs/packed_320x256x5", "DecodeFfmpeg/packed_320x256x5", 0, 2.5},
         {"plain 320x256x5 vs FFmpeg", "DecodeOurs/plain_320x256x5", "DecodeFfmpeg/plain_320x256x5", 0, 4},
         {"ByteRun1 640x512x8 vs FFmpeg", "DecodeOurs/packed_640x512x8", "DecodeFfmpeg/packed_640x512x8", 0, 0},
         {"face 64x64x5 vs FFmpeg", "DecodeOurs/face_64x64x5", "DecodeFfmpeg/face_64x64x5", 0, 0}});
}
