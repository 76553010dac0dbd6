// What scenes inherit, scroll offsets scene by scene, and the picture size.
#include "tests/movie/movie_fixtures.h"

using namespace qftest;
using qfauthor::Asset;
using qfauthor::Bytes;
using qfauthor::MovieWriter;

namespace {

std::vector<int32_t> Offsets(const Opened &o, bool horizontal)
{
    std::vector<int32_t> out;
    for (int i = 1; i <= o.movie->sceneCount; ++i)
        out.push_back(horizontal ? Scene(o, i).scrollX : Scene(o, i).scrollY);
    return out;
}

TEST(Inheritance, FramesAndBackgroundsCarryForward)
{
    ScriptedHost host;
    Opened o;
    OpenBytes(host,
              MovieWriter()
                  // clang-format off
                  .embedded().load(Asset::Background, Picture(4, 4)).load(Asset::Background, Picture(6, 2))
                  .scenes(5)
                  .scene(2).duration(6).background(1)
                  .scene(4).duration(10).background(0xFFFF)
                  .end().bytes(),
              // clang-format on
              o);
    ASSERT_NE(o.movie, nullptr);
    BackgroundImage *second = o.movie->backgrounds->next;
    EXPECT_EQ(Scene(o, 1).frames, 0);  // before the first duration: no time at all
    EXPECT_EQ(Scene(o, 1).background, nullptr);
    EXPECT_EQ(Scene(o, 2).background, second);
    EXPECT_EQ(Scene(o, 3).background, second);
    EXPECT_EQ(Scene(o, 3).frames, 6);
    EXPECT_EQ(Scene(o, 4).background, o.movie->noBackground);
    EXPECT_EQ(Scene(o, 5).background, o.movie->noBackground);
    EXPECT_EQ(Scene(o, 5).frames, 10);
    EXPECT_EQ(o.movie->duration, 20u * (6 + 6 + 10 + 10));
    // The first picture loaded sets the size, not the first one shown.
    EXPECT_EQ(o.descriptor.width, 4);
    EXPECT_EQ(o.descriptor.height, 4);
}

TEST(Inheritance, FramesSixNoneTenMake440Ms)
{
    ScriptedHost host;
    Opened o;
    OpenBytes(host, MovieWriter().scenes(3).scene(1).duration(6).scene(3).duration(10).end().bytes(), o);
    ASSERT_NE(o.movie, nullptr);
    EXPECT_EQ(o.movie->duration, 440u);
}

TEST(Scroll, OneMotionSceneByScene)
{
    struct Case {
        const char *what;
        int width;  // 0: no background
        int16_t velocity, limit, acceleration;
        std::vector<int32_t> offsets;  // scrollX of scenes 1..n; the "g" scene shows 0
    };
    const Case cases[] = {
        {"constant speed keeps the width itself, then wraps", 10, 2, 0, 0, {0, 2, 4, 6, 8, 10, 2, 4}},
        {"acceleration stops at the limit", 320, 0, 10, 3, {0, 0, 3, 9, 18, 30, 42}},
        {"acceleration already past the limit is dropped", 100, 5, 2, 1, {0, 5, 10, 15}},
        {"nothing to wrap by without a background", 0, -3, 0, 0, {0, -3, -6, -9}},
    };
    for (const Case &c : cases) {
        MovieWriter w;
        w.embedded();
        if (c.width) w.load(Asset::Background, Picture(c.width, 4));
        w.scenes(static_cast<uint16_t>(c.offsets.size())).scene(1);
        if (c.width) w.background(0);
        w.scroll(c.velocity, c.limit, c.acceleration, true).end();
        ScriptedHost host;
        Opened o;
        OpenBytes(host, w.bytes(), o);
        ASSERT_NE(o.movie, nullptr) << c.what;
        EXPECT_EQ(Offsets(o, true), c.offsets) << c.what;
        EXPECT_EQ(Offsets(o, false), std::vector<int32_t>(c.offsets.size(), 0)) << c.what;
    }
}

TEST(Scroll, VerticalNegativeAndRestartedMotions)
{
    ScriptedHost host;
    Opened o;
    OpenBytes(host,
              MovieWriter()
                  // clang-format off
                  .embedded().load(Asset::Background, Picture(8, 5))
                  .scenes(7)
                  .scene(1).background(0).scroll(-2, 0, 0, false)
                  .scene(5).scroll(1, 0, 0, true)  // a new motion restarts at 0 on its own axis
                  .end().bytes(),
              // clang-format on
              o);
    ASSERT_NE(o.movie, nullptr);
    // -2 wraps to 3, then 1, then -1 -> 4.
    EXPECT_EQ(Offsets(o, false), (std::vector<int32_t>{0, 3, 1, 4, 0, 0, 0}));
    EXPECT_EQ(Offsets(o, true), (std::vector<int32_t>{0, 0, 0, 0, 0, 1, 2}));
}

TEST(Scroll, LongHostileMotionStaysDefined)
{
    // 65535 scenes at the largest speed with nothing to wrap by: no overflow traps.
    ScriptedHost host;
    Opened o;
    OpenBytes(host, MovieWriter().scenes(65535).scene(1).scroll(32767, 32767, 32767, true).end().bytes(), o);
    ASSERT_NE(o.movie, nullptr);
    EXPECT_EQ(o.descriptor.width, 352);
}

TEST(PictureSize, DefaultWithoutBackgroundsEvenWithSprites)
{
    ScriptedHost host;
    Opened o;
    OpenBytes(host,
              MovieWriter()
                  // clang-format off
                  .embedded().load(Asset::FaceSet, Faces(1, 500, 400))
                  .scenes(1).faceSet(0, 0, 0).sprite(1, 0, 0, 0)
                  .end().bytes(),
              // clang-format on
              o);
    ASSERT_NE(o.movie, nullptr);
    EXPECT_EQ(o.movie->width, 352);
    EXPECT_EQ(o.movie->height, 240);
    ASSERT_NE(o.movie->frameBuffer, nullptr);
    for (int i = 0; i < 352 * 240; ++i) ASSERT_EQ(o.movie->frameBuffer[i], 0);  // cleared once
}

}  // namespace
