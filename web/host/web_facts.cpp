// Read-only looks into the movie model for the page's seek bar and facts panel.
#include "web_facts.hpp"

#include "movie/movie_model.h"
#include "playback/playback.h"

int SceneCount(const MovieHandle *movie) { return movie->sceneCount > 0 ? movie->sceneCount : 0; }

uint32_t SceneStartMs(const MovieHandle *movie, int scene) { return SceneStart(movie, scene); }

int SceneAt(const MovieHandle *movie, uint32_t ms) { return FindScene(movie, ms); }

int AssetCount(const MovieHandle *movie, int kind)
{
    switch (kind) {
    case AssetBackground: return movie->backgroundCount;
    case AssetFaceSet: return movie->faceSetCount;
    case AssetSound: return movie->soundCount;
    default: return 0;
    }
}
