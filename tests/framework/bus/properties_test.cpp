// Tests of the property records: creation, resizing, copying, matching, switches, values,
// text values of any length, hints and the property trace.
#include "framework/bus/properties.h"

#include <gtest/gtest.h>
#include <math.h>

#include <string>
#include <vector>

#include "framework/log.h"
#include "tests/support/log_capture.hpp"

namespace {

struct PropertyDeleter {
    void operator()(KestilProperty* property) const { kestil_release_property(property); }
};
using PropertyHandle = std::unique_ptr<KestilProperty, PropertyDeleter>;

bool all_zero(const void* bytes, size_t size) {
    const auto* p = static_cast<const unsigned char*>(bytes);
    for (size_t i = 0; i < size; ++i)
        if (p[i]) return false;
    return true;
}

TEST(Properties, CreationFillsTheHeader) {
    std::string long_name(200, 'd');
    PropertyHandle light(kestil_init_light_property(nullptr, long_name.c_str(), "L", nullptr, nullptr,
                                                    KESTIL_BUSY_STATE, 2));
    EXPECT_EQ(std::string(127, 'd'), light->device);
    EXPECT_STREQ("", light->group);
    EXPECT_STREQ("", light->label);
    EXPECT_EQ(static_cast<uint32_t>(KESTIL_RO_PERM), light->perm);  // lights are always "ro"
    EXPECT_EQ(static_cast<uint32_t>(KESTIL_LIGHT_VECTOR), light->type);
    EXPECT_EQ(0x0300, light->version);
    EXPECT_EQ(2, light->count);
    EXPECT_EQ(2, light->allocated_count);

    struct Case { uint32_t asked, expected; };
    const Case blobs[] = {{KESTIL_RW_PERM, KESTIL_RO_PERM}, {KESTIL_WO_PERM, KESTIL_WO_PERM},
                          {KESTIL_RO_PERM, KESTIL_RO_PERM}};
    for (const Case& c : blobs) {
        PropertyHandle blob(kestil_init_blob_property_p(nullptr, "D", "B", "G", "L", KESTIL_OK_STATE, c.asked, 1));
        EXPECT_EQ(c.expected, blob->perm);
    }
    PropertyHandle sw(kestil_init_switch_property(nullptr, "D", "S", "Group", "Label", KESTIL_OK_STATE,
                                                  KESTIL_RW_PERM, KESTIL_AT_MOST_ONE_RULE, 3));
    EXPECT_EQ(static_cast<uint32_t>(KESTIL_AT_MOST_ONE_RULE), sw->rule);
    EXPECT_STREQ("Group", sw->group);
    EXPECT_STREQ("AtMostOne", kestil_switch_rule_text[sw->rule]);
    EXPECT_STREQ("SWITCH", kestil_property_type_text[sw->type]);
    EXPECT_STREQ("rw", kestil_property_perm_text[sw->perm]);
    EXPECT_STREQ("Ok", kestil_property_state_text[sw->state]);
}

TEST(Properties, ResizeKeepsTheAllocationAndZeroesNewItems) {
    KestilProperty* property =
        kestil_init_number_property(nullptr, "D", "N", nullptr, nullptr, KESTIL_OK_STATE, KESTIL_RW_PERM, 4);
    for (int i = 0; i < 4; ++i) kestil_init_number_item(&property->items[i], "n", "n", 0, 10, 1, i + 1);
    KestilProperty* same = kestil_resize_property(property, 2);
    ASSERT_EQ(property, same);
    EXPECT_EQ(2, same->count);
    same = kestil_resize_property(same, 4);
    ASSERT_EQ(property, same);
    EXPECT_EQ(4, same->allocated_count);
    EXPECT_EQ(2.0, same->items[1].number.value);
    EXPECT_TRUE(all_zero(&same->items[2], 2 * sizeof(KestilItem)));
    KestilProperty* grown = kestil_resize_property(same, 6);  // beyond the allocation: may move
    EXPECT_EQ(6, grown->allocated_count);
    EXPECT_EQ(2.0, grown->items[1].number.value);
    // Re-creating in the same block keeps its allocation.
    KestilProperty* again =
        kestil_init_text_property(grown, "D", "T", nullptr, nullptr, KESTIL_IDLE_STATE, KESTIL_RW_PERM, 1);
    EXPECT_EQ(grown, again);
    EXPECT_EQ(6, again->allocated_count);
    EXPECT_EQ(1, again->count);
    kestil_release_property(again);
}

TEST(Properties, TextValuesOfAnyLength) {
    struct Case { size_t length; bool long_value; };
    const Case cases[] = {{0, false}, {511, false}, {512, true}, {5000, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        std::string text(c.length, 'x');
        if (c.length) text.back() = 'y';
        KestilItem item;
        kestil_init_text_item_raw(&item, "T", "T", text.c_str());
        EXPECT_EQ(c.long_value, item.text.long_value != nullptr);
        EXPECT_EQ(text.substr(0, 511), item.text.value);
        EXPECT_EQ(text, kestil_get_text_item_value(&item));
        EXPECT_EQ(static_cast<int32_t>(c.length + 1), item.text.long_value_size);
        EXPECT_STREQ(item.text.value, item.text.last_value);
        // Setting the value it already has changes nothing; a new value marks the item.
        item.item_changed = false;
        kestil_set_text_item_value(&item, kestil_get_text_item_value(&item));
        EXPECT_FALSE(item.item_changed);
        EXPECT_EQ(text, kestil_get_text_item_value(&item));
        kestil_set_text_item_value(&item, "short");
        EXPECT_TRUE(item.item_changed);
        EXPECT_EQ(nullptr, item.text.long_value);
        EXPECT_STREQ("short", kestil_get_text_item_value(&item));
    }
    KestilItem formatted;
    kestil_init_text_item(&formatted, "T", "T", "%d-%s", 42, "x");
    EXPECT_STREQ("42-x", formatted.text.value);
}

TEST(Properties, CopyDuplicatesLongValuesAndKeepsTheDestinationAllocation) {
    PropertyHandle source(
        kestil_init_text_property(nullptr, "D", "T", "G", "L", KESTIL_OK_STATE, KESTIL_RW_PERM, 2));
    std::string long_text(1000, 'q');
    kestil_init_text_item_raw(&source->items[0], "long", "", long_text.c_str());
    kestil_init_text_item_raw(&source->items[1], "short", "", "s");

    PropertyHandle fresh(kestil_copy_property(nullptr, source.get()));
    ASSERT_NE(source->items[0].text.long_value, fresh->items[0].text.long_value);
    EXPECT_EQ(long_text, kestil_get_text_item_value(&fresh->items[0]));
    EXPECT_STREQ("s", kestil_get_text_item_value(&fresh->items[1]));

    // A destination with a long value of its own and room for 5 items.
    PropertyHandle destination(
        kestil_init_text_property(nullptr, "X", "Y", nullptr, nullptr, KESTIL_IDLE_STATE, KESTIL_RO_PERM, 5));
    kestil_init_text_item_raw(&destination->items[4], "old", "", std::string(700, 'o').c_str());
    KestilProperty* kept = destination.get();
    ASSERT_EQ(kept, kestil_copy_property(destination.get(), source.get()));
    EXPECT_EQ(5, destination->allocated_count);
    EXPECT_EQ(2, destination->count);
    EXPECT_STREQ("D", destination->device);
    EXPECT_EQ(long_text, kestil_get_text_item_value(&destination->items[0]));
    EXPECT_TRUE(all_zero(&destination->items[2], 3 * sizeof(KestilItem)));
    // The source's own value is untouched by releasing the copies (ASan would see a double free).
    fresh.reset();
    destination.reset();
    EXPECT_EQ(long_text, kestil_get_text_item_value(&source->items[0]));
}

TEST(Properties, ClearKeepsTheAllocation) {
    KestilProperty* property =
        kestil_init_text_property(nullptr, "D", "T", nullptr, nullptr, KESTIL_OK_STATE, KESTIL_RW_PERM, 3);
    kestil_init_text_item_raw(&property->items[0], "long", "", std::string(600, 'z').c_str());
    kestil_clear_property(property);
    EXPECT_EQ(3, property->allocated_count);
    EXPECT_EQ(0, property->count);
    EXPECT_STREQ("", property->device);
    kestil_release_property(property);
    kestil_release_property(nullptr);
}

TEST(Properties, TemplateMatching) {
    PropertyHandle property(
        kestil_init_number_property(nullptr, "Mount", "RA", nullptr, nullptr, KESTIL_OK_STATE, KESTIL_RO_PERM, 0));
    struct Case { const char* device; const char* name; uint32_t type; bool matches; };
    const Case cases[] = {
        {"", "", 0, true},      {"Mount", "", 0, true},  {"Mount", "RA", KESTIL_NUMBER_VECTOR, true},
        {"", "RA", 0, true},    {"Camera", "", 0, false}, {"Mount", "DEC", 0, false},
        {"", "", KESTIL_TEXT_VECTOR, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.device) + "." + c.name);
        PropertyHandle templ(kestil_init_text_property(nullptr, c.device, c.name, nullptr, nullptr, 0, 0, 0));
        templ->type = c.type;
        EXPECT_EQ(c.matches, kestil_property_match(property.get(), templ.get()));
    }
    EXPECT_TRUE(kestil_property_match(property.get(), nullptr));
    EXPECT_FALSE(kestil_property_match(nullptr, nullptr));
    EXPECT_FALSE(kestil_property_match_defined(property.get(), nullptr));
    property->defined = true;
    EXPECT_TRUE(kestil_property_match_defined(property.get(), nullptr));
    EXPECT_FALSE(kestil_property_match_changeable(property.get(), nullptr));  // "ro"
    property->perm = KESTIL_RW_PERM;
    EXPECT_TRUE(kestil_property_match_changeable(property.get(), nullptr));
}

PropertyHandle three_switches(uint32_t rule) {
    PropertyHandle property(kestil_init_switch_property(nullptr, "D", "S", nullptr, nullptr, KESTIL_OK_STATE,
                                                        KESTIL_RW_PERM, rule, 3));
    kestil_init_switch_item(&property->items[0], "A", "A", true);
    kestil_init_switch_item(&property->items[1], "B", "B", false);
    kestil_init_switch_item(&property->items[2], "C", "C", false);
    return property;
}

TEST(Properties, SwitchRules) {
    struct Case { uint32_t rule; bool a_after; bool a_marked; };
    const Case cases[] = {{KESTIL_ONE_OF_MANY_RULE, false, true},
                          {KESTIL_AT_MOST_ONE_RULE, false, true},
                          {KESTIL_ANY_OF_MANY_RULE, true, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rule);
        PropertyHandle property = three_switches(c.rule);
        kestil_set_switch(property.get(), kestil_get_item(property.get(), "B"), true);
        EXPECT_EQ(c.a_after, kestil_get_switch(property.get(), "A"));
        EXPECT_EQ(c.a_marked, property->items[0].item_changed);
        EXPECT_TRUE(kestil_get_switch(property.get(), "B"));
        EXPECT_TRUE(property->items[1].item_changed);
        EXPECT_FALSE(property->items[2].item_changed);
        EXPECT_TRUE(property->changed);
        EXPECT_TRUE(kestil_switch_match(&property->items[1], property.get()));
    }
    PropertyHandle property = three_switches(KESTIL_ONE_OF_MANY_RULE);
    EXPECT_FALSE(kestil_get_switch(property.get(), "missing"));
    property->items[2].sw.target = true;
    EXPECT_TRUE(kestil_get_switch_target(property.get(), "C"));
    kestil_apply_switch_targets(property.get());
    EXPECT_TRUE(kestil_get_switch(property.get(), "C"));
    EXPECT_FALSE(kestil_get_switch(property.get(), "B"));
    EXPECT_EQ(nullptr, kestil_get_item(property.get(), "missing"));
}

TEST(Properties, CopyValuesClampsAndIgnoresNaN) {
    PropertyHandle property(
        kestil_init_number_property(nullptr, "D", "N", nullptr, nullptr, KESTIL_OK_STATE, KESTIL_RW_PERM, 1));
    kestil_init_number_item(&property->items[0], "X", "X", -10, 10, 1, 5);
    struct Case { double given; double expected; };
    const Case cases[] = {{3.5, 3.5}, {11, 10}, {-20, -10}, {NAN, 5}, {INFINITY, 5}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.given);
        property->items[0].number.value = property->items[0].number.target = 5;
        property->items[0].item_changed = false;
        PropertyHandle request(
            kestil_init_number_property(nullptr, "D", "N", nullptr, nullptr, KESTIL_ALERT_STATE, KESTIL_RW_PERM, 1));
        kestil_init_number_item(&request->items[0], "X", "", 0, 0, 0, c.given);
        request->access_token = 0x99;
        kestil_property_copy_values(property.get(), request.get(), false);
        EXPECT_EQ(c.expected, property->items[0].number.value);
        EXPECT_EQ(c.expected, property->items[0].number.target);
        EXPECT_EQ(isfinite(c.given), property->items[0].item_changed);
        EXPECT_EQ(static_cast<uint32_t>(KESTIL_OK_STATE), property->state);
        EXPECT_EQ(0x99u, property->access_token);
        property->items[0].number.target = 5;
        kestil_property_copy_targets(property.get(), request.get(), true);
        EXPECT_EQ(c.expected, property->items[0].number.target);
        EXPECT_EQ(static_cast<uint32_t>(KESTIL_ALERT_STATE), property->state);
        property->state = KESTIL_OK_STATE;
    }
    // Nothing is copied into "ro" properties or between types.
    PropertyHandle text(
        kestil_init_text_property(nullptr, "D", "N", nullptr, nullptr, KESTIL_ALERT_STATE, KESTIL_RW_PERM, 1));
    kestil_init_text_item_raw(&text->items[0], "X", "", "1");
    kestil_property_copy_values(property.get(), text.get(), true);
    EXPECT_EQ(static_cast<uint32_t>(KESTIL_OK_STATE), property->state);
    PropertyHandle request(
        kestil_init_number_property(nullptr, "D", "N", nullptr, nullptr, KESTIL_ALERT_STATE, KESTIL_RW_PERM, 1));
    kestil_init_number_item(&request->items[0], "X", "", 0, 0, 0, 1);
    property->perm = KESTIL_RO_PERM;
    kestil_property_copy_values(property.get(), request.get(), true);
    EXPECT_EQ(5.0, property->items[0].number.value);
}

TEST(Properties, CopyValuesOfOtherTypes) {
    PropertyHandle sw = three_switches(KESTIL_ONE_OF_MANY_RULE);
    PropertyHandle request(kestil_init_switch_property(nullptr, "D", "S", nullptr, nullptr, KESTIL_IDLE_STATE,
                                                       KESTIL_RW_PERM, KESTIL_ONE_OF_MANY_RULE, 1));
    kestil_init_switch_item(&request->items[0], "C", "", true);
    kestil_property_copy_values(sw.get(), request.get(), false);
    EXPECT_FALSE(sw->items[0].sw.value);  // turned off first: one of many
    EXPECT_TRUE(sw->items[2].sw.value);
    EXPECT_TRUE(sw->items[2].sw.target);

    PropertyHandle text(
        kestil_init_text_property(nullptr, "D", "T", nullptr, nullptr, KESTIL_OK_STATE, KESTIL_RW_PERM, 1));
    kestil_init_text_item_raw(&text->items[0], "V", "", "old");
    PropertyHandle text_request(
        kestil_init_text_property(nullptr, "D", "T", nullptr, nullptr, KESTIL_OK_STATE, KESTIL_RW_PERM, 1));
    std::string long_text(900, 'L');
    kestil_init_text_item_raw(&text_request->items[0], "V", "", long_text.c_str());
    kestil_property_copy_values(text.get(), text_request.get(), false);
    EXPECT_EQ(long_text, kestil_get_text_item_value(&text->items[0]));
    EXPECT_NE(text_request->items[0].text.long_value, text->items[0].text.long_value);

    PropertyHandle blob(kestil_init_blob_property_p(nullptr, "D", "B", nullptr, nullptr, KESTIL_OK_STATE,
                                                    KESTIL_WO_PERM, 1));
    kestil_init_blob_item(&blob->items[0], "I", "");
    PropertyHandle blob_request(kestil_init_blob_property_p(nullptr, "D", "B", nullptr, nullptr, KESTIL_OK_STATE,
                                                            KESTIL_WO_PERM, 1));
    kestil_init_blob_item(&blob_request->items[0], "I", "");
    char data[] = "payload";
    blob_request->items[0].blob.value = data;
    blob_request->items[0].blob.size = sizeof data;
    snprintf(blob_request->items[0].blob.format, KESTIL_NAME_SIZE, ".fits");
    kestil_property_copy_values(blob.get(), blob_request.get(), false);
    blob_request->items[0].blob.value = nullptr;  // not the property's own: not to be freed
    ASSERT_NE(nullptr, blob->items[0].blob.value);
    EXPECT_NE(static_cast<void*>(data), blob->items[0].blob.value);
    EXPECT_STREQ("payload", static_cast<const char*>(blob->items[0].blob.value));
    EXPECT_EQ(8, blob->items[0].blob.size);
    EXPECT_STREQ(".fits", blob->items[0].blob.format);
}

TEST(Properties, ResetRestoresDefaults) {
    PropertyHandle number(
        kestil_init_number_property(nullptr, "D", "N", nullptr, nullptr, KESTIL_ALERT_STATE, KESTIL_RW_PERM, 1));
    kestil_init_number_item(&number->items[0], "X", "", 0, 100, 1, 42);
    number->items[0].number.value = number->items[0].number.target = 7;
    kestil_reset_property(nullptr, number.get());  // not defined: no update on the bus
    EXPECT_EQ(42.0, number->items[0].number.value);
    EXPECT_EQ(42.0, number->items[0].number.target);
    EXPECT_EQ(static_cast<uint32_t>(KESTIL_OK_STATE), number->state);
    EXPECT_TRUE(number->changed);

    PropertyHandle sw = three_switches(KESTIL_ANY_OF_MANY_RULE);
    sw->items[0].sw.value = false;
    sw->items[1].sw.value = true;
    sw->perm = KESTIL_RO_PERM;
    kestil_reset_property(nullptr, sw.get());  // "ro": untouched
    EXPECT_FALSE(sw->items[0].sw.value);
    sw->perm = KESTIL_RW_PERM;
    kestil_reset_property(nullptr, sw.get());
    EXPECT_TRUE(sw->items[0].sw.value);
    EXPECT_FALSE(sw->items[1].sw.value);
}

TEST(Properties, SortByLabelIgnoringCase) {
    PropertyHandle property(
        kestil_init_switch_property(nullptr, "D", "S", nullptr, nullptr, KESTIL_OK_STATE, KESTIL_RW_PERM,
                                    KESTIL_ANY_OF_MANY_RULE, 5));
    const char* labels[] = {"zeta", "Delta", "beta", "Alpha", "gamma"};
    for (int i = 0; i < 5; ++i) kestil_init_switch_item(&property->items[i], labels[i], labels[i], false);
    kestil_property_sort_items(property.get(), 1);
    const char* expected[] = {"zeta", "Alpha", "beta", "Delta", "gamma"};
    for (int i = 0; i < 5; ++i) EXPECT_STREQ(expected[i], property->items[i].label);
}

TEST(Properties, Hints) {
    struct Case { const char* hints; const char* key; bool found; const char* value; };
    const Case cases[] = {
        {"order:\"a b\";size:3;", "order", true, "a b"},  // the quoted blank kept
        {"order:\"a b\";size:3;", "size", true, "3"},
        {"order:\"a b\";size:3", "size", true, "3"},      // the last semicolon may be missing
        {" key : a b ;", "key", true, "ab"},            // blanks outside quotes are dropped
        {"path:c\\:\\\\x\\;y;next:1", "path", true, "c:\\x;y"},  // back slashes take the next literally
        {"\"k y\":v", "ky", true, "v"},                  // quotes keep blanks only in values
        {"a:1;b:2", "c", false, nullptr},
        {"", "a", false, nullptr},
        {"sizes:1;size:2", "size", true, "2"},            // whole keys only
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.hints) + " / " + c.key);
        PropertyHandle property(kestil_init_text_property(nullptr, "D", "T", nullptr, nullptr, 0, 0, 1));
        snprintf(property->hints, KESTIL_VALUE_SIZE, "%s", c.hints);
        snprintf(property->items[0].hints, KESTIL_VALUE_SIZE, "%s", c.hints);
        char value[512] = "untouched";
        EXPECT_EQ(c.found, kestil_get_property_hint(property.get(), c.key, value));
        EXPECT_STREQ(c.found ? c.value : "untouched", value);
        char item_value[512] = "untouched";
        EXPECT_EQ(c.found, kestil_get_item_hint(&property->items[0], c.key, item_value));
        EXPECT_STREQ(value, item_value);
    }
    // A value longer than 511 characters is cut.
    PropertyHandle property(kestil_init_text_property(nullptr, "D", "T", nullptr, nullptr, 0, 0, 0));
    snprintf(property->hints, KESTIL_VALUE_SIZE, "k:%s", std::string(509, 'v').c_str());
    char value[512];
    ASSERT_TRUE(kestil_get_property_hint(property.get(), "k", value));
    EXPECT_EQ(std::string(509, 'v'), value);
}

TEST(Properties, TraceLines) {
    PropertyHandle property(
        kestil_init_number_property(nullptr, "Mount", "POS", nullptr, "Position", KESTIL_BUSY_STATE,
                                    KESTIL_RW_PERM, 1));
    kestil_init_number_item(&property->items[0], "RA", "Right ascension", 0, 24, 0.5, 1.5);
    property->access_token = 0xab;
    property->changed = true;
    std::vector<std::string> trace_lines;
    {
        test_support::LogCapture captured(3);
        kestil_trace_property("Update", property.get(), false, nullptr);
        EXPECT_TRUE(captured.lines().empty());  // below the bus-trace level
        kestil_set_log_level(4);
        kestil_trace_property("Update", property.get(), false, "moving");
        kestil_trace_property("Define", property.get(), true, nullptr);
        trace_lines = captured.lines();
    }
    const std::vector<std::string> expected = {
        "B <+* Update 'Mount'.'POS' NUMBER rw Busy 3.0 ab 'moving' {",
        "B <+    'RA' = 1.5, target = 1.5 ",
        "B <-  }",
        "B <+* Define 'Mount'.'POS' NUMBER rw Busy 3.0 ab  { // Position",
        "B <+*   'RA' = 1.5, target = 1.5 (0, 24, 0.5, '%g') // Right ascension",
        "B <-  }",
    };
    EXPECT_EQ(expected, trace_lines);
}

}  // namespace
