// framework/bus/bus.h - the device bus
// Connects devices (drivers that own properties) with clients (the users of those properties)
// inside one process. Devices define, update and delete properties and send messages; the bus
// delivers each to every attached client. Clients ask devices to enumerate, change and send or
// withhold BLOBs; the bus routes each request to the devices it names after checking the
// property's access token (tokens.h). Every exchange is traced at log level 4.
//
// Threads: any thread. Every operation takes the bus lock, which is recursive, and callbacks run
// with it held (definitions, updates, deletions, changes, enumerations, messages, the device's
// attach callback), so a device may define or update and a client may send changes from inside
// a callback. Without the bus lock run: the client attach and detach callbacks, the device
// detach callback and the configuration load on attach. The trace lock, the token lock and the
// BLOB table lock nest inside the bus lock; each BLOB entry's lock inside the BLOB table lock.
//
// Status codes: 0 success, 1 not started or missing argument, 2 a table is full, 4 not attached,
// 7 the bus can't stop.
#ifndef KESTIL_FRAMEWORK_BUS_BUS_H
#define KESTIL_FRAMEWORK_BUS_BUS_H

#include <stdbool.h>
#include <stdint.h>

#include "framework/bus/properties.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
    KESTIL_BUS_OK = 0,
    KESTIL_BUS_FAILED = 1,
    KESTIL_BUS_TOO_MANY = 2,
    KESTIL_BUS_NOT_FOUND = 4,
    KESTIL_BUS_CANT_STOP = 7
};

enum {
    KESTIL_MAX_DEVICES = 256,
    KESTIL_MAX_CLIENTS = 256,
    KESTIL_MAX_BLOBS = 32,
    KESTIL_MAX_DETACH_ABORTS = 64
};

// BLOB modes of kestil_enable_blob.
enum { KESTIL_BLOB_NEVER = 1, KESTIL_BLOB_ALSO = 2, KESTIL_BLOB_URL = 3 };

typedef struct KestilDevice KestilDevice;
typedef struct KestilClient KestilClient;

struct KestilDevice {
    char name[KESTIL_NAME_SIZE];  // a name beginning with "@" takes part in every routing
    bool skip_config_load;        // not asked to load its configuration on attach
    KestilDevice* master_device;  // the device this one is a slave of, or null
    int32_t last_result;          // result of the last callback the bus made
    uint64_t access_token;        // read from the token table on attach
    bool muted;                   // updates are not delivered
    int (*attach)(KestilDevice* device);
    int (*enumerate_properties)(KestilDevice* device, KestilClient* client, KestilProperty* templ);
    int (*change_property)(KestilDevice* device, KestilClient* client, KestilProperty* property);
    int (*enable_blob)(KestilDevice* device, KestilClient* client, KestilProperty* property, int mode);
    int (*detach)(KestilDevice* device);
    void* private_data;  // the driver's own
};

struct KestilClient {
    char name[KESTIL_NAME_SIZE];
    int32_t last_result;
    int (*attach)(KestilClient* client);
    int (*define_property)(KestilClient* client, KestilDevice* device, KestilProperty* property,
                           const char* message);
    int (*update_property)(KestilClient* client, KestilDevice* device, KestilProperty* property,
                           const char* message);
    int (*delete_property)(KestilClient* client, KestilDevice* device, KestilProperty* property,
                           const char* message);
    // device: the name of the sending device (may be empty)
    int (*send_message)(KestilClient* client, const char* device, KestilProperty* property,
                        const char* message);
    int (*detach)(KestilClient* client);
    bool wants_all_updates;  // receive updates even when nothing changed
    void* client_context;    // the creator's own
};

// Host switches: host-suffix routing of "@" devices, caching of BLOB data.
extern bool kestil_use_host_suffix;
extern bool kestil_use_blob_caching;
// Matches every property: empty device and name, type 0, no items.
extern KestilProperty KESTIL_ALL_PROPERTIES;

int kestil_start(void);
int kestil_stop(void);

int kestil_attach_device(KestilDevice* device);
int kestil_detach_device(KestilDevice* device);
int kestil_attach_client(KestilClient* client);
int kestil_detach_client(KestilClient* client);

// From clients (client may be null). templ null = every property.
int kestil_enumerate_properties(KestilClient* client, KestilProperty* templ);
int kestil_change_property(KestilClient* client, KestilProperty* property);
int kestil_enable_blob(KestilClient* client, KestilProperty* property, int mode);

// From devices. format: printf format of a message (512 bytes), or null.
int kestil_define_property(KestilDevice* device, KestilProperty* property, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
int kestil_update_property(KestilDevice* device, KestilProperty* property, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
int kestil_delete_property(KestilDevice* device, KestilProperty* property, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
int kestil_define_property_to_client(KestilDevice* device, KestilClient* client, KestilProperty* property,
                                     const char* format, ...) __attribute__((format(printf, 4, 5)));
int kestil_update_property_to_client(KestilDevice* device, KestilClient* client, KestilProperty* property,
                                     const char* format, ...) __attribute__((format(printf, 4, 5)));
// device: the sending device's name (null = empty); property: null or one to attach.
int kestil_send_message(const char* device, KestilProperty* property, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
int kestil_reject_change(KestilDevice* device, KestilProperty* property, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Result: the number of attached devices whose master_device is master (master excluded), at
// most capacity, stored in list (may be null when capacity is 0).
int kestil_query_slave_devices(KestilDevice* master, KestilDevice** list, int capacity);
// Sends a disconnect request to each slave of master. Result: 0, or 1 without master.
int kestil_disconnect_slave_devices(KestilDevice* master);

// Runs function(argument) on a new detached thread. Result: true when the thread started.
bool kestil_async(void (*function)(void* argument), void* argument);
// Runs handler(device, client, copy) on a new detached thread, where copy is a private copy of
// the property (BLOB data included) released after the handler returns, so that the caller's
// property may go away at once. Result: true when the thread started.
bool kestil_handle_property_async(void (*handler)(KestilDevice* device, KestilClient* client,
                                                  KestilProperty* property),
                                  KestilDevice* device, KestilClient* client, KestilProperty* property);

// A client and the identifier of its attachment, to tell it from a later client in its slot.
typedef struct KestilClientRef {
    KestilClient* client;
    uint64_t id;
} KestilClientRef;

// Returned: ref filled for an attached client ({client, 0} when not attached).
void kestil_current_client_ref(KestilClientRef* ref, KestilClient* client);
// Registers abort_property (the registry takes it over and releases it) to be sent to device
// as a change when the referenced client detaches. Result: 0, 1 for a missing argument, 2 full.
int kestil_register_detach_abort(KestilDevice* device, const KestilClientRef* ref, const char* property_name,
                                 KestilProperty* abort_property);
// Forgets (and releases) the entries of device for ref and property_name. Result: 0, 4 none.
int kestil_unregister_detach_abort(KestilDevice* device, const KestilClientRef* ref, const char* property_name);

// BLOB table: entries tie a BLOB item to a reference-counted record. For "ro" properties the
// entry holds a private copy of the item's data (with BLOB caching on); for "wo" properties it
// marks the item as an upload target.
typedef struct KestilBlobEntry {
    KestilProperty* property;  // null when orphaned
    KestilItem* item;          // null when orphaned
    void* content;             // private copy of the data ("ro"), or null
    int32_t size;
    char format[KESTIL_NAME_SIZE];
    bool upload;  // entry of a "wo" property
} KestilBlobEntry;

// Result: true when the item has an entry.
bool kestil_validate_blob(const KestilItem* item);
// Result: the item's entry, or null (not acquired: valid only while the property lives).
KestilBlobEntry* kestil_find_blob(const KestilItem* item);
// Result: the item's entry, taken (reference counted) and locked for reading, or null. Give it
// back with kestil_release_blob before calling the bus again.
KestilBlobEntry* kestil_acquire_blob(const KestilItem* item);
KestilBlobEntry* kestil_acquire_blob_by_name(const char* device, const char* property, const char* item);
void kestil_release_blob(KestilBlobEntry* entry);

#ifdef __cplusplus
}
#endif

#endif
