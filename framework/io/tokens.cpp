// framework/io/tokens.cpp - device access tokens and the access-control-list file
#include "framework/io/tokens.h"

#include <ctype.h>
#include <stdio.h>
#include <string.h>

#include <mutex>

#include "framework/log.h"

namespace {

constexpr size_t name_capacity = 128;   // 127 characters and a NUL
constexpr int line_capacity = 178;      // longer lines are read in pieces

struct TokenSlot {
    char name[name_capacity];
    uint64_t token;
};

std::mutex token_mutex;
TokenSlot slots[KESTIL_MAX_DEVICE_TOKENS];
uint64_t master_token = 0;

bool same_name(const char* a, const char* b) { return strncmp(a, b, name_capacity) == 0; }

// Index of the first slot holding the name, -1 when none. Called with the mutex held.
int find_slot(const char* device) {
    for (int i = 0; i < KESTIL_MAX_DEVICE_TOKENS; ++i)
        if (slots[i].name[0] && same_name(slots[i].name, device)) return i;
    return -1;
}

void cut_trailing_white_space(char* line) {
    size_t length = strlen(line);
    while (length > 0 && isspace(static_cast<unsigned char>(line[length - 1]))) line[--length] = '\0';
}

}  // namespace

extern "C" {

bool kestil_add_device_token(const char* device, uint64_t token) {
    if (!device) return false;
    int slot = -1;
    {
        std::lock_guard lock(token_mutex);
        int free_slot = -1;
        for (int i = 0; i < KESTIL_MAX_DEVICE_TOKENS; ++i) {
            if (!slots[i].name[0]) {
                if (free_slot < 0) free_slot = i;
            } else if (same_name(slots[i].name, device)) {
                slot = i;
                break;
            }
        }
        if (slot < 0) slot = free_slot;
        if (slot >= 0) {
            slots[slot].token = token;
            snprintf(slots[slot].name, name_capacity, "%s", device);
        }
    }
    if (slot < 0) {
        kestil_debug("ACL: No slots available.");
        return false;
    }
    kestil_debug("ACL: Token for '%s' = 0x%llx added at slot %d", device,
                 static_cast<unsigned long long>(token), slot);
    return true;
}

bool kestil_remove_device_token(const char* device) {
    if (!device) return false;
    int slot;
    {
        std::lock_guard lock(token_mutex);
        slot = find_slot(device);
        if (slot >= 0) {
            slots[slot].token = 0;
            slots[slot].name[0] = '\0';
        }
    }
    if (slot < 0) {
        kestil_debug("ACL: No token for '%s' to be removed", device);
        return false;
    }
    kestil_debug("ACL: Token for '%s' removed", device);
    return true;
}

uint64_t kestil_get_device_token(const char* device) {
    if (!device) return 0;
    uint64_t token = 0;
    bool found = false;
    {
        std::lock_guard lock(token_mutex);
        int slot = find_slot(device);
        if (slot >= 0) {
            token = slots[slot].token;
            found = true;
        }
    }
    if (found)
        kestil_debug("ACL: Token found '%s' = 0x%llx", device, static_cast<unsigned long long>(token));
    return token;
}

uint64_t kestil_get_device_or_master_token(const char* device) {
    uint64_t token = 0;
    uint64_t master = 0;
    bool found = false;
    {
        std::lock_guard lock(token_mutex);
        int slot = device ? find_slot(device) : -1;
        if (slot >= 0 && slots[slot].token != 0) {
            token = slots[slot].token;
            found = true;
        } else {
            master = master_token;
        }
    }
    if (found) {
        kestil_debug("ACL: Token found '%s' = 0x%llx", device, static_cast<unsigned long long>(token));
        return token;
    }
    if (master != 0)
        kestil_debug("ACL: Master token found '%s' = 0x%llx", device ? device : "",
                     static_cast<unsigned long long>(master));
    return master;
}

uint64_t kestil_get_master_token(void) {
    std::lock_guard lock(token_mutex);
    return master_token;
}

void kestil_set_master_token(uint64_t token) {
    {
        std::lock_guard lock(token_mutex);
        master_token = token;
    }
    kestil_debug("ACL: set master_token = 0x%llx", static_cast<unsigned long long>(token));
}

void kestil_clear_device_tokens(void) {
    std::lock_guard lock(token_mutex);
    for (TokenSlot& slot : slots) slot = TokenSlot{};
}

uint64_t kestil_string_to_token(const char* text) {
    unsigned long long token = 0;
    if (!text || sscanf(text, "%llx", &token) != 1) return 0;
    return token;
}

bool kestil_load_device_tokens_from_file(const char* path) {
    FILE* file = path ? fopen(path, "r") : nullptr;
    if (!file) {
        kestil_error("ACL: Can not open ACL file '%s'", path ? path : "");
        return false;
    }
    kestil_debug("ACL: Loading ACL from file '%s'", path);
    char line[line_capacity];
    int line_number = 0;
    while (fgets(line, sizeof line, file)) {
        ++line_number;
        if (line[0] == '#') continue;
        cut_trailing_white_space(line);
        if (!line[0]) continue;
        unsigned long long token = 0;
        char name[name_capacity] = "";
        if (sscanf(line, "%llx %127[^\n]s", &token, name) != 2) {
            fclose(file);
            kestil_error("ACL: Error in ACL file '%s' at line %d", path, line_number);
            return false;
        }
        if (strcmp(name, "@") == 0)
            kestil_set_master_token(token);
        else
            kestil_add_device_token(name, token);
    }
    fclose(file);
    return true;
}

bool kestil_save_device_tokens_to_file(const char* path) {
    FILE* file = path ? fopen(path, "w") : nullptr;
    if (!file) {
        kestil_error("ACL: Can not open ACL file '%s' for writing", path ? path : "");
        return false;
    }
    kestil_debug("ACL: Saving ACL to file '%s'", path);
    // A copy taken under the mutex, so that no file I/O happens while it is held.
    TokenSlot copy[KESTIL_MAX_DEVICE_TOKENS];
    {
        std::lock_guard lock(token_mutex);
        memcpy(copy, slots, sizeof copy);
    }
    bool written = fputs("# Device ACL saved by KESTIL\n", file) >= 0;
    for (const TokenSlot& slot : copy) {
        if (!written) break;
        if (slot.name[0])
            written = fprintf(file, "%8llx %s\n", static_cast<unsigned long long>(slot.token),
                              slot.name) >= 0;
    }
    // The data reach the file only when the stream is flushed: a failing close is a failed write.
    if (fclose(file) != 0) written = false;
    if (!written) {
        kestil_error("ACL: Can not save ACL to file '%s'", path);
        return false;
    }
    return true;
}

}  // extern "C"
