// fuzz/property_hints_fuzz.cpp - the hints reader of the property records
// Input: the key, a NUL, then the hints text (cut to 511 bytes, as the record holds them).
// Checks: a found value is a terminated text of at most 511 bytes (written within the 512) and the output is left
// untouched when nothing is found; the item reader gives the same answer as the property's.
#include <string.h>

#include <string>
#include <vector>

#include "framework/bus/properties.h"
#include "fuzz/fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = (fuzz::silence_log(), true);
    (void)ready;
    std::vector<std::string> pieces = fuzz::split_at_nul(data, size);
    if (pieces.size() < 2) return 0;
    const std::string& key = pieces[0];

    static KestilProperty* property =
        kestil_init_text_property(nullptr, "Device", "PROPERTY", "Group", "Label", KESTIL_IDLE_STATE,
                                  KESTIL_RW_PERM, 1);
    snprintf(property->hints, sizeof property->hints, "%s", pieces[1].c_str());
    snprintf(property->items[0].hints, sizeof property->items[0].hints, "%s", pieces[1].c_str());

    // Heap blocks of exactly the 512 bytes the reader may fill: AddressSanitizer catches more.
    std::vector<char> value(KESTIL_VALUE_SIZE, 'x');
    std::vector<char> item_value(KESTIL_VALUE_SIZE, 'x');
    bool found = kestil_get_property_hint(property, key.c_str(), value.data());
    bool item_found = kestil_get_item_hint(&property->items[0], key.c_str(), item_value.data());
    fuzz::check(found == item_found, "item and property agree");
    if (found) {
        fuzz::check(memchr(value.data(), 0, KESTIL_VALUE_SIZE) != nullptr, "value terminated");
        fuzz::check(strcmp(value.data(), item_value.data()) == 0, "same value");
    } else {
        fuzz::check(value[0] == 'x', "value untouched when not found");
    }
    return 0;
}
