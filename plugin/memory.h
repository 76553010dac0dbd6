// Heap blocks of the plug-in. Zero-byte requests still give a block, so an empty picture or
// body is not mistaken for a failed allocation.
#ifndef QUILLFRAMER_MEMORY_H
#define QUILLFRAMER_MEMORY_H

#include <stddef.h>

void *AllocZeroed(size_t size);
void *AllocRaw(size_t size);
void FreeBlock(void *block);

#ifdef QF_FAULT_INJECTION
// Test builds only: the allocation numbered failAt (counting from 1) and every later one while
// failAll is set, fail. 0 turns injection off. allocationCount counts every request.
// The recording build renames them, so a program can hold it beside qfcore_faults.
extern "C" {
__attribute__((visibility("default"))) extern long qfFailAt;
__attribute__((visibility("default"))) extern int qfFailAll;
__attribute__((visibility("default"))) extern long qfAllocationCount;
}
#endif

#endif
