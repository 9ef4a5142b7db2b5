// Tests of the device bus with recording devices and clients.
#include "framework/bus/bus.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <set>
#include <thread>
#include <string.h>

#include "framework/alloc.h"

#include "bus_test_support.hpp"

namespace {

using bus_test::BusTest;
using bus_test::Event;
using bus_test::TestClient;
using bus_test::TestDevice;

struct PropertyDeleter {
    void operator()(KestilProperty* property) const { kestil_release_property(property); }
};
using PropertyHandle = std::unique_ptr<KestilProperty, PropertyDeleter>;

PropertyHandle number_property(const char* device, const char* name, double value) {
    PropertyHandle property(
        kestil_init_number_property(nullptr, device, name, "G", "L", KESTIL_OK_STATE, KESTIL_RW_PERM, 1));
    kestil_init_number_item(&property->items[0], "VALUE", "Value", 0, 100, 1, value);
    return property;
}

TEST_F(BusTest, TablesRefuseTheOneTooMany) {
    std::vector<std::unique_ptr<TestDevice>> devices;
    for (int i = 0; i < KESTIL_MAX_DEVICES; ++i) {
        devices.push_back(std::make_unique<TestDevice>("device " + std::to_string(i)));
        ASSERT_EQ(0, kestil_attach_device(&devices.back()->device));
    }
    TestDevice extra("extra");
    log_.take_lines();
    EXPECT_EQ(2, kestil_attach_device(&extra.device));
    auto lines = log_.take_lines();
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(0u, lines[0].find("[kestil_attach_device:"));
    EXPECT_NE(std::string::npos, lines[0].find("] Max device count reached"));
    EXPECT_EQ(4, kestil_detach_device(&extra.device));  // never attached
    for (auto& device : devices) ASSERT_EQ(0, kestil_detach_device(&device->device));

    std::vector<std::unique_ptr<TestClient>> clients;
    for (int i = 0; i < KESTIL_MAX_CLIENTS; ++i) {
        clients.push_back(std::make_unique<TestClient>("client " + std::to_string(i)));
        ASSERT_EQ(0, kestil_attach_client(&clients.back()->client));
    }
    TestClient extra_client("extra");
    EXPECT_EQ(2, kestil_attach_client(&extra_client.client));
    EXPECT_TRUE(test_support::holds(log_.take_lines(), "Max client count reached"));
    for (auto& client : clients) ASSERT_EQ(0, kestil_detach_client(&client->client));
    EXPECT_EQ(4, kestil_detach_client(&extra_client.client));
}

TEST_F(BusTest, RoutingByNameAndTheAtRule) {
    TestDevice camera("Camera"), agent("@Agent"), host("@host"), mount("Mount @host");
    for (TestDevice* d : {&camera, &agent, &host, &mount}) ASSERT_EQ(0, kestil_attach_device(&d->device));
    struct Case { const char* addressed; bool host_suffix; std::set<std::string> reached; };
    const Case cases[] = {
        {"Camera", false, {"Camera", "@Agent", "@host"}},
        {"Camera", true, {"Camera"}},
        {"Mount @host", false, {"Mount @host", "@Agent", "@host"}},
        {"Mount @host", true, {"Mount @host", "@host"}},
        {"", true, {"Camera", "@Agent", "@host", "Mount @host"}},
        {"Nobody", true, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.addressed) + (c.host_suffix ? " with host suffixes" : ""));
        kestil_use_host_suffix = c.host_suffix;
        PropertyHandle property = number_property(c.addressed, "P", 1);
        ASSERT_EQ(0, kestil_change_property(nullptr, property.get()));
        ASSERT_EQ(0, kestil_enumerate_properties(nullptr, property.get()));
        std::set<std::string> changed, enumerated;
        for (TestDevice* d : {&camera, &agent, &host, &mount}) {
            if (!d->recorder.events("change").empty()) changed.insert(d->device.name);
            if (!d->recorder.events("enumerate").empty()) enumerated.insert(d->device.name);
            d->recorder.clear();
        }
        EXPECT_EQ(c.reached, changed);
        EXPECT_EQ(c.reached, enumerated);
    }
    // No template: every device is asked to enumerate.
    ASSERT_EQ(0, kestil_enumerate_properties(nullptr, nullptr));
    for (TestDevice* d : {&camera, &agent, &host, &mount}) {
        EXPECT_EQ(1u, d->recorder.events("enumerate").size());
        ASSERT_EQ(0, kestil_detach_device(&d->device));
    }
}

TEST_F(BusTest, AccessTokens) {
    ASSERT_TRUE(kestil_add_device_token("Locked", 0x10));
    TestDevice locked("Locked"), open("Open");
    TestClient client("C");
    // A change arriving while the device attaches already meets its token.
    locked.device.attach = [](KestilDevice*) {
        return kestil_change_number_property_1_with_token(nullptr, "Locked", "P", 0x11, "VALUE", 1);
    };
    ASSERT_EQ(0, kestil_attach_client(&client.client));
    ASSERT_EQ(0, kestil_attach_device(&locked.device));
    EXPECT_TRUE(locked.recorder.events("change").empty());
    EXPECT_EQ(1u, client.recorder.events("message").size());
    client.recorder.clear();
    ASSERT_EQ(0, kestil_attach_device(&open.device));
    EXPECT_EQ(0x10u, locked.device.access_token);
    EXPECT_EQ(0u, open.device.access_token);
    struct Case { const char* what; uint64_t master; uint64_t token; bool delivered; };
    const Case cases[] = {
        {"own token", 0, 0x10, true},
        {"master token", 0x99, 0x99, true},
        {"wrong token", 0x99, 0x11, false},
        {"no token, no master", 0, 0, false},  // a master token of 0 opens nothing
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        kestil_set_master_token(c.master);
        log_.take_lines();
        PropertyHandle property = number_property("Locked", "P", 1);
        property->access_token = c.token;
        ASSERT_EQ(0, kestil_change_property(&client.client, property.get()));
        EXPECT_EQ(c.delivered ? 1u : 0u, locked.recorder.events("change").size());
        auto messages = client.recorder.events("message");
        if (c.delivered) {
            EXPECT_TRUE(messages.empty());
        } else {
            ASSERT_EQ(1u, messages.size());
            EXPECT_EQ("Device 'Locked' is protected or locked for exclusive access", messages[0].message);
            EXPECT_EQ("Locked", messages[0].peer);
        }
        // A device without a token takes anything addressed to it.
        PropertyHandle free_property = number_property("Open", "P", 1);
        free_property->access_token = c.token;
        ASSERT_EQ(0, kestil_change_property(&client.client, free_property.get()));
        EXPECT_EQ(1u, open.recorder.events("change").size());
        locked.recorder.clear();
        open.recorder.clear();
        client.recorder.clear();
    }
    ASSERT_EQ(0, kestil_detach_client(&client.client));
    ASSERT_EQ(0, kestil_detach_device(&locked.device));
    ASSERT_EQ(0, kestil_detach_device(&open.device));
}

TEST_F(BusTest, ChangeRequestsChooseTheirToken) {
    ASSERT_TRUE(kestil_add_device_token("Own", 0x10));
    kestil_set_master_token(0x99);
    TestDevice own("Own"), other("Other");
    ASSERT_EQ(0, kestil_attach_device(&own.device));
    ASSERT_EQ(0, kestil_attach_device(&other.device));
    // Own has a token, so it rejects anything else: the requests below reach it only with 0x10.
    char data[4] = {1, 2, 3, 4};
    const char* item = "I";
    void* blobs[] = {data};
    const int32_t sizes[] = {4};
    struct Case { const char* what; std::function<int(const char*)> send; uint64_t own, other; };
    const Case cases[] = {
        {"text", [](const char* d) { return kestil_change_text_property_1(nullptr, d, "P", "I", "%d", 5); },
         0x10, 0x99},
        {"number", [](const char* d) { return kestil_change_number_property_1(nullptr, d, "P", "I", 5); }, 0x10,
         0x99},
        {"switch", [](const char* d) { return kestil_change_switch_property_1(nullptr, d, "P", "I", true); },
         0x10, 0x99},
        {"one BLOB",
         [&](const char* d) { return kestil_change_blob_property_1(nullptr, d, "P", "I", data, 4, ".raw", ""); },
         0x10, 0x99},
        {"BLOBs: the device's own token only",
         [&](const char* d) {
             return kestil_change_blob_property(nullptr, d, "P", 1, &item, blobs, sizes, nullptr, nullptr);
         },
         0x10, 0},
        {"explicit",
         [](const char* d) { return kestil_change_number_property_1_with_token(nullptr, d, "P", 0x10, "I", 1); },
         0x10, 0x10},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(0, c.send("Own"));
        ASSERT_EQ(0, c.send("Other"));
        auto own_changes = own.recorder.events("change");
        auto other_changes = other.recorder.events("change");
        ASSERT_EQ(1u, own_changes.size());
        ASSERT_EQ(1u, other_changes.size());
        EXPECT_EQ(c.own, own_changes[0].token);
        EXPECT_EQ(c.other, other_changes[0].token);
        own.recorder.clear();
        other.recorder.clear();
    }
    // The values arrive as given.
    other.on_change = [](KestilClient*, KestilProperty* p) {
        ASSERT_EQ(1, p->count);
        EXPECT_STREQ("", p->group);
        EXPECT_EQ(static_cast<uint32_t>(KESTIL_IDLE_STATE), p->state);
        if (p->type == KESTIL_TEXT_VECTOR) {
            EXPECT_STREQ("v=7", kestil_get_text_item_value(&p->items[0]));
        }
        if (p->type == KESTIL_NUMBER_VECTOR) {
            EXPECT_EQ(2.5, p->items[0].number.value);
        }
        if (p->type == KESTIL_BLOB_VECTOR) {
            EXPECT_EQ(4, p->items[0].blob.size);
            EXPECT_EQ(3, static_cast<char*>(p->items[0].blob.value)[2]);
            EXPECT_STREQ(".raw", p->items[0].blob.format);
        }
    };
    EXPECT_EQ(0, kestil_change_text_property_1(nullptr, "Other", "P", "I", "v=%d", 7));
    EXPECT_EQ(0, kestil_change_number_property_1(nullptr, "Other", "P", "I", 2.5));
    EXPECT_EQ(0, kestil_change_blob_property_1(nullptr, "Other", "P", "I", data, 4, ".raw", ""));
    ASSERT_EQ(0, kestil_detach_device(&own.device));
    ASSERT_EQ(0, kestil_detach_device(&other.device));
}

TEST_F(BusTest, UpdatesWithoutChangeReachOnlyClientsThatWantAll) {
    TestDevice device("Dev");
    TestClient plain("plain"), all("all", true);
    ASSERT_EQ(0, kestil_attach_device(&device.device));
    ASSERT_EQ(0, kestil_attach_client(&plain.client));
    ASSERT_EQ(0, kestil_attach_client(&all.client));
    PropertyHandle number = number_property("Dev", "N", 1);
    ASSERT_EQ(0, kestil_define_property(&device.device, number.get(), nullptr));
    EXPECT_TRUE(number->defined);
    EXPECT_EQ(1u, plain.recorder.events("define").size());

    ASSERT_EQ(0, kestil_update_property(&device.device, number.get(), nullptr));
    EXPECT_EQ(0u, plain.recorder.events("update").size());
    ASSERT_EQ(1u, all.recorder.events("update").size());
    EXPECT_TRUE(all.recorder.events("update")[0].items.empty());

    number->items[0].number.value = 2;
    ASSERT_EQ(0, kestil_update_property(&device.device, number.get(), nullptr));
    ASSERT_EQ(1u, plain.recorder.events("update").size());
    EXPECT_EQ(std::vector<std::string>{"VALUE"}, plain.recorder.events("update")[0].items);
    EXPECT_FALSE(number->changed);  // marked as sent
    EXPECT_EQ(2.0, number->items[0].number.last_value);

    number->state = KESTIL_BUSY_STATE;  // a new state is a change too
    ASSERT_EQ(0, kestil_update_property(&device.device, number.get(), nullptr));
    EXPECT_EQ(2u, plain.recorder.events("update").size());
    ASSERT_EQ(0, kestil_update_property(&device.device, number.get(), "done %d", 1));  // so is a message
    ASSERT_EQ(3u, plain.recorder.events("update").size());
    auto messages = plain.recorder.events("message");
    ASSERT_EQ(1u, messages.size());
    EXPECT_EQ("done 1", messages[0].message);
    EXPECT_EQ("N", messages[0].property);

    // An exclusive switch always carries its on item; an any-of-many switch does not.
    for (uint32_t rule : {KESTIL_ONE_OF_MANY_RULE, KESTIL_ANY_OF_MANY_RULE}) {
        SCOPED_TRACE(rule);
        all.recorder.clear();
        PropertyHandle sw(kestil_init_switch_property(nullptr, "Dev", "S", nullptr, nullptr, KESTIL_OK_STATE,
                                                      KESTIL_RW_PERM, rule, 2));
        kestil_init_switch_item(&sw->items[0], "ON", "", false);
        kestil_init_switch_item(&sw->items[1], "OFF", "", true);
        ASSERT_EQ(0, kestil_define_property(&device.device, sw.get(), nullptr));
        ASSERT_EQ(0, kestil_update_property(&device.device, sw.get(), nullptr));
        auto updates = all.recorder.events("update");
        ASSERT_EQ(1u, updates.size());
        EXPECT_EQ(rule == KESTIL_ONE_OF_MANY_RULE ? std::vector<std::string>{"OFF"} : std::vector<std::string>{},
                  updates[0].items);
        ASSERT_EQ(0, kestil_delete_property(&device.device, sw.get(), nullptr));
    }

    // A write-only property sends no items.
    PropertyHandle wo(
        kestil_init_number_property(nullptr, "Dev", "W", nullptr, nullptr, KESTIL_OK_STATE, KESTIL_WO_PERM, 1));
    kestil_init_number_item(&wo->items[0], "X", "", 0, 10, 1, 1);
    all.recorder.clear();
    ASSERT_EQ(0, kestil_define_property(&device.device, wo.get(), nullptr));
    wo->items[0].number.value = 3;
    plain.client.update_property = nullptr;
    all.client.update_property = [](KestilClient* c, KestilDevice*, KestilProperty* p, const char*) {
        TestClient::self(c)->recorder.add(bus_test::event_of("update", p, std::to_string(p->count), nullptr));
        return 0;
    };
    ASSERT_EQ(0, kestil_update_property(&device.device, wo.get(), nullptr));
    auto wo_updates = all.recorder.events("update");
    ASSERT_EQ(1u, wo_updates.size());
    EXPECT_EQ("0", wo_updates[0].peer);  // the item count the client saw
    EXPECT_EQ(1, wo->count);  // restored afterwards

    ASSERT_EQ(0, kestil_detach_client(&plain.client));
    ASSERT_EQ(0, kestil_detach_client(&all.client));
    ASSERT_EQ(0, kestil_detach_device(&device.device));
}

TEST_F(BusTest, HiddenPropertiesNeverReachTheBus) {
    TestDevice device("Dev");
    TestClient client("C", true);
    ASSERT_EQ(0, kestil_attach_device(&device.device));
    ASSERT_EQ(0, kestil_attach_client(&client.client));
    PropertyHandle property = number_property("Dev", "H", 1);
    property->hidden = true;
    EXPECT_EQ(0, kestil_define_property(&device.device, property.get(), "m"));
    EXPECT_FALSE(property->defined);
    EXPECT_EQ(0, kestil_update_property(&device.device, property.get(), "m"));
    EXPECT_EQ(0, kestil_delete_property(&device.device, property.get(), "m"));
    EXPECT_TRUE(client.recorder.events().empty());
    // A muted device's updates are not delivered either.
    PropertyHandle visible = number_property("Dev", "V", 1);
    ASSERT_EQ(0, kestil_define_property(&device.device, visible.get(), nullptr));
    device.device.muted = true;
    visible->items[0].number.value = 9;
    EXPECT_EQ(0, kestil_update_property(&device.device, visible.get(), nullptr));
    EXPECT_TRUE(client.recorder.events("update").empty());
    ASSERT_EQ(0, kestil_detach_client(&client.client));
    ASSERT_EQ(0, kestil_detach_device(&device.device));
}

TEST_F(BusTest, RejectingAChange) {
    TestDevice device("Dev");
    TestClient client("C");
    ASSERT_EQ(0, kestil_attach_device(&device.device));
    ASSERT_EQ(0, kestil_attach_client(&client.client));
    PropertyHandle property = number_property("Dev", "P", 1);
    ASSERT_EQ(0, kestil_define_property(&device.device, property.get(), nullptr));
    property->state = KESTIL_BUSY_STATE;
    ASSERT_EQ(0, kestil_reject_change(&device.device, property.get(), nullptr));
    EXPECT_EQ(static_cast<uint32_t>(KESTIL_BUSY_STATE), property->state);
    auto messages = client.recorder.events("message");
    ASSERT_EQ(1u, messages.size());
    EXPECT_EQ("Another operation is in progress", messages[0].message);
    EXPECT_EQ("BUSY", messages[0].property);
    EXPECT_EQ("Dev", messages[0].device);  // the message property carries the device name
    EXPECT_TRUE(client.recorder.events("update").empty());

    client.recorder.clear();
    ASSERT_EQ(0, kestil_reject_change(&device.device, property.get(), "busy with %s", "x"));
    ASSERT_EQ(1u, client.recorder.events("message").size());
    EXPECT_EQ("busy with x", client.recorder.events("message")[0].message);

    client.recorder.clear();
    property->state = KESTIL_OK_STATE;
    ASSERT_EQ(0, kestil_reject_change(&device.device, property.get(), "out of range"));
    EXPECT_EQ(static_cast<uint32_t>(KESTIL_ALERT_STATE), property->state);
    auto updates = client.recorder.events("update");
    ASSERT_EQ(1u, updates.size());
    EXPECT_EQ(std::vector<std::string>{"VALUE"}, updates[0].items);
    ASSERT_EQ(1u, client.recorder.events("message").size());
    EXPECT_EQ("out of range", client.recorder.events("message")[0].message);
    EXPECT_EQ(1, kestil_reject_change(&device.device, nullptr, nullptr));
    ASSERT_EQ(0, kestil_detach_client(&client.client));
    ASSERT_EQ(0, kestil_detach_device(&device.device));
}

TEST_F(BusTest, StoppingWithADeviceAttached) {
    TestDevice device("Stays");
    TestClient client("C");
    ASSERT_EQ(0, kestil_attach_device(&device.device));
    ASSERT_EQ(0, kestil_attach_client(&client.client));
    log_.take_lines();
    EXPECT_EQ(7, kestil_stop());
    EXPECT_TRUE(test_support::holds(log_.take_lines(), "KESTIL Bus: can't stop, 'Stays' is attached"));
    EXPECT_EQ(1u, client.recorder.events("detach").size());  // clients were detached on the way
    EXPECT_EQ(4, kestil_detach_client(&client.client));
    // Still running.
    PropertyHandle property = number_property("Stays", "P", 1);
    EXPECT_EQ(0, kestil_define_property(&device.device, property.get(), nullptr));
    ASSERT_EQ(0, kestil_detach_device(&device.device));
    EXPECT_EQ(0, kestil_stop());
    // Stopped: every operation refuses.
    EXPECT_EQ(1, kestil_define_property(&device.device, property.get(), nullptr));
    EXPECT_EQ(1, kestil_attach_device(&device.device));
    EXPECT_EQ(1, kestil_change_property(nullptr, property.get()));
    EXPECT_EQ(1, kestil_send_message("x", nullptr, "m"));
    EXPECT_EQ(1, kestil_stop());
    ASSERT_EQ(0, kestil_start());
}

TEST_F(BusTest, CallbacksMayCallTheBusAgain) {
    // The device defines and updates from inside its callbacks; a client changes from inside its
    // define callback. All of it runs under the (recursive) bus lock.
    TestDevice device("Dev");
    PropertyHandle property = number_property("Dev", "P", 1);
    PropertyHandle extra = number_property("Dev", "EXTRA", 0);
    device.device.attach = [](KestilDevice* d) {
        TestDevice* me = TestDevice::self(d);
        me->recorder.add(bus_test::event_of("attach", nullptr, "", nullptr));
        return 0;
    };
    device.on_change = [&](KestilClient*, KestilProperty* request) {
        if (strcmp(request->name, "P") != 0) return;
        kestil_property_copy_values(property.get(), request, false);
        property->state = KESTIL_OK_STATE;
        EXPECT_EQ(0, kestil_update_property(&device.device, property.get(), nullptr));
        if (!extra->defined) {
            EXPECT_EQ(0, kestil_define_property(&device.device, extra.get(), nullptr));
        }
    };
    TestClient client("C");
    client.on_define = [&](KestilProperty* defined) {
        if (strcmp(defined->name, "P") == 0) {
            EXPECT_EQ(0, kestil_change_number_property_1(&client.client, "Dev", "P", "VALUE", 42));
        }
    };
    ASSERT_EQ(0, kestil_attach_client(&client.client));
    ASSERT_EQ(0, kestil_attach_device(&device.device));
    EXPECT_EQ(1u, device.recorder.events("attach").size());
    ASSERT_EQ(0, kestil_define_property(&device.device, property.get(), nullptr));
    EXPECT_EQ(42.0, property->items[0].number.value);
    EXPECT_TRUE(extra->defined);
    auto defines = client.recorder.events("define");
    ASSERT_EQ(2u, defines.size());
    EXPECT_EQ("P", defines[0].property);
    EXPECT_EQ("EXTRA", defines[1].property);
    ASSERT_EQ(1u, client.recorder.events("update").size());
    EXPECT_EQ("C", device.recorder.events("change")[0].peer);
    ASSERT_EQ(0, kestil_detach_client(&client.client));
    ASSERT_EQ(0, kestil_detach_device(&device.device));
}

TEST_F(BusTest, AttachLoadsConfigurationAndDetachDeletesProperties) {
    TestDevice device("Dev");
    device.device.skip_config_load = false;
    TestClient client("C");
    ASSERT_EQ(0, kestil_attach_client(&client.client));
    ASSERT_EQ(0, kestil_attach_device(&device.device));
    auto changes = device.recorder.events("change");
    ASSERT_EQ(1u, changes.size());
    EXPECT_EQ("CONFIG", changes[0].property);
    EXPECT_EQ("", changes[0].peer);  // no client
    ASSERT_EQ(0, kestil_detach_device(&device.device));
    auto deletes = client.recorder.events("delete");
    ASSERT_EQ(1u, deletes.size());
    EXPECT_EQ("Dev", deletes[0].device);
    EXPECT_EQ("", deletes[0].property);  // all of its properties
    EXPECT_EQ(1u, device.recorder.events("detach").size());
    ASSERT_EQ(0, kestil_detach_client(&client.client));
}

TEST_F(BusTest, ClientDetachingAbortsWhatItStarted) {
    kestil_set_log_level(2);
    ASSERT_TRUE(kestil_add_device_token("Camera", 0x5));
    TestDevice device("Camera");
    TestClient client("Imager"), other("Other");
    device.on_change = [&](KestilClient* c, KestilProperty* request) {
        if (!c || strcmp(request->name, "EXPOSURE") != 0) return;
        KestilClientRef ref;
        kestil_current_client_ref(&ref, c);
        EXPECT_NE(0u, ref.id);
        KestilProperty* abort = kestil_init_switch_property(nullptr, "Camera", "ABORT", nullptr, nullptr,
                                                            KESTIL_IDLE_STATE, KESTIL_RW_PERM,
                                                            KESTIL_ANY_OF_MANY_RULE, 1);
        kestil_init_switch_item(&abort->items[0], "ABORT", "", true);
        EXPECT_EQ(0, kestil_register_detach_abort(&device.device, &ref, "EXPOSURE", abort));
    };
    ASSERT_EQ(0, kestil_attach_device(&device.device));
    ASSERT_EQ(0, kestil_attach_client(&client.client));
    ASSERT_EQ(0, kestil_attach_client(&other.client));
    ASSERT_EQ(0, kestil_change_number_property_1(&client.client, "Camera", "EXPOSURE", "TIME", 10));
    device.recorder.clear();
    ASSERT_EQ(0, kestil_detach_client(&other.client));  // not the one that started it
    EXPECT_TRUE(device.recorder.events("change").empty());
    log_.take_lines();
    ASSERT_EQ(0, kestil_detach_client(&client.client));
    auto changes = device.recorder.events("change");
    ASSERT_EQ(1u, changes.size());
    EXPECT_EQ("ABORT", changes[0].property);
    EXPECT_EQ("", changes[0].peer);
    EXPECT_EQ(0x5u, changes[0].token);  // carries the device's token
    EXPECT_TRUE(test_support::holds(log_.take_lines(), "Aborting 'Camera'.EXPOSURE started by detached client 'Imager'"));
    // Entries left by a detached device are forgotten (and their properties released).
    ASSERT_EQ(0, kestil_attach_client(&client.client));
    ASSERT_EQ(0, kestil_change_number_property_1(&client.client, "Camera", "EXPOSURE", "TIME", 10));
    ASSERT_EQ(0, kestil_detach_device(&device.device));
    EXPECT_TRUE(test_support::holds(log_.take_lines(), "Forgetting 'Camera'.EXPOSURE left registered by detached device"));
    device.recorder.clear();
    ASSERT_EQ(0, kestil_detach_client(&client.client));
    EXPECT_TRUE(device.recorder.events("change").empty());
}

TEST_F(BusTest, DetachAbortRegistryBounds) {
    TestDevice device("Dev");
    KestilClientRef ref{nullptr, 77};
    for (int i = 0; i < KESTIL_MAX_DETACH_ABORTS; ++i) {
        KestilProperty* abort = kestil_init_switch_property(nullptr, "Dev", "A", nullptr, nullptr, 0, 0, 0, 0);
        ASSERT_EQ(0, kestil_register_detach_abort(&device.device, &ref, "P", abort));
    }
    PropertyHandle one_more(kestil_init_switch_property(nullptr, "Dev", "A", nullptr, nullptr, 0, 0, 0, 0));
    log_.take_lines();
    EXPECT_EQ(2, kestil_register_detach_abort(&device.device, &ref, "P", one_more.get()));
    EXPECT_TRUE(test_support::holds(log_.take_lines(), "Max detach abort count reached"));
    EXPECT_EQ(0, kestil_unregister_detach_abort(&device.device, &ref, "P"));  // all 64 released
    EXPECT_EQ(4, kestil_unregister_detach_abort(&device.device, &ref, "P"));
}

TEST_F(BusTest, SlaveDevices) {
    TestDevice master("Master"), slave1("Slave 1"), slave2("Slave 2"), stranger("Stranger");
    slave1.device.master_device = &master.device;
    slave2.device.master_device = &master.device;
    master.device.master_device = &master.device;  // a master may point at itself: not counted
    for (TestDevice* d : {&master, &slave1, &stranger, &slave2}) ASSERT_EQ(0, kestil_attach_device(&d->device));
    KestilDevice* list[4] = {};
    EXPECT_EQ(2, kestil_query_slave_devices(&master.device, list, 4));
    EXPECT_EQ(&slave1.device, list[0]);
    EXPECT_EQ(&slave2.device, list[1]);
    EXPECT_EQ(1, kestil_query_slave_devices(&master.device, list, 1));
    ASSERT_EQ(0, kestil_disconnect_slave_devices(&master.device));
    for (TestDevice* d : {&slave1, &slave2}) {
        auto changes = d->recorder.events("change");
        ASSERT_EQ(1u, changes.size());
        EXPECT_EQ("CONNECTION", changes[0].property);
    }
    EXPECT_TRUE(master.recorder.events("change").empty());
    EXPECT_TRUE(stranger.recorder.events("change").empty());
    // Connect turns CONNECTED on and DISCONNECTED off.
    bool connected = false, disconnected = true;
    stranger.on_change = [&](KestilClient*, KestilProperty* p) {
        connected = kestil_get_switch(p, "CONNECTED");
        disconnected = kestil_get_switch(p, "DISCONNECTED");
    };
    ASSERT_EQ(0, kestil_device_connect(nullptr, "Stranger"));
    EXPECT_TRUE(connected);
    EXPECT_FALSE(disconnected);
    ASSERT_EQ(0, kestil_device_disconnect(nullptr, "Stranger"));
    EXPECT_FALSE(connected);
    EXPECT_TRUE(disconnected);
    for (TestDevice* d : {&master, &slave1, &stranger, &slave2}) ASSERT_EQ(0, kestil_detach_device(&d->device));
}

TEST_F(BusTest, AsyncHandlersGetTheirOwnCopy) {
    std::mutex mutex;
    std::condition_variable done;
    struct Seen { bool finished = false; std::string name; std::string text; std::string blob; };
    static Seen seen;
    static std::mutex* seen_mutex;
    static std::condition_variable* seen_done;
    seen = Seen{};
    seen_mutex = &mutex;
    seen_done = &done;
    auto handler = [](KestilDevice*, KestilClient*, KestilProperty* p) {
        std::lock_guard lock(*seen_mutex);
        seen.name = p->name;
        seen.text = p->type == KESTIL_TEXT_VECTOR ? kestil_get_text_item_value(&p->items[0]) : "";
        seen.blob = p->type == KESTIL_BLOB_VECTOR ? std::string(static_cast<char*>(p->items[0].blob.value)) : "";
        seen.finished = true;
        seen_done->notify_all();
    };
    auto wait = [&] {
        std::unique_lock lock(mutex);
        return done.wait_for(lock, std::chrono::seconds(30), [] { return seen.finished; });
    };
    std::string long_text(800, 't');
    KestilProperty* text = kestil_init_text_property(nullptr, "D", "T", nullptr, nullptr, 0, KESTIL_RW_PERM, 1);
    kestil_init_text_item_raw(&text->items[0], "I", "", long_text.c_str());
    ASSERT_TRUE(kestil_handle_property_async(handler, nullptr, nullptr, text));
    kestil_release_property(text);  // the caller's property goes away at once
    ASSERT_TRUE(wait());
    EXPECT_EQ("T", seen.name);
    EXPECT_EQ(long_text, seen.text);

    seen = Seen{};
    KestilProperty* blob = kestil_init_blob_property_p(nullptr, "D", "B", nullptr, nullptr, 0, KESTIL_WO_PERM, 1);
    kestil_init_blob_item(&blob->items[0], "I", "");
    blob->items[0].blob.value = kestil_checked_malloc(6);
    memcpy(blob->items[0].blob.value, "bytes", 6);
    blob->items[0].blob.size = 6;
    ASSERT_TRUE(kestil_handle_property_async(handler, nullptr, nullptr, blob));
    kestil_release_property(blob);
    ASSERT_TRUE(wait());
    EXPECT_EQ("bytes", seen.blob);

    static std::atomic<int> ran{0};
    static int three = 3;
    ran = 0;
    seen = Seen{};
    ASSERT_TRUE(kestil_async(
        [](void* argument) {
            ran = *static_cast<int*>(argument);
            std::lock_guard lock(*seen_mutex);
            seen.finished = true;
            seen_done->notify_all();
        },
        &three));
    ASSERT_TRUE(wait());
    EXPECT_EQ(3, ran.load());
}

TEST_F(BusTest, BlobTable) {
    kestil_use_blob_caching = true;
    TestDevice device("Cam");
    ASSERT_EQ(0, kestil_attach_device(&device.device));
    KestilProperty* image =
        kestil_init_blob_property(nullptr, "Cam", "IMAGE", nullptr, nullptr, KESTIL_OK_STATE, 2);
    kestil_init_blob_item(&image->items[0], "FRAME", "");
    kestil_init_blob_item(&image->items[1], "PREVIEW", "");
    char frame[] = "frame data";
    image->items[0].blob.value = frame;
    image->items[0].blob.size = sizeof frame;
    snprintf(image->items[0].blob.format, KESTIL_NAME_SIZE, ".fits");
    ASSERT_EQ(0, kestil_define_property(&device.device, image, nullptr));
    EXPECT_FALSE(kestil_validate_blob(&image->items[0]));  // "ro": cached on update only
    ASSERT_EQ(0, kestil_update_property(&device.device, image, nullptr));
    ASSERT_TRUE(kestil_validate_blob(&image->items[0]));
    frame[0] = 'F';  // the entry holds its own copy
    KestilBlobEntry* entry = kestil_acquire_blob_by_name("Cam", "IMAGE", "FRAME");
    ASSERT_NE(nullptr, entry);
    EXPECT_EQ(static_cast<int32_t>(sizeof frame), entry->size);
    EXPECT_STREQ("frame data", static_cast<const char*>(entry->content));
    EXPECT_STREQ(".fits", entry->format);
    EXPECT_EQ(&image->items[0], entry->item);
    kestil_release_blob(entry);

    // Shrinking orphans the entry of the item that went away; an entry held meanwhile outlives
    // it. The holder is another thread: an entry is never held across a call that takes the
    // BLOB table lock (resizing does), or the locks would be taken in the wrong order.
    std::mutex mutex;
    std::condition_variable step;
    int stage = 0;
    KestilItem* preview = &image->items[1];
    const KestilItem* item_seen = preview;
    std::thread holder([&] {
        KestilBlobEntry* held = kestil_acquire_blob(preview);
        std::unique_lock lock(mutex);
        stage = held ? 1 : -1;
        step.notify_all();
        step.wait_for(lock, std::chrono::seconds(30), [&] { return stage == 2; });
        if (held) {
            item_seen = held->item;
            lock.unlock();
            kestil_release_blob(held);
        }
    });
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(step.wait_for(lock, std::chrono::seconds(30), [&] { return stage != 0; }));
    }
    EXPECT_EQ(1, stage);
    image = kestil_resize_property(image, 1);
    {
        std::lock_guard lock(mutex);
        stage = 2;
        step.notify_all();
    }
    holder.join();
    EXPECT_EQ(nullptr, item_seen);
    EXPECT_TRUE(kestil_validate_blob(&image->items[0]));
    image->items[0].blob.value = nullptr;  // "ro": the data is not the property's to free
    kestil_release_property(image);
    EXPECT_EQ(nullptr, kestil_acquire_blob_by_name("Cam", "IMAGE", "FRAME"));

    // A write-only BLOB property takes one upload entry per item: 33 items do not fit.
    KestilProperty* upload =
        kestil_init_blob_property_p(nullptr, "Cam", "UPLOAD", nullptr, nullptr, KESTIL_OK_STATE, KESTIL_WO_PERM,
                                    KESTIL_MAX_BLOBS + 1);
    for (int i = 0; i < upload->count; ++i) kestil_init_blob_item(&upload->items[i], "U", "");
    log_.take_lines();
    EXPECT_EQ(2, kestil_define_property(&device.device, upload, nullptr));
    EXPECT_TRUE(test_support::holds(log_.take_lines(), "Max BLOB count reached"));
    kestil_release_property(upload);
    ASSERT_EQ(0, kestil_detach_device(&device.device));
}

TEST_F(BusTest, TraceLinesAtTheBusTraceLevel) {
    kestil_set_log_level(4);
    TestDevice device("Dev");
    TestClient client("C");
    ASSERT_EQ(0, kestil_attach_device(&device.device));
    ASSERT_EQ(0, kestil_attach_client(&client.client));
    PropertyHandle sw(kestil_init_switch_property(nullptr, "Dev", "S", nullptr, "Choice", KESTIL_OK_STATE,
                                                  KESTIL_RW_PERM, KESTIL_ONE_OF_MANY_RULE, 1));
    kestil_init_switch_item(&sw->items[0], "A", "Item A", true);
    log_.take_lines();
    ASSERT_EQ(0, kestil_define_property(&device.device, sw.get(), nullptr));
    ASSERT_EQ(0, kestil_send_message("Dev", nullptr, "hello"));
    PropertyHandle blob_mode = number_property("Dev", "", 0);
    ASSERT_EQ(0, kestil_enable_blob(&client.client, blob_mode.get(), KESTIL_BLOB_NEVER));
    ASSERT_EQ(0, kestil_detach_client(&client.client));
    ASSERT_EQ(0, kestil_detach_device(&device.device));
    const std::vector<std::string> expected = {
        "B <+* Define 'Dev'.'S' SWITCH rw Ok 3.0 0 OneOfMany { // Choice",
        "B <+*   'A' = On // Item A",
        "B <-  }",
        "B <- Sent message 'hello'",
        "B <+  Disable BLOB mode 'Dev'.'' NUMBER rw Ok 3.0 0 {",
        "B <+    'VALUE' = 0, target = 0 ",
        "B <-  }",
        "B <- Detach client 'C'",
        "B <- Detach device 'Dev'",
        "B <+  Remove 'Dev'.'' TEXT UNDEFINED Idle 3.0 0 {",
        "B <-  }",
    };
    EXPECT_EQ(expected, log_.take_lines());
    EXPECT_EQ(1u, device.recorder.events("enable_blob").size());
}

}  // namespace
