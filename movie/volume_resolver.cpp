// ResolveAmigaFile: an Amiga path becomes a host path through a directory the user chose for
// its volume, asked once per volume and movie.
#include <string.h>

#include "iff/iff_loaders.h"
#include "movie/movie_loading.h"
#include "plugin/host_calls.h"
#include "plugin/memory.h"
#include "plugin/movie_survey.h"
#include "plugin/open_diagnostics.h"

enum { VolumeNameSize = 64, HostPathSize = 1024 };

// A file that cannot be found fails the open, but a survey may list it and go on.
#ifdef QF_OPEN_DIAGNOSTICS
#define QF_SKIP_MISSING(movie, kind, source, volume) SkipMissingAsset(movie, kind, source, volume)
#else
#define QF_SKIP_MISSING(movie, kind, source, volume) 0
#endif


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

static void AppendMapping(MovieHandle *movie, VolumeMapping *mapping)
{
    if (!movie->volumeMappings) {
        movie->volumeMappings = mapping;
        return;
    }
    VolumeMapping *last = movie->volumeMappings;
    while (last->next) last = last->next;
    last->next = mapping;
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
        QF_NOTE(strchr(directory, ':') ? NoteVolumeTooLong(directory, (size_t)(strchr(directory, ':') - directory),
                                                           VolumeNameSize - 1)
                                       : NoteFailure(OpenFailurePath, "no colon", directory));
        return QF_SKIP_MISSING(movie, kind, AssetPathRefused, 0);
    }
    memset(path, 0, sizeof path);
    VolumeMapping *mapping = FindMapping(movie, volume);
    if (mapping) {
        CopyText(path, sizeof path, mapping->directory);
    } else {
        char message[HostPathSize];
        BuildRequesterMessage(message, sizeof message, volume);
        if (!HostPathRequester(message, path, sizeof path, 0)) {
            QF_NOTE(NoteFailure(OpenFailureCancelled, 0, volume));
            return QF_SKIP_MISSING(movie, kind, AssetVolumeMissing, volume);
        }
        path[sizeof path - 1] = 0;
        mapping = MakeMapping(volume, path);
        if (!mapping) {  // skipped: not opened, not loaded
            QF_NOTE(NoteOutOfMemory("a volume mapping"));
            QF_NOTE(NoteAssetLoad(0, kind, directory));
            return 1;
        }
        AppendMapping(movie, mapping);
    }
    if (*tail) HostJoinPath(path, tail, sizeof path);
    HostJoinPath(path, fileName, sizeof path);
    QF_NOTE(NoteAssetHostPath(path));
    HostFile file = HostOpenFile(path, 0);
    if (!file) {
        QF_NOTE(NoteFailure(OpenFailureReferencedFile, 0, path));
        return QF_SKIP_MISSING(movie, kind, AssetFileMissing, volume);
    }
    // A referenced file that fails to load does not stop the movie.
    int32_t loaded = RunLoader(movie, kind, file);
    QF_NOTE(NoteAssetLoad(loaded, kind, path));
    (void)loaded;
    HostCloseFile(file);
    return 1;
}
