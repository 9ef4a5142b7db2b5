// framework/bus/properties.h - device property records
// A property is a named, typed group of items (texts, numbers, switches, lights or binary
// objects) with a state, a permission and, for switches, a rule; it lives in one heap block,
// the header followed by its items. These operations create, resize, copy, match and read
// properties and build the change requests that clients send over the bus (bus.h).
//
// Threads: the records are not locked themselves; the bus lock serialises defining, updating
// and changing (callbacks run with it held). Resizing and releasing BLOB properties touch the
// BLOB table under its own lock. kestil_trace_property takes the property-trace lock.
// Allocation failure ends the process ("Failed to allocate memory", status 1).
#ifndef KESTIL_FRAMEWORK_BUS_PROPERTIES_H
#define KESTIL_FRAMEWORK_BUS_PROPERTIES_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    KESTIL_NAME_SIZE = 128,   // device, property and item names, groups, BLOB formats
    KESTIL_VALUE_SIZE = 512,  // labels, hints, text values, number formats, urls, messages
    KESTIL_PROTOCOL_VERSION = 0x0300
};

// Property and light states.
enum { KESTIL_IDLE_STATE = 0, KESTIL_OK_STATE = 1, KESTIL_BUSY_STATE = 2, KESTIL_ALERT_STATE = 3 };
// Permissions.
enum { KESTIL_RO_PERM = 1, KESTIL_RW_PERM = 2, KESTIL_WO_PERM = 3 };
// Property types.
enum {
    KESTIL_TEXT_VECTOR = 1,
    KESTIL_NUMBER_VECTOR = 2,
    KESTIL_SWITCH_VECTOR = 3,
    KESTIL_LIGHT_VECTOR = 4,
    KESTIL_BLOB_VECTOR = 5
};
// Switch rules.
enum { KESTIL_ONE_OF_MANY_RULE = 1, KESTIL_AT_MOST_ONE_RULE = 2, KESTIL_ANY_OF_MANY_RULE = 3 };

// Name tables, indexed by the values above: "Idle" "Ok" "Busy" "Alert"; "UNDEFINED" "ro" "rw"
// "wo"; "UNDEFINED" "TEXT" "NUMBER" "SWITCH" "LIGHT" "BLOB"; "UNDEFINED" "OneOfMany"
// "AtMostOne" "AnyOfMany".
extern const char* const kestil_property_state_text[4];
extern const char* const kestil_property_perm_text[4];
extern const char* const kestil_property_type_text[6];
extern const char* const kestil_switch_rule_text[4];

typedef struct KestilTextValue {
    char value[KESTIL_VALUE_SIZE];       // the value, or its first 511 characters
    char last_value[KESTIL_VALUE_SIZE];  // the value last sent
    char* long_value;                    // heap copy of a value of 512 characters or more
    int32_t long_value_size;             // length of the value plus 1
} KestilTextValue;

typedef struct KestilNumberValue {
    char format[KESTIL_VALUE_SIZE];  // printf format, "%g" at creation
    double min, max, step;
    double value, target;
    double default_value;  // restored by a reset
    double last_value, last_target;
} KestilNumberValue;

typedef struct KestilSwitchValue {
    bool value;
    bool default_value;
    bool last_value;
    bool target;
} KestilSwitchValue;

typedef struct KestilLightValue {
    int32_t value;  // a state
    int32_t last_value;
} KestilLightValue;

typedef struct KestilBlobValue {
    char format[KESTIL_NAME_SIZE];  // format suffix of the data (a file extension)
    char url[KESTIL_VALUE_SIZE];    // where the data can be fetched
    int32_t size;                   // data size in bytes
    void* value;                    // the data
} KestilBlobValue;

typedef struct KestilItem {
    char name[KESTIL_NAME_SIZE];
    char label[KESTIL_VALUE_SIZE];
    char hints[KESTIL_VALUE_SIZE];
    bool item_changed;  // changed since the last update
    union {
        KestilTextValue text;
        KestilNumberValue number;
        KestilSwitchValue sw;
        KestilLightValue light;
        KestilBlobValue blob;
    };
} KestilItem;

typedef struct KestilProperty {
    char device[KESTIL_NAME_SIZE];
    char name[KESTIL_NAME_SIZE];
    char group[KESTIL_NAME_SIZE];
    char label[KESTIL_VALUE_SIZE];
    char hints[KESTIL_VALUE_SIZE];  // "key:value;key:value;" (see kestil_get_property_hint)
    uint32_t state;
    uint32_t last_state;  // the state last sent to the clients
    uint32_t type;
    uint32_t perm;
    uint32_t rule;
    uint32_t reserved;
    uint64_t access_token;  // presented with a change request, 0 = none
    uint16_t version;       // 0x0300 at creation
    bool hidden;            // never sent to clients
    bool defined;           // set by define, cleared by delete
    bool changed;           // values or state changed since the last update
    int32_t allocated_count;
    int32_t count;
    KestilItem items[];
} KestilProperty;

// Item-less light properties "IDLE", "OK", "BUSY" and "ALERT" in that state: the property of
// plain messages. Created by kestil_start (bus.h) or kestil_message_properties_init; null before.
extern KestilProperty* IDLE_PROPERTY;
extern KestilProperty* OK_PROPERTY;
extern KestilProperty* BUSY_PROPERTY;
extern KestilProperty* ALERT_PROPERTY;
// Creates the four message properties once (any thread).
void kestil_message_properties_init(void);

// Creating. Given property (reused, its allocation kept) or null (a new block for exactly
// count items), device and name (127 characters), group (127) and label (511; null = empty),
// state, perm, rule and count. A light property is always "ro"; a BLOB property asked to be
// "rw" becomes "ro". Result: the property (moved when it had to grow).
KestilProperty* kestil_init_text_property(KestilProperty* property, const char* device, const char* name,
                                          const char* group, const char* label, uint32_t state,
                                          uint32_t perm, int count);
KestilProperty* kestil_init_number_property(KestilProperty* property, const char* device, const char* name,
                                            const char* group, const char* label, uint32_t state,
                                            uint32_t perm, int count);
KestilProperty* kestil_init_switch_property(KestilProperty* property, const char* device, const char* name,
                                            const char* group, const char* label, uint32_t state,
                                            uint32_t perm, uint32_t rule, int count);
KestilProperty* kestil_init_light_property(KestilProperty* property, const char* device, const char* name,
                                           const char* group, const char* label, uint32_t state, int count);
KestilProperty* kestil_init_blob_property(KestilProperty* property, const char* device, const char* name,
                                          const char* group, const char* label, uint32_t state, int count);
KestilProperty* kestil_init_blob_property_p(KestilProperty* property, const char* device, const char* name,
                                            const char* group, const char* label, uint32_t state,
                                            uint32_t perm, int count);

// Item initialisers: zero the item, then set name (127), label (511) and the values.
void kestil_init_text_item(KestilItem* item, const char* name, const char* label, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
void kestil_init_text_item_raw(KestilItem* item, const char* name, const char* label, const char* value);
void kestil_init_number_item(KestilItem* item, const char* name, const char* label, double min, double max,
                             double step, double value);
void kestil_init_switch_item(KestilItem* item, const char* name, const char* label, bool value);
void kestil_init_light_item(KestilItem* item, const char* name, const char* label, uint32_t state);
void kestil_init_blob_item(KestilItem* item, const char* name, const char* label);

// Bytes of a property block with room for count items.
unsigned long kestil_property_size(int count);

// Result: the property, moved when it had to grow past allocated_count; new items are zeroed.
KestilProperty* kestil_resize_property(KestilProperty* property, int count);
// Copies source into destination (null: a new block). Long text values are copied anew.
// Result: the destination.
KestilProperty* kestil_copy_property(KestilProperty* destination, const KestilProperty* source);
// Frees the property's long values (BLOB: orphans its BLOB entries, frees "wo" data) and zeroes
// it, keeping allocated_count.
void kestil_clear_property(KestilProperty* property);
// As kestil_clear_property, then frees the block. Null is accepted.
void kestil_release_property(KestilProperty* property);

// Result: true when the template (null matches everything) has type 0 or the property's, an
// empty device or the property's, and an empty name or the property's. A null property never
// matches. The _defined form also needs `defined`, the _changeable form `defined` and not "ro".
bool kestil_property_match(const KestilProperty* property, const KestilProperty* templ);
bool kestil_property_match_defined(const KestilProperty* property, const KestilProperty* templ);
bool kestil_property_match_changeable(const KestilProperty* property, const KestilProperty* templ);

// Result: the first item of that name, or null.
KestilItem* kestil_get_item(KestilProperty* property, const char* name);
// Result: the value (target) of the first switch item of that name, false when none.
bool kestil_get_switch(const KestilProperty* property, const char* name);
bool kestil_get_switch_target(const KestilProperty* property, const char* name);
// Result: the value of the property's first switch item named as the given item.
bool kestil_switch_match(const KestilItem* item, const KestilProperty* property);
// Sets one switch; "on" turns the others off first unless the rule is "AnyOfMany".
void kestil_set_switch(KestilProperty* property, KestilItem* item, bool value);
// Every switch item's value becomes its target.
void kestil_apply_switch_targets(KestilProperty* property);

// Copies the other's item values (targets) into the same-named items; numbers are clamped to
// [min, max] and non-finite values ignored. Nothing for "ro" or different types.
void kestil_property_copy_values(KestilProperty* property, const KestilProperty* other, bool with_state);
void kestil_property_copy_targets(KestilProperty* property, const KestilProperty* other, bool with_state);
// Restores default values, sets "Ok" and updates the property on the bus when defined.
struct KestilDevice;
void kestil_reset_property(struct KestilDevice* device, KestilProperty* property);
// Sorts the items from index first on by label, ignoring case.
void kestil_property_sort_items(KestilProperty* property, int first);

// Text values of any length: the long value when there is one, else value.
const char* kestil_get_text_item_value(const KestilItem* item);
void kestil_set_text_item_value(KestilItem* item, const char* text);

// Given:  key; value   output of 512 bytes
// Result: true when the hints hold the key (value filled), false otherwise (value untouched).
bool kestil_get_property_hint(const KestilProperty* property, const char* key, char* value);
bool kestil_get_item_hint(const KestilItem* item, const char* key, char* value);

// Bus trace of a property (log level 4 and above), lines "B <+..." closed by "B <-  }".
// Given:  operation ("Define", "Update", ...), property, defining (the definition forms with
//         labels and ranges), message (or null)
void kestil_trace_property(const char* operation, const KestilProperty* property, bool defining,
                           const char* message);

// Change requests on behalf of a client (null = none): each builds a temporary property, sends
// it with kestil_change_property, releases it and returns the bus status (bus.h). The token is
// the device-or-master token (kestil_change_blob_property: the device's own token) unless given.
struct KestilClient;
int kestil_change_text_property(struct KestilClient* client, const char* device, const char* name, int count,
                                const char** items, const char** values);
int kestil_change_text_property_with_token(struct KestilClient* client, const char* device, const char* name,
                                           uint64_t token, int count, const char** items, const char** values);
int kestil_change_text_property_1(struct KestilClient* client, const char* device, const char* name,
                                  const char* item, const char* format, ...) __attribute__((format(printf, 5, 6)));
int kestil_change_text_property_1_with_token(struct KestilClient* client, const char* device, const char* name,
                                             uint64_t token, const char* item, const char* format, ...)
    __attribute__((format(printf, 6, 7)));
int kestil_change_text_property_1_raw(struct KestilClient* client, const char* device, const char* name,
                                      const char* item, const char* value);
int kestil_change_text_property_1_raw_with_token(struct KestilClient* client, const char* device,
                                                 const char* name, uint64_t token, const char* item,
                                                 const char* value);
int kestil_change_number_property(struct KestilClient* client, const char* device, const char* name, int count,
                                  const char** items, const double* values);
int kestil_change_number_property_with_token(struct KestilClient* client, const char* device, const char* name,
                                             uint64_t token, int count, const char** items, const double* values);
int kestil_change_number_property_1(struct KestilClient* client, const char* device, const char* name,
                                    const char* item, double value);
int kestil_change_number_property_1_with_token(struct KestilClient* client, const char* device,
                                               const char* name, uint64_t token, const char* item, double value);
int kestil_change_switch_property(struct KestilClient* client, const char* device, const char* name, int count,
                                  const char** items, const bool* values);
int kestil_change_switch_property_with_token(struct KestilClient* client, const char* device, const char* name,
                                             uint64_t token, int count, const char** items, const bool* values);
int kestil_change_switch_property_1(struct KestilClient* client, const char* device, const char* name,
                                    const char* item, bool value);
int kestil_change_switch_property_1_with_token(struct KestilClient* client, const char* device,
                                               const char* name, uint64_t token, const char* item, bool value);
int kestil_change_blob_property(struct KestilClient* client, const char* device, const char* name, int count,
                                const char** items, void* const* data, const int32_t* sizes,
                                const char** formats, const char** urls);
int kestil_change_blob_property_with_token(struct KestilClient* client, const char* device, const char* name,
                                           uint64_t token, int count, const char** items, void* const* data,
                                           const int32_t* sizes, const char** formats, const char** urls);
int kestil_change_blob_property_1(struct KestilClient* client, const char* device, const char* name,
                                  const char* item, void* data, int32_t size, const char* format,
                                  const char* url);
int kestil_change_blob_property_1_with_token(struct KestilClient* client, const char* device, const char* name,
                                             uint64_t token, const char* item, void* data, int32_t size,
                                             const char* format, const char* url);
// Sends "CONNECTION" with "CONNECTED" on and "DISCONNECTED" off (connect) or the reverse.
int kestil_device_connect(struct KestilClient* client, const char* device);
int kestil_device_disconnect(struct KestilClient* client, const char* device);

#ifdef __cplusplus
}
#endif

#endif
