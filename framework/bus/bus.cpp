// framework/bus/bus.cpp - the device bus: device and client tables, routing, delivery, tracing
#include "framework/bus/bus.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "framework/alloc.h"
#include "framework/bus/blob_table.hpp"
#include "framework/io/tokens.h"
#include "framework/log.h"

namespace {

struct DetachAbort {
    bool used;
    KestilDevice* device;
    KestilClientRef ref;
    char property_name[KESTIL_NAME_SIZE];
    KestilProperty* abort_property;
};

// Everything below is guarded by bus_mutex, except `started`, which entry checks read first.
std::recursive_mutex bus_mutex;
std::atomic<bool> started{false};
KestilDevice* devices[KESTIL_MAX_DEVICES];
KestilClient* clients[KESTIL_MAX_CLIENTS];
uint64_t client_ids[KESTIL_MAX_CLIENTS];
uint64_t last_client_id = 0;
int highest_device = -1;  // highest slot used so far
int highest_client = -1;
DetachAbort detach_aborts[KESTIL_MAX_DETACH_ABORTS];

using BusLock = std::unique_lock<std::recursive_mutex>;

bool same_name(const char* a, const char* b) { return strncmp(a, b, KESTIL_NAME_SIZE) == 0; }

const char* name_of(const KestilDevice* device) { return device ? device->name : ""; }

// Formats the message of a bus operation into 512 bytes. Result: false when there is none.
bool format_message(char* message, const char* format, va_list args) {
    message[0] = '\0';
    if (!format) return false;
    vsnprintf(message, KESTIL_VALUE_SIZE, format, args);
    return true;
}

// A client request reaches a device when the property names it, names no device, or the device
// is an "@" device (with host suffixes on, only when its name occurs in the addressed name).
bool routed(const KestilDevice* device, const KestilProperty* property) {
    if (!property->device[0] || same_name(device->name, property->device)) return true;
    if (device->name[0] != '@') return false;
    return !kestil_use_host_suffix || strstr(property->device, device->name) != nullptr;
}

bool is_message_property(const KestilProperty* property) {
    return property && (property == IDLE_PROPERTY || property == OK_PROPERTY || property == BUSY_PROPERTY ||
                        property == ALERT_PROPERTY);
}

// Current values become the last sent ones; the change marks are cleared.
void mark_as_sent(KestilProperty* property) {
    for (int i = 0; i < property->count; ++i) {
        KestilItem& item = property->items[i];
        switch (property->type) {
        case KESTIL_TEXT_VECTOR:
            memcpy(item.text.last_value, item.text.value, KESTIL_VALUE_SIZE);
            break;
        case KESTIL_NUMBER_VECTOR:
            item.number.last_value = item.number.value;
            item.number.last_target = item.number.target;
            break;
        case KESTIL_SWITCH_VECTOR:
            item.sw.last_value = item.sw.value;
            break;
        case KESTIL_LIGHT_VECTOR:
            item.light.last_value = item.light.value;
            break;
        default:
            break;
        }
        item.item_changed = false;
    }
    property->last_state = property->state;
    property->changed = false;
}

// Marks the items that differ from their last sent values; an exclusive switch always carries
// its on item. An item already marked (a long text value set) also counts as a change.
void mark_changes(KestilProperty* property) {
    for (int i = 0; i < property->count; ++i) {
        KestilItem& item = property->items[i];
        bool differs = false;
        switch (property->type) {
        case KESTIL_TEXT_VECTOR:
            differs = strcmp(item.text.value, item.text.last_value) != 0;
            break;
        case KESTIL_NUMBER_VECTOR:
            differs = item.number.value != item.number.last_value || item.number.target != item.number.last_target;
            break;
        case KESTIL_SWITCH_VECTOR:
            differs = item.sw.value != item.sw.last_value ||
                      (item.sw.value && property->rule != KESTIL_ANY_OF_MANY_RULE);
            if (item.sw.value != item.sw.last_value) property->changed = true;
            if (differs) item.item_changed = true;
            continue;
        case KESTIL_LIGHT_VECTOR:
            differs = item.light.value != item.light.last_value;
            break;
        default:
            break;
        }
        if (differs) item.item_changed = true;
        if (item.item_changed) property->changed = true;
    }
}

void send_message_to(KestilClient* client, const KestilDevice* device, KestilProperty* property,
                     const char* message) {
    if (client->send_message) client->send_message(client, name_of(device), property, message);
}

int define_v(KestilDevice* device, KestilProperty* property, const char* format, va_list args) {
    if (!started || !property) return KESTIL_BUS_FAILED;
    kestil_blob_table_align(property);
    if (property->hidden) return KESTIL_BUS_OK;
    BusLock lock(bus_mutex);
    char message[KESTIL_VALUE_SIZE];
    bool has_message = format_message(message, format, args);
    kestil_trace_property("Define", property, true, has_message ? message : nullptr);
    property->defined = true;
    if (kestil_use_blob_caching && property->type == KESTIL_BLOB_VECTOR && property->perm == KESTIL_WO_PERM &&
        !kestil_blob_table_add_uploads(property)) {
        lock.unlock();
        kestil_error("[%s:%d] Max BLOB count reached", "kestil_define_property", __LINE__);
        return KESTIL_BUS_TOO_MANY;
    }
    for (int i = 0; i <= highest_client; ++i) {
        KestilClient* client = clients[i];
        if (!client || !client->define_property) continue;
        client->last_result = client->define_property(client, device, property, nullptr);
        if (has_message && client->last_result == 0) send_message_to(client, device, property, message);
    }
    mark_as_sent(property);
    return KESTIL_BUS_OK;
}

int update_v(KestilDevice* device, KestilProperty* property, const char* format, va_list args) {
    if (!started || !property) return KESTIL_BUS_FAILED;
    kestil_blob_table_align(property);
    if (property->hidden || (device && device->muted)) return KESTIL_BUS_OK;
    BusLock lock(bus_mutex);
    char message[KESTIL_VALUE_SIZE];
    bool has_message = format_message(message, format, args);
    if (property->state != property->last_state || has_message) property->changed = true;
    int32_t count = property->count;
    if (property->perm == KESTIL_WO_PERM) property->count = 0;  // no values of a write-only property
    mark_changes(property);
    kestil_trace_property("Update", property, false, has_message ? message : nullptr);
    if (kestil_use_blob_caching && property->type == KESTIL_BLOB_VECTOR && property->perm == KESTIL_RO_PERM &&
        property->state == KESTIL_OK_STATE && !kestil_blob_table_cache(property)) {
        property->count = count;
        lock.unlock();
        kestil_error("[%s:%d] Max BLOB count reached", "kestil_update_property", __LINE__);
        return KESTIL_BUS_TOO_MANY;
    }
    for (int i = 0; i <= highest_client; ++i) {
        KestilClient* client = clients[i];
        if (!client || !client->update_property || !(property->changed || client->wants_all_updates)) continue;
        client->last_result = client->update_property(client, device, property, nullptr);
        if (has_message && client->last_result == 0) send_message_to(client, device, property, message);
    }
    mark_as_sent(property);
    property->count = count;
    return KESTIL_BUS_OK;
}

int send_message_v(const char* device, KestilProperty* property, const char* format, va_list args) {
    if (!started) return KESTIL_BUS_FAILED;
    if (!device) device = "";
    BusLock lock(bus_mutex);
    char message[KESTIL_VALUE_SIZE];
    format_message(message, format, args);
    if (is_message_property(property)) snprintf(property->device, KESTIL_NAME_SIZE, "%s", device);
    kestil_trace_bus("B <- Sent message '%s'", message);
    for (int i = 0; i <= highest_client; ++i) {
        KestilClient* client = clients[i];
        if (client && client->send_message)
            client->last_result = client->send_message(client, device, property, message);
    }
    return KESTIL_BUS_OK;
}

int send_plain_message(const char* device, KestilProperty* property, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
int send_plain_message(const char* device, KestilProperty* property, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int status = send_message_v(device, property, format, args);
    va_end(args);
    return status;
}

// Takes the client's entries out of the registry and sends their abort properties to the
// devices that registered them. Runs under the bus lock.
void run_detach_aborts(KestilClient* client, uint64_t id) {
    BusLock lock(bus_mutex);
    DetachAbort removed[KESTIL_MAX_DETACH_ABORTS];
    int count = 0;
    for (DetachAbort& entry : detach_aborts) {
        if (!entry.used || entry.ref.client != client || entry.ref.id != id) continue;
        kestil_log("Aborting '%s'.%s started by detached client '%s'", entry.device->name, entry.property_name,
                   client->name);
        removed[count++] = entry;
        entry = DetachAbort{};
    }
    for (int i = 0; i < count; ++i) {
        removed[i].abort_property->access_token = removed[i].device->access_token;
        kestil_change_property(nullptr, removed[i].abort_property);
        kestil_release_property(removed[i].abort_property);
    }
}

void forget_detach_aborts(KestilDevice* device) {
    BusLock lock(bus_mutex);
    for (DetachAbort& entry : detach_aborts) {
        if (!entry.used || entry.device != device) continue;
        kestil_log("Forgetting '%s'.%s left registered by detached device", device->name, entry.property_name);
        kestil_release_property(entry.abort_property);
        entry = DetachAbort{};
    }
}

// The handler's own copy of a property: long texts and BLOB data are duplicated.
KestilProperty* private_copy(const KestilProperty* property) {
    KestilProperty* copy = kestil_copy_property(nullptr, property);
    if (copy->type == KESTIL_BLOB_VECTOR) {
        for (int i = 0; i < copy->count; ++i) {
            KestilBlobValue& blob = copy->items[i].blob;
            if (blob.value && blob.size > 0) {
                void* data = kestil_checked_malloc(static_cast<size_t>(blob.size));
                memcpy(data, blob.value, static_cast<size_t>(blob.size));
                blob.value = data;
            } else {
                blob.value = nullptr;
            }
        }
    }
    return copy;
}

void release_private_copy(KestilProperty* copy) {
    if (copy->type == KESTIL_BLOB_VECTOR)
        for (int i = 0; i < copy->count; ++i) {
            free(copy->items[i].blob.value);
            copy->items[i].blob.value = nullptr;
        }
    kestil_release_property(copy);
}

struct AsyncCall {
    void (*handler)(KestilDevice*, KestilClient*, KestilProperty*);
    KestilDevice* device;
    KestilClient* client;
    KestilProperty* property;
};

void run_async_call(void* argument) {
    auto* call = static_cast<AsyncCall*>(argument);
    call->handler(call->device, call->client, call->property);
    release_private_copy(call->property);
    delete call;
}

// Raises the log level from the host's arguments; the last matching argument wins.
void log_level_from_arguments() {
    struct Option { const char* short_name; const char* long_name; int level; };
    static constexpr Option options[] = {{"-v", "--enable-info", 2},
                                         {"-vv", "--enable-debug", 3},
                                         {"-vvb", "--enable-trace-bus", 4},
                                         {"-vvv", "--enable-trace", 5}};
    if (!kestil_main_argv) return;
    for (int i = 1; i < kestil_main_argc; ++i) {
        const char* argument = kestil_main_argv[i];
        if (!argument) continue;
        for (const Option& option : options)
            if (strcmp(argument, option.short_name) == 0 || strcmp(argument, option.long_name) == 0)
                kestil_set_log_level(option.level);
    }
}

}  // namespace

extern "C" {

bool kestil_use_host_suffix = false;
bool kestil_use_blob_caching = false;
KestilProperty KESTIL_ALL_PROPERTIES;

int kestil_start(void) {
    log_level_from_arguments();
    // Sockets need no start-up on POSIX systems.
    kestil_message_properties_init();
    BusLock lock(bus_mutex);
    started = true;
    return KESTIL_BUS_OK;
}

int kestil_stop(void) {
    kestil_trace_bus("B <- Stop bus");
    if (!started) return KESTIL_BUS_FAILED;
    KestilClient* leaving[KESTIL_MAX_CLIENTS];
    int count = 0;
    {
        BusLock lock(bus_mutex);
        for (int i = 0; i <= highest_client; ++i)
            if (clients[i] && clients[i]->detach) leaving[count++] = clients[i];
    }
    for (int i = 0; i < count; ++i) kestil_detach_client(leaving[i]);
    BusLock lock(bus_mutex);
    for (int i = 0; i <= highest_device; ++i) {
        if (!devices[i]) continue;
        char name[KESTIL_NAME_SIZE];
        snprintf(name, sizeof name, "%s", devices[i]->name);
        lock.unlock();
        kestil_error("KESTIL Bus: can't stop, '%s' is attached", name);
        return KESTIL_BUS_CANT_STOP;
    }
    started = false;
    return KESTIL_BUS_OK;
}

int kestil_attach_device(KestilDevice* device) {
    if (!started || !device) return KESTIL_BUS_FAILED;
    {
        BusLock lock(bus_mutex);
        kestil_trace_bus("B <- Attach device '%s'", device->name);
        int slot = 0;
        while (slot < KESTIL_MAX_DEVICES && devices[slot]) ++slot;
        if (slot == KESTIL_MAX_DEVICES) {
            lock.unlock();
            kestil_error("[%s:%d] Max device count reached", "kestil_attach_device", __LINE__);
            return KESTIL_BUS_TOO_MANY;
        }
        if (slot > highest_device) {
            highest_device = slot;
            kestil_trace("%d devices attached", slot + 1);
        }
        // The token is taken before the device can be reached, so that no change slips past it
        // while the device attaches; it is read again once the configuration is loaded.
        device->access_token = kestil_get_device_token(device->name);
        devices[slot] = device;
        if (device->attach) device->last_result = device->attach(device);
    }
    if (!device->skip_config_load && device->change_property) {
        KestilProperty* config = kestil_init_switch_property(nullptr, device->name, "CONFIG", nullptr, nullptr,
                                                             KESTIL_OK_STATE, KESTIL_RW_PERM,
                                                             KESTIL_ANY_OF_MANY_RULE, 1);
        kestil_init_switch_item(&config->items[0], "LOAD", nullptr, true);
        device->change_property(device, nullptr, config);
        kestil_release_property(config);
    }
    BusLock lock(bus_mutex);
    device->access_token = kestil_get_device_token(device->name);
    return KESTIL_BUS_OK;
}

int kestil_detach_device(KestilDevice* device) {
    if (!started || !device) return KESTIL_BUS_FAILED;
    {
        BusLock lock(bus_mutex);
        int slot = 0;
        while (slot <= highest_device && devices[slot] != device) ++slot;
        if (slot > highest_device) return KESTIL_BUS_NOT_FOUND;
        devices[slot] = nullptr;
        kestil_trace_bus("B <- Detach device '%s'", device->name);
    }
    if (device->detach) {
        KestilProperty* all = kestil_init_text_property(nullptr, device->name, "", nullptr, nullptr,
                                                        KESTIL_IDLE_STATE, 0, 0);
        kestil_delete_property(device, all, nullptr);
        kestil_release_property(all);
        device->last_result = device->detach(device);
    }
    forget_detach_aborts(device);
    return KESTIL_BUS_OK;
}

int kestil_attach_client(KestilClient* client) {
    if (!started || !client) return KESTIL_BUS_FAILED;
    {
        BusLock lock(bus_mutex);
        int slot = 0;
        while (slot < KESTIL_MAX_CLIENTS && clients[slot]) ++slot;
        if (slot == KESTIL_MAX_CLIENTS) {
            lock.unlock();
            kestil_error("[%s:%d] Max client count reached", "kestil_attach_client", __LINE__);
            return KESTIL_BUS_TOO_MANY;
        }
        if (slot > highest_client) {
            highest_client = slot;
            kestil_trace("%d clients attached", slot + 1);
        }
        clients[slot] = client;
        client_ids[slot] = ++last_client_id;
    }
    if (client->attach) client->last_result = client->attach(client);
    kestil_trace_bus("B <- Attach client '%s'", client->name);
    return KESTIL_BUS_OK;
}

int kestil_detach_client(KestilClient* client) {
    if (!started || !client) return KESTIL_BUS_FAILED;
    uint64_t id;
    {
        BusLock lock(bus_mutex);
        int slot = 0;
        while (slot <= highest_client && clients[slot] != client) ++slot;
        if (slot > highest_client) return KESTIL_BUS_NOT_FOUND;
        id = client_ids[slot];
        clients[slot] = nullptr;
        client_ids[slot] = 0;
        kestil_trace_bus("B <- Detach client '%s'", client->name);
    }
    if (client->detach) client->last_result = client->detach(client);
    run_detach_aborts(client, id);
    return KESTIL_BUS_OK;
}

int kestil_enumerate_properties(KestilClient* client, KestilProperty* templ) {
    if (!started) return KESTIL_BUS_FAILED;
    if (!templ) templ = &KESTIL_ALL_PROPERTIES;
    BusLock lock(bus_mutex);
    kestil_trace_property("Enumerate", templ, false, nullptr);
    for (int i = 0; i <= highest_device; ++i) {
        KestilDevice* device = devices[i];
        if (device && device->enumerate_properties && routed(device, templ))
            device->last_result = device->enumerate_properties(device, client, templ);
    }
    return KESTIL_BUS_OK;
}

int kestil_change_property(KestilClient* client, KestilProperty* property) {
    if (!started || !property) return KESTIL_BUS_FAILED;
    BusLock lock(bus_mutex);
    kestil_trace_property("Change", property, false, nullptr);
    uint64_t master = kestil_get_master_token();
    for (int i = 0; i <= highest_device; ++i) {
        KestilDevice* device = devices[i];
        if (!device || !device->change_property || !routed(device, property)) continue;
        // A master token of 0 is none: it must not open a protected device to token-less requests.
        if (device->access_token == 0 || property->access_token == device->access_token ||
            (master != 0 && property->access_token == master))
            device->last_result = device->change_property(device, client, property);
        else
            send_plain_message(device->name, nullptr, "Device '%s' is protected or locked for exclusive access",
                               device->name);
    }
    return KESTIL_BUS_OK;
}

int kestil_enable_blob(KestilClient* client, KestilProperty* property, int mode) {
    if (!started || !property) return KESTIL_BUS_FAILED;
    BusLock lock(bus_mutex);
    kestil_trace_property(mode == KESTIL_BLOB_NEVER ? "Disable BLOB mode" : "Enable BLOB mode", property, false,
                          nullptr);
    for (int i = 0; i <= highest_device; ++i) {
        KestilDevice* device = devices[i];
        if (device && device->enable_blob && routed(device, property))
            device->last_result = device->enable_blob(device, client, property, mode);
    }
    return KESTIL_BUS_OK;
}

int kestil_define_property(KestilDevice* device, KestilProperty* property, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int status = define_v(device, property, format, args);
    va_end(args);
    return status;
}

int kestil_update_property(KestilDevice* device, KestilProperty* property, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int status = update_v(device, property, format, args);
    va_end(args);
    return status;
}

int kestil_delete_property(KestilDevice* device, KestilProperty* property, const char* format, ...) {
    if (!started || !property) return KESTIL_BUS_FAILED;
    if (property->hidden) return KESTIL_BUS_OK;
    BusLock lock(bus_mutex);
    char message[KESTIL_VALUE_SIZE];
    va_list args;
    va_start(args, format);
    bool has_message = format_message(message, format, args);
    va_end(args);
    kestil_trace_property("Remove", property, false, has_message ? message : nullptr);
    property->defined = false;
    for (int i = 0; i <= highest_client; ++i) {
        KestilClient* client = clients[i];
        if (!client || !client->delete_property) continue;
        client->last_result = client->delete_property(client, device, property, nullptr);
        if (has_message && client->last_result == 0) send_message_to(client, device, property, message);
    }
    return KESTIL_BUS_OK;
}

int kestil_define_property_to_client(KestilDevice* device, KestilClient* client, KestilProperty* property,
                                     const char* format, ...) {
    if (!started || !property || !client) return KESTIL_BUS_FAILED;
    kestil_blob_table_align(property);
    if (property->hidden) return KESTIL_BUS_OK;
    BusLock lock(bus_mutex);
    char message[KESTIL_VALUE_SIZE];
    va_list args;
    va_start(args, format);
    bool has_message = format_message(message, format, args);
    va_end(args);
    kestil_trace_property("Define to client", property, true, has_message ? message : nullptr);
    property->defined = true;
    if (client->define_property) {
        client->last_result = client->define_property(client, device, property, nullptr);
        if (has_message && client->last_result == 0) send_message_to(client, device, property, message);
    }
    return KESTIL_BUS_OK;
}

int kestil_update_property_to_client(KestilDevice* device, KestilClient* client, KestilProperty* property,
                                     const char* format, ...) {
    if (!started || !property || !client || property->type == KESTIL_BLOB_VECTOR) return KESTIL_BUS_FAILED;
    if (property->hidden || (device && device->muted)) return KESTIL_BUS_OK;
    BusLock lock(bus_mutex);
    char message[KESTIL_VALUE_SIZE];
    va_list args;
    va_start(args, format);
    bool has_message = format_message(message, format, args);
    va_end(args);
    if (property->state != property->last_state || has_message) property->changed = true;
    int32_t count = property->count;
    if (property->perm == KESTIL_WO_PERM) property->count = 0;
    mark_changes(property);
    kestil_trace_property("Update", property, false, has_message ? message : nullptr);
    if (client->update_property) {
        client->last_result = client->update_property(client, device, property, nullptr);
        if (has_message && client->last_result == 0) send_message_to(client, device, property, message);
    }
    property->count = count;
    return KESTIL_BUS_OK;
}

int kestil_send_message(const char* device, KestilProperty* property, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int status = send_message_v(device, property, format, args);
    va_end(args);
    return status;
}

int kestil_reject_change(KestilDevice* device, KestilProperty* property, const char* format, ...) {
    if (!property) return KESTIL_BUS_FAILED;
    va_list args;
    va_start(args, format);
    int status;
    if (property->state == KESTIL_BUSY_STATE) {
        char message[KESTIL_VALUE_SIZE];
        if (!format_message(message, format, args))
            snprintf(message, sizeof message, "%s", "Another operation is in progress");
        status = send_plain_message(name_of(device), BUSY_PROPERTY, "%s", message);
    } else {
        for (int i = 0; i < property->count; ++i) property->items[i].item_changed = true;
        property->state = KESTIL_ALERT_STATE;
        status = update_v(device, property, format, args);
    }
    va_end(args);
    return status;
}

int kestil_query_slave_devices(KestilDevice* master, KestilDevice** list, int capacity) {
    if (!master) return 0;
    BusLock lock(bus_mutex);
    int count = 0;
    for (int i = 0; i <= highest_device && count < capacity; ++i) {
        KestilDevice* device = devices[i];
        if (device && device != master && device->master_device == master) list[count++] = device;
    }
    return count;
}

int kestil_disconnect_slave_devices(KestilDevice* master) {
    if (!master) return KESTIL_BUS_FAILED;
    BusLock lock(bus_mutex);
    KestilDevice* slaves[KESTIL_MAX_DEVICES];
    int count = kestil_query_slave_devices(master, slaves, KESTIL_MAX_DEVICES);
    for (int i = 0; i < count; ++i) kestil_device_disconnect(nullptr, slaves[i]->name);
    return KESTIL_BUS_OK;
}

bool kestil_async(void (*function)(void* argument), void* argument) {
    if (!function) return false;
    try {
        std::thread(function, argument).detach();
        return true;
    } catch (...) {
        return false;
    }
}

bool kestil_handle_property_async(void (*handler)(KestilDevice* device, KestilClient* client,
                                                  KestilProperty* property),
                                  KestilDevice* device, KestilClient* client, KestilProperty* property) {
    if (!handler || !property) return false;
    auto* call = new AsyncCall{handler, device, client, private_copy(property)};
    if (kestil_async(run_async_call, call)) return true;
    release_private_copy(call->property);
    delete call;
    return false;
}

void kestil_current_client_ref(KestilClientRef* ref, KestilClient* client) {
    if (!ref) return;
    BusLock lock(bus_mutex);
    ref->client = client;
    ref->id = 0;
    for (int i = 0; i <= highest_client; ++i)
        if (client && clients[i] == client) ref->id = client_ids[i];
}

int kestil_register_detach_abort(KestilDevice* device, const KestilClientRef* ref, const char* property_name,
                                 KestilProperty* abort_property) {
    if (!device || !ref || !property_name || !abort_property) return KESTIL_BUS_FAILED;
    BusLock lock(bus_mutex);
    for (DetachAbort& entry : detach_aborts) {
        if (entry.used) continue;
        entry.used = true;
        entry.device = device;
        entry.ref = *ref;
        snprintf(entry.property_name, sizeof entry.property_name, "%s", property_name);
        entry.abort_property = abort_property;
        return KESTIL_BUS_OK;
    }
    lock.unlock();
    kestil_error("[%s:%d] Max detach abort count reached", "kestil_register_detach_abort", __LINE__);
    return KESTIL_BUS_TOO_MANY;
}

int kestil_unregister_detach_abort(KestilDevice* device, const KestilClientRef* ref, const char* property_name) {
    if (!device || !ref || !property_name) return KESTIL_BUS_FAILED;
    BusLock lock(bus_mutex);
    int status = KESTIL_BUS_NOT_FOUND;
    for (DetachAbort& entry : detach_aborts) {
        if (!entry.used || entry.device != device || entry.ref.client != ref->client || entry.ref.id != ref->id ||
            !same_name(entry.property_name, property_name))
            continue;
        kestil_release_property(entry.abort_property);
        entry = DetachAbort{};
        status = KESTIL_BUS_OK;
    }
    return status;
}

}  // extern "C"
