// Internal routines of movie loading shared between the parser and the resolver.
#ifndef QUILLFRAMER_MOVIE_LOADING_H
#define QUILLFRAMER_MOVIE_LOADING_H

#include <stdint.h>

#include "movie/movie_model.h"

// OpenVideo telling recorder (null in the shipped plug-in) what happens on the way.
MovieHandle *OpenMovie(const char *name, StreamDescriptor *descriptor, Recorder *recorder);

// Finds a file named by Amiga path through the user's replacement directory and loads it.
// 1 = go on, 0 = fail the open.
int32_t ResolveAmigaFile(MovieHandle *movie, int32_t kind, const char *directory, const char *fileName);

// The post-pass after the command stream: inheritance, scroll offsets, length, picture size.
int32_t FinishMovie(MovieHandle *movie);
void FillStreamDescriptor(const MovieHandle *movie, StreamDescriptor *descriptor);

#endif
