// The people-facing subcommands of quillframer, run as a program on the documented `make`
// example. Their outputs are read back with FFmpeg's libraries (never with quillframer itself)
// and compared with `dump`, the plug-in's own frames and sound.
#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cmath>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <tuple>

#include "media/image.hpp"
#include "testing/run_command.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;
using qftest::Outcome;
using qftest::ReadBytes;

// What FFmpeg finds in a file: stream codecs, rate, length, every picture (RGB24), the number of
// sound frames and, when the sound is 16-bit interleaved (WAV, FLAC), the samples themselves.
struct Decoded {
    AVCodecID video = AV_CODEC_ID_NONE, audio = AV_CODEC_ID_NONE;
    AVPixelFormat pixelFormat = AV_PIX_FMT_NONE;
    AVRational frameRate{0, 1};
    AVRational sampleAspect{0, 1};  // as the container declares it
    int width = 0, height = 0, sampleRate = 0;
    double duration = 0;  // seconds
    std::vector<Bytes> frames;
    size_t soundFrames = 0;
    Bytes samples;
};

Decoded DecodeFile(const std::string &path)
{
    Decoded d;
    AVFormatContext *fmt = nullptr;
    if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0) {
        ADD_FAILURE() << "FFmpeg cannot open " << path;
        return d;
    }
    avformat_find_stream_info(fmt, nullptr);
    d.duration = std::max<int64_t>(fmt->duration, 0) / static_cast<double>(AV_TIME_BASE);
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
            d.sampleAspect = av_guess_sample_aspect_ratio(fmt, fmt->streams[i], nullptr);
        } else if (par->codec_type == AVMEDIA_TYPE_AUDIO) {
            d.audio = par->codec_id;
            d.sampleRate = par->sample_rate;
        }
    }
    AVPacket *pkt = av_packet_alloc();
    AVFrame *frame = av_frame_alloc();
    auto drain = [&](AVCodecContext *c) {
        while (avcodec_receive_frame(c, frame) == 0) {
            if (c->codec_type == AVMEDIA_TYPE_VIDEO) {
                Bytes rgb(static_cast<size_t>(frame->width) * frame->height * 3);
                SwsContext *sws = sws_getContext(
                    frame->width, frame->height, static_cast<AVPixelFormat>(frame->format), frame->width, frame->height,
                    AV_PIX_FMT_RGB24, SWS_POINT | SWS_ACCURATE_RND | SWS_BITEXACT, nullptr, nullptr, nullptr);
                uint8_t *dst[1] = {rgb.data()};
                int stride[1] = {frame->width * 3};
                sws_scale(sws, frame->data, frame->linesize, 0, frame->height, dst, stride);
                sws_freeContext(sws);
                d.frames.push_back(std::move(rgb));
            } else {
                d.soundFrames += static_cast<size_t>(frame->nb_samples);
                if (frame->format == AV_SAMPLE_FMT_S16)
                    d.samples.insert(d.samples.end(), frame->data[0],
                                     frame->data[0] + frame->nb_samples * frame->ch_layout.nb_channels * 2);
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
            avcodec_free_context(&c);
        }
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

// dump's video words (0, R, G, B per pixel) as RGB24 frames of `pixels` pixels.
std::vector<Bytes> RgbFrames(const Bytes &words, size_t pixels)
{
    std::vector<Bytes> frames;
    for (size_t at = 0; at + pixels * 4 <= words.size(); at += pixels * 4) {
        Bytes rgb;
        for (size_t i = at; i < at + pixels * 4; i += 4)
            rgb.insert(rgb.end(), words.begin() + i + 1, words.begin() + i + 4);
        frames.push_back(std::move(rgb));
    }
    return frames;
}

// The documented `make` example is built once and dumped once; every test compares with that.
class MediaTest : public ::testing::Test {
protected:
    static constexpr int Width = 64, Height = 48, Frames = 40;  // the bounce example: 8 scenes of 200 ms

    static void SetUpTestSuite()
    {
        const char *source = std::getenv("QF_SOURCE_DIR");
        ASSERT_NE(source, nullptr);
        dir_ = std::make_unique<qftest::TempDir>();
        movie_ = Path("bounce.qf");
        volume_ = "Work=" + Path("bounce-volume");
        Outcome made = Run({"make", (fs::path(source) / "docs/examples/bounce/bounce.json").string(), "-o", movie_});
        ASSERT_EQ(made.status, 0) << made.err;
        dumpFrames_ = RgbFrames(Dump("dump", 0, 0), static_cast<size_t>(Width) * Height);
        dumpAudio_ = ReadBytes(Path("dump.audio"));
        ASSERT_EQ(dumpFrames_.size(), static_cast<size_t>(Frames));
    }
    static void TearDownTestSuite() { dir_.reset(); }

    static std::string Path(const std::string &name) { return (*dir_ / name).string(); }
    static Outcome Run(const std::vector<std::string> &args, const std::string &env = "")
    {
        return qftest::RunQuillframer(args, dir_->path(), env);
    }
    // dump's video (returned) and audio (NAME.audio) after a seek to `seek` ms, all packets or `packets`.
    static Bytes Dump(const std::string &name, int seek, int packets)
    {
        std::vector<std::string> args{
            "dump", movie_, "--video", Path(name + ".video"), "--audio", Path(name + ".audio"), "--volume", volume_};
        if (seek) args.insert(args.end(), {"--seek", std::to_string(seek)});
        if (packets) args.insert(args.end(), {"--packets", std::to_string(packets)});
        Outcome r = Run(args);
        EXPECT_EQ(r.status, 0) << r.err;
        return ReadBytes(Path(name + ".video"));
    }
    static Outcome Export(const std::string &out, std::vector<std::string> extra = {})
    {
        std::vector<std::string> args{"export",   movie_,  "-o",     out == "-" ? out : Path(out),
                                      "--volume", volume_, "--quiet"};
        args.insert(args.end(), extra.begin(), extra.end());
        return Run(args);
    }

    static inline std::unique_ptr<qftest::TempDir> dir_;
    static inline std::string movie_, volume_;
    static inline std::vector<Bytes> dumpFrames_;
    static inline Bytes dumpAudio_;
};

TEST_F(MediaTest, MakeExampleOpensWithItsDescriptor)
{
    Outcome r = Run({"info", movie_, "--json", "--volume", volume_});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\"width\":64,\"height\":48,\"duration\":1600"), std::string::npos) << r.out;
    // The referenced sound is in the volume directory under its Amiga path.
    EXPECT_TRUE(fs::exists(Path("bounce-volume/Bounce/Boing")));
}

TEST_F(MediaTest, PngFramesAndGifEqualTheDumpPixelForPixel)
{
    fs::create_directories(Path("png"));
    Outcome png = Export("png/%05d.png");
    ASSERT_EQ(png.status, 0) << png.err;
    for (int f = 0; f < Frames; ++f) {
        char name[32];
        std::snprintf(name, sizeof name, "png/%05d.png", f);
        Decoded d = DecodeFile(Path(name));
        ASSERT_EQ(d.frames.size(), 1u) << name;
        EXPECT_EQ(d.frames[0], dumpFrames_[f]) << name;
    }
    EXPECT_FALSE(fs::exists(Path("png/00040.png")));

    ASSERT_EQ(Export("bounce.gif").status, 0);
    Decoded d = DecodeFile(Path("bounce.gif"));
    EXPECT_EQ(d.video, AV_CODEC_ID_GIF);
    ASSERT_EQ(d.frames.size(), static_cast<size_t>(Frames));
    for (int f = 0; f < Frames; ++f) EXPECT_EQ(d.frames[f], dumpFrames_[f]) << "GIF frame " << f;
    EXPECT_NEAR(d.duration, 1.6, 0.041);  // 4 cs per frame: 40 frames last 1.6 s
    // A scaled GIF repeats each pixel.
    ASSERT_EQ(Export("big.gif", {"--scale", "3"}).status, 0);
    Decoded big = DecodeFile(Path("big.gif"));
    ASSERT_EQ(big.width, Width * 3);
    ASSERT_EQ(big.frames.size(), static_cast<size_t>(Frames));
    EXPECT_EQ(Psnr(big.frames[17], dumpFrames_[17], Width, Height, 3), 99);
}

TEST_F(MediaTest, WavEqualsTheDumpSoundByteForByte)
{
    Outcome r = Export("bounce.wav");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    Decoded wav = DecodeFile(Path("bounce.wav"));
    EXPECT_EQ(wav.audio, AV_CODEC_ID_PCM_S16LE);
    EXPECT_EQ(wav.sampleRate, 22050);
    EXPECT_EQ(wav.samples, dumpAudio_);

    // A window of the sound equals dump after the same seek: 15 pairs, 0.6 s.
    ASSERT_EQ(Export("part.wav", {"--start", "0.4", "--duration", "0:00.6"}).status, 0);
    Dump("part", 400, 30);
    EXPECT_EQ(DecodeFile(Path("part.wav")).samples, ReadBytes(Path("part.audio")));
}

// H.264 at CRF 16 and VP9 at CRF 20 on flat-coloured pixel art scaled 2x: 4:2:0 chroma is exact
// on 2x2 blocks of one colour, so the loss is quantisation plus RGB/YUV rounding, a few levels
// at edges. 30 dB (an RMS error of about 8 levels) is far below what a wrong frame, a shifted
// picture or swapped colour channels give (under 20 dB on this movie) and far above what
// these settings produce (measured above 38 dB), so the bound catches faults without flaking.
TEST_F(MediaTest, VideoFilesHaveTheirCodecsRateLengthAndPicture)
{
    const struct {
        const char *name;
        AVCodecID video, audio;
        int rate;
    } cases[] = {{"bounce.mp4", AV_CODEC_ID_H264, AV_CODEC_ID_AAC, 22050},
                 {"bounce.webm", AV_CODEC_ID_VP9, AV_CODEC_ID_OPUS, 48000},
                 {"bounce.mkv", AV_CODEC_ID_H264, AV_CODEC_ID_FLAC, 22050}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Outcome r = Export(c.name);
        ASSERT_EQ(r.status, 0) << r.err;
        Decoded d = DecodeFile(Path(c.name));
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
        if (c.audio == AV_CODEC_ID_FLAC) {
            EXPECT_EQ(d.samples, dumpAudio_) << "FLAC is lossless: the sound comes back exactly";
        }
        EXPECT_NEAR(d.soundFrames / double(c.rate), 1.6, 0.1);
    }
}

void ExpectUsageError(const Outcome &r, const std::string &needle);
void ExpectError(const Outcome &r, const std::string &needle);

// -o - streams through a pipe: a WAV byte for byte as its file (its sizes are known before the
// sound), whole or a window of it; Matroska with the file's pictures and sound.
TEST_F(MediaTest, StandardOutputHoldsWhatTheFileWould)
{
    // bash for pipefail: the command's status, not cat's.
    auto piped = [](std::vector<std::string> args, const std::string &file) {
        args.insert(args.begin(), {"-o", "pipefail", "-c", "out=$1; shift; \"$0\" \"$@\" | cat >\"$out\"",
                                   (fs::path(std::getenv("QF_BUILD_DIR")) / "quillframer").string(), file});
        return qftest::RunCommand("bash", args, dir_->path(), "unset QUILLFRAMER_PLUGIN;");
    };
    const std::vector<std::string> windows[] = {{}, {"--start", "0.3", "--duration", "0.5"}};
    for (const auto &window : windows) {
        SCOPED_TRACE(window.empty() ? "whole" : "window");
        std::vector<std::string> replace{"-y"};
        replace.insert(replace.end(), window.begin(), window.end());
        ASSERT_EQ(Export("file.wav", replace).status, 0);
        std::vector<std::string> args{"export", movie_, "-f", "wav", "-o", "-", "--volume", volume_};
        args.insert(args.end(), window.begin(), window.end());
        Outcome r = piped(args, Path("piped.wav"));
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(ReadBytes(Path("piped.wav")), ReadBytes(Path("file.wav")));
        EXPECT_NE(r.err.find("wrote standard output: "), std::string::npos) << r.err;  // the summary stays off the pipe
    }

    ASSERT_EQ(Export("file.mkv").status, 0);
    Outcome r = piped({"export", movie_, "--format", "matroska", "-o", "-", "--volume", volume_, "-q"}, Path("piped"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    Decoded file = DecodeFile(Path("file.mkv")), stream = DecodeFile(Path("piped"));
    EXPECT_EQ(stream.video, AV_CODEC_ID_H264);
    ASSERT_EQ(stream.frames.size(), static_cast<size_t>(Frames));
    EXPECT_TRUE(stream.frames == file.frames) << "the same pictures as the file";
    EXPECT_EQ(stream.samples, dumpAudio_);

    // -f also overrides an extension.
    ASSERT_EQ(Export("sound.dat", {"-f", "WAV"}).status, 0);
    EXPECT_EQ(DecodeFile(Path("sound.dat")).samples, dumpAudio_);

    ExpectUsageError(Export("-"), "-o - needs -f FORMAT");
    ExpectUsageError(Export("-", {"-f", "mp4"}), "MP4 needs a seekable file");
    EXPECT_NE(Export("-", {"-f", "mp4"}).err.find("-f mkv"), std::string::npos);
    ExpectUsageError(Export("-", {"-f", "avi"}), "--format: mp4, webm, mkv (matroska), gif or wav, not \"avi\"");
}

TEST_F(MediaTest, FrameAndSheet)
{
    Outcome r = Run({"frame", movie_, "--at", "0.5", "-o", Path("at.png"), "--volume", volume_});
    ASSERT_EQ(r.status, 0) << r.err;
    Decoded at = DecodeFile(Path("at.png"));
    ASSERT_EQ(at.frames.size(), 1u);
    EXPECT_EQ(at.frames, RgbFrames(Dump("at", 500, 1), static_cast<size_t>(Width) * Height));

    r = Run({"sheet", movie_, "-o", Path("sheet.png"), "--every", "0.4", "--volume", volume_});
    ASSERT_EQ(r.status, 0) << r.err;
    Decoded sheet = DecodeFile(Path("sheet.png"));
    ASSERT_EQ(sheet.frames.size(), 1u);
    EXPECT_GT(sheet.width, 4 * Width);  // four thumbnails in a row, at full size for a small picture
    EXPECT_NE(r.out.find("4 thumbnails"), std::string::npos) << r.out;
}

// frame and sheet write what the extension names: lossless WebP gives the PNG's pixels exactly,
// JPEG is close to them; an extension no command writes is refused before anything is opened.
TEST_F(MediaTest, FrameAndSheetWriteTheFormatTheirExtensionNames)
{
    const Bytes at = RgbFrames(Dump("at-formats", 500, 1), static_cast<size_t>(Width) * Height)[0];
    for (const char *name : {"at.webp", "at.JPG", "at.jpeg"}) {
        SCOPED_TRACE(name);
        Outcome r = Run({"frame", movie_, "--at", "0.5", "-o", Path(name), "--volume", volume_});
        ASSERT_EQ(r.status, 0) << r.err;
        Decoded d = DecodeFile(Path(name));
        ASSERT_EQ(d.frames.size(), 1u);
        if (std::string(name).ends_with("webp")) {
            EXPECT_EQ(d.video, AV_CODEC_ID_WEBP);
            EXPECT_EQ(d.frames[0], at);
        } else {
            EXPECT_EQ(d.video, AV_CODEC_ID_MJPEG);
            EXPECT_GT(Psnr(d.frames[0], at, Width, Height, 1), 30);
        }
    }
    Outcome r = Run({"sheet", movie_, "-o", Path("sheet.webp"), "--every", "0.4", "--volume", volume_, "-q"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(DecodeFile(Path("sheet.webp")).video, AV_CODEC_ID_WEBP);

    for (const char *command : {"frame", "sheet"}) {
        ExpectUsageError(Run({command, movie_, "-o", Path("still.bmp"), "--volume", volume_}),
                         Path("still.bmp") +
                             ": .bmp is no picture format this command writes (.png, .jpg or .jpeg, .webp)");
        EXPECT_FALSE(fs::exists(Path("still.bmp")));
    }
}

// "-" is a movie read from standard input: the same picture as from the file, named
// "standard input" in messages and "stdin" by %n.
TEST_F(MediaTest, StandardInputIsAMovie)
{
    auto fromStdin = [](const std::string &input, const std::vector<std::string> &args) {
        std::string line = qftest::Quote((fs::path(std::getenv("QF_BUILD_DIR")) / "quillframer").string());
        for (const std::string &a : args) line += " " + qftest::Quote(a);
        return qftest::RunCommand("sh", {"-c", line + " <" + qftest::Quote(input)}, dir_->path(),
                                  "unset QUILLFRAMER_PLUGIN;");
    };
    ASSERT_EQ(Run({"frame", movie_, "--at", "0.5", "-o", Path("file.png"), "--volume", volume_, "-y"}).status, 0);
    Outcome r = fromStdin(movie_, {"frame", "-", "--at", "0.5", "-o", Path("%n.png"), "--volume", volume_, "-y"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ReadBytes(Path("stdin.png")), ReadBytes(Path("file.png")));

    r = fromStdin(movie_, {"info", "-", "--volume", volume_});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out.starts_with("standard input\n  picture  64 x 48\n")) << r.out;
    ExpectError(fromStdin("/dev/null", {"info", "-"}), "standard input is empty");
    ExpectError(fromStdin(movie_, {"info", "-", "--volume", volume_, "--max-file-size", "100"}),
                "standard input holds more than 100 bytes");
}

// Every label of a sheet, given to `frame --at`, gives exactly its thumbnail. The example
// changes scene every 200 ms on the stream's drifting clock: its eleventh picture is played at
// 0.39999999999999997 s, still in the second scene, where a seek to 0.4 s is in the third. Each
// picture is looked for in the sheet after the one before, so the layout stays the sheet's own.
TEST_F(MediaTest, EachSheetLabelFramesItsThumbnail)
{
    const std::vector<std::string> modes[] = {{}, {"--every", "0.2"}, {"--every", "0.4"}};
    for (const auto &mode : modes) {
        SCOPED_TRACE(mode.empty() ? "scene changes" : "every " + mode[1]);
        std::vector<std::string> args{"sheet", movie_, "-o", Path("labels.png"), "-y", "--volume", volume_};
        args.insert(args.end(), mode.begin(), mode.end());
        Outcome r = Run(args);
        ASSERT_EQ(r.status, 0) << r.err;
        const size_t line = r.out.find("\nat ");
        ASSERT_NE(line, std::string::npos) << r.out;
        std::istringstream labels(r.out.substr(line + 4));
        Decoded sheet = DecodeFile(Path("labels.png"));
        ASSERT_EQ(sheet.frames.size(), 1u);
        const Bytes &all = sheet.frames[0];
        auto holds = [&](const Bytes &picture, int x0, int y0) {
            for (int y = 0; y < Height; ++y)
                if (!std::equal(picture.begin() + y * Width * 3, picture.begin() + (y + 1) * Width * 3,
                                all.begin() + ((y0 + y) * sheet.width + x0) * 3))
                    return false;
            return true;
        };
        int from = 0, count = 0;  // where in the sheet, in reading order, the next thumbnail may be
        for (std::string label; labels >> label; ++count) {
            Outcome f = Run({"frame", movie_, "--at", label, "-o", Path("label.png"), "-y", "--volume", volume_});
            ASSERT_EQ(f.status, 0) << f.err;
            Decoded picture = DecodeFile(Path("label.png"));
            ASSERT_EQ(picture.frames.size(), 1u);
            int at = from;
            while (at <= (sheet.height - Height) * sheet.width &&
                   !(at % sheet.width <= sheet.width - Width &&
                     holds(picture.frames[0], at % sheet.width, at / sheet.width)))
                ++at;
            ASSERT_LE(at, (sheet.height - Height) * sheet.width) << "no thumbnail after the one before shows " << label;
            from = at + 1;
        }
        EXPECT_NE(r.out.find(std::to_string(count) + " thumbnails"), std::string::npos) << r.out;
        if (mode.size() == 2 && mode[1] == "0.4") { EXPECT_EQ(count, 4); }
    }
}

// Shapes worked by hand. A lores PAL 320x256 picture filled a 4:3 screen: its shape is 4:3, and
// the smallest 4:3 rectangle that keeps all 320 columns and 256 rows is 344x258 (86 x 4:3), where
// 16/15 of the width alone would be 341.33. NTSC 320x200 is exact: 4:3 at 320x240. A size with no
// exact shape near it (the 64x48 example, PAL: 64:45) stretches only its wide axis, rounded.
TEST(PictureLayout, IntegerScaleThenTheSmallestExactCorrection)
{
    using qfmedia::PixelAspect;
    const struct {
        int w, h, scale;
        PixelAspect aspect;
        std::optional<qfmedia::Size> fit;
        qfmedia::Layout want;
    } cases[] = {
        {320, 256, 1, PixelAspect::Square, {}, {320, 256, 0, 0, 320, 256}},
        {320, 256, 1, PixelAspect::Pal, {}, {344, 258, 0, 0, 344, 258}},
        {320, 256, 3, PixelAspect::Pal, {}, {1024, 768, 0, 0, 1024, 768}},  // 960 x 16/15: exact already
        {320, 200, 1, PixelAspect::Ntsc, {}, {320, 240, 0, 0, 320, 240}},
        {64, 48, 1, PixelAspect::Pal, {}, {68, 48, 0, 0, 68, 48}},
        {64, 48, 1, PixelAspect::Ntsc, {}, {64, 58, 0, 0, 64, 58}},
        // --fit: the largest whole scale (5 for 320x200 in 1080p, 4 for PAL 320x256), centred.
        {320, 200, 1, PixelAspect::Square, qfmedia::Size{1920, 1080}, {1600, 1000, 160, 40, 1920, 1080}},
        {320, 256, 1, PixelAspect::Pal, qfmedia::Size{1920, 1080}, {1368, 1026, 276, 27, 1920, 1080}},
        {64, 48, 7, PixelAspect::Square, qfmedia::Size{64, 48}, {64, 48, 0, 0, 64, 48}},
    };
    for (const auto &c : cases) {
        qfmedia::Layout got = qfmedia::PlacePicture(c.w, c.h, c.scale, c.aspect, c.fit);
        SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h) + " scale " + std::to_string(c.scale));
        EXPECT_EQ(std::tie(got.width, got.height, got.x, got.y, got.canvasWidth, got.canvasHeight),
                  std::tie(c.want.width, c.want.height, c.want.x, c.want.y, c.want.canvasWidth, c.want.canvasHeight));
    }
    EXPECT_THROW(qfmedia::PlacePicture(320, 256, 1, PixelAspect::Square, qfmedia::Size{319, 256}), std::runtime_error);
}

// Hand-worked: an output pixel averages the block it covers (halves round up) and repeats a pixel
// when enlarging; a whole-number shrink is Shrink; the longer side gets the size, the other rounds.
TEST(Resize, AveragesWhatEachPixelCoversAndKeepsTheShape)
{
    auto row = [](std::initializer_list<uint8_t> greys) {
        qfmedia::RgbImage image(static_cast<int>(greys.size()), 1);
        int x = 0;
        for (uint8_t grey : greys) std::fill_n(image.at(x++, 0), 3, grey);
        return image;
    };
    auto greys = [](const qfmedia::RgbImage &image) {
        std::vector<int> out;
        for (size_t i = 0; i < image.rgb.size(); i += 3) out.push_back(image.rgb[i]);
        return out;
    };
    EXPECT_EQ(greys(qfmedia::Resize(row({0, 255}), 1, 1)), std::vector<int>{128});
    EXPECT_EQ(greys(qfmedia::Resize(row({10, 20, 30}), 2, 1)), (std::vector<int>{10, 25}));
    EXPECT_EQ(greys(qfmedia::Resize(row({10, 20, 30}), 6, 1)), (std::vector<int>{10, 10, 20, 20, 30, 30}));
    qfmedia::RgbImage block(4, 2);
    for (size_t i = 0; i < block.rgb.size(); ++i) block.rgb[i] = static_cast<uint8_t>(i * 37);
    EXPECT_EQ(qfmedia::Resize(block, 2, 1).rgb, qfmedia::Shrink(block, 2).rgb);
    EXPECT_EQ(qfmedia::Resize(block, 4, 2).rgb, block.rgb);

    const struct {
        int w, h, side, wantW, wantH;
    } sizes[] = {{320, 240, 128, 128, 96}, {300, 200, 128, 128, 85}, {200, 300, 128, 85, 128},
                 {64, 48, 500, 500, 375},  {1000, 1, 128, 128, 1},   {3, 2, 4, 4, 3}};
    for (const auto &c : sizes) {
        qfmedia::RgbImage got = qfmedia::ResizeLongestSide(qfmedia::RgbImage(c.w, c.h), c.side);
        EXPECT_EQ(std::pair(got.width, got.height), std::pair(c.wantW, c.wantH))
            << c.w << "x" << c.h << " to " << c.side;
    }
}

// The poster is frame's picture, resized; OUT is replaced, as file managers expect; a size beyond
// reason is refused before anything is made.
TEST_F(MediaTest, ThumbnailIsTheFrameResized)
{
    Outcome r = Run({"frame", movie_, "--at", "0.5", "-o", Path("poster-frame.png"), "--volume", volume_});
    ASSERT_EQ(r.status, 0) << r.err;
    Decoded at = DecodeFile(Path("poster-frame.png"));
    qfmedia::RgbImage picture(at.width, at.height);
    picture.rgb = at.frames.at(0);
    std::ofstream(Path("poster.png")) << "an older poster";
    r = Run({"thumbnail", "-s", "40", movie_, Path("poster.png"), "--at", "0.5", "--volume", volume_});
    ASSERT_EQ(r.status, 0) << r.err;
    Decoded poster = DecodeFile(Path("poster.png"));
    EXPECT_EQ(std::pair(poster.width, poster.height), std::pair(40, 30));  // 64x48
    EXPECT_EQ(poster.frames.at(0), qfmedia::ResizeLongestSide(picture, 40).rgb);

    r = Run({"thumbnail", "-s", "100000", movie_, Path("huge.png"), "--volume", volume_});
    EXPECT_NE(r.status, 0);
    EXPECT_FALSE(fs::exists(Path("huge.png")));
}

// Video files declare the pixel shape and keep every pixel; GIF and PNG are resampled; --fit pads.
TEST_F(MediaTest, AspectIsDeclaredInVideoAndResampledInPictures)
{
    const struct {
        const char *out;
        std::vector<std::string> options;
        int width, height;
        AVRational sar;  // {0,1}: none declared
    } cases[] = {
        {"pal.mp4", {"--aspect", "pal"}, 128, 96, {16, 15}},
        {"ntsc.mkv", {"--aspect", "ntsc"}, 128, 96, {5, 6}},
        // VP9 carries no pixel shape; WebM keeps a whole display width, 128 x 16/15 = 136.5 -> 137.
        {"pal.webm", {"--aspect", "pal"}, 128, 96, {137, 128}},
        {"square.mp4", {}, 128, 96, {0, 1}},
        {"fit.mp4", {"--aspect", "pal", "--fit", "300x200"}, 300, 200, {0, 1}},  // square pixels on a fixed canvas
        {"pal.gif", {"--aspect", "pal"}, 68, 48, {0, 1}},
        {"fit.gif", {"--fit", "200x100"}, 200, 100, {0, 1}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.out);
        Outcome r = Export(c.out, c.options);
        ASSERT_EQ(r.status, 0) << r.err;
        Decoded d = DecodeFile(Path(c.out));
        EXPECT_EQ(d.width, c.width);
        EXPECT_EQ(d.height, c.height);
        EXPECT_EQ(av_cmp_q(d.sampleAspect, c.sar), 0) << d.sampleAspect.num << ":" << d.sampleAspect.den;
    }
    // --fit 200x100 on 64x48: scale 2, a 128x96 picture at (36, 2) with black around it.
    Decoded fit = DecodeFile(Path("fit.gif"));
    ASSERT_FALSE(fit.frames.empty());
    const Bytes &f = fit.frames[10], &ref = dumpFrames_[10];
    auto px = [](const Bytes &b, int width, int x, int y) {
        return Bytes(&b[(y * width + x) * 3], &b[(y * width + x) * 3 + 3]);
    };
    EXPECT_EQ(px(f, 200, 0, 0), Bytes(3, 0));
    EXPECT_EQ(px(f, 200, 36 + 127, 2 + 95), px(ref, Width, 63, 47));
    EXPECT_EQ(px(f, 200, 36, 2), px(ref, Width, 0, 0));

    Outcome r = Run({"frame", movie_, "--aspect", "ntsc", "-o", Path("ntsc.png"), "--volume", volume_});
    ASSERT_EQ(r.status, 0) << r.err;
    Decoded png = DecodeFile(Path("ntsc.png"));
    EXPECT_EQ(std::pair(png.width, png.height), std::pair(64, 58));
    ExpectError(Export("x.mp4", {"--fit", "32x32"}), "does not fit");
}

// Several movies: each converted whatever happens to the others, %n naming the outputs.
TEST_F(MediaTest, BatchConvertsTheGoodMoviesAndNamesTheBadOne)
{
    fs::create_directories(Path("batch"));
    fs::copy_file(movie_, Path("batch/one.qf"));
    fs::copy_file(movie_, Path("batch/two.qf"));
    std::ofstream(Path("batch/bad.qf")) << "not a movie at all";
    Outcome r = Run({"export", Path("batch/one.qf"), Path("batch/bad.qf"), Path("batch/two.qf"), "-o",
                     Path("batch/%n.wav"), "-j", "2", "--volume", volume_});
    EXPECT_EQ(r.status, 1) << r.err;
    for (const char *name : {"one", "two"}) {
        EXPECT_EQ(DecodeFile(Path(std::string("batch/") + name + ".wav")).samples, dumpAudio_) << name;
        EXPECT_NE(r.out.find(std::string("batch/") + name + ".wav"), std::string::npos) << r.out;
    }
    EXPECT_FALSE(fs::exists(Path("batch/bad.wav")));
    EXPECT_NE(r.err.find("bad.qf: "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("3 movies, 2 done, 1 failed: " + Path("batch/bad.qf")), std::string::npos) << r.err;

    r = Run({"info", Path("batch/one.qf"), Path("batch/two.qf"), "--json", "--volume", volume_, "-q"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 2) << r.out;
    EXPECT_LT(r.out.find("one.qf"), r.out.find("two.qf"));
    ExpectUsageError(Run({"frame", Path("batch/one.qf"), Path("batch/two.qf"), "-o", Path("same.png")}),
                     "several movies need %n in -o, such as %n.png");
}

// The player under SDL's dummy driver, driven by keys: a frame step lands on the next or
// previous frame, a seek while paused shows its picture, the end starts over when looping.
// The scene is the plug-in's: frame 10 plays at 0.39999999999999997 s, 399 ms, still scene 2.
TEST_F(MediaTest, PlayerKeysStepSeekAndLoop)
{
    const std::string dummy = "SDL_VIDEODRIVER=dummy SDL_AUDIODRIVER=dummy";
    Outcome r =
        Run({"play", movie_, "--volume", volume_, "--script", "space home . . . , , o l . . . . . . . . . q"}, dummy);
    ASSERT_EQ(r.status, 0) << r.err;
    const char *lines[] = {"Home: frame 0 scene 1/8 paused\n",   ".: frame 1 scene 1/8 paused\n",
                           ".: frame 2 scene 1/8 paused\n",      ".: frame 3 scene 1/8 paused\n",
                           ",: frame 2 scene 1/8 paused\n",      ",: frame 1 scene 1/8 paused\n",
                           "O: frame 1 scene 1/8 paused\n",      "L: frame 1 scene 1/8 paused loop\n",
                           ".: frame 4 scene 1/8 paused loop\n", ".: frame 5 scene 2/8 paused loop\n",
                           ".: frame 10 scene 2/8 paused loop\n"};
    size_t at = 0;
    for (const char *line : lines) {
        at = r.out.find(line, at);
        ASSERT_NE(at, std::string::npos) << line << " in\n" << r.out;
    }

    // 40 frames, then 10 more from the start.
    r = Run({"play", movie_, "--volume", volume_, "--loop", "--frames", "50", "--script", "", "--aspect", "pal"},
            dummy);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("loop: back to the start"), std::string::npos) << r.out;

    ExpectError(Run({"play", movie_, "--volume", volume_}, "unset DISPLAY WAYLAND_DISPLAY SDL_VIDEODRIVER;"),
                "no display");
}

// Several movies play one after another: > (or Enter) moves on, < goes back, > past the last
// does nothing, q quits them all; the end of one starts the next. Keys after a move are the
// next movie's; each window names its movie.
TEST_F(MediaTest, PlaylistMovesOnByKeyAndAtTheEnd)
{
    const std::string dummy = "SDL_VIDEODRIVER=dummy SDL_AUDIODRIVER=dummy";
    fs::copy_file(movie_, Path("second.qf"), fs::copy_options::overwrite_existing);
    const std::string first = "window: quillframer - bounce.qf (1/2)\n",
                      second = "window: quillframer - second.qf (2/2)\n";
    auto inOrder = [](const std::string &out, std::vector<std::string> lines) {
        size_t at = 0;
        for (const std::string &line : lines) {
            at = out.find(line, at);
            if (at == std::string::npos) return ::testing::AssertionFailure() << line << " in\n" << out;
            at += line.size();
        }
        return ::testing::AssertionSuccess();
    };
    Outcome r =
        Run({"play", movie_, Path("second.qf"), "--volume", volume_, "--script", "< > space > < enter q"}, dummy);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(inOrder(r.out, {first, "<: frame 0 scene 1/8\n", second, "Space: frame 0 scene 1/8 paused\n",
                                ">: frame 0 scene 1/8 paused\n", first, second}));
    EXPECT_EQ(r.out.find("q:"), std::string::npos) << r.out;  // q quits whatever is playing

    // 40 pictures of the first, then 10 of the second; --frames counts them all.
    r = Run({"play", movie_, Path("second.qf"), "--volume", volume_, "--frames", "50", "--script", ""}, dummy);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(inOrder(r.out, {first, second}));
    r = Run({"play", movie_, Path("second.qf"), "--volume", volume_, "--frames", "30", "--script", ""}, dummy);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, first);

    // A movie that cannot be opened is skipped, going on and going back, and the status says so.
    std::ofstream(Path("broken.qf")) << "not a movie";
    const std::vector<std::string> three{movie_, Path("broken.qf"), Path("second.qf"), "--volume", volume_};
    auto play = [&](std::vector<std::string> extra) {
        std::vector<std::string> args{"play"};
        args.insert(args.end(), three.begin(), three.end());
        args.insert(args.end(), extra.begin(), extra.end());
        return Run(args, dummy);
    };
    const std::string one = "window: quillframer - bounce.qf (1/3)\n",
                      three3 = "window: quillframer - second.qf (3/3)\n";
    r = play({"--frames", "50", "--script", ""});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(inOrder(r.out, {one, three3}));
    EXPECT_TRUE(inOrder(r.err, {"broken.qf: ", "not a Quill Framer movie", "; skipped\n",
                                "quillframer: 1 of 3 movies could not be played\n"}));
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 2) << r.err;
    r = play({"--script", "> < q"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(inOrder(r.out, {one, three3, one})) << "< skips it back to the first";
    ExpectError(Run({"play", Path("broken.qf")}, dummy), "not a Quill Framer movie");  // alone: an error
}

// No sound device: one line says so, whatever the sound libraries would print, and the movie plays.
TEST_F(MediaTest, PlayerWithoutSoundSaysSoInOneLine)
{
    Outcome r = Run({"play", movie_, movie_, "--volume", volume_, "--frames", "45", "--script", ""},
                    "SDL_VIDEODRIVER=dummy SDL_AUDIODRIVER=no-such-driver");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "quillframer: no sound device (Audio target 'no-such-driver' not available); playing without "
                     "sound\n");  // once for the two movies
    // ALSA with no card (or with one: then nothing at all is said).
    r = Run({"play", movie_, "--volume", volume_, "--frames", "3", "--script", ""},
            "SDL_VIDEODRIVER=dummy SDL_AUDIODRIVER=alsa");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.err.empty() || (r.err.starts_with("quillframer: no sound device (") &&
                                  std::count(r.err.begin(), r.err.end(), '\n') == 1))
        << r.err;
}

// One line on stderr, exit status 1, naming the cause. A missing movie and a bad signature are
// the dump suite's: every command opens movies the same way.
void ExpectError(const Outcome &r, const std::string &needle)
{
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_NE(r.err.find(needle), std::string::npos) << r.err;
}

// One line on stderr, exit status 2: the command line itself is wrong, nothing was opened.
void ExpectUsageError(const Outcome &r, const std::string &needle)
{
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_NE(r.err.find("quillframer: " + needle), std::string::npos) << r.err;
}

TEST_F(MediaTest, ErrorsNameTheirCause)
{
    ExpectUsageError(Export("movie.avi"), "unknown output type");
    ExpectUsageError(Export("single.png"), "PNG output needs a frame number pattern");
    // The folders an output names are made, as a PNG pattern's are.
    ASSERT_EQ(Export("made/here/%n.wav").status, 0);
    EXPECT_TRUE(fs::is_regular_file(Path("made/here/bounce.wav")));
    ExpectError(Export("made/here/bounce.wav/x.wav"), "cannot make the folder");
    ExpectError(Run({"export", movie_, "-o", Path("c.wav")}), "Work");  // volume not given: cancelled
    EXPECT_FALSE(fs::exists(Path("c.wav")));
    ExpectError(Export("late.wav", {"--start", "5"}), "past the end");
    ExpectUsageError(Export("bad.wav", {"--start", "1:xx"}), "--start: \"1:xx\" is not a time");
    ExpectError(Run({"frame", movie_, "--at", "9", "-o", Path("f.png"), "--volume", volume_}), "past the end");

    std::ofstream(Path("bad.json")) << R"({"scenes": [{"ticks": 10, "sprites": [{"faceSet": "nope"}]}]})";
    ExpectError(Run({"make", Path("bad.json"), "-o", Path("bad.qf")}),
                "scenes[0] (scene 1): no face set named \"nope\"");
    std::ofstream(Path("typo.json")) << R"({"scenes": [{"ticks": 10}, {"repeat": 3}, {"scroll": {"axsi": "y"}}]})";
    ExpectError(Run({"make", Path("typo.json"), "-o", Path("bad.qf")}),
                "typo.json: scenes[2].scroll.axsi (scene 5): unknown key \u2014 did you mean 'axis'?");
    // A key is the script's text: a newline in it is shown, not obeyed.
    std::ofstream(Path("newline.json")) << R"({"scenes": [{"ticks": 10, "tic\nks": 1}]})";
    ExpectError(Run({"make", Path("newline.json"), "-o", Path("bad.qf")}),
                "scenes[0].tic\\x0aks (scene 1): unknown key");
    std::ofstream(Path("broken.json")) << "{ not json";
    ExpectError(Run({"make", Path("broken.json"), "-o", Path("bad.qf")}), "not valid JSON");
}

// The one demo run (about 25 s under the sanitizers).
// Without -o the demo goes into ./quillframer-demo, and the command says so.
TEST_F(MediaTest, DemoMakesAllFourFiles)
{
    fs::create_directories(Path("here"));
    Outcome r = Run({"demo", "--quiet"}, "cd " + qftest::Quote(Path("here")) + " &&");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find(Path("here/quillframer-demo")), std::string::npos) << r.err;
    for (const char *name : {"demo.mp4", "demo.gif", "demo.wav", "sheet.png"}) {
        EXPECT_GT(fs::file_size(Path("here/quillframer-demo/" + std::string(name))), 1000u) << name;
        EXPECT_NE(r.out.find(name), std::string::npos) << r.out;
    }
    EXPECT_NEAR(DecodeFile(Path("here/quillframer-demo/demo.wav")).soundFrames / 22050.0, 10.0, 0.5);  // ten seconds
}

}  // namespace
