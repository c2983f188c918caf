#include "allocatortuning.h"

// Any C library header tells whether this is glibc.
#include <cstdlib>
#ifdef __GLIBC__
#include <malloc.h>
#endif

// The body of every download reaches the GUI thread in pieces of up to
// curl's receive buffer (128 KiB) that the network thread allocates and the
// GUI thread frees, thousands of times a second. With glibc's defaults
// blocks that size are mapped for themselves, or the thread's heap is trimmed
// as soon as they are freed, so the memory goes back to the kernel and is
// faulted in afresh for the next piece. Held in the heap, with free memory
// kept for reuse up to a bound, the pieces recycle the same pages; the bound
// keeps what an idle heap holds small.
void tuneAllocatorForDownloads()
{
#ifdef __GLIBC__
    // Above every block a piece passes through on its way. Larger blocks are
    // mapped for themselves.
    constexpr int MapOnItsOwnAbove = 1024 * 1024;
    constexpr int KeepFreeUpTo = 16 * 1024 * 1024;
    // A fixed trim threshold alone would also fix the map threshold at its
    // start value, below the pieces' size: every piece would be mapped.
    if (mallopt(M_MMAP_THRESHOLD, MapOnItsOwnAbove) == 1)
        mallopt(M_TRIM_THRESHOLD, KeepFreeUpTo);
#endif
}
