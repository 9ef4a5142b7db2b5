// framework/bus/blobs.cpp - the BLOB table: reference-counted entries for BLOB items
// Lock order: the table lock, then an entry's lock. An acquired entry is held with its own lock
// only (the table lock is released), so that readers never block the table for long.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <mutex>

#include "framework/alloc.h"
#include "framework/bus/blob_table.hpp"
#include "framework/bus/bus.h"
#include "framework/log.h"

namespace {

struct BlobSlot {
    KestilBlobEntry entry;  // the public part
    int index = -1;         // item index within the property
    int use_count = 0;
    bool used = false;
    std::mutex lock;        // guards content, size and format
};

std::mutex table_mutex;
BlobSlot slots[KESTIL_MAX_BLOBS];

// Called with the table lock held and nobody holding the entry.
void free_slot(BlobSlot& slot) {
    free(slot.entry.content);
    slot.entry = KestilBlobEntry{};
    slot.index = -1;
    slot.used = false;
}

void orphan(BlobSlot& slot) {
    slot.entry.property = nullptr;
    slot.entry.item = nullptr;
    slot.index = -1;
    if (slot.use_count == 0) free_slot(slot);
}

BlobSlot* slot_of_item(const KestilItem* item) {
    for (BlobSlot& slot : slots)
        if (slot.used && slot.entry.item == item) return &slot;
    return nullptr;
}

BlobSlot* slot_of_entry(const KestilBlobEntry* entry) {
    for (BlobSlot& slot : slots)
        if (&slot.entry == entry) return &slot;
    return nullptr;
}

// The item's entry, a new one when it has none; null when the table is full. Table lock held.
BlobSlot* entry_for(KestilProperty* property, int index) {
    if (BlobSlot* slot = slot_of_item(&property->items[index])) return slot;
    for (BlobSlot& slot : slots) {
        if (slot.used) continue;
        slot.used = true;
        slot.use_count = 0;
        slot.index = index;
        slot.entry = KestilBlobEntry{};
        slot.entry.property = property;
        slot.entry.item = &property->items[index];
        return &slot;
    }
    return nullptr;
}

BlobSlot* acquire(BlobSlot* slot) {
    if (!slot) return nullptr;
    ++slot->use_count;
    return slot;
}

}  // namespace

void kestil_blob_table_resized(const void* old_block, KestilProperty* property) {
    std::lock_guard table(table_mutex);
    for (BlobSlot& slot : slots) {
        if (!slot.used || slot.entry.property != old_block) continue;
        if (slot.index < 0 || slot.index >= property->count) {
            orphan(slot);
        } else {
            slot.entry.property = property;
            slot.entry.item = &property->items[slot.index];
        }
    }
}

void kestil_blob_table_orphan(const KestilProperty* property) {
    std::lock_guard table(table_mutex);
    for (BlobSlot& slot : slots)
        if (slot.used && slot.entry.property == property) orphan(slot);
}

void kestil_blob_table_align(KestilProperty* property) {
    if (!property || property->type != KESTIL_BLOB_VECTOR) return;
    bool upload = property->perm == KESTIL_WO_PERM;
    std::lock_guard table(table_mutex);
    for (BlobSlot& slot : slots) {
        if (!slot.used || slot.entry.property != property || slot.entry.upload == upload) continue;
        std::lock_guard entry(slot.lock);
        free(slot.entry.content);
        slot.entry.content = nullptr;
        slot.entry.size = 0;
        slot.entry.format[0] = '\0';
        slot.entry.upload = upload;
    }
}

bool kestil_blob_table_add_uploads(KestilProperty* property) {
    std::lock_guard table(table_mutex);
    for (int i = 0; i < property->count; ++i) {
        BlobSlot* slot = entry_for(property, i);
        if (!slot) return false;
        slot->entry.upload = true;
    }
    return true;
}

bool kestil_blob_table_cache(KestilProperty* property) {
    std::lock_guard table(table_mutex);
    for (int i = 0; i < property->count; ++i) {
        BlobSlot* slot = entry_for(property, i);
        if (!slot) return false;
        const KestilBlobValue& item = property->items[i].blob;
        std::lock_guard entry(slot->lock);
        void* copy = nullptr;
        int32_t size = 0;
        if (item.value && item.size > 0) {
            size = item.size;
            copy = kestil_checked_malloc(static_cast<size_t>(size));
            memcpy(copy, item.value, static_cast<size_t>(size));
        }
        free(slot->entry.content);
        slot->entry.content = copy;
        slot->entry.size = size;
        snprintf(slot->entry.format, sizeof slot->entry.format, "%s", item.format);
        slot->entry.upload = false;
    }
    return true;
}

extern "C" {

bool kestil_validate_blob(const KestilItem* item) {
    std::lock_guard table(table_mutex);
    return item && slot_of_item(item);
}

KestilBlobEntry* kestil_find_blob(const KestilItem* item) {
    std::lock_guard table(table_mutex);
    BlobSlot* slot = item ? slot_of_item(item) : nullptr;
    return slot ? &slot->entry : nullptr;
}

KestilBlobEntry* kestil_acquire_blob(const KestilItem* item) {
    BlobSlot* slot;
    {
        std::lock_guard table(table_mutex);
        slot = acquire(item ? slot_of_item(item) : nullptr);
    }
    if (!slot) return nullptr;
    slot->lock.lock();  // the use count keeps the slot alive until it is released
    return &slot->entry;
}

KestilBlobEntry* kestil_acquire_blob_by_name(const char* device, const char* property, const char* item) {
    if (!device || !property || !item) return nullptr;
    BlobSlot* found = nullptr;
    {
        std::lock_guard table(table_mutex);
        for (BlobSlot& slot : slots) {
            const KestilBlobEntry& entry = slot.entry;
            if (!slot.used || !entry.property) continue;
            if (strncmp(entry.property->device, device, KESTIL_NAME_SIZE) == 0 &&
                strncmp(entry.property->name, property, KESTIL_NAME_SIZE) == 0 &&
                strncmp(entry.item->name, item, KESTIL_NAME_SIZE) == 0) {
                found = acquire(&slot);
                break;
            }
        }
    }
    if (!found) return nullptr;
    found->lock.lock();
    return &found->entry;
}

void kestil_release_blob(KestilBlobEntry* entry) {
    BlobSlot* slot = slot_of_entry(entry);  // the slots never move: no lock needed to find it
    if (!slot) return;
    slot->lock.unlock();  // given back before the table lock is taken (table, then entry)
    std::lock_guard table(table_mutex);
    if (slot->use_count > 0 && --slot->use_count == 0 && !slot->entry.property) free_slot(*slot);
}

}  // extern "C"
