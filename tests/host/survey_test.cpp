// What a movie is made of, as Survey reads it from the recording build of the plug-in's code:
// the files by Amiga path with where they were found, every missing volume at once, the scenes.
#include <gtest/gtest.h>

#include "authoring/iff_writer.h"
#include "authoring/movie_writer.h"
#include "host_test_support.hpp"
#include "movie/movie_model.h"
#include "recording/movie_survey.h"
#include "qfhost/survey.hpp"

using namespace hosttest;
using qfauthor::Asset;
using qfauthor::MovieWriter;
using qfhost::AssetOrigin;
using qfhost::AssetType;
using qfhost::Host;
using qfhost::HostSettings;
using qfhost::RequesterPolicy;
using qfhost::Survey;

namespace {

// Art: is given; Work: and Music: are not. Music: is named twice, Work: once.
struct ThreeVolumeMovie {
    TempDir dir;
    fs::path art = dir.path() / "art";
    fs::path movie;
    ThreeVolumeMovie()
    {
        qfauthor::IndexedImage sky{40, 25, std::vector<uint8_t>(1000, 1)};
        qfauthor::WriteReferencedAsset(art, "Art:Pics", "Sky",
                                       qfauthor::WriteIlbm(sky, std::vector<qfauthor::Color>(4)));
        std::vector<qfauthor::FaceEntry> faces(2);
        faces[0].image = {3, 2, std::vector<uint8_t>(6, 2)};
        faces[1].image = {2, 2, std::vector<uint8_t>(4, 3)};
        std::vector<int8_t> samples(100, 5);
        movie = dir.write("three.qf",
                          MovieWriter()
                              .reference(Asset::Sound, "Music:Tunes", "Boom")
                              .reference(Asset::Background, "Art:Pics", "Sky")
                              .reference(Asset::Background, "Work:", "Sea")
                              .reference(Asset::FaceSet, "music:Faces", "Hero")
                              .embedded()
                              .load(Asset::FaceSet, qfauthor::WriteFaceSet(faces, std::vector<qfauthor::Color>(4)))
                              .load(Asset::Sound, qfauthor::Write8svx(samples))
                              .scenes(3)
                              // clang-format off
                              .scene(1).background(0).duration(10).sound(1, 64, 428, 0b0101)
                              .faceSet(1, 0, 0).sprite(1, 0, 0, 0).sprite(2, 4, 0, 3)  // scenes 1 and 2
                              .scene(2).duration(25).faceSet(0, 0, 0).sprite(1, 0, 0, 0)
                              .scene(3).background(1).duration(7).sound(0, 32, 428, 0b0010)
                              // clang-format on
                              .end()
                              .bytes());
    }
    HostSettings settings() const
    {
        HostSettings s;
        s.volumes["Art"] = art;
        return s;
    }
};

TEST(Survey, ListsEveryFileAndEveryMissingVolumeAtOnceWithoutAsking)
{
    ThreeVolumeMovie m;
    HostSettings settings = m.settings();
    int asked = 0;
    settings.policy = RequesterPolicy::Terminal;
    settings.prompt = [&asked](const std::string &) -> std::optional<std::string> {
        ++asked;
        return std::nullopt;
    };
    Host host(settings);
    Survey survey(host, m.movie, 0, true);
    EXPECT_EQ(asked, 0);
    EXPECT_EQ(host.settings().policy, RequesterPolicy::Terminal) << "settings restored";
    ASSERT_TRUE(survey.opened());

    const auto &a = survey.assets();
    ASSERT_EQ(a.size(), 6u);
    EXPECT_EQ(a[0].origin, AssetOrigin::VolumeMissing);
    EXPECT_EQ(a[0].type, AssetType::Sound);
    EXPECT_EQ(a[0].amigaPath, "Music:Tunes/Boom");
    EXPECT_EQ(a[0].volume, "Music");
    EXPECT_EQ(a[0].offset, 33) << "the first command";
    EXPECT_EQ(a[1].origin, AssetOrigin::Loaded);
    EXPECT_EQ(a[1].amigaPath, "Art:Pics/Sky");
    EXPECT_EQ(fs::path(a[1].hostPath), m.art / "Pics" / "Sky");
    EXPECT_EQ(a[2].amigaPath, "Work:Sea") << "no slash after the volume's colon";
    EXPECT_EQ(a[2].origin, AssetOrigin::VolumeMissing);
    EXPECT_EQ(a[3].origin, AssetOrigin::VolumeMissing);
    EXPECT_EQ(a[4].origin, AssetOrigin::Embedded);
    EXPECT_EQ(a[4].amigaPath, "");
    EXPECT_EQ(a[5].origin, AssetOrigin::Embedded);
    // Numbers as the stream counts them: a missing file keeps its place.
    EXPECT_EQ(a[1].index, 0);
    EXPECT_EQ(a[2].index, 1);
    EXPECT_EQ(a[4].index, 1);
    EXPECT_EQ(a[5].index, 1);
    EXPECT_EQ(survey.missingVolumes(), (std::vector<std::string>{"Music", "Work"})) << "music: is Music:";

    ASSERT_NE(survey.background(0), nullptr);
    EXPECT_EQ(survey.background(0)->width, 40);
    EXPECT_EQ(survey.background(1), nullptr) << "missing";
    EXPECT_EQ(survey.faceSet(0), nullptr);
    ASSERT_NE(survey.faceSet(1), nullptr);
    EXPECT_EQ(survey.faceSet(1)->imageCount, 2);
    EXPECT_EQ(survey.sound(0), nullptr);
    ASSERT_NE(survey.sound(1), nullptr);
    EXPECT_EQ(survey.sound(1)->length, 100u);
    EXPECT_EQ(survey.background(2), nullptr) << "out of range";
}

// Each survey owns its record: one opened while another lives changes nothing in it.
TEST(Survey, SurveysLiveSideBySide)
{
    ThreeVolumeMovie m;
    Host host(m.settings());
    Survey skipping(host, m.movie, 0, true);
    Survey stopping(host, m.movie, 0, false);
    ASSERT_TRUE(skipping.opened());
    EXPECT_FALSE(stopping.opened());
    EXPECT_EQ(stopping.assets().size(), 1u) << "the open ends at the first missing file";
    {
        Survey again(host, m.movie, 0, true);
        ASSERT_TRUE(again.opened());
        EXPECT_NE(again.faceSet(1)->faces[0].pixels.data(), skipping.faceSet(1)->faces[0].pixels.data())
            << "a model of its own";
    }
    ASSERT_EQ(skipping.assets().size(), 6u);
    EXPECT_EQ(skipping.assets()[3].origin, AssetOrigin::VolumeMissing);
    EXPECT_EQ(skipping.faceSetCount(), 2);
    EXPECT_EQ(skipping.scenes().size(), 3u);
}

// Underneath, the face set of a missing file stands in, and the model keeps no recorder past the open.
TEST(Survey, TheRecordingOpenLeavesAStandInAndNoRecorder)
{
    ThreeVolumeMovie m;
    HostSettings settings = m.settings();
    settings.policy = RequesterPolicy::FixedMap;
    Host host(settings);
    host.makeCurrent();
    host.beginOpen(m.movie);
    auto record = std::make_unique<MovieSurvey>();
    ASSERT_EQ(QfSurveyMovie(host.base(), m.movie.c_str(), 0, 1, record.get()), 1);
    const MovieHandle *model = record->movie;
    ASSERT_NE(model, nullptr);
    ASSERT_EQ(model->faceSetCount, 2);
    EXPECT_EQ(model->faceSets->standIn, 1) << "music:Faces/Hero, not found, stands in";
    EXPECT_EQ(model->faceSets->next->standIn, 0);
    EXPECT_EQ(model->recorder, nullptr) << "the recorder ends with the open";
    QfEndSurvey(record.get());
}

// What a script needs of each scene and the art it takes out, as plain data over the model.
TEST(Survey, ScenesGiveTheirCommandsAndFilesTheirArt)
{
    TempDir dir;
    std::vector<qfauthor::FaceEntry> faces(2);
    faces[0].image = {3, 2, std::vector<uint8_t>{0, 1, 2, 3, 1, 0}};
    faces[0].offsetX = 1, faces[0].offsetY = -2;
    faces[1].image = {2, 1, std::vector<uint8_t>{3, 3}};
    std::array<uint16_t, 32> colours{};
    colours[1] = 0x0F80;
    const fs::path path = dir.write(
        "all.qf", MovieWriter()
                      .embedded()
                      .load(Asset::Background, qfauthor::WriteIlbm({4, 2, std::vector<uint8_t>{0, 1, 1, 0, 1, 1, 0, 0}},
                                                                   std::vector<qfauthor::Color>(2)))
                      .load(Asset::FaceSet, qfauthor::WriteFaceSet(faces, std::vector<qfauthor::Color>(4)))
                      .load(Asset::FaceSet, qfauthor::WriteFaceSet(faces, std::vector<qfauthor::Color>(4)))
                      .scenes(2)
                      // clang-format off
                      .scene(1).background(0).duration(6).faceSet(1, 10, 20).sprite(2, 0, 0, 0)
                      .faceSet(1, 15, 20).sprite(1, 0, 0, 0).faceSet(1, 0, 0).sprite(1, 0, 0, 3).scroll(2, 40, 1, true)
                      .cycles({qfauthor::CycleRange{1, 5, 0, 1}, {}, {}, {}})
                      .scene(2).background(0xFFFF).palette(colours).duration(8)
                      // clang-format on
                      .end()
                      .bytes());
    Host host{HostSettings{}};
    Survey survey(host, path, 0, true);
    ASSERT_TRUE(survey.opened());

    const qfhost::PictureArt *picture = survey.background(0);
    ASSERT_NE(picture, nullptr);
    EXPECT_EQ(picture->pixels.size(), 8u);
    EXPECT_EQ(picture->pixels[1], 1);
    EXPECT_EQ(picture->colors.size(), 6u) << "two colours";
    const qfhost::FaceSetArt *set = survey.faceSet(1);
    ASSERT_NE(set, nullptr);
    ASSERT_EQ(set->faces.size(), 2u);
    EXPECT_EQ(set->faces[0].pixels.size(), 6u);
    EXPECT_EQ(set->faces[0].offsetX, 1);
    EXPECT_EQ(set->faces[0].offsetY, -2);

    const auto &scenes = survey.scenes();
    ASSERT_EQ(scenes.size(), 2u);
    const qfhost::SceneCommands &first = scenes[0].commands, &second = scenes[1].commands;
    EXPECT_EQ(first.background, 0);
    EXPECT_TRUE(first.hasPalette && !first.ownPalette && first.paletteIsBackgrounds) << "borrowed from the picture";
    ASSERT_TRUE(first.scroll.has_value());
    EXPECT_TRUE(first.scroll->horizontal);
    EXPECT_EQ(first.scroll->velocity, 2);
    EXPECT_EQ(first.scroll->limit, 40);
    EXPECT_EQ(first.cycles[0].command, 1);
    EXPECT_EQ(first.cycles[0].high, 5);
    // In the stream's order, each layer in turn, named by set and face from 1.
    ASSERT_EQ(first.placements.size(), 3u);
    EXPECT_EQ(first.placements[0].face, 2);
    EXPECT_EQ(first.placements[1].face, 1);
    EXPECT_EQ(first.placements[2].layer, 3);
    for (const qfhost::PlacementEntry &p : first.placements) EXPECT_EQ(p.faceSet, 1);
    EXPECT_EQ(second.background, qfhost::SceneCommands::NoBackground);
    EXPECT_TRUE(second.ownPalette);
    ASSERT_EQ(second.palette.size(), 96u);
    EXPECT_EQ(second.palette[3] >> 4, 0xF) << "colour 1 is #F80";
    EXPECT_EQ(second.palette[4] >> 4, 0x8);
}

TEST(Survey, ScenesHaveTheirTimesPicturesFacesAndSounds)
{
    ThreeVolumeMovie m;
    Host host(m.settings());
    Survey survey(host, m.movie, 0, true);
    const auto &s = survey.scenes();
    ASSERT_EQ(s.size(), 3u);
    EXPECT_EQ(survey.durationMs(), 840u);
    EXPECT_EQ(s[0].startMs, 0u);
    EXPECT_EQ(s[1].startMs, 200u);
    EXPECT_EQ(s[2].startMs, 700u);
    EXPECT_EQ(s[2].durationMs, 140u);
    EXPECT_EQ(s[0].background, 0);
    EXPECT_EQ(s[1].background, 0) << "inherited";
    EXPECT_EQ(s[2].background, 1);
    EXPECT_EQ(s[0].paletteColors, 4);
    EXPECT_FALSE(s[0].ownPalette);
    EXPECT_EQ(s[0].sprites, 1);
    EXPECT_EQ(s[0].faceSets, std::vector<int>{1});
    EXPECT_EQ(s[1].sprites, 1) << "the sprite from the missing face set is not placed";
    EXPECT_EQ(s[1].faceSets, std::vector<int>{1});
    EXPECT_EQ(s[0].channels[0].sound, 1);
    EXPECT_EQ(s[0].channels[1].sound, -1);
    EXPECT_EQ(s[0].channels[2].sound, 1);
    EXPECT_EQ(s[0].channels[2].volume, 64);
    EXPECT_EQ(s[2].channels[1].sound, 0);
    EXPECT_EQ(s[2].channels[1].volume, 32);
    EXPECT_GT(s[2].channels[1].rate, 8000);

    // The scene at a time: each scene from its first to its last millisecond, the last past the end.
    for (const auto &scene : s) {
        EXPECT_EQ(qfhost::SceneAt(s, scene.startMs), scene.number);
        EXPECT_EQ(qfhost::SceneAt(s, scene.startMs + scene.durationMs - 1), scene.number);
    }
    EXPECT_EQ(qfhost::SceneAt(s, 100000), 3);
    EXPECT_EQ(qfhost::SceneAt({}, 0), 0);
}

TEST(Survey, WithoutSkippingTheOpenEndsAtTheFirstMissingFileAndAFoundVolumeCanLackTheFile)
{
    ThreeVolumeMovie m;
    Host host(m.settings());
    {
        Survey survey(host, m.movie, 0, false);
        EXPECT_FALSE(survey.opened());
        ASSERT_EQ(survey.assets().size(), 1u);
        EXPECT_TRUE(survey.assets()[0].missing());
        EXPECT_TRUE(survey.scenes().empty());
    }
    host.settings().volumes["Music"] = m.dir.path() / "empty";
    host.settings().volumes["Work"] = m.art;
    fs::create_directories(m.dir.path() / "empty");
    Survey survey(host, m.movie, 0, true);
    ASSERT_TRUE(survey.opened());
    EXPECT_TRUE(survey.missingVolumes().empty());
    EXPECT_EQ(survey.assets()[0].origin, AssetOrigin::FileMissing);
    EXPECT_EQ(fs::path(survey.assets()[0].hostPath), m.dir.path() / "empty" / "Tunes" / "Boom");
    EXPECT_EQ(survey.assets()[2].origin, AssetOrigin::FileMissing);
}

}  // namespace
