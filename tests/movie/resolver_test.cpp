// Amiga paths through replacement directories: asked once per volume and movie.
#include "movie/movie_loading.h"
#include "tests/movie/movie_fixtures.h"

using namespace qftest;
using qfauthor::Asset;
using qfauthor::Bytes;
using qfauthor::MovieWriter;

namespace {

const std::string Ask = "requester Please select replacement path for Amiga volume \"Work:\"! 1024 0";

std::vector<std::string> Without(const std::vector<std::string> &log, const std::vector<std::string> &prefixes)
{
    std::vector<std::string> out;
    for (const auto &entry : log) {
        bool drop = false;
        for (const auto &p : prefixes) drop = drop || entry.rfind(p, 0) == 0;
        if (!drop) out.push_back(entry);
    }
    return out;
}

TEST(Resolver, TwoFilesOnOneVolumeAskOnceAndJoinInOrder)
{
    ScriptedHost host;
    host.requesterAnswers.push_back(std::string("D"));
    host.files["D/Anims/Faces/Hero"] = Faces(1);
    host.files["D/Sounds/Boom"] = Sound(6);
    host.files["D/Pic"] = Picture(4, 2);
    Opened o;
    OpenBytes(host,
              MovieWriter()
                  .reference(Asset::FaceSet, "Work:Anims/Faces", "Hero")
                  .reference(Asset::Sound, "work:Sounds", "Boom")  // names that compare equal share a mapping
                  .reference(Asset::Background, "Work:", "Pic")    // empty tail: the file name alone
                  .scenes(1)
                  // clang-format off
                  .end().bytes(),
              // clang-format on
              o);
    ASSERT_NE(o.movie, nullptr);
    EXPECT_EQ(o.movie->faceSetCount, 1);
    EXPECT_EQ(o.movie->soundCount, 1);
    EXPECT_EQ(o.movie->backgroundCount, 1);
    ASSERT_NE(o.movie->volumeMappings, nullptr);
    EXPECT_STREQ(o.movie->volumeMappings->volume, "Work");
    EXPECT_STREQ(o.movie->volumeMappings->directory, "D");
    EXPECT_EQ(o.movie->volumeMappings->next, nullptr);

    std::vector<std::string> expected = {
        Ask,
        "join D Anims/Faces 1024",
        "join D/Anims/Faces Hero 1024",
        "open D/Anims/Faces/Hero 0",
        "close 2",
        "compare Work work",
        "join D Sounds 1024",
        "join D/Sounds Boom 1024",
        "open D/Sounds/Boom 0",
        "close 3",
        "compare Work Work",
        "join D Pic 1024",
        "open D/Pic 0",
        "close 4",
    };
    EXPECT_EQ(Without(host.log, {"eof", "readbyte", "read ", "seek", "open movie", "close 1"}), expected);
    EXPECT_TRUE(host.allClosedOnce());
}

TEST(Resolver, EachMovieAsksForItself)
{
    ScriptedHost host;
    host.requesterAnswers = {std::string("D"), std::string("E")};
    host.files["D/Pic"] = Picture(4, 2);
    host.files["E/Pic"] = Picture(6, 2);
    Bytes movie = MovieWriter().reference(Asset::Background, "Work:", "Pic").scenes(1).end().bytes();
    Opened first, second;
    OpenBytes(host, movie, first);
    OpenBytes(host, movie, second);
    ASSERT_NE(first.movie, nullptr);
    ASSERT_NE(second.movie, nullptr);
    EXPECT_EQ(host.count("requester"), 2);
    EXPECT_EQ(first.descriptor.width, 4);
    EXPECT_EQ(second.descriptor.width, 6);
}

TEST(Resolver, CancelAndUnopenableFilesFailTheOpen)
{
    {
        ScriptedHost host;  // no answers: cancelled
        Opened o;
        OpenBytes(host, MovieWriter().reference(Asset::Sound, "Work:S", "x").scenes(1).end().bytes(), o);
        EXPECT_EQ(o.movie, nullptr);
        EXPECT_EQ(host.count("join"), 0);
        EXPECT_TRUE(host.allClosedOnce());
    }
    {
        ScriptedHost host;
        host.requesterAnswers.push_back(std::string("D"));
        Opened o;
        OpenBytes(host, MovieWriter().reference(Asset::Sound, "Work:S", "missing").scenes(1).end().bytes(), o);
        EXPECT_EQ(o.movie, nullptr);
        EXPECT_EQ(host.count("requester"), 1);
        EXPECT_TRUE(host.allClosedOnce());
    }
}

TEST(Resolver, PathsItCannotMapFailWithoutAsking)
{
    std::string longVolume(64, 'V');
    for (const std::string &dir : {std::string("NoColon"), longVolume + ":x"}) {
        ScriptedHost host;
        host.requesterAnswers.push_back(std::string("D"));
        Opened o;
        OpenBytes(host, MovieWriter().reference(Asset::Sound, dir, "x").scenes(1).end().bytes(), o);
        EXPECT_EQ(o.movie, nullptr) << dir;
        EXPECT_EQ(host.count("requester"), 0) << dir;
    }
    // A 63-character volume with a long tail still resolves.
    std::string volume(63, 'W');
    std::string tail(150, 't');
    ScriptedHost host;
    host.requesterAnswers.push_back(std::string("D"));
    host.files["D/" + tail + "/s"] = Sound(4);
    Opened o;
    OpenBytes(host, MovieWriter().reference(Asset::Sound, volume + ":" + tail, "s").scenes(1).end().bytes(), o);
    ASSERT_NE(o.movie, nullptr);
    EXPECT_EQ(o.movie->soundCount, 1);
    EXPECT_STREQ(o.movie->volumeMappings->volume, volume.c_str());
}

TEST(Resolver, FailedLoadOfAReferencedFileLetsTheOpenGoOn)
{
    // The face set's pixel block cannot be allocated: the record stays, the open goes on.
    ScriptedHost host;
    host.requesterAnswers.push_back(std::string("D"));
    host.files["D/F"] = Faces(1);
    host.install();
    MovieHandle *movie = static_cast<MovieHandle *>(AllocZeroed(sizeof(MovieHandle)));
    qfAllocationCount = 0;
    qfFailAt = 4;  // mapping, set, image, pixels
    EXPECT_EQ(ResolveAmigaFile(movie, AssetFaceSet, "Work:", "F"), 1);
    qfFailAt = 0;
    EXPECT_EQ(movie->faceSetCount, 1);
    EXPECT_EQ(movie->faceSets->imageCount, 1);
    EXPECT_EQ(movie->faceSets->images->pixels, nullptr);
    EXPECT_EQ(host.count("close"), 1);
    CloseVideo(movie);
}

TEST(Resolver, MappingThatCannotBeAllocatedSkipsTheFile)
{
    ScriptedHost host;
    host.requesterAnswers = {std::string("D"), std::string("D")};
    host.files["D/F"] = Faces(1);
    host.install();
    MovieHandle *movie = static_cast<MovieHandle *>(AllocZeroed(sizeof(MovieHandle)));
    qfAllocationCount = 0;
    qfFailAt = 1;
    EXPECT_EQ(ResolveAmigaFile(movie, AssetFaceSet, "Work:", "F"), 1);
    qfFailAt = 0;
    EXPECT_EQ(movie->faceSetCount, 0);
    EXPECT_EQ(movie->volumeMappings, nullptr);
    EXPECT_EQ(host.count("open"), 0);
    // Nothing was remembered, so the next file asks again.
    EXPECT_EQ(ResolveAmigaFile(movie, AssetFaceSet, "Work:", "F"), 1);
    EXPECT_EQ(host.count("requester"), 2);
    EXPECT_EQ(movie->faceSetCount, 1);
    CloseVideo(movie);
}

TEST(Resolver, EveryAllocationOfAReferencedMovieFailedInTurnLeaksNothing)
{
    Bytes movie = MovieWriter()
                      .reference(Asset::Background, "Work:Pics", "Sky")
                      .reference(Asset::FaceSet, "Work:", "Faces")
                      // clang-format off
                      .scenes(2).scene(1).background(0).duration(6).faceSet(0, 0, 0).sprite(1, 0, 0, 0)
                      .end().bytes();
    // clang-format on
    auto prepare = [](ScriptedHost &host) {
        host.requesterAnswers = {std::string("D"), std::string("D")};
        host.files["D/Pics/Sky"] = Picture(8, 4);
        host.files["D/Faces"] = Faces(1);
    };
    // Skipped or half-loaded referenced files may leave a playable movie; either way every
    // file is closed once and the leak checker sees nothing.
    ForEachFailedAllocation(movie, prepare, [](long n, const Opened &, const ScriptedHost &host) {
        EXPECT_TRUE(host.allClosedOnce()) << "allocation " << n;
    });
}

}  // namespace
