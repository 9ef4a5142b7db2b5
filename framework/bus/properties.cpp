// framework/bus/properties.cpp - device property records
#include "framework/bus/properties.h"

#include <math.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <mutex>

#include "framework/alloc.h"
#include "framework/bus/blob_table.hpp"
#include "framework/bus/bus.h"
#include "framework/log.h"

namespace {

constexpr int key_capacity = 128;
constexpr int hint_value_capacity = 512;

std::mutex property_trace_mutex;

void copy_text(char* destination, size_t capacity, const char* source) {
    snprintf(destination, capacity, "%s", source ? source : "");
}

bool same_name(const char* a, const char* b) { return strncmp(a, b, KESTIL_NAME_SIZE) == 0; }

KestilProperty* allocate_property(int count) {
    if (count < 0) count = 0;
    auto* property = static_cast<KestilProperty*>(kestil_checked_malloc(kestil_property_size(count)));
    memset(property, 0, kestil_property_size(count));
    property->allocated_count = count;
    return property;
}

void free_long_values(KestilProperty* property) {
    if (property->type != KESTIL_TEXT_VECTOR) return;
    for (int i = 0; i < property->count; ++i) {
        free(property->items[i].text.long_value);
        property->items[i].text.long_value = nullptr;
    }
}

KestilProperty* init_property(KestilProperty* property, uint32_t type, const char* device, const char* name,
                              const char* group, const char* label, uint32_t state, uint32_t perm,
                              uint32_t rule, int count) {
    if (count < 0) count = 0;
    property = property ? kestil_resize_property(property, count) : allocate_property(count);
    int32_t allocated = property->allocated_count;
    memset(property, 0, kestil_property_size(allocated));
    copy_text(property->device, KESTIL_NAME_SIZE, device);
    copy_text(property->name, KESTIL_NAME_SIZE, name);
    copy_text(property->group, KESTIL_NAME_SIZE, group);
    copy_text(property->label, KESTIL_VALUE_SIZE, label);
    property->state = state;
    property->perm = perm;
    property->rule = rule;
    property->count = count;
    property->type = type;
    property->version = KESTIL_PROTOCOL_VERSION;
    property->allocated_count = allocated;
    return property;
}

void init_item(KestilItem* item, const char* name, const char* label) {
    memset(item, 0, sizeof *item);
    copy_text(item->name, KESTIL_NAME_SIZE, name);
    copy_text(item->label, KESTIL_VALUE_SIZE, label);
}

double clamp(double value, double min, double max) {
    if (value < min) return min;
    if (value > max) return max;
    return value;
}

const char* name_of(const char* const* table, size_t size, uint32_t value) {
    return value < size ? table[value] : "?";
}
const char* state_name(uint32_t state) { return name_of(kestil_property_state_text, 4, state); }

// Walks "key:value;key:value" once; see the header of kestil_get_property_hint.
bool find_hint(const char* hints, const char* key, char* value) {
    if (!hints || !key || !value) return false;
    kestil_debug("%s(): hints = { %s\n }, looking for key '%s'", "kestil_get_hint", hints, key);
    char pair_key[key_capacity] = "";
    char pair_value[hint_value_capacity] = "";
    int key_length = 0, value_length = 0;
    bool in_value = false, quoted = false;
    for (const char* p = hints;; ++p) {
        char c = *p;
        bool literal = false;
        if (c == '\\' && p[1]) {
            c = *++p;
            literal = true;
        }
        if (!literal && (c == '\0' || c == ';')) {
            pair_key[key_length] = '\0';
            pair_value[value_length] = '\0';
            if (key_length > 0 && strncmp(pair_key, key, key_capacity) == 0) {
                snprintf(value, hint_value_capacity, "%s", pair_value);
                kestil_debug("%s(): hint found -> %s = %s\n", "kestil_get_hint", pair_key, value);
                return true;
            }
            if (c == '\0') return false;
            key_length = value_length = 0;
            in_value = quoted = false;
            continue;
        }
        if (!literal && c == ':' && !in_value) {
            in_value = true;
            continue;
        }
        if (!literal && c == '"') {
            quoted = !quoted;
            continue;
        }
        if (!literal && (c == ' ' || c == '\t') && !(quoted && in_value)) continue;
        if (in_value) {
            if (value_length < hint_value_capacity - 1) pair_value[value_length++] = c;
        } else if (key_length < key_capacity - 1) {
            pair_key[key_length++] = c;
        }
    }
}

int compare_labels(const void* a, const void* b) {
    return strcasecmp(static_cast<const KestilItem*>(a)->label, static_cast<const KestilItem*>(b)->label);
}

void trace_item(const KestilProperty* property, const KestilItem* item, bool defining) {
    char mark = defining || item->item_changed ? '*' : ' ';
    switch (property->type) {
    case KESTIL_TEXT_VECTOR:
        if (item->text.long_value && defining)
            kestil_trace_bus("B <+*   '%s' = '%s' + %d extra characters // %s", item->name, item->text.value,
                             item->text.long_value_size - KESTIL_VALUE_SIZE, item->label);
        else if (item->text.long_value)
            kestil_trace_bus("B <+%c   '%s' = '%s' + %d extra characters", mark, item->name, item->text.value,
                             item->text.long_value_size - KESTIL_VALUE_SIZE);
        else if (defining)
            kestil_trace_bus("B <+*   '%s' = '%s' // %s", item->name, item->text.value, item->label);
        else
            kestil_trace_bus("B <+%c   '%s' = '%s'", mark, item->name, item->text.value);
        break;
    case KESTIL_NUMBER_VECTOR:
        if (defining)
            kestil_trace_bus("B <+*   '%s' = %g, target = %g (%g, %g, %g, '%s') // %s", item->name,
                             item->number.value, item->number.target, item->number.min, item->number.max,
                             item->number.step, item->number.format, item->label);
        else
            kestil_trace_bus("B <+%c   '%s' = %g, target = %g ", mark, item->name, item->number.value,
                             item->number.target);
        break;
    case KESTIL_SWITCH_VECTOR:
        if (defining)
            kestil_trace_bus("B <+*   '%s' = %s // %s", item->name, item->sw.value ? "On" : "Off", item->label);
        else
            kestil_trace_bus("B <+%c   '%s' = %s ", mark, item->name, item->sw.value ? "On" : "Off");
        break;
    case KESTIL_LIGHT_VECTOR:
        if (defining)
            kestil_trace_bus("B <+*   '%s' = %s // %s", item->name,
                             state_name(static_cast<uint32_t>(item->light.value)), item->label);
        else
            kestil_trace_bus("B <+%c   '%s' = %s ", mark, item->name,
                             state_name(static_cast<uint32_t>(item->light.value)));
        break;
    case KESTIL_BLOB_VECTOR:
        if (defining)
            kestil_trace_bus("B <+*   '%s' // %s", item->name, item->label);
        else
            kestil_trace_bus("B <+*   '%s' (%ld bytes, '%s', '%s')", item->name,
                             static_cast<long>(item->blob.size), item->blob.format, item->blob.url);
        break;
    default:
        break;
    }
}

}  // namespace

extern "C" {

const char* const kestil_property_state_text[4] = {"Idle", "Ok", "Busy", "Alert"};
const char* const kestil_property_perm_text[4] = {"UNDEFINED", "ro", "rw", "wo"};
const char* const kestil_property_type_text[6] = {"UNDEFINED", "TEXT", "NUMBER", "SWITCH", "LIGHT", "BLOB"};
const char* const kestil_switch_rule_text[4] = {"UNDEFINED", "OneOfMany", "AtMostOne", "AnyOfMany"};

KestilProperty* IDLE_PROPERTY = nullptr;
KestilProperty* OK_PROPERTY = nullptr;
KestilProperty* BUSY_PROPERTY = nullptr;
KestilProperty* ALERT_PROPERTY = nullptr;

void kestil_message_properties_init(void) {
    static std::once_flag once;
    std::call_once(once, [] {
        IDLE_PROPERTY = kestil_init_light_property(nullptr, "", "IDLE", "", "", KESTIL_IDLE_STATE, 0);
        OK_PROPERTY = kestil_init_light_property(nullptr, "", "OK", "", "", KESTIL_OK_STATE, 0);
        BUSY_PROPERTY = kestil_init_light_property(nullptr, "", "BUSY", "", "", KESTIL_BUSY_STATE, 0);
        ALERT_PROPERTY = kestil_init_light_property(nullptr, "", "ALERT", "", "", KESTIL_ALERT_STATE, 0);
    });
}

unsigned long kestil_property_size(int count) {
    return static_cast<unsigned long>(offsetof(KestilProperty, items) +
                                      static_cast<size_t>(count < 0 ? 0 : count) * sizeof(KestilItem));
}

KestilProperty* kestil_init_text_property(KestilProperty* property, const char* device, const char* name,
                                          const char* group, const char* label, uint32_t state,
                                          uint32_t perm, int count) {
    return init_property(property, KESTIL_TEXT_VECTOR, device, name, group, label, state, perm, 0, count);
}

KestilProperty* kestil_init_number_property(KestilProperty* property, const char* device, const char* name,
                                            const char* group, const char* label, uint32_t state,
                                            uint32_t perm, int count) {
    return init_property(property, KESTIL_NUMBER_VECTOR, device, name, group, label, state, perm, 0, count);
}

KestilProperty* kestil_init_switch_property(KestilProperty* property, const char* device, const char* name,
                                            const char* group, const char* label, uint32_t state,
                                            uint32_t perm, uint32_t rule, int count) {
    return init_property(property, KESTIL_SWITCH_VECTOR, device, name, group, label, state, perm, rule, count);
}

KestilProperty* kestil_init_light_property(KestilProperty* property, const char* device, const char* name,
                                           const char* group, const char* label, uint32_t state, int count) {
    return init_property(property, KESTIL_LIGHT_VECTOR, device, name, group, label, state, KESTIL_RO_PERM, 0,
                         count);
}

KestilProperty* kestil_init_blob_property(KestilProperty* property, const char* device, const char* name,
                                          const char* group, const char* label, uint32_t state, int count) {
    return kestil_init_blob_property_p(property, device, name, group, label, state, KESTIL_RO_PERM, count);
}

KestilProperty* kestil_init_blob_property_p(KestilProperty* property, const char* device, const char* name,
                                            const char* group, const char* label, uint32_t state,
                                            uint32_t perm, int count) {
    if (perm == KESTIL_RW_PERM) perm = KESTIL_RO_PERM;
    return init_property(property, KESTIL_BLOB_VECTOR, device, name, group, label, state, perm, 0, count);
}

void kestil_init_text_item(KestilItem* item, const char* name, const char* label, const char* format, ...) {
    init_item(item, name, label);
    if (format) {
        va_list args;
        va_start(args, format);
        vsnprintf(item->text.value, KESTIL_VALUE_SIZE, format, args);
        va_end(args);
    }
    item->text.long_value_size = static_cast<int32_t>(strlen(item->text.value) + 1);
    memcpy(item->text.last_value, item->text.value, KESTIL_VALUE_SIZE);
}

void kestil_init_text_item_raw(KestilItem* item, const char* name, const char* label, const char* value) {
    init_item(item, name, label);
    kestil_set_text_item_value(item, value);
    memcpy(item->text.last_value, item->text.value, KESTIL_VALUE_SIZE);
}

void kestil_init_number_item(KestilItem* item, const char* name, const char* label, double min, double max,
                             double step, double value) {
    init_item(item, name, label);
    copy_text(item->number.format, KESTIL_VALUE_SIZE, "%g");
    item->number.min = min;
    item->number.max = max;
    item->number.step = step;
    item->number.value = item->number.target = item->number.default_value = value;
    item->number.last_value = item->number.last_target = value;
}

void kestil_init_switch_item(KestilItem* item, const char* name, const char* label, bool value) {
    init_item(item, name, label);
    item->sw.value = item->sw.default_value = item->sw.last_value = item->sw.target = value;
}

void kestil_init_light_item(KestilItem* item, const char* name, const char* label, uint32_t state) {
    init_item(item, name, label);
    item->light.value = item->light.last_value = static_cast<int32_t>(state);
}

void kestil_init_blob_item(KestilItem* item, const char* name, const char* label) { init_item(item, name, label); }

KestilProperty* kestil_resize_property(KestilProperty* property, int count) {
    if (!property) return nullptr;
    if (count < 0) count = 0;
    if (count == property->count) return property;
    const void* old_block = property;
    int old_count = property->count;
    if (count > property->allocated_count) {
        property = static_cast<KestilProperty*>(kestil_checked_realloc(property, kestil_property_size(count)));
        property->allocated_count = count;
    }
    if (count > old_count)
        memset(&property->items[old_count], 0, static_cast<size_t>(count - old_count) * sizeof(KestilItem));
    property->count = count;
    if (property->type == KESTIL_BLOB_VECTOR) kestil_blob_table_resized(old_block, property);
    return property;
}

KestilProperty* kestil_copy_property(KestilProperty* destination, const KestilProperty* source) {
    if (!source || destination == source) return destination;
    if (destination) {
        free_long_values(destination);
        int32_t allocated = destination->allocated_count;
        int32_t type = static_cast<int32_t>(destination->type);
        memset(destination, 0, kestil_property_size(allocated));
        destination->allocated_count = allocated;
        // The type stays until the copy, so that a BLOB destination's entries follow a move.
        destination->type = static_cast<uint32_t>(type);
        destination = kestil_resize_property(destination, source->count);
    } else {
        destination = allocate_property(source->allocated_count > source->count ? source->allocated_count
                                                                                : source->count);
    }
    int32_t allocated = destination->allocated_count;
    memcpy(destination, source, kestil_property_size(source->count));
    destination->allocated_count = allocated;
    if (allocated > source->count)
        memset(&destination->items[source->count], 0,
               static_cast<size_t>(allocated - source->count) * sizeof(KestilItem));
    if (destination->type == KESTIL_TEXT_VECTOR) {
        for (int i = 0; i < destination->count; ++i) {
            KestilTextValue& text = destination->items[i].text;
            if (!text.long_value) continue;
            size_t size = strlen(source->items[i].text.long_value) + 1;
            text.long_value = static_cast<char*>(kestil_checked_malloc(size));
            memcpy(text.long_value, source->items[i].text.long_value, size);
        }
    }
    return destination;
}

void kestil_clear_property(KestilProperty* property) {
    if (!property) return;
    free_long_values(property);
    if (property->type == KESTIL_BLOB_VECTOR) {
        kestil_blob_table_orphan(property);
        if (property->perm == KESTIL_WO_PERM)
            for (int i = 0; i < property->count; ++i) {
                free(property->items[i].blob.value);
                property->items[i].blob.value = nullptr;
            }
    }
    int32_t allocated = property->allocated_count;
    memset(property, 0, kestil_property_size(allocated));
    property->allocated_count = allocated;
}

void kestil_release_property(KestilProperty* property) {
    if (!property) return;
    kestil_clear_property(property);
    free(property);
}

bool kestil_property_match(const KestilProperty* property, const KestilProperty* templ) {
    if (!property) return false;
    if (!templ) return true;
    if (templ->type != 0 && templ->type != property->type) return false;
    if (templ->device[0] && !same_name(templ->device, property->device)) return false;
    if (templ->name[0] && !same_name(templ->name, property->name)) return false;
    return true;
}

bool kestil_property_match_defined(const KestilProperty* property, const KestilProperty* templ) {
    return property && property->defined && kestil_property_match(property, templ);
}

bool kestil_property_match_changeable(const KestilProperty* property, const KestilProperty* templ) {
    return property && property->defined && property->perm != KESTIL_RO_PERM &&
           kestil_property_match(property, templ);
}

KestilItem* kestil_get_item(KestilProperty* property, const char* name) {
    if (!property || !name) return nullptr;
    for (int i = 0; i < property->count; ++i)
        if (same_name(property->items[i].name, name)) return &property->items[i];
    return nullptr;
}

static const KestilItem* find_switch(const KestilProperty* property, const char* name) {
    if (!property || !name || property->type != KESTIL_SWITCH_VECTOR) return nullptr;
    return kestil_get_item(const_cast<KestilProperty*>(property), name);
}

bool kestil_get_switch(const KestilProperty* property, const char* name) {
    const KestilItem* item = find_switch(property, name);
    return item && item->sw.value;
}

bool kestil_get_switch_target(const KestilProperty* property, const char* name) {
    const KestilItem* item = find_switch(property, name);
    return item && item->sw.target;
}

bool kestil_switch_match(const KestilItem* item, const KestilProperty* property) {
    return item && kestil_get_switch(property, item->name);
}

void kestil_set_switch(KestilProperty* property, KestilItem* item, bool value) {
    if (!property || !item) return;
    if (value && property->rule != KESTIL_ANY_OF_MANY_RULE) {
        for (int i = 0; i < property->count; ++i) {
            KestilItem& other = property->items[i];
            if (other.sw.last_value) {
                other.item_changed = true;
                property->changed = true;
            }
            other.sw.value = false;
        }
    }
    item->sw.value = value;
    if (item->sw.value != item->sw.last_value) {
        item->item_changed = true;
        property->changed = true;
    }
}

void kestil_apply_switch_targets(KestilProperty* property) {
    if (!property || property->type != KESTIL_SWITCH_VECTOR) return;
    for (int i = 0; i < property->count; ++i) property->items[i].sw.value = property->items[i].sw.target;
}

void kestil_property_copy_values(KestilProperty* property, const KestilProperty* other, bool with_state) {
    if (!property || !other || property->perm == KESTIL_RO_PERM || property->type != other->type) return;
    if (with_state) property->state = other->state;
    property->access_token = other->access_token;
    if (property->type == KESTIL_SWITCH_VECTOR && property->rule != KESTIL_ANY_OF_MANY_RULE && other->count > 0)
        for (int i = 0; i < property->count; ++i) property->items[i].sw.value = property->items[i].sw.target = false;
    for (int j = 0; j < other->count; ++j) {
        const KestilItem& source = other->items[j];
        KestilItem* item = kestil_get_item(property, source.name);
        if (!item) continue;
        switch (property->type) {
        case KESTIL_TEXT_VECTOR:
            kestil_set_text_item_value(item, kestil_get_text_item_value(&source));
            break;
        case KESTIL_NUMBER_VECTOR:
            if (!isfinite(source.number.value)) continue;  // ignored: the item stays untouched
            item->number.value = item->number.target = clamp(source.number.value, item->number.min, item->number.max);
            break;
        case KESTIL_SWITCH_VECTOR:
            item->sw.value = item->sw.target = source.sw.value;
            break;
        case KESTIL_BLOB_VECTOR:
            if (source.blob.value && source.blob.size > 0) {
                item->blob.value = kestil_checked_realloc(item->blob.value, static_cast<size_t>(source.blob.size));
                memcpy(item->blob.value, source.blob.value, static_cast<size_t>(source.blob.size));
                item->blob.size = source.blob.size;
            } else {
                item->blob.size = 0;
            }
            copy_text(item->blob.format, KESTIL_NAME_SIZE, source.blob.format);
            break;
        default:
            break;
        }
        item->item_changed = true;
        property->changed = true;
    }
}

void kestil_property_copy_targets(KestilProperty* property, const KestilProperty* other, bool with_state) {
    if (!property || !other || property->perm == KESTIL_RO_PERM || property->type != other->type) return;
    if (with_state) property->state = other->state;
    // Only numbers have a target apart from their value.
    if (property->type == KESTIL_NUMBER_VECTOR) {
        for (int j = 0; j < other->count; ++j) {
            const KestilItem& source = other->items[j];
            if (!isfinite(source.number.value)) continue;
            KestilItem* item = kestil_get_item(property, source.name);
            if (!item) continue;
            item->number.target = clamp(source.number.value, item->number.min, item->number.max);
            item->item_changed = true;
        }
    }
    property->changed = true;
}

void kestil_reset_property(KestilDevice* device, KestilProperty* property) {
    if (!property || property->perm == KESTIL_RO_PERM) return;
    for (int i = 0; i < property->count; ++i) {
        KestilItem& item = property->items[i];
        if (property->type == KESTIL_NUMBER_VECTOR)
            item.number.value = item.number.target = item.number.default_value;
        else if (property->type == KESTIL_SWITCH_VECTOR)
            item.sw.value = item.sw.default_value;
    }
    property->state = KESTIL_OK_STATE;
    property->changed = true;
    if (property->defined) kestil_update_property(device, property, nullptr);
}

void kestil_property_sort_items(KestilProperty* property, int first) {
    if (!property || first < 0 || property->count - first < 2) return;
    qsort(&property->items[first], static_cast<size_t>(property->count - first), sizeof(KestilItem),
          compare_labels);
}

const char* kestil_get_text_item_value(const KestilItem* item) {
    if (!item) return nullptr;
    return item->text.long_value ? item->text.long_value : item->text.value;
}

void kestil_set_text_item_value(KestilItem* item, const char* text) {
    if (!item) return;
    if (!text) text = "";
    const char* current = item->text.long_value ? item->text.long_value : item->text.value;
    if (strcmp(current, text) != 0) item->item_changed = true;
    size_t length = strlen(text);
    char* long_value = nullptr;
    if (length >= KESTIL_VALUE_SIZE) {
        long_value = static_cast<char*>(kestil_checked_malloc(length + 1));
        memcpy(long_value, text, length + 1);
    }
    // The text may be the item's own value or long value: copied before the old one is freed.
    size_t short_length = length < KESTIL_VALUE_SIZE - 1 ? length : KESTIL_VALUE_SIZE - 1;
    memmove(item->text.value, text, short_length);
    item->text.value[short_length] = '\0';
    free(item->text.long_value);
    item->text.long_value = long_value;
    item->text.long_value_size = static_cast<int32_t>(length + 1);
}

bool kestil_get_property_hint(const KestilProperty* property, const char* key, char* value) {
    return property && find_hint(property->hints, key, value);
}

bool kestil_get_item_hint(const KestilItem* item, const char* key, char* value) {
    return item && find_hint(item->hints, key, value);
}

void kestil_trace_property(const char* operation, const KestilProperty* property, bool defining,
                           const char* message) {
    if (kestil_get_log_level() < 4 || !property) return;
    std::lock_guard lock(property_trace_mutex);
    const char* type = name_of(kestil_property_type_text, 6, property->type);
    const char* perm = name_of(kestil_property_perm_text, 4, property->perm);
    const char* state = state_name(property->state);
    int major = property->version >> 8, minor = property->version & 0xff;
    unsigned long long token = property->access_token;
    if (defining) {
        const char* rule =
            property->type == KESTIL_SWITCH_VECTOR ? name_of(kestil_switch_rule_text, 4, property->rule) : "";
        kestil_trace_bus("B <+* %s '%s'.'%s' %s %s %s %d.%d %llx %s { // %s", operation, property->device,
                         property->name, type, perm, state, major, minor, token, rule, property->label);
    } else if (message && message[0]) {
        kestil_trace_bus("B <+%c %s '%s'.'%s' %s %s %s %d.%d %llx '%s' {", property->changed ? '*' : ' ',
                         operation, property->device, property->name, type, perm, state, major, minor, token,
                         message);
    } else {
        kestil_trace_bus("B <+%c %s '%s'.'%s' %s %s %s %d.%d %llx {", property->changed ? '*' : ' ', operation,
                         property->device, property->name, type, perm, state, major, minor, token);
    }
    for (int i = 0; i < property->count; ++i) trace_item(property, &property->items[i], defining);
    kestil_trace_bus("B <-  }");
}

}  // extern "C"
