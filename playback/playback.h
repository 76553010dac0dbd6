// Rules shared by the timeline, the compositor and the mixer.
#ifndef QUILLFRAMER_PLAYBACK_H
#define QUILLFRAMER_PLAYBACK_H

#include <stdint.h>

#include "movie/movie_model.h"

uint32_t SecondsToMs(double seconds);
int32_t FindScene(const MovieHandle *movie, uint32_t ms);
// Where scene (1 to sceneCount) starts, in ms: the scene FindScene gives from then on.
uint32_t SceneStart(const MovieHandle *movie, int32_t scene);
// Where the scene after scene starts, given where scene starts: the one step every scene start
// is summed by, inline so a host walking all scenes stays linear and needs no plug-in symbol.
static inline uint32_t NextSceneStart(const MovieHandle *movie, int32_t scene, uint32_t start)
{
    return start + SceneLengthMs(&movie->scenes[scene]);
}
void LoadScenePalette(MovieHandle *movie, const SceneRecord *scene);
// A pixel word: bytes 0, red, green, blue in memory order.
uint32_t PixelWord(uint8_t red, uint8_t green, uint8_t blue);

#endif
