// Facts about an open movie that the entry points do not carry: where its scenes start and how
// many assets it holds. The page has the plug-in compiled in, so it may read them from the model.
#pragma once

#include <cstdint>

#include "quillframer/host_api.h"

int SceneCount(const MovieHandle *movie);
// Where scene k (1..count) starts, in milliseconds: the sum of the earlier scenes' lengths.
uint32_t SceneStartMs(const MovieHandle *movie, int scene);
// The scene the plug-in draws at ms.
int SceneAt(const MovieHandle *movie, uint32_t ms);
// Loaded records of a kind: 0 pictures, 1 face sets, 2 sounds.
int AssetCount(const MovieHandle *movie, int kind);
