// The record behind QfExplainOpen. Compiled only into the recording build.
#ifdef QF_RECORDING

#include "recording/open_explanation.h"

#include <string.h>

#include "movie/movie_loading.h"

int32_t OpenRecorded(HostBase *host, const char *name, uint32_t openOption, MovieHandle **keep, Recorder *recorder)
{
    PluginInfo info;
    InitPlugin(&info, host);
    memset(&recorder->record, 0, sizeof recorder->record);
    recorder->record.offset = -1;
    recorder->record.fileSize = -1;
    recorder->record.scene = -1;
    recorder->commandOffset = -1;
    recorder->scene = -1;
    StreamDescriptor descriptor;
    memset(&descriptor, 0, sizeof descriptor);
    descriptor.openOption = openOption;
    MovieHandle *movie = OpenMovie(name, &descriptor, recorder);
    // The recorder ends with the open; the movie may live on.
    if (movie) movie->recorder = 0;
    if (keep) *keep = movie;
    else CloseVideo(movie);
    return movie != 0;
}

int32_t QfExplainOpen(HostBase *host, const char *name, uint32_t openOption, OpenDiagnostics *out)
{
    Recorder recorder;
    memset(&recorder, 0, sizeof recorder);
    int32_t opened = OpenRecorded(host, name, openOption, 0, &recorder);
    memcpy(out, &recorder.record, sizeof *out);
    return opened;
}

#endif
