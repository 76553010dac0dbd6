// IFF readers: the planar bitmap decoder and the picture, face set and sound loaders.
#ifndef QUILLFRAMER_IFF_LOADERS_H
#define QUILLFRAMER_IFF_LOADERS_H

#include <stdint.h>

#include "movie/movie_model.h"

int32_t DecodePlanarBody(HostFile file, uint32_t length, uint8_t *destination, int32_t width, int32_t height,
                         int32_t planeCount, int32_t masking, int32_t compression);
int32_t LoadBackgroundImage(MovieHandle *movie, HostFile file);
int32_t LoadFaceSet(MovieHandle *movie, HostFile file);
int32_t LoadSoundSample(MovieHandle *movie, HostFile file);

#endif
