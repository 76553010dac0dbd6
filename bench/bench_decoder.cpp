// DecodePlanarBody on a 320 x 256, 5-plane picture, packed and plain, beside two yardsticks:
// FFmpeg's ILBM decoder fed the same BODY, and a plain memcpy of the decoded size.
#include <benchmark/benchmark.h>

#include <cstring>
#include <stdexcept>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "testing/movies.h"
#include "testing/scripted_host.h"
#include "iff/iff_loaders.h"

namespace {

using qfauthor::Compression;

const qftest::Bytes &Body(Compression compression)
{
    static const qftest::Bytes packed =
        qfauthor::EncodePlanarBody(qftest::Backdrop(), qftest::BackdropPlanes, Compression::ByteRun1, nullptr);
    static const qftest::Bytes plain =
        qfauthor::EncodePlanarBody(qftest::Backdrop(), qftest::BackdropPlanes, Compression::None, nullptr);
    return compression == Compression::ByteRun1 ? packed : plain;
}

void DecodeOurs(benchmark::State &state, Compression compression)
{
    static qftest::ScriptedHost host;
    host.quiet();
    host.install();
    const auto &body = Body(compression);
    host.addFile("body", body);
    std::vector<uint8_t> picture(qftest::BackdropWidth * qftest::BackdropHeight);
    for (auto _ : state) {
        std::memset(picture.data(), 0, picture.size());  // the loaders hand over a zeroed block
        HostFile file = host.openDirect("body");
        DecodePlanarBody(file, static_cast<uint32_t>(body.size()), picture.data(), qftest::BackdropWidth, qftest::BackdropHeight,
                         qftest::BackdropPlanes, 0, static_cast<int32_t>(compression));
        host.closeDirect(file);
        host.resetOpens();
        benchmark::DoNotOptimize(picture.data());
    }
    if (picture != qftest::Backdrop().pixels) state.SkipWithError("decoded picture differs from the source");
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(picture.size()));
}

// libavcodec's ILBM decoder takes the BMHD facts in extradata: a big-endian 16-bit header size
// (41), then compression, bits per pixel, ham, flags, a 16-bit transparent colour, masking and
// sixteen 16-bit tvdc words; the palette's RGB triples follow the header.
void DecodeFfmpeg(benchmark::State &state, Compression compression)
{
    const AVCodec *codec = avcodec_find_decoder(AV_CODEC_ID_IFF_ILBM);
    AVCodecContext *context = codec ? avcodec_alloc_context3(codec) : nullptr;
    if (!context) {
        state.SkipWithError("no ILBM decoder in libavcodec");
        return;
    }
    context->width = qftest::BackdropWidth;
    context->height = qftest::BackdropHeight;
    context->bits_per_coded_sample = qftest::BackdropPlanes;
    context->codec_tag = MKTAG('I', 'L', 'B', 'M');
    std::vector<uint8_t> extra{0, 41, static_cast<uint8_t>(compression), qftest::BackdropPlanes, 0, 0, 0, 0, 0};
    extra.resize(41, 0);
    for (const auto &c : qftest::BackdropPalette()) extra.insert(extra.end(), {c.red, c.green, c.blue});
    context->extradata = static_cast<uint8_t *>(av_mallocz(extra.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    std::memcpy(context->extradata, extra.data(), extra.size());
    context->extradata_size = static_cast<int>(extra.size());
    if (avcodec_open2(context, codec, nullptr) < 0) {
        state.SkipWithError("avcodec_open2 failed");
        avcodec_free_context(&context);
        return;
    }
    const auto &body = Body(compression);
    AVPacket *packet = av_packet_alloc();
    AVFrame *frame = av_frame_alloc();
    av_new_packet(packet, static_cast<int>(body.size()));
    std::memcpy(packet->data, body.data(), body.size());
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
        auto expected = qftest::Backdrop().pixels;
        for (int y = 0; y < qftest::BackdropHeight && !failed; ++y)
            failed = std::memcmp(frame->data[0] + y * frame->linesize[0], &expected[y * qftest::BackdropWidth], qftest::BackdropWidth) != 0;
        if (failed) state.SkipWithError("FFmpeg's picture differs from the source");
    }
    state.SetBytesProcessed(state.iterations() * qftest::BackdropWidth * qftest::BackdropHeight);
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

BENCHMARK_CAPTURE(DecodeOurs, packed_320x256x5, Compression::ByteRun1);
BENCHMARK_CAPTURE(DecodeFfmpeg, packed_320x256x5, Compression::ByteRun1);
BENCHMARK_CAPTURE(DecodeOurs, plain_320x256x5, Compression::None);
BENCHMARK_CAPTURE(DecodeFfmpeg, plain_320x256x5, Compression::None);
BENCHMARK(Memcpy)->Name("memcpy_320x256");

int main(int argc, char **argv)
{
    av_log_set_level(AV_LOG_ERROR);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
