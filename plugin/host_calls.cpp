#include "plugin/host_calls.h"

HostBase *hostBase = 0;

int32_t HostVersion(void) { return (int32_t)hostBase->version; }

// Version 6 hosts take the option through the tagged open; one tag, then the end mark.
HostFile HostOpen(const char *name, uint32_t option)
{
    if (HostVersion() >= 6 && option != 0) {
        uint32_t tags[3] = {HOST_OPEN_TAG_OPTION, option, 0};
        return HostOpenFileTagged(name, 0, tags);
    }
    return HostOpenFile(name, 0);
}

HostFile HostOpenFile(const char *name, int32_t mode)
{
    return ((HostOpenFileFn)hostBase->fileTable[HOST_FILE_OPEN])(name, mode);
}

HostFile HostOpenFileTagged(const char *name, int32_t mode, const uint32_t *options)
{
    return ((HostOpenFileTaggedFn)hostBase->fileTable[HOST_FILE_OPEN_TAGGED])(name, mode, options);
}

void HostCloseFile(HostFile file) { ((HostCloseFileFn)hostBase->fileTable[HOST_FILE_CLOSE])(file); }

void HostSeek(HostFile file, int64_t offset, int32_t mode)
{
    ((HostSeekFn)hostBase->fileTable[HOST_FILE_SEEK])(file, offset, mode);
}

int32_t HostRead(HostFile file, void *buffer, uint32_t count)
{
    return ((HostReadFn)hostBase->fileTable[HOST_FILE_READ])(file, buffer, count);
}

int32_t HostReadByte(HostFile file) { return ((HostReadByteFn)hostBase->fileTable[HOST_FILE_READ_BYTE])(file); }

int32_t HostAtEndOfFile(HostFile file) { return ((HostAtEndOfFileFn)hostBase->fileTable[HOST_FILE_AT_END])(file); }

int32_t HostJoinPath(char *buffer, const char *component, uint32_t size)
{
    return ((HostJoinPathFn)hostBase->fileTable[HOST_FILE_JOIN_PATH])(buffer, component, size);
}

int32_t HostCompareNames(const char *a, const char *b)
{
    return ((HostCompareNamesFn)hostBase->utilityTable[HOST_UTILITY_COMPARE_NAMES])(a, b);
}

int32_t HostPathRequester(const char *message, char *buffer, uint32_t size, uint32_t flags)
{
    return ((HostPathRequesterFn)hostBase->requesterTable[HOST_REQUESTER_PATH])(message, buffer, size, flags);
}

uint32_t ReadU8(HostFile file) { return (uint32_t)HostReadByte(file) & 0xFF; }

uint32_t ReadU16(HostFile file)
{
    uint32_t high = ReadU8(file);
    return (high << 8) | ReadU8(file);
}

uint32_t ReadU32(HostFile file)
{
    uint32_t high = ReadU16(file);
    return (high << 16) | ReadU16(file);
}
