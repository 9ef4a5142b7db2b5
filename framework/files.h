// framework/files.h - file and path services
// Portable names over the system's file services: the home and configuration folders, directory
// creation, read-only whole-file mapping, gzip compression and a few file-system helpers.
// Paths use "/"; a back slash in a path given to kestil_uni_mkdir is taken as a separator too.
// The process-wide buffers (home, configuration folder, basename, last error) are filled once
// or per call and are not guarded: call those from one thread or before starting others.
#ifndef KESTIL_FRAMEWORK_FILES_H
#define KESTIL_FRAMEWORK_FILES_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Result: the home folder (512-byte process-wide buffer, filled on the first call):
//         USERPROFILE when set, else HOME, else the account's home directory, else "/".
const char* kestil_uni_home_folder(void);

// Result: the configuration folder (512-byte buffer): "<APPDATA>/kestil" when APPDATA is set,
//         else "<home>/.kestil".
const char* kestil_uni_config_folder(void);

// Creates every missing directory of the path. Result: true when the directory exists
// afterwards; false with errno set otherwise.
bool kestil_uni_mkdir(const char* path);

// Maps the whole file read-only. Returned: size (0 first, the file size on success).
// Result: the base address, or null after an error log line ("Failed to open %s (%s)",
// "Failed to get the size of %s" for errors and empty files, "Failed to map %s (%s)").
void* kestil_uni_map_file(const char* path, uint64_t* size);
// Unmaps a base returned by kestil_uni_map_file; null is ignored.
void kestil_uni_unmap_file(void* base);

// Result: the text of the last system error (errno), in a 128-byte process-wide buffer.
const char* kestil_last_windows_error(void);

bool kestil_uni_remove(const char* path);
bool kestil_uni_is_readable(const char* path);
bool kestil_uni_is_writable(const char* path);
// Moves existing to replacement, replacing a file of that name, copying across file systems.
bool kestil_uni_replace_file(const char* existing, const char* replacement);
// Returned: the absolute path in buffer (260 bytes). Result: buffer, or null.
char* kestil_uni_realpath(const char* path, char* buffer);
// Result: the file name and extension of the path, in a 512-byte process-wide buffer.
const char* kestil_uni_basename(const char* path);
// Result: a newly allocated copy of the working directory (free it), or null.
char* kestil_uni_getcwd(void);
// Returned: list, a newly allocated array of newly allocated names (free each and the array).
// Result: the number of entries accepted by filter (all when filter is null), "." and ".."
// included, in the order the system lists them; negative with an empty list on failure.
int kestil_uni_scandir(const char* directory, char*** list, bool (*filter)(const char* name));

// One gzip stream (window bits 31, default level, memory level 9) with name in its header.
// Given: output_size, the room of output. Returned: output_size, the bytes written, 0 on failure.
// Result: the compressed size (0 on failure).
size_t kestil_uni_compress(const char* name, const void* input, size_t input_size, void* output,
                           size_t* output_size);
// One inflate call over a gzip stream. Returned: output_size, bytes written, 0 on failure.
size_t kestil_uni_decompress(const void* input, size_t input_size, void* output,
                             size_t* output_size);

#ifdef __cplusplus
}
#endif

#endif
