// framework/bus/change_requests.cpp - change requests built on behalf of clients
// Each request is a temporary property (no group or label, state "Idle") sent with
// kestil_change_property and released afterwards.
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "framework/alloc.h"
#include "framework/bus/bus.h"
#include "framework/io/tokens.h"

namespace {

int send_and_release(KestilClient* client, KestilProperty* property, uint64_t token) {
    property->access_token = token;
    int status = kestil_change_property(client, property);
    kestil_release_property(property);
    return status;
}

int change_text(KestilClient* client, const char* device, const char* name, uint64_t token, int count,
                const char** items, const char** values) {
    if (count < 0 || (count > 0 && (!items || !values))) return KESTIL_BUS_FAILED;
    KestilProperty* property = kestil_init_text_property(nullptr, device, name, nullptr, nullptr,
                                                         KESTIL_IDLE_STATE, KESTIL_RW_PERM, count);
    for (int i = 0; i < count; ++i) kestil_init_text_item_raw(&property->items[i], items[i], nullptr, values[i]);
    return send_and_release(client, property, token);
}

int change_number(KestilClient* client, const char* device, const char* name, uint64_t token, int count,
                  const char** items, const double* values) {
    if (count < 0 || (count > 0 && (!items || !values))) return KESTIL_BUS_FAILED;
    KestilProperty* property = kestil_init_number_property(nullptr, device, name, nullptr, nullptr,
                                                           KESTIL_IDLE_STATE, KESTIL_RW_PERM, count);
    for (int i = 0; i < count; ++i) {
        KestilItem& item = property->items[i];
        memset(&item, 0, sizeof item);
        snprintf(item.name, sizeof item.name, "%s", items[i] ? items[i] : "");
        item.number.value = values[i];  // only the value: no range, no target
    }
    return send_and_release(client, property, token);
}

int change_switch(KestilClient* client, const char* device, const char* name, uint64_t token, int count,
                  const char** items, const bool* values) {
    if (count < 0 || (count > 0 && (!items || !values))) return KESTIL_BUS_FAILED;
    KestilProperty* property =
        kestil_init_switch_property(nullptr, device, name, nullptr, nullptr, KESTIL_IDLE_STATE, KESTIL_RW_PERM,
                                    KESTIL_ONE_OF_MANY_RULE, count);
    for (int i = 0; i < count; ++i) {
        KestilItem& item = property->items[i];
        memset(&item, 0, sizeof item);
        snprintf(item.name, sizeof item.name, "%s", items[i] ? items[i] : "");
        item.sw.value = item.sw.target = values[i];
    }
    return send_and_release(client, property, token);
}

// A "wo" property owns its items' data: the heap copies are freed with it.
int change_blob(KestilClient* client, const char* device, const char* name, uint64_t token, int count,
                const char** items, void* const* data, const int32_t* sizes, const char** formats,
                const char** urls) {
    if (count < 0 || (count > 0 && (!items || !data || !sizes))) return KESTIL_BUS_FAILED;
    KestilProperty* property = kestil_init_blob_property_p(nullptr, device, name, nullptr, nullptr,
                                                           KESTIL_IDLE_STATE, KESTIL_WO_PERM, count);
    for (int i = 0; i < count; ++i) {
        KestilItem& item = property->items[i];
        kestil_init_blob_item(&item, items[i], nullptr);
        if (data[i] && sizes[i] > 0) {
            item.blob.value = kestil_checked_malloc(static_cast<size_t>(sizes[i]));
            memcpy(item.blob.value, data[i], static_cast<size_t>(sizes[i]));
            item.blob.size = sizes[i];
        }
        snprintf(item.blob.format, sizeof item.blob.format, "%s", formats && formats[i] ? formats[i] : "");
        snprintf(item.blob.url, sizeof item.blob.url, "%s", urls && urls[i] ? urls[i] : "");
    }
    return send_and_release(client, property, token);
}

int change_text_1_v(KestilClient* client, const char* device, const char* name, uint64_t token, const char* item,
                    const char* format, va_list args) {
    char value[KESTIL_VALUE_SIZE] = "";
    if (format) vsnprintf(value, sizeof value, format, args);
    const char* values[] = {value};
    return change_text(client, device, name, token, 1, &item, values);
}

}  // namespace

extern "C" {

int kestil_change_text_property(KestilClient* client, const char* device, const char* name, int count,
                                const char** items, const char** values) {
    return change_text(client, device, name, kestil_get_device_or_master_token(device), count, items, values);
}

int kestil_change_text_property_with_token(KestilClient* client, const char* device, const char* name,
                                           uint64_t token, int count, const char** items, const char** values) {
    return change_text(client, device, name, token, count, items, values);
}

int kestil_change_text_property_1(KestilClient* client, const char* device, const char* name, const char* item,
                                  const char* format, ...) {
    va_list args;
    va_start(args, format);
    int status =
        change_text_1_v(client, device, name, kestil_get_device_or_master_token(device), item, format, args);
    va_end(args);
    return status;
}

int kestil_change_text_property_1_with_token(KestilClient* client, const char* device, const char* name,
                                             uint64_t token, const char* item, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int status = change_text_1_v(client, device, name, token, item, format, args);
    va_end(args);
    return status;
}

int kestil_change_text_property_1_raw(KestilClient* client, const char* device, const char* name,
                                      const char* item, const char* value) {
    return change_text(client, device, name, kestil_get_device_or_master_token(device), 1, &item, &value);
}

int kestil_change_text_property_1_raw_with_token(KestilClient* client, const char* device, const char* name,
                                                 uint64_t token, const char* item, const char* value) {
    return change_text(client, device, name, token, 1, &item, &value);
}

int kestil_change_number_property(KestilClient* client, const char* device, const char* name, int count,
                                  const char** items, const double* values) {
    return change_number(client, device, name, kestil_get_device_or_master_token(device), count, items, values);
}

int kestil_change_number_property_with_token(KestilClient* client, const char* device, const char* name,
                                             uint64_t token, int count, const char** items, const double* values) {
    return change_number(client, device, name, token, count, items, values);
}

int kestil_change_number_property_1(KestilClient* client, const char* device, const char* name, const char* item,
                                    double value) {
    return change_number(client, device, name, kestil_get_device_or_master_token(device), 1, &item, &value);
}

int kestil_change_number_property_1_with_token(KestilClient* client, const char* device, const char* name,
                                               uint64_t token, const char* item, double value) {
    return change_number(client, device, name, token, 1, &item, &value);
}

int kestil_change_switch_property(KestilClient* client, const char* device, const char* name, int count,
                                  const char** items, const bool* values) {
    return change_switch(client, device, name, kestil_get_device_or_master_token(device), count, items, values);
}

int kestil_change_switch_property_with_token(KestilClient* client, const char* device, const char* name,
                                             uint64_t token, int count, const char** items, const bool* values) {
    return change_switch(client, device, name, token, count, items, values);
}

int kestil_change_switch_property_1(KestilClient* client, const char* device, const char* name, const char* item,
                                    bool value) {
    return change_switch(client, device, name, kestil_get_device_or_master_token(device), 1, &item, &value);
}

int kestil_change_switch_property_1_with_token(KestilClient* client, const char* device, const char* name,
                                               uint64_t token, const char* item, bool value) {
    return change_switch(client, device, name, token, 1, &item, &value);
}

int kestil_change_blob_property(KestilClient* client, const char* device, const char* name, int count,
                                const char** items, void* const* data, const int32_t* sizes, const char** formats,
                                const char** urls) {
    // The device's own token: a BLOB upload of several items takes no master fallback.
    return change_blob(client, device, name, kestil_get_device_token(device), count, items, data, sizes, formats,
                       urls);
}

int kestil_change_blob_property_with_token(KestilClient* client, const char* device, const char* name,
                                           uint64_t token, int count, const char** items, void* const* data,
                                           const int32_t* sizes, const char** formats, const char** urls) {
    return change_blob(client, device, name, token, count, items, data, sizes, formats, urls);
}

int kestil_change_blob_property_1(KestilClient* client, const char* device, const char* name, const char* item,
                                  void* data, int32_t size, const char* format, const char* url) {
    return change_blob(client, device, name, kestil_get_device_or_master_token(device), 1, &item, &data, &size,
                       &format, &url);
}

int kestil_change_blob_property_1_with_token(KestilClient* client, const char* device, const char* name,
                                             uint64_t token, const char* item, void* data, int32_t size,
                                             const char* format, const char* url) {
    return change_blob(client, device, name, token, 1, &item, &data, &size, &format, &url);
}

int kestil_device_connect(KestilClient* client, const char* device) {
    const char* items[] = {"CONNECTED", "DISCONNECTED"};
    const bool values[] = {true, false};
    return kestil_change_switch_property(client, device, "CONNECTION", 2, items, values);
}

int kestil_device_disconnect(KestilClient* client, const char* device) {
    const char* items[] = {"CONNECTED", "DISCONNECTED"};
    const bool values[] = {false, true};
    return kestil_change_switch_property(client, device, "CONNECTION", 2, items, values);
}

}  // extern "C"
