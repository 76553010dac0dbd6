// Registration with the host and the entry points that need no movie.
#include "plugin/host_calls.h"

static const char formatName[] = "Quill Framer";
static const char moduleName[] = "quillframer";
static const char authorName[] = "The Quill Framer developers";
static const char description[] = "Enables Veltrane to load Quillframer video streams";
static const char licenceLine[] = "Free software; see the accompanying licence";
static const char webAddress[] = "https://quillframer.invalid/";
static const char versionDate[] = "01.07.15";

// Kept in the binary for the host's version command; nothing reads it.
extern const char versionString[];
__attribute__((used)) const char versionString[] = "$VER: quillframer.vtp 1.2 (01.07.15) [MacOS]";

int32_t InitPlugin(PluginInfo *info, HostBase *host)
{
    info->hostWord1 = 64;
    info->version = 1;
    info->revision = 2;
    info->hostWord4 = 5;
    info->hostWord5 = 0;
    info->name = formatName;
    info->module = moduleName;
    info->author = authorName;
    info->description = description;
    info->licence = licenceLine;
    info->webAddress = webAddress;
    info->date = versionDate;
    info->zero1 = 0;
    info->zero2 = 0;
    if (host) hostBase = host;
    return 1;
}

void ClosePlugin(void) {}

const char *GetVideoFormat(void) { return formatName; }

void FlushAudio(void) {}

void FlushVideo(void) {}
