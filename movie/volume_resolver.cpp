// ResolveAmigaFile: an Amiga path becomes a host path through a directory the user chose for
// its volume, asked once per volume and movie.
#include <string.h>

#include "iff/iff_loaders.h"
#include "movie/movie_loading.h"
#include "movie/record_list.h"
#include "plugin/host_calls.h"
#include "plugin/memory.h"
#include "plugin/notes.h"

enum {
    VolumeNameSize = 64,
    HostPathSize = 1024
};

// The volume name is the text before the first colon; only it goes into the 64-byte buffer.
static const char *SplitVolume(const char *directory, char *volume)
{
    const char *colon = strchr(directory, ':');
    if (!colon) return 0;
    size_t length = (size_t)(colon - directory);
    if (length >= VolumeNameSize) return 0;
    memcpy(volume, directory, length);
    volume[length] = 0;
    return colon + 1;
}

// Copies text into a buffer of size bytes, always NUL-terminated.
static void CopyText(char *buffer, size_t size, const char *text)
{
    size_t length = strnlen(text, size - 1);
    memcpy(buffer, text, length);
    buffer[length] = 0;
}

static VolumeMapping *FindMapping(MovieHandle *movie, const char *volume)
{
    for (VolumeMapping *mapping = movie->volumeMappings; mapping; mapping = mapping->next)
        if (HostCompareNames(mapping->volume, volume) == 0) return mapping;
    return 0;
}

static void BuildRequesterMessage(char *message, size_t size, const char *volume)
{
    message[0] = 0;
    strncat(message, QF_REQUESTER_HEAD, size - 1);
    strncat(message, volume, size - 1 - strlen(message));
    strncat(message, QF_REQUESTER_TAIL, size - 1 - strlen(message));
}

static VolumeMapping *MakeMapping(const char *volume, const char *directory)
{
    VolumeMapping *mapping = (VolumeMapping *)AllocRaw(sizeof(VolumeMapping));
    if (!mapping) return 0;
    mapping->next = 0;
    memset(mapping->volume, 0, sizeof mapping->volume);
    memset(mapping->directory, 0, sizeof mapping->directory);
    memcpy(mapping->volume, volume, strlen(volume) + 1);  // at most 63 characters
    CopyText(mapping->directory, sizeof mapping->directory, directory);
    return mapping;
}

// A file that cannot be found fails the open, unless the recorder asks to go on without it: then
// an empty record takes its place, so later numbers still name the same entries.
static int32_t FileNotFound(MovieHandle *movie, int32_t kind, int32_t source, const char *volume)
{
    if (!QF_GO_ON_WITHOUT(movie, kind, source, volume)) return 0;
    size_t size = kind == AssetBackground ? sizeof(BackgroundImage)
                  : kind == AssetFaceSet  ? sizeof(FaceSet)
                                          : sizeof(SoundSample);
    void *record = AllocZeroed(size);
    if (!record) return QF_FAIL(movie, Memory, "a record for a missing file", size);
    if (kind == AssetBackground) {
        AppendBackground(movie, (BackgroundImage *)record);
    } else if (kind == AssetFaceSet) {
        ((FaceSet *)record)->standIn = 1;
        AppendFaceSet(movie, (FaceSet *)record);
    } else {
        AppendSound(movie, (SoundSample *)record);
    }
    return 1;
}

static int32_t RunLoader(MovieHandle *movie, int32_t kind, HostFile file)
{
    if (kind == AssetBackground) return LoadBackgroundImage(movie, file);
    if (kind == AssetFaceSet) return LoadFaceSet(movie, file);
    return LoadSoundSample(movie, file);
}

int32_t ResolveAmigaFile(MovieHandle *movie, int32_t kind, const char *directory, const char *fileName)
{
    char volume[VolumeNameSize];
    char path[HostPathSize];
    const char *tail = SplitVolume(directory, volume);
    if (!tail) {  // not an Amiga path this resolver can map
        const char *colon = strchr(directory, ':');
        if (colon) QF_NOTE(NoteFailedVolumeName(movie, directory, (size_t)(colon - directory), VolumeNameSize - 1));
        else QF_NOTE(NoteFailedPath(movie, directory));
        return FileNotFound(movie, kind, MissingPathRefused, 0);
    }
    memset(path, 0, sizeof path);
    VolumeMapping *mapping = FindMapping(movie, volume);
    if (mapping) {
        CopyText(path, sizeof path, mapping->directory);
    } else {
        char message[HostPathSize];
        BuildRequesterMessage(message, sizeof message, volume);
        if (!HostPathRequester(message, path, sizeof path, 0)) {
            QF_NOTE(NoteFailedCancelled(movie, volume));
            return FileNotFound(movie, kind, MissingVolume, volume);
        }
        path[sizeof path - 1] = 0;
        mapping = MakeMapping(volume, path);
        if (!mapping) {  // skipped: not opened, not loaded
            QF_NOTE(NoteFailedMemory(movie, "a volume mapping", sizeof(VolumeMapping)));
            QF_NOTE(NoteAssetLoad(movie, 0, kind, directory));
            return 1;
        }
        AppendRecord(&movie->volumeMappings, 0, mapping, offsetof(VolumeMapping, next));
    }
    if (*tail) HostJoinPath(path, tail, sizeof path);
    HostJoinPath(path, fileName, sizeof path);
    QF_NOTE(NoteAssetHostPath(movie, path));
    HostFile file = HostOpenFile(path, 0);
    if (!file) {
        QF_NOTE(NoteFailedReferencedFile(movie, path));
        return FileNotFound(movie, kind, MissingFile, volume);
    }
    // A referenced file that fails to load does not stop the movie.
    int32_t loaded = RunLoader(movie, kind, file);
    QF_NOTE(NoteAssetLoad(movie, loaded, kind, path));
    (void)loaded;
    HostCloseFile(file);
    return 1;
}
