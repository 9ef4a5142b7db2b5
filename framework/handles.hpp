// framework/handles.hpp - unique_ptr owners of the C library's resources
// FreeDeleter frees blocks of malloc, calloc and realloc (kestil_checked_* blocks too);
// FileCloser closes stdio streams. C++ only. Any thread (each handle belongs to its owner).
#ifndef KESTIL_FRAMEWORK_HANDLES_HPP
#define KESTIL_FRAMEWORK_HANDLES_HPP

#include <cstdio>
#include <cstdlib>
#include <memory>

struct FreeDeleter {
    void operator()(void* block) const noexcept { std::free(block); }
};

struct FileCloser {
    void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};

// A malloc'ed object or array (T[]) that is freed with its owner.
template <typename T>
using HeapBlock = std::unique_ptr<T, FreeDeleter>;

// An open stdio stream that is closed with its owner (fclose's result is lost: a stream
// written to closes explicitly first and checks it).
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

#endif
