// The built quillframer.vtp as a host sees it: its exports, its registration record, and a host
// base that survives a later InitPlugin without one. Loaded with dlopen through the stand-in host.
#include <array>
#include <cstdio>
#include <cstdlib>
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

std::set<std::string> DefinedDynamicSymbols(const fs::path &library)
{
    std::set<std::string> names;
    std::string command = "nm -D --defined-only '" + library.string() + "'";
    FILE *pipe = ::popen(command.c_str(), "r");
    if (!pipe) return names;
    std::array<char, 512> line{};
    while (std::fgets(line.data(), line.size(), pipe)) {
        char address[64], type[8], name[256];
        if (std::sscanf(line.data(), "%63s %7s %255s", address, type, name) == 3) names.insert(name);
    }
    ::pclose(pipe);
    return names;
}

TEST(PluginAbi, ExportsExactlyTheThirteenEntryPoints)
{
    const std::set<std::string> expected = {"InitPlugin",       "ClosePlugin",      "OpenVideo",  "CloseVideo",
                                            "GetVideoFormat",   "GetVideoFrames",   "NextPacket", "FreePacket",
                                            "SeekVideo",        "DecodeVideoFrame", "DecodeAudioFrame",
                                            "FlushAudio",       "FlushVideo"};
    ASSERT_TRUE(fs::exists(PluginPath())) << PluginPath();
    EXPECT_EQ(DefinedDynamicSymbols(PluginPath()), expected);
}

TEST(PluginAbi, LoaderNamesAMissingEntryPoint)
{
    // The C library is a shared object with none of the entry points.
    try {
        qfhost::Plugin plugin("libc.so.6");
        FAIL() << "loaded a library without entry points";
    } catch (const std::runtime_error &e) {
        std::string what = e.what();
        EXPECT_NE(what.find("InitPlugin"), std::string::npos) << what;
        EXPECT_NE(what.find("FlushVideo"), std::string::npos) << what;
    }
    EXPECT_THROW(qfhost::Plugin("/nonexistent/quillframer.vtp"), std::runtime_error);
}

TEST(PluginAbi, FillsEveryPluginInfoField)
{
    qfhost::Plugin plugin(PluginPath());
    const PluginInfo &info = plugin.info();
    EXPECT_EQ(info.hostWord1, 64);
    EXPECT_EQ(info.version, 1);
    EXPECT_EQ(info.revision, 2);
    EXPECT_EQ(info.hostWord4, 5);
    EXPECT_EQ(info.hostWord5, 0);
    EXPECT_STREQ(info.name, "Quill Framer");
    EXPECT_STREQ(info.module, "quillframer");
    ASSERT_NE(info.author, nullptr);
    EXPECT_GT(std::strlen(info.author), 0u);
    EXPECT_STREQ(info.description, "Enables Veltrane to load Quillframer video streams");
    ASSERT_NE(info.licence, nullptr);
    EXPECT_GT(std::strlen(info.licence), 0u);
    ASSERT_NE(info.webAddress, nullptr);
    EXPECT_GT(std::strlen(info.webAddress), 0u);
    EXPECT_STREQ(info.date, "01.07.15");
    EXPECT_EQ(info.zero1, nullptr);
    EXPECT_EQ(info.zero2, nullptr);

    // Every field is written, whatever the host's record held before.
    PluginInfo dirty;
    std::memset(&dirty, 0xA5, sizeof dirty);
    EXPECT_EQ(plugin.entry().InitPlugin(&dirty, plugin.base()), 1);
    EXPECT_EQ(dirty.hostWord5, 0);
    EXPECT_EQ(dirty.zero1, nullptr);
    EXPECT_EQ(dirty.zero2, nullptr);
    EXPECT_STREQ(dirty.date, "01.07.15");
}

TEST(PluginAbi, VideoFormatIsOneConstantString)
{
    qfhost::Plugin plugin(PluginPath());
    const char *first = plugin.entry().GetVideoFormat();
    const char *second = plugin.entry().GetVideoFormat();
    EXPECT_EQ(first, second);
    EXPECT_STREQ(first, "Quill Framer");
    plugin.entry().ClosePlugin();
    plugin.entry().FlushAudio();
    plugin.entry().FlushVideo();
    EXPECT_EQ(plugin.entry().GetVideoFormat(), first);
}

TEST(PluginAbi, NullHostBaseKeepsTheValidOne)
{
    ScratchDir dir;
    fs::path movie = dir.write("tiny.qf", TinyMovie());
    qfhost::Plugin plugin(PluginPath());
    PluginInfo info{};
    EXPECT_EQ(plugin.entry().InitPlugin(&info, nullptr), 1);
    EXPECT_STREQ(info.name, "Quill Framer") << "the record is filled all the same";

    // Host calls still reach this host: the movie opens and its file is closed again.
    auto opened = plugin.open(movie);
    ASSERT_TRUE(opened);
    EXPECT_EQ(opened->width(), 352);
    EXPECT_EQ(opened->height(), 240);
    EXPECT_EQ(opened->durationMs(), 120u);
    EXPECT_EQ(qfhost::Host::openFileCount(), 0);
}

TEST(PluginAbi, VersionSixPassesTheOpenOptionThroughTheTaggedOpen)
{
    ScratchDir dir;
    fs::path movie = dir.write("tiny.qf", TinyMovie());
    qfhost::Plugin plugin(PluginPath());
    auto withOption = plugin.open(movie, 9);
    EXPECT_EQ(plugin.host().lastOpenOption(), 9u);
    auto withoutOption = plugin.open(movie, 0);
    EXPECT_EQ(plugin.host().lastOpenOption(), 0u);

    qfhost::HostSettings five;
    five.version = 5;
    qfhost::Plugin old(PluginPath(), five);
    auto plain = old.open(movie, 9);
    EXPECT_EQ(old.host().lastOpenOption(), 0u) << "a version 5 host has no tagged open";
}

TEST(PluginAbi, FailedOpenNamesItsCause)
{
    ScratchDir dir;
    qfhost::Plugin plugin(PluginPath());
    fs::path missing = dir.path() / "none.qf";
    try {
        plugin.open(missing);
        FAIL();
    } catch (const std::runtime_error &e) {
        EXPECT_EQ(plugin.lastFailure().kind, qfhost::FailureKind::MovieFile);
        EXPECT_NE(std::string(e.what()).find(missing.string()), std::string::npos) << e.what();
    }
    fs::path bad = dir.write("bad.qf", TinyMovie("xQuillFramer"));
    EXPECT_THROW(plugin.open(bad), std::runtime_error);
    EXPECT_EQ(plugin.lastFailure().kind, qfhost::FailureKind::BadSignature);
    EXPECT_EQ(qfhost::Host::openFileCount(), 0);
}

}  // namespace
