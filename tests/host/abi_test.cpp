// The built quillframer.vtp as a host sees it: its exports, its registration record, and a host
// base that survives a later InitPlugin without one. Loaded with dlopen through the stand-in host.
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <set>

#include "host_test_support.hpp"
#include "qfhost/host.hpp"

using namespace hosttest;

namespace {

fs::path PluginPath()
{
    const char *p = std::getenv("QF_PLUGIN");
    return p ? fs::path(p) : fs::path("quillframer.vtp");
}

TEST(PluginAbi, ExportsExactlyTheThirteenEntryPoints)
{
    ASSERT_TRUE(fs::exists(PluginPath())) << PluginPath();
    std::set<std::string> names;
    FILE *pipe = ::popen(("nm -D --defined-only " + qftest::Quote(PluginPath().string())).c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char line[512], address[64], type[8], name[256];
    while (std::fgets(line, sizeof line, pipe))
        if (std::sscanf(line, "%63s %7s %255s", address, type, name) == 3) names.insert(name);
    ::pclose(pipe);
    EXPECT_EQ(names, (std::set<std::string>{"InitPlugin", "ClosePlugin", "OpenVideo", "CloseVideo", "GetVideoFormat",
                                            "GetVideoFrames", "NextPacket", "FreePacket", "SeekVideo",
                                            "DecodeVideoFrame", "DecodeAudioFrame", "FlushAudio", "FlushVideo"}));
}

TEST(PluginAbi, LoaderNamesAMissingEntryPoint)
{
    try {
        qfhost::Plugin plugin("libc.so.6");  // a shared object with none of the entry points
        FAIL() << "loaded a library without entry points";
    } catch (const std::runtime_error &e) {
        EXPECT_NE(std::string(e.what()).find("InitPlugin"), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("FlushVideo"), std::string::npos) << e.what();
    }
    EXPECT_THROW(qfhost::Plugin("/nonexistent/quillframer.vtp"), std::runtime_error);
}

TEST(PluginAbi, FillsEveryPluginInfoFieldAndOneFormatString)
{
    qfhost::Plugin plugin(PluginPath());
    // Every field is written, whatever the host's record held before.
    PluginInfo dirty;
    std::memset(&dirty, 0xA5, sizeof dirty);
    EXPECT_EQ(plugin.entry().InitPlugin(&dirty, plugin.base()), 1);
    for (const PluginInfo *info : {&plugin.info(), static_cast<const PluginInfo *>(&dirty)}) {
        EXPECT_EQ(info->hostWord1, 64);
        EXPECT_EQ(info->version, 1);
        EXPECT_EQ(info->revision, 2);
        EXPECT_EQ(info->hostWord4, 5);
        EXPECT_EQ(info->hostWord5, 0);
        EXPECT_STREQ(info->name, "Quill Framer");
        EXPECT_STREQ(info->module, "quillframer");
        EXPECT_STREQ(info->description, "Enables Veltrane to load Quillframer video streams");
        for (const char *text : {info->author, info->licence, info->webAddress}) {
            ASSERT_NE(text, nullptr);
            EXPECT_GT(std::strlen(text), 0u);
        }
        EXPECT_STREQ(info->date, "01.07.15");
        EXPECT_EQ(info->zero1, nullptr);
        EXPECT_EQ(info->zero2, nullptr);
    }

    const char *first = plugin.entry().GetVideoFormat();
    EXPECT_STREQ(first, "Quill Framer");
    plugin.entry().ClosePlugin();
    plugin.entry().FlushAudio();
    plugin.entry().FlushVideo();
    EXPECT_EQ(plugin.entry().GetVideoFormat(), first);
}

TEST(PluginAbi, NullHostBaseKeepsTheValidOne)
{
    TempDir dir;
    qfhost::Plugin plugin(PluginPath());
    PluginInfo info{};
    EXPECT_EQ(plugin.entry().InitPlugin(&info, nullptr), 1);
    EXPECT_STREQ(info.name, "Quill Framer") << "the record is filled all the same";

    // Host calls still reach this host: the movie opens and its file is closed again.
    auto opened = plugin.open(dir.write("tiny.qf", TinyMovie()));
    ASSERT_TRUE(opened);
    EXPECT_EQ(opened->width(), 352);
    EXPECT_EQ(opened->height(), 240);
    EXPECT_EQ(opened->durationMs(), 120u);
    EXPECT_EQ(qfhost::Host::openFileCount(), 0);
    // A failed open leaves no file open either, and the host knows why it failed.
    EXPECT_THROW(plugin.open(dir.write("bad.qf", TinyMovie("xQuillFramer"))), std::runtime_error);
    EXPECT_EQ(plugin.lastFailure().kind, qfhost::FailureKind::BadSignature);
    EXPECT_EQ(qfhost::Host::openFileCount(), 0);
}

TEST(PluginAbi, ASeekAfterAPictureTakenAloneLandsOnThePictureAskedFor)
{
    TempDir dir;
    qfhost::Plugin plugin(PluginPath());
    auto movie = plugin.open(dir.write("long.qf", qftest::OneSceneMovie({}, {}, QF_SIGNATURE_QUILLFRAMER, 50)));
    // A picture without its sound, as a player stepping through a paused movie takes it.
    for (uint32_t ms : {0u, 400u, 200u}) {
        qfhost::Taken first = movie->take();
        ASSERT_EQ(first.result, qfhost::Took::Packet);
        EXPECT_TRUE(first.packet.isVideo()) << "at " << ms;
        EXPECT_NEAR(first.packet.time(), ms / 1000.0, 1e-9);
        movie->seek(ms == 0 ? 400 : 200);
    }
    // pictureAt's picture goes on with its own sound, then the next picture.
    ASSERT_TRUE(movie->pictureAt(600));
    qfhost::Taken sound = movie->take();
    EXPECT_TRUE(sound.packet.isAudio());
    EXPECT_NEAR(sound.packet.time(), 0.6, 1e-9);
    EXPECT_NEAR(movie->take().packet.time(), 0.64, 1e-9);
}

}  // namespace
