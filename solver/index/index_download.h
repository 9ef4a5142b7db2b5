// solver/index/index_download.h - download of one published index over HTTP(S) or from a file
// The file for a scale is fetched from "<base URL>/<index file name>" into "<path>.part" next to
// its final place, in blocks of 65536 bytes, checked (header, scale, counts and the full layout
// check of map_index) and renamed into place without replacing an existing file. A failed or
// interrupted transfer leaves nothing behind and never touches an installed index.
// Base URLs are http://, https:// or file:// (a mirror on a local or mounted folder); redirects
// are followed to http:// and https:// only, so a server can never point the solver at a file.
// The abort flag is a byte owned by the caller and set asynchronously (by a signal handler);
// it is read with atomic byte loads between blocks and while the transfer waits.
// Trust anchors for HTTPS are the system's; SSL_CERT_FILE and SSL_CERT_DIR replace them when set.
// Main thread only (libcurl's global state is set up on the first call).
#ifndef KESTIL_SOLVER_INDEX_INDEX_DOWNLOAD_H
#define KESTIL_SOLVER_INDEX_INDEX_DOWNLOAD_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "solver/solver_types.h"

#ifdef __cplusplus
extern "C" {
#endif

// The built-in base URL of the published indexes (used when no base URL is given).
extern const char kestil_default_index_url[];

// Given:     settings     index directory
//            base_url     base of the download location; null or empty = the built-in one
//            scale        quad scale, degrees (a published scale)
//            abort_flag   non-zero stops the transfer; may be null
// Returned:  result       when false: "the URL is too long", "the download failed", "the index
//                         file can't be written", "aborted", "the downloaded file is not a valid
//                         index" or "the index file can't be installed" (static); may be null
// Result:    true when the index is installed at its path
bool kestil_solver_download_index(const SolverSettings* settings, const char* base_url,
                                  float scale, const volatile uint8_t* abort_flag,
                                  const char** result);

// Progress of one transfer, called on the caller's thread from inside the download: often while
// the body arrives, about once a second while it stalls, and once when it is complete; never
// for the body of a redirect or of an error status. received_bytes counts the body written so
// far; total_bytes is the announced length, or -1 when none was announced (or it is 0). It must
// not call back into this module.
typedef void (*IndexDownloadProgress)(void* context, uint64_t received_bytes,
                                      int64_t total_bytes);

// What a caller may ask of a download beyond its result text; every field may be null or 0.
typedef struct IndexDownloadHooks {
    IndexDownloadProgress progress;  // told the progress of the body
    void* context;                   // handed to progress
    char* reason;                    // on failure: one line on the cause, without line end, e.g.
    size_t reason_size;              // "<url>: HTTP status 404", "<url>: Could not resolve host:
                                     // <host>" or "<url>: No such file or directory"; empty
                                     // when there is nothing to add (too long a URL, abort)
} IndexDownloadHooks;

// Given:     settings, base_url, scale, abort_flag   as kestil_solver_download_index
//            hooks    progress callback and reason buffer; null = neither
// Returned:  result   as kestil_solver_download_index
//            hooks->reason   when false, the cause (or empty); when true, empty
// Result:    true when the index is installed at its path (the same files as without hooks)
bool kestil_solver_download_index_with_hooks(const SolverSettings* settings,
                                             const char* base_url, float scale,
                                             const volatile uint8_t* abort_flag,
                                             const IndexDownloadHooks* hooks,
                                             const char** result);

// Given:     url, part_path, abort_flag
// Returned:  result   "the download failed" or "the index file can't be written" when false
// Result:    true when the whole response body (status 200, as long as announced; for file://
//            the whole file) was written to part_path; a failure may leave a partial part_path
//            for the caller to delete
bool fetch_index(const char* url, const char* part_path, const volatile uint8_t* abort_flag,
                 const char** result);

#ifdef __cplusplus
}
#endif

#endif
