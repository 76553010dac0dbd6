// The bodies of the notes in plugin/notes.h: each writes to the recorder of the movie being
// opened, and only the first failure of an open is kept.
#ifdef QF_RECORDING

#include <string.h>

#include "movie/movie_commands.h"
#include "movie/movie_model.h"
#include "plugin/host_calls.h"
#include "recording/movie_survey.h"
#include "recording/open_explanation.h"

static Recorder *RecorderOf(const MovieHandle *movie) { return movie ? movie->recorder : 0; }

// The record when it holds no failure yet, else null.
static OpenDiagnostics *FirstFailure(const MovieHandle *movie, int32_t failure)
{
    Recorder *recorder = RecorderOf(movie);
    if (!recorder || recorder->record.failure != OpenFailureNone) return 0;
    recorder->record.failure = failure;
    return &recorder->record;
}

static void CopyText(char *buffer, const char *text)
{
    buffer[0] = 0;
    if (text) strncat(buffer, text, OpenDiagnosticsTextSize - 1);
}

static void NoteText(const MovieHandle *movie, int32_t failure, const char *text)
{
    OpenDiagnostics *record = FirstFailure(movie, failure);
    if (record) CopyText(record->text, text);
}

void NoteFailedMovieFile(const MovieHandle *movie, const char *name) { NoteText(movie, OpenFailureMovieFile, name); }

void NoteFailedSignature(const MovieHandle *movie, const char *name) { NoteText(movie, OpenFailureSignature, name); }

void NoteFailedUnknownCommand(const MovieHandle *movie) { FirstFailure(movie, OpenFailureUnknownCommand); }

void NoteFailedIndex(const MovieHandle *movie, int32_t subject, int64_t index, int64_t limit)
{
    OpenDiagnostics *record = FirstFailure(movie, OpenFailureIndex);
    if (!record) return;
    record->subject = subject;
    record->index = index;
    record->limit = limit;
}

void NoteFailedOrder(const MovieHandle *movie, const char *rule)
{
    OpenDiagnostics *record = FirstFailure(movie, OpenFailureOrder);
    if (record) record->what = rule;
}

void NoteFailedMemory(const MovieHandle *movie, const char *what, size_t size)
{
    OpenDiagnostics *record = FirstFailure(movie, OpenFailureMemory);
    if (!record) return;
    record->what = what;
    record->size = size;
}

void NoteFailedPath(const MovieHandle *movie, const char *path)
{
    OpenDiagnostics *record = FirstFailure(movie, OpenFailurePath);
    if (!record) return;
    record->what = "no colon";
    CopyText(record->text, path);
}

void NoteFailedVolumeName(const MovieHandle *movie, const char *path, size_t length, size_t longest)
{
    OpenDiagnostics *record = FirstFailure(movie, OpenFailurePath);
    if (!record) return;
    record->what = "volume name too long";
    CopyText(record->text, path);
    record->index = (int64_t)length;
    record->limit = (int64_t)longest;
}

void NoteFailedCancelled(const MovieHandle *movie, const char *volume)
{
    NoteText(movie, OpenFailureCancelled, volume);
}

void NoteFailedReferencedFile(const MovieHandle *movie, const char *path)
{
    NoteText(movie, OpenFailureReferencedFile, path);
}

void NoteFailedNoScenes(const MovieHandle *movie) { FirstFailure(movie, OpenFailureNoScenes); }

void NoteNoMovieRecord(Recorder *recorder, size_t size)
{
    if (!recorder || recorder->record.failure != OpenFailureNone) return;
    recorder->record.failure = OpenFailureMemory;
    recorder->record.what = "the movie record";
    recorder->record.size = size;
}

// Position through the seek service, which answers with it; -1 when the host does not.
static int64_t Tell(HostFile file)
{
    return ((HostSeekFn)hostBase->fileTable[HOST_FILE_SEEK])(file, 0, HOST_SEEK_RELATIVE);
}

void NoteStreamSize(const MovieHandle *movie)
{
    Recorder *recorder = RecorderOf(movie);
    if (!recorder) return;
    HostSeekFn seek = (HostSeekFn)hostBase->fileTable[HOST_FILE_SEEK];
    recorder->record.fileSize = seek(movie->file, 0, HOST_SEEK_END);
    seek(movie->file, 0, HOST_SEEK_START);
}

void NoteCommandStart(const MovieHandle *movie)
{
    Recorder *recorder = RecorderOf(movie);
    if (recorder) recorder->commandOffset = Tell(movie->file);
}

void NoteCommandFailed(const MovieHandle *movie, uint32_t command)
{
    Recorder *recorder = RecorderOf(movie);
    if (!recorder) return;
    OpenDiagnostics *record = &recorder->record;
    if (record->command) return;  // an earlier command failed first
    record->command = command;
    record->offset = recorder->commandOffset;
    record->payloadSize = CommandPayloadSize(command);
    record->scene = recorder->scene;
    record->listed = command == 'a'   ? movie->backgroundCount
                     : command == 'b' ? movie->faceSetCount
                     : command == 'j' ? movie->soundCount
                                      : 0;
    // Bytes past the end read as zero: a payload cut off names nonsense, so say what happened.
    int64_t end = recorder->commandOffset + 1 + (int64_t)record->payloadSize;
    int32_t cutOff = recorder->commandOffset >= 0 && record->fileSize >= 0 && end > record->fileSize;
    if (cutOff && record->failure != OpenFailureMemory) record->failure = OpenFailureTruncated;
    if (record->failure == OpenFailureNone) record->failure = OpenFailureOrder;
}

void NoteCurrentScene(const MovieHandle *movie, int32_t scene)
{
    Recorder *recorder = RecorderOf(movie);
    if (recorder) recorder->scene = scene;
}

// The loading command's path fields run past the end of the file: the path is made of what was
// there, so its file is not missing, the stream is broken.
static int32_t PathCutOff(const Recorder *recorder, int32_t kind)
{
    uint32_t command = kind == AssetBackground ? 'a' : kind == AssetFaceSet ? 'b' : 'j';
    int64_t end = recorder->commandOffset + 1 + (int64_t)CommandPayloadSize(command);
    return recorder->commandOffset >= 0 && recorder->record.fileSize >= 0 && end > recorder->record.fileSize;
}

void NoteAssetLoad(const MovieHandle *movie, int32_t loaded, int32_t kind, const char *path)
{
    Recorder *recorder = RecorderOf(movie);
    if (loaded || !recorder) return;
    // Not the open's failure: the movie goes on without the file.
    OpenDiagnostics *record = &recorder->record;
    if (record->warningCount < OpenWarningLimit) {
        AssetWarning *warning = &record->warnings[record->warningCount++];
        warning->assetKind = kind;
        warning->failure = record->failure;
        warning->what = record->what;
        warning->size = record->size;
        CopyText(warning->path, path);
    } else {
        record->warningsDropped++;
    }
    record->failure = OpenFailureNone;
    record->what = 0;
    record->size = 0;
}

void NoteAssetStart(const MovieHandle *movie, int32_t kind, int32_t embedded, const char *directory,
                    const char *fileName)
{
    Recorder *recorder = RecorderOf(movie);
    if (recorder && recorder->survey)
        SurveyAssetStart(recorder->survey, movie, kind, embedded, directory, fileName, recorder->commandOffset);
}

void NoteAssetHostPath(const MovieHandle *movie, const char *path)
{
    Recorder *recorder = RecorderOf(movie);
    if (recorder && recorder->survey) SurveyAssetHostPath(recorder->survey, path);
}

void NoteAssetEnd(const MovieHandle *movie)
{
    Recorder *recorder = RecorderOf(movie);
    if (recorder && recorder->survey) SurveyAssetEnd(recorder->survey, movie);
}

int32_t GoOnWithoutFile(const MovieHandle *movie, int32_t kind, int32_t source, const char *volume)
{
    Recorder *recorder = RecorderOf(movie);
    if (!recorder || !recorder->survey || PathCutOff(recorder, kind)) return 0;
    if (!SurveyMissingFile(recorder->survey, source, volume)) return 0;
    // Recorded with the file instead: the open goes on.
    OpenDiagnostics *record = &recorder->record;
    record->failure = OpenFailureNone;
    record->what = 0;
    record->size = 0;
    record->text[0] = 0;
    return 1;
}

#endif
