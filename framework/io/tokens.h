// framework/io/tokens.h - device access tokens and the access-control-list file
// A process-wide table of 256 slots maps device names (at most 127 characters, compared over
// 128) to 64-bit tokens; one master token stands for every device without a token of its own.
// A token of 0 means none. A client must present the token to change a device's properties
// (the bus compares them). Any thread may call these functions: one mutex guards the table and
// the master token, and log lines are written after it is released.
//
// Access-control-list file: one entry per line, "%8llx %s\n" (token in lower-case hexadecimal,
// one blank, device name); lines beginning with "#" are comments; the name "@" stands for the
// master token. A saved file begins with "# Device ACL saved by KESTIL" and lists the occupied
// slots in slot order; the master token is not saved.
#ifndef KESTIL_FRAMEWORK_IO_TOKENS_H
#define KESTIL_FRAMEWORK_IO_TOKENS_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum { KESTIL_MAX_DEVICE_TOKENS = 256 };

// Given:  device   device name (cut to 127 characters), token   its token
// Result: true when stored (replacing the token of an equal name in its slot, else in the
//         first free slot); false for a missing name or a full table ("ACL: No slots available.")
bool kestil_add_device_token(const char* device, uint64_t token);

// Result: true when the name had a slot (now freed), false otherwise or for a missing name.
bool kestil_remove_device_token(const char* device);

// Result: the device's token, 0 when it has none.
uint64_t kestil_get_device_token(const char* device);

// Given:  device   device name, or null
// Result: the device's token when it has a non-zero one, else the master token (0 when none).
uint64_t kestil_get_device_or_master_token(const char* device);

uint64_t kestil_get_master_token(void);
void kestil_set_master_token(uint64_t token);

// Empties all 256 slots; the master token stays.
void kestil_clear_device_tokens(void);

// Result: the token read from hexadecimal text ("%llx"), 0 when missing or not hexadecimal.
uint64_t kestil_string_to_token(const char* text);

// Given:  path   the access-control-list file
// Result: true when the whole file was read. A line that is neither a comment, blank, nor a
//         token and a name stops the load ("ACL: Error in ACL file '%s' at line %d"); entries
//         read before it stay in the table.
bool kestil_load_device_tokens_from_file(const char* path);

// Result: true when the file was written completely.
bool kestil_save_device_tokens_to_file(const char* path);

#ifdef __cplusplus
}
#endif

#endif
