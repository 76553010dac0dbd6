#include "plugin/memory.h"

#include <stdlib.h>

#ifdef QF_FAULT_INJECTION
extern "C" {
long qfFailAt = 0;
int qfFailAll = 0;
long qfAllocationCount = 0;
}

static int InjectFailure(void)
{
    ++qfAllocationCount;
    if (qfFailAt == 0) return 0;
    return qfFailAll ? qfAllocationCount >= qfFailAt : qfAllocationCount == qfFailAt;
}
#else
static int InjectFailure(void) { return 0; }
#endif

void *AllocZeroed(size_t size) { return InjectFailure() ? 0 : calloc(1, size ? size : 1); }

void *AllocRaw(size_t size) { return InjectFailure() ? 0 : malloc(size ? size : 1); }

void FreeBlock(void *block) { free(block); }
