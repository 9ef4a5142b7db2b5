// framework/alloc.cpp - allocation that cannot fail silently
#include "framework/alloc.h"

#include <cstdio>
#include <cstdlib>
#include <new>

extern "C" void kestil_out_of_memory(void) {
    std::fputs("Failed to allocate memory", stderr);
    std::fflush(stderr);
    // Status 1: the run did not succeed. _Exit: nothing more may allocate on the way out.
    std::_Exit(1);
}

extern "C" void* kestil_checked_malloc(size_t size) {
    void* block = std::malloc(size ? size : 1);
    if (!block) kestil_out_of_memory();
    return block;
}

extern "C" void* kestil_checked_calloc(size_t count, size_t size) {
    void* block = std::calloc(count ? count : 1, size ? size : 1);
    if (!block) kestil_out_of_memory();
    return block;
}

extern "C" void* kestil_checked_realloc(void* block, size_t size) {
    void* grown = std::realloc(block, size ? size : 1);
    if (!grown) kestil_out_of_memory();
    return grown;
}

namespace {
void new_failed() { kestil_out_of_memory(); }
}  // namespace

extern "C" void kestil_install_new_handler(void) { std::set_new_handler(new_failed); }
