// The movie's lists (pictures, face sets, sounds, faces, volume mappings) are singly linked
// records, each with its own next field; these routines serve them all, given that field's offset.
#ifndef QUILLFRAMER_RECORD_LIST_H
#define QUILLFRAMER_RECORD_LIST_H

#include <stddef.h>
#include <stdint.h>

#include "movie/movie_model.h"

// Links record at the tail. *last, when given and set, is where the walk to the tail starts;
// it then names the new record.
void AppendRecord(void *head, void *last, void *record, size_t nextOffset);
// The record at position (below count) through the list's index, which takes in what was
// appended since its last use. Null when the index cannot grow.
void *NthRecord(const MovieHandle *movie, RecordIndex *index, void *head, int32_t count, uint32_t position,
                size_t nextOffset);
// Frees every record of the list and, first, what freeOwned says each one owns (may be null).
void FreeRecords(void *head, size_t nextOffset, void (*freeOwned)(void *record));

// Each list of the movie grows only at its tail, through these.
void AppendBackground(MovieHandle *movie, BackgroundImage *image);
void AppendFaceSet(MovieHandle *movie, FaceSet *set);
void AppendSound(MovieHandle *movie, SoundSample *sample);

#endif
