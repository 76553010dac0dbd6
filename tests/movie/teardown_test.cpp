// CloseVideo on handles in every state an open can leave behind.
#include "tests/movie/movie_fixtures.h"

using namespace qftest;

namespace {

template <typename T>
T *Make()
{
    return static_cast<T *>(AllocZeroed(sizeof(T)));
}

TEST(Teardown, HalfBuiltHandleWithOpenFileClosesItOnce)
{
    ScriptedHost host;
    host.files["m"] = {1, 2, 3};
    host.install();
    MovieHandle *movie = Make<MovieHandle>();
    movie->file = host.openDirect("m");
    movie->noBackground = Make<BackgroundImage>();
    CloseVideo(movie);
    EXPECT_EQ(host.log, (std::vector<std::string>{"close 1"}));
    EXPECT_TRUE(host.allClosedOnce());
}

TEST(Teardown, EveryListAndSceneEntryIsFreedOnce)
{
    ScriptedHost host;
    host.install();
    MovieHandle *movie = Make<MovieHandle>();
    movie->noBackground = Make<BackgroundImage>();

    // Two backgrounds, one of them never loaded (no pixels).
    movie->backgrounds = Make<BackgroundImage>();
    movie->backgrounds->pixels = static_cast<uint8_t *>(AllocZeroed(12));
    movie->backgrounds->next = Make<BackgroundImage>();
    movie->backgroundCount = 2;

    movie->soundSamples = Make<SoundSample>();  // no data
    movie->soundSamples->next = Make<SoundSample>();
    movie->soundSamples->next->data = static_cast<int8_t *>(AllocZeroed(5));
    movie->soundCount = 2;

    movie->faceSets = Make<FaceSet>();
    movie->faceSets->images = Make<FaceImage>();
    movie->faceSets->images->pixels = static_cast<uint8_t *>(AllocZeroed(6));
    movie->faceSets->images->next = Make<FaceImage>();
    movie->faceSets->imageCount = 2;
    movie->faceSetCount = 1;

    movie->sceneCount = 2;
    movie->scenes = static_cast<SceneRecord *>(AllocZeroed(3 * sizeof(SceneRecord)));
    // Entry 0 holds commands given before the first scene: it is freed too.
    movie->scenes[0].scroll = Make<ScrollMotion>();
    movie->scenes[0].palette = static_cast<uint8_t *>(AllocZeroed(96));
    movie->scenes[0].paletteOwned = 1;
    // Borrowed palette and pixels shared by several placements.
    movie->scenes[1].palette = movie->backgrounds->colors;
    movie->scenes[1].paletteOwned = 0;
    for (int layer : {0, 15}) {
        for (int i = 0; i < 2; ++i) {
            SpritePlacement *p = Make<SpritePlacement>();
            p->pixels = movie->faceSets->images->pixels;
            p->next = movie->scenes[2].layers[layer];
            movie->scenes[2].layers[layer] = p;
        }
    }
    movie->volumeMappings = Make<VolumeMapping>();
    movie->volumeMappings->next = Make<VolumeMapping>();
    movie->frameBuffer = static_cast<uint8_t *>(AllocZeroed(4));

    CloseVideo(movie);  // double frees and leaks show under the sanitizers
    EXPECT_TRUE(host.log.empty());
}

TEST(Teardown, EmptyHandleAndNull)
{
    ScriptedHost host;
    host.install();
    CloseVideo(Make<MovieHandle>());
    CloseVideo(nullptr);
    EXPECT_TRUE(host.log.empty());
}

}  // namespace
