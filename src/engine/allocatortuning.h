#ifndef ALLOCATORTUNING_H
#define ALLOCATORTUNING_H

// Sets up the C library's allocator for the download step; called once, at
// the start of the program, before any thread is started.
void tuneAllocatorForDownloads();

#endif
