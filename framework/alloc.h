// framework/alloc.h - allocation that cannot fail silently
// A failed allocation anywhere in the program ends the process at once: "Failed to allocate
// memory" (no line end) on the standard error and exit status 1, so that no caller can take the
// run for a success. The same handler serves operator new. Any thread.
#ifndef KESTIL_FRAMEWORK_ALLOC_H
#define KESTIL_FRAMEWORK_ALLOC_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

// Writes the message and ends the process with status 1. Never returns.
void kestil_out_of_memory(void) __attribute__((noreturn));

// malloc, calloc and realloc that end the process instead of returning null.
// A size of 0 is served as 1 byte, so the result is never null.
void* kestil_checked_malloc(size_t size);
void* kestil_checked_calloc(size_t count, size_t size);
void* kestil_checked_realloc(void* block, size_t size);

// Makes operator new use kestil_out_of_memory; called once by main (idempotent).
void kestil_install_new_handler(void);

#ifdef __cplusplus
}
#endif

#endif
