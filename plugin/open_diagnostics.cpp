// The record behind QfExplainOpen. Compiled only into the diagnostics build.
#ifdef QF_OPEN_DIAGNOSTICS

#include "plugin/open_diagnostics.h"

#include <string.h>

#include "plugin/host_calls.h"

static OpenDiagnostics record;
static uint64_t lastFailedSize;
static int64_t commandOffset = -1;

static void CopyText(char *buffer, const char *text)
{
    buffer[0] = 0;
    if (text) strncat(buffer, text, OpenDiagnosticsTextSize - 1);
}

// Position through the seek service, which answers with it; -1 when the host does not.
static int64_t Tell(HostFile file)
{
    return ((HostSeekFn)hostBase->fileTable[HOST_FILE_SEEK])(file, 0, HOST_SEEK_RELATIVE);
}

// Bytes after each command letter, before any embedded file.
static uint32_t PayloadSize(uint32_t command)
{
    switch (command) {
    case 'a': case 'b': case 'j': return 256 + 32;
    case 'c': case 'h': case 'm': return 10;
    case 'd': return 42;
    case 'e': return 12;
    case 'f': return 4;
    case 'g': return 8;
    case 'i': case 'w': return 2;
    case 'k': return 40;
    case 'l': return 64;
    case 'v': return 26;
    case 'x': return 32;
    default: return 0;
    }
}

void NoteFailedAllocation(size_t size) { lastFailedSize = size; }

void NoteOutOfMemory(const char *what)
{
    if (record.failure != OpenFailureNone) return;
    record.failure = OpenFailureMemory;
    record.what = what;
    record.size = lastFailedSize;
}

void NoteFailure(int32_t failure, const char *what, const char *text)
{
    if (record.failure != OpenFailureNone) return;
    record.failure = failure;
    record.what = what;
    CopyText(record.text, text);
}

void NoteIndexOutOfRange(const char *what, int64_t index, int64_t limit)
{
    if (record.failure != OpenFailureNone) return;
    record.failure = OpenFailureIndex;
    record.what = what;
    record.index = index;
    record.limit = limit;
}

void NoteVolumeTooLong(const char *path, size_t length, size_t longest)
{
    if (record.failure != OpenFailureNone) return;
    NoteFailure(OpenFailurePath, "volume name too long", path);
    record.index = (int64_t)length;
    record.limit = (int64_t)longest;
}

void NoteStreamSize(HostFile file)
{
    HostSeekFn seek = (HostSeekFn)hostBase->fileTable[HOST_FILE_SEEK];
    record.fileSize = seek(file, 0, HOST_SEEK_END);
    seek(file, 0, HOST_SEEK_START);
}

void NoteCommandStart(HostFile file) { commandOffset = Tell(file); }

void NoteCommandFailed(uint32_t command)
{
    if (record.command) return;  // an earlier command failed first
    record.command = command;
    record.offset = commandOffset;
    record.payloadSize = PayloadSize(command);
    // Bytes past the end read as zero: a payload cut off names nonsense, so say what happened.
    int32_t cutOff = commandOffset >= 0 && record.fileSize >= 0 &&
                     commandOffset + 1 + (int64_t)record.payloadSize > record.fileSize;
    if (cutOff && record.failure != OpenFailureMemory) record.failure = OpenFailureTruncated;
    if (record.failure == OpenFailureNone) record.failure = OpenFailureOrder;
}

void NoteAssetLoad(int32_t loaded, int32_t assetKind, const char *path)
{
    if (loaded) return;
    // Not the open's failure: the movie goes on without the file.
    if (record.warningCount < OpenWarningLimit) {
        AssetWarning *warning = &record.warnings[record.warningCount++];
        warning->assetKind = assetKind;
        warning->failure = record.failure;
        warning->what = record.what;
        warning->size = record.size;
        CopyText(warning->path, path);
    } else {
        record.warningsDropped++;
    }
    record.failure = OpenFailureNone;
    record.what = 0;
    record.size = 0;
}

void ClearOpenFailure(void)
{
    record.failure = OpenFailureNone;
    record.what = 0;
    record.size = 0;
    record.text[0] = 0;
}

int64_t NotedCommandOffset(void) { return commandOffset; }

int32_t OpenRecorded(HostBase *host, const char *name, uint32_t openOption, MovieHandle **keep, OpenDiagnostics *out)
{
    PluginInfo info;
    InitPlugin(&info, host);
    memset(&record, 0, sizeof record);
    record.offset = -1;
    record.fileSize = -1;
    lastFailedSize = 0;
    commandOffset = -1;
    StreamDescriptor descriptor;
    memset(&descriptor, 0, sizeof descriptor);
    descriptor.openOption = openOption;
    MovieHandle *movie = OpenVideo(name, &descriptor);
    memcpy(out, &record, sizeof record);
    if (keep)
        *keep = movie;
    else
        CloseVideo(movie);
    return movie != 0;
}

int32_t QfExplainOpen(HostBase *host, const char *name, uint32_t openOption, OpenDiagnostics *out)
{
    return OpenRecorded(host, name, openOption, 0, out);
}

#endif
