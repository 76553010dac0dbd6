#include "movie/record_list.h"

#include <string.h>

#include "plugin/memory.h"
#include "plugin/notes.h"

// Pointers are read and written by their bytes: the lists hold records of several types.
static void *LoadPointer(const void *at)
{
    void *pointer;
    memcpy(&pointer, at, sizeof pointer);
    return pointer;
}

static void StorePointer(void *at, void *pointer) { memcpy(at, &pointer, sizeof pointer); }

static void *NextOf(void *record, size_t nextOffset) { return LoadPointer((char *)record + nextOffset); }

void AppendRecord(void *head, void *last, void *record, size_t nextOffset)
{
    void *lastRecord = last ? LoadPointer(last) : 0;
    void *link = lastRecord ? (char *)lastRecord + nextOffset : head;
    for (void *next = LoadPointer(link); next; next = LoadPointer(link)) link = (char *)next + nextOffset;
    StorePointer(link, record);
    if (last) StorePointer(last, record);
}

// Makes room for count records; the list may have grown since the index was last used.
static int32_t ReserveIndex(const MovieHandle *movie, RecordIndex *index, int32_t count)
{
    if (index->capacity >= count) return 1;
    int64_t capacity = index->capacity ? index->capacity : 16;
    while (capacity < count) capacity *= 2;
    void **records = (void **)AllocZeroed((size_t)capacity * sizeof(void *));
    if (!records) return QF_FAIL(movie, Memory, "a list index", (size_t)capacity * sizeof(void *));
    if (index->count) memcpy(records, index->records, (size_t)index->count * sizeof(void *));
    FreeBlock(index->records);
    index->records = records;
    index->capacity = (int32_t)capacity;
    return 1;
}

void *NthRecord(const MovieHandle *movie, RecordIndex *index, void *head, int32_t count, uint32_t position,
                size_t nextOffset)
{
    if (!ReserveIndex(movie, index, count)) return 0;
    void *record = index->count ? NextOf(index->records[index->count - 1], nextOffset) : head;
    for (; record && index->count < count; record = NextOf(record, nextOffset)) index->records[index->count++] = record;
    return index->records[position];
}

void FreeRecords(void *head, size_t nextOffset, void (*freeOwned)(void *record))
{
    while (head) {
        void *next = NextOf(head, nextOffset);
        if (freeOwned) freeOwned(head);
        FreeBlock(head);
        head = next;
    }
}

void AppendBackground(MovieHandle *movie, BackgroundImage *image)
{
    AppendRecord(&movie->backgrounds, &movie->lastBackground, image, offsetof(BackgroundImage, next));
    movie->backgroundCount++;
}

void AppendFaceSet(MovieHandle *movie, FaceSet *set)
{
    AppendRecord(&movie->faceSets, &movie->lastFaceSet, set, offsetof(FaceSet, next));
    movie->faceSetCount++;
}

void AppendSound(MovieHandle *movie, SoundSample *sample)
{
    AppendRecord(&movie->soundSamples, &movie->lastSound, sample, offsetof(SoundSample, next));
    movie->soundCount++;
}
