// The people-facing subcommands of quillframer, run as a program on the documented `make`
// example. Their outputs are read back with FFmpeg's libraries (never with quillframer itself)
// and compared with `dump`, the plug-in's own frames and sound.
#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/imgutils.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes ReadBytes(const fs::path &p)
{
    std::ifstream in(p, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

std::string ReadText(const fs::path &p)
{
    Bytes b = ReadBytes(p);
    return std::string(b.begin(), b.end());
}

struct Outcome {
    int status = -1;
    std::string out, err;
};

std::string Quote(const std::string &s)
{
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// What FFmpeg finds in a file: stream codecs, rate, length, and every picture (RGB24) and the
// sound (s16 interleaved stereo at the stream's rate).
struct Decoded {
    AVCodecID video = AV_CODEC_ID_NONE, audio = AV_CODEC_ID_NONE;
    AVPixelFormat pixelFormat = AV_PIX_FMT_NONE;
    AVRational frameRate{0, 1};
    int width = 0, height = 0, sampleRate = 0;
    double duration = 0;  // seconds
    std::vector<Bytes> frames;
    std::vector<int16_t> samples;
};

Decoded DecodeFile(const fs::path &path)
{
    Decoded d;
    AVFormatContext *fmt = nullptr;
    if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0) {
        ADD_FAILURE() << "FFmpeg cannot open " << path;
        return d;
    }
    avformat_find_stream_info(fmt, nullptr);
    if (fmt->duration > 0) d.duration = fmt->duration / static_cast<double>(AV_TIME_BASE);
    std::vector<AVCodecContext *> decoders(fmt->nb_streams, nullptr);
    for (unsigned i = 0; i < fmt->nb_streams; ++i) {
        AVCodecParameters *par = fmt->streams[i]->codecpar;
        const AVCodec *codec = avcodec_find_decoder(par->codec_id);
        if (!codec) continue;
        decoders[i] = avcodec_alloc_context3(codec);
        avcodec_parameters_to_context(decoders[i], par);
        avcodec_open2(decoders[i], codec, nullptr);
        if (par->codec_type == AVMEDIA_TYPE_VIDEO) {
            d.video = par->codec_id;
            d.pixelFormat = static_cast<AVPixelFormat>(par->format);
            d.frameRate = fmt->streams[i]->avg_frame_rate;
            d.width = par->width;
            d.height = par->height;
        } else if (par->codec_type == AVMEDIA_TYPE_AUDIO) {
            d.audio = par->codec_id;
            d.sampleRate = par->sample_rate;
        }
    }
    AVPacket *pkt = av_packet_alloc();
    AVFrame *frame = av_frame_alloc();
    SwrContext *swr = nullptr;
    auto drain = [&](AVCodecContext *c) {
        while (avcodec_receive_frame(c, frame) == 0) {
            if (c->codec_type == AVMEDIA_TYPE_VIDEO) {
                Bytes rgb(static_cast<size_t>(frame->width) * frame->height * 3);
                SwsContext *sws = sws_getContext(frame->width, frame->height, static_cast<AVPixelFormat>(frame->format),
                                                 frame->width, frame->height, AV_PIX_FMT_RGB24,
                                                 SWS_POINT | SWS_ACCURATE_RND | SWS_BITEXACT, nullptr, nullptr, nullptr);
                uint8_t *dst[1] = {rgb.data()};
                int stride[1] = {frame->width * 3};
                sws_scale(sws, frame->data, frame->linesize, 0, frame->height, dst, stride);
                sws_freeContext(sws);
                d.frames.push_back(std::move(rgb));
            } else {
                if (!swr) {
                    AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
                    swr_alloc_set_opts2(&swr, &stereo, AV_SAMPLE_FMT_S16, frame->sample_rate, &frame->ch_layout,
                                        static_cast<AVSampleFormat>(frame->format), frame->sample_rate, 0, nullptr);
                    swr_init(swr);
                }
                std::vector<int16_t> out(static_cast<size_t>(frame->nb_samples) * 2 + 64);
                uint8_t *o[1] = {reinterpret_cast<uint8_t *>(out.data())};
                int n = swr_convert(swr, o, frame->nb_samples + 32, const_cast<const uint8_t **>(frame->extended_data),
                                    frame->nb_samples);
                d.samples.insert(d.samples.end(), out.begin(), out.begin() + std::max(n, 0) * 2);
            }
            av_frame_unref(frame);
        }
    };
    while (av_read_frame(fmt, pkt) >= 0) {
        AVCodecContext *c = decoders[pkt->stream_index];
        if (c && avcodec_send_packet(c, pkt) >= 0) drain(c);
        av_packet_unref(pkt);
    }
    for (AVCodecContext *c : decoders)
        if (c) {
            avcodec_send_packet(c, nullptr);
            drain(c);
        }
    for (AVCodecContext *c : decoders) avcodec_free_context(&c);
    swr_free(&swr);
    av_frame_free(&frame);
    av_packet_free(&pkt);
    avformat_close_input(&fmt);
    return d;
}

// PSNR of a decoded picture against the reference scaled up by `scale` (nearest neighbour).
double Psnr(const Bytes &decoded, const Bytes &reference, int width, int height, int scale)
{
    double sum = 0;
    const int dw = width * scale;
    for (int y = 0; y < height * scale; ++y)
        for (int x = 0; x < dw; ++x)
            for (int c = 0; c < 3; ++c) {
                double e = decoded[(static_cast<size_t>(y) * dw + x) * 3 + c] -
                           reference[(static_cast<size_t>(y / scale) * width + x / scale) * 3 + c];
                sum += e * e;
            }
    double mse = sum / (static_cast<double>(dw) * height * scale * 3);
    return mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
}

class MediaTest : public ::testing::Test {
protected:
    static constexpr int Width = 64, Height = 48, Frames = 40;  // the bounce example: 8 scenes of 200 ms

    static void SetUpTestSuite()
    {
        const char *build = std::getenv("QF_BUILD_DIR");
        const char *source = std::getenv("QF_SOURCE_DIR");
        ASSERT_TRUE(build && source);
        exe_ = fs::path(build) / "quillframer";
        example_ = fs::path(source) / "docs/examples/bounce/bounce.json";
        dir_ = fs::temp_directory_path() / ("qfmedia-" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        movie_ = (dir_ / "bounce.qf").string();
        volume_ = "Work=" + (dir_ / "bounce-volume").string();
        Outcome made = Run({"make", example_.string(), "-o", movie_});
        ASSERT_EQ(made.status, 0) << made.err;
        Outcome dumped = Run({"dump", movie_, "--video", (dir_ / "dump.video").string(), "--audio",
                              (dir_ / "dump.audio").string(), "--volume", volume_});
        ASSERT_EQ(dumped.status, 0) << dumped.err;
        Bytes video = ReadBytes(dir_ / "dump.video");
        dumpAudio_ = ReadBytes(dir_ / "dump.audio");
        const size_t frameBytes = static_cast<size_t>(Width) * Height * 4;
        ASSERT_EQ(video.size(), frameBytes * Frames);
        for (size_t f = 0; f < Frames; ++f) {
            Bytes rgb;
            for (size_t i = 0; i < static_cast<size_t>(Width) * Height; ++i)
                rgb.insert(rgb.end(), video.begin() + f * frameBytes + i * 4 + 1, video.begin() + f * frameBytes + i * 4 + 4);
            dumpFrames_.push_back(std::move(rgb));
        }
    }

    static void TearDownTestSuite()
    {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    static Outcome Run(const std::vector<std::string> &args, const std::string &env = "")
    {
        std::string command = "unset QUILLFRAMER_PLUGIN; " + env + " " + Quote(exe_.string());
        for (const auto &a : args) command += " " + Quote(a);
        command += " </dev/null >" + Quote((dir_ / "stdout").string()) + " 2>" + Quote((dir_ / "stderr").string());
        Outcome r;
        int status = std::system(command.c_str());
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        r.out = ReadText(dir_ / "stdout");
        r.err = ReadText(dir_ / "stderr");
        return r;
    }

    static Outcome Export(const fs::path &out, std::vector<std::string> extra = {})
    {
        std::vector<std::string> args{"export", movie_, "-o", out.string(), "--volume", volume_, "--quiet"};
        args.insert(args.end(), extra.begin(), extra.end());
        return Run(args);
    }

    static inline fs::path exe_, example_, dir_;
    static inline std::string movie_, volume_;
    static inline std::vector<Bytes> dumpFrames_;
    static inline Bytes dumpAudio_;
};

TEST_F(MediaTest, PngFramesAndGifEqualTheDumpPixelForPixel)
{
    fs::create_directories(dir_ / "png");
    Outcome png = Export(dir_ / "png/%05d.png");
    ASSERT_EQ(png.status, 0) << png.err;
    for (int f = 0; f < Frames; ++f) {
        char name[32];
        std::snprintf(name, sizeof name, "png/%05d.png", f);
        Decoded d = DecodeFile(dir_ / name);
        ASSERT_EQ(d.frames.size(), 1u) << name;
        EXPECT_EQ(d.frames[0], dumpFrames_[f]) << name;
    }
    EXPECT_FALSE(fs::exists(dir_ / "png/00040.png"));

    Outcome gif = Export(dir_ / "bounce.gif");
    ASSERT_EQ(gif.status, 0) << gif.err;
    Decoded d = DecodeFile(dir_ / "bounce.gif");
    EXPECT_EQ(d.video, AV_CODEC_ID_GIF);
    ASSERT_EQ(d.frames.size(), static_cast<size_t>(Frames));
    for (int f = 0; f < Frames; ++f) EXPECT_EQ(d.frames[f], dumpFrames_[f]) << "GIF frame " << f;
    // 4 cs per frame: 40 frames last 1.6 s.
    EXPECT_NEAR(d.duration, 1.6, 0.041);
    // Scaled GIFs repeat each pixel.
    ASSERT_EQ(Export(dir_ / "big.gif", {"--scale", "3"}).status, 0);
    Decoded big = DecodeFile(dir_ / "big.gif");
    ASSERT_EQ(big.width, Width * 3);
    ASSERT_EQ(big.frames.size(), static_cast<size_t>(Frames));
    EXPECT_EQ(Psnr(big.frames[17], dumpFrames_[17], Width, Height, 3), 99);
}

TEST_F(MediaTest, WavAndFlacEqualTheDumpSoundByteForByte)
{
    ASSERT_EQ(Export(dir_ / "bounce.wav").status, 0);
    Decoded wav = DecodeFile(dir_ / "bounce.wav");
    EXPECT_EQ(wav.audio, AV_CODEC_ID_PCM_S16LE);
    EXPECT_EQ(wav.sampleRate, 22050);
    ASSERT_EQ(wav.samples.size() * 2, dumpAudio_.size());
    EXPECT_EQ(std::memcmp(wav.samples.data(), dumpAudio_.data(), dumpAudio_.size()), 0);

    // MKV: H.264 picture, FLAC sound, which is lossless and must also come back exactly.
    ASSERT_EQ(Export(dir_ / "bounce.mkv").status, 0);
    Decoded mkv = DecodeFile(dir_ / "bounce.mkv");
    EXPECT_EQ(mkv.video, AV_CODEC_ID_H264);
    EXPECT_EQ(mkv.audio, AV_CODEC_ID_FLAC);
    ASSERT_EQ(mkv.samples.size() * 2, dumpAudio_.size());
    EXPECT_EQ(std::memcmp(mkv.samples.data(), dumpAudio_.data(), dumpAudio_.size()), 0);

    // A window of the sound equals dump after the same seek.
    ASSERT_EQ(Export(dir_ / "part.wav", {"--start", "0.4", "--duration", "0:00.6"}).status, 0);
    ASSERT_EQ(Run({"dump", movie_, "--video", (dir_ / "v2").string(), "--audio", (dir_ / "a2").string(), "--seek",
                   "400", "--packets", "30", "--volume", volume_})
                  .status,
              0);
    Decoded part = DecodeFile(dir_ / "part.wav");
    Bytes expected = ReadBytes(dir_ / "a2");
    ASSERT_EQ(part.samples.size() * 2, expected.size());  // 15 pairs: 0.6 s
    EXPECT_EQ(std::memcmp(part.samples.data(), expected.data(), expected.size()), 0);
}

// H.264 at CRF 16 and VP9 at CRF 20 on flat-coloured pixel art scaled 2x: 4:2:0 chroma is exact
// on 2x2 blocks of one colour, so the loss is quantisation plus RGB/YUV rounding, a few levels
// at edges. 30 dB (an RMS error of about 8 levels) is far below what a wrong frame, a shifted
// picture or swapped colour channels give (under 20 dB on this movie) and far above what
// these settings produce (measured above 38 dB), so the bound catches faults without flaking.
TEST_F(MediaTest, Mp4AndWebmHaveTheirCodecsRateLengthAndPicture)
{
    struct Case {
        const char *name;
        AVCodecID video, audio;
        int rate;
    } cases[] = {{"bounce.mp4", AV_CODEC_ID_H264, AV_CODEC_ID_AAC, 22050},
                 {"bounce.webm", AV_CODEC_ID_VP9, AV_CODEC_ID_OPUS, 48000}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Outcome r = Export(dir_ / c.name);
        ASSERT_EQ(r.status, 0) << r.err;
        Decoded d = DecodeFile(dir_ / c.name);
        EXPECT_EQ(d.video, c.video);
        EXPECT_EQ(d.audio, c.audio);
        EXPECT_EQ(d.pixelFormat, AV_PIX_FMT_YUV420P);
        EXPECT_EQ(d.sampleRate, c.rate);
        EXPECT_EQ(d.frameRate.num, 25 * d.frameRate.den);
        EXPECT_EQ(d.width, Width * 2);
        EXPECT_EQ(d.height, Height * 2);
        EXPECT_NEAR(d.duration, 1.6, 0.04 + 1e-6);
        ASSERT_EQ(d.frames.size(), static_cast<size_t>(Frames));
        double worst = 99;
        for (int f = 0; f < Frames; ++f) worst = std::min(worst, Psnr(d.frames[f], dumpFrames_[f], Width, Height, 2));
        EXPECT_GT(worst, 30.0);
        // The sound is there and about as long as the movie.
        EXPECT_NEAR(d.samples.size() / 2.0 / c.rate, 1.6, 0.1);
    }
}

TEST_F(MediaTest, FrameSheetAndPlay)
{
    Outcome r = Run({"frame", movie_, "--at", "0.5", "-o", (dir_ / "at.png").string(), "--volume", volume_});
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(Run({"dump", movie_, "--video", (dir_ / "v3").string(), "--audio", (dir_ / "a3").string(), "--seek",
                   "500", "--packets", "1", "--volume", volume_})
                  .status,
              0);
    Bytes words = ReadBytes(dir_ / "v3"), rgb;
    for (size_t i = 0; i + 3 < words.size(); i += 4) rgb.insert(rgb.end(), words.begin() + i + 1, words.begin() + i + 4);
    Decoded at = DecodeFile(dir_ / "at.png");
    ASSERT_EQ(at.frames.size(), 1u);
    EXPECT_EQ(at.frames[0], rgb);

    r = Run({"sheet", movie_, "-o", (dir_ / "sheet.png").string(), "--every", "0.4", "--volume", volume_});
    ASSERT_EQ(r.status, 0) << r.err;
    Decoded sheet = DecodeFile(dir_ / "sheet.png");
    ASSERT_EQ(sheet.frames.size(), 1u);
    EXPECT_GT(sheet.width, 4 * Width);  // four thumbnails in a row, at full size for a small picture
    EXPECT_NE(r.out.find("4 thumbnails"), std::string::npos) << r.out;

    r = Run({"play", movie_, "--frames", "5", "--scale", "2", "--volume", volume_},
            "SDL_VIDEODRIVER=dummy SDL_AUDIODRIVER=dummy");
    EXPECT_EQ(r.status, 0) << r.err;
}

TEST_F(MediaTest, MakeExampleOpensWithItsDescriptor)
{
    Outcome r = Run({"info", movie_, "--json", "--volume", volume_});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\"width\":64,\"height\":48,\"duration\":1600"), std::string::npos) << r.out;
    // The referenced sound is in the volume directory under its Amiga path.
    EXPECT_TRUE(fs::exists(dir_ / "bounce-volume/Bounce/Boing"));
}

// One line on stderr, exit status 1, naming the cause.
void ExpectError(const Outcome &r, const std::string &needle)
{
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_NE(r.err.find(needle), std::string::npos) << r.err;
}

TEST_F(MediaTest, ErrorsNameTheirCause)
{
    Outcome ok = Export(dir_ / "ok.wav");
    EXPECT_EQ(ok.status, 0);
    EXPECT_TRUE(ok.err.empty()) << ok.err;

    ExpectError(Run({"export", (dir_ / "missing.qf").string(), "-o", (dir_ / "m.mp4").string()}), "missing.qf");
    std::ofstream(dir_ / "junk.qf") << "xNotAMovie!!and more bytes than a signature";
    ExpectError(Run({"export", (dir_ / "junk.qf").string(), "-o", (dir_ / "j.mp4").string()}), "signature");
    ExpectError(Export(dir_ / "movie.avi"), "unknown output type");
    ExpectError(Export(dir_ / "single.png"), "pattern");
    ExpectError(Export(dir_ / "no/such/dir/out.mp4"), "no/such/dir/out.mp4");
    ExpectError(Export(dir_ / "no/such/dir/%05d.png"), "no/such/dir/00000.png");
    ExpectError(Run({"export", movie_, "-o", (dir_ / "c.wav").string()}), "Work");  // volume not given: cancelled
    EXPECT_FALSE(fs::exists(dir_ / "c.wav"));
    ExpectError(Export(dir_ / "late.wav", {"--start", "5"}), "past the end");
    ExpectError(Export(dir_ / "bad.wav", {"--start", "1:xx"}), "not a time");
    ExpectError(Run({"frame", movie_, "--at", "9", "-o", (dir_ / "f.png").string(), "--volume", volume_}), "past the end");

    // make: a script naming a face set that does not exist says where.
    std::ofstream(dir_ / "bad.json") << R"({"scenes": [{"ticks": 10, "sprites": [{"faceSet": "nope"}]}]})";
    ExpectError(Run({"make", (dir_ / "bad.json").string(), "-o", (dir_ / "bad.qf").string()}), "scenes[0]: no face set named \"nope\"");
    std::ofstream(dir_ / "broken.json") << "{ not json";
    ExpectError(Run({"make", (dir_ / "broken.json").string(), "-o", (dir_ / "bad.qf").string()}), "not valid JSON");
}

TEST_F(MediaTest, DemoMakesAllFourFiles)
{
    Outcome r = Run({"demo", "-o", (dir_ / "demo").string(), "--quiet"});
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char *name : {"demo.mp4", "demo.gif", "demo.wav", "sheet.png"}) {
        EXPECT_GT(fs::file_size(dir_ / "demo" / name), 1000u) << name;
        EXPECT_NE(r.out.find(name), std::string::npos) << r.out;
    }
    Decoded wav = DecodeFile(dir_ / "demo/demo.wav");
    EXPECT_NEAR(wav.samples.size() / 2.0 / 22050, 10.0, 0.5);  // about ten seconds
}

}  // namespace
