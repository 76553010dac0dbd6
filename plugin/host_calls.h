// One-line wrappers over the host's service tables. Each reads the stored HostBase at the call.
#ifndef QUILLFRAMER_HOST_CALLS_H
#define QUILLFRAMER_HOST_CALLS_H

#include <stdint.h>

#include "quillframer/host_api.h"

// The plug-in's only process-wide state: null until InitPlugin gets a non-null base.
extern HostBase *hostBase;

int32_t HostVersion(void);
HostFile HostOpen(const char *name, uint32_t option);
HostFile HostOpenFile(const char *name, int32_t mode);
HostFile HostOpenFileTagged(const char *name, int32_t mode, const uint32_t *options);
void HostCloseFile(HostFile file);
void HostSeek(HostFile file, int64_t offset, int32_t mode);
int32_t HostRead(HostFile file, void *buffer, uint32_t count);
int32_t HostReadByte(HostFile file);
int32_t HostAtEndOfFile(HostFile file);
int32_t HostJoinPath(char *buffer, const char *component, uint32_t size);
int32_t HostCompareNames(const char *a, const char *b);
int32_t HostPathRequester(const char *message, char *buffer, uint32_t size, uint32_t flags);

// Big-endian numbers assembled from single host byte reads.
uint32_t ReadU8(HostFile file);
uint32_t ReadU16(HostFile file);
uint32_t ReadU32(HostFile file);

#endif
