// Test devices and clients that record what the bus hands them, and a fixture that starts the
// bus and captures the log.
#ifndef KESTIL_TESTS_FRAMEWORK_BUS_BUS_TEST_SUPPORT_HPP
#define KESTIL_TESTS_FRAMEWORK_BUS_BUS_TEST_SUPPORT_HPP

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "framework/bus/bus.h"
#include "framework/io/tokens.h"
#include "framework/log.h"
#include "tests/support/log_capture.hpp"

namespace bus_test {

// One call the bus made: what, the property's device and name, the client or device involved,
// the items marked changed (or on, for switches), the message, the access token.
struct Event {
    std::string what;
    std::string device;
    std::string property;
    std::string peer;
    std::vector<std::string> items;
    std::string message;
    uint64_t token = 0;
};

class Recorder {
public:
    void add(Event event) {
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(event));
    }
    std::vector<Event> events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }
    std::vector<Event> events(const std::string& what) const {
        std::vector<Event> found;
        for (const Event& event : events())
            if (event.what == what) found.push_back(event);
        return found;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        events_.clear();
    }

private:
    mutable std::mutex mutex_;
    std::vector<Event> events_;
};

inline std::vector<std::string> changed_items(const KestilProperty* property) {
    std::vector<std::string> items;
    if (!property) return items;
    for (int i = 0; i < property->count; ++i)
        if (property->items[i].item_changed) items.emplace_back(property->items[i].name);
    return items;
}

inline Event event_of(const char* what, const KestilProperty* property, const std::string& peer,
                      const char* message) {
    Event event;
    event.what = what;
    if (property) {
        event.device = property->device;
        event.property = property->name;
        event.items = changed_items(property);
        event.token = property->access_token;
    }
    event.peer = peer;
    event.message = message ? message : "";
    return event;
}

// A device whose callbacks record into its recorder and then run an optional hook.
struct TestDevice {
    explicit TestDevice(const std::string& name) {
        snprintf(device.name, sizeof device.name, "%s", name.c_str());
        device.skip_config_load = true;
        device.private_data = this;
        device.enumerate_properties = [](KestilDevice* d, KestilClient* c, KestilProperty* p) {
            self(d)->recorder.add(event_of("enumerate", p, c ? c->name : "", nullptr));
            return 0;
        };
        device.change_property = [](KestilDevice* d, KestilClient* c, KestilProperty* p) {
            TestDevice* me = self(d);
            me->recorder.add(event_of("change", p, c ? c->name : "", nullptr));
            if (me->on_change) me->on_change(c, p);
            return 0;
        };
        device.enable_blob = [](KestilDevice* d, KestilClient* c, KestilProperty* p, int) {
            self(d)->recorder.add(event_of("enable_blob", p, c ? c->name : "", nullptr));
            return 0;
        };
        device.detach = [](KestilDevice* d) {
            self(d)->recorder.add(event_of("detach", nullptr, "", nullptr));
            return 0;
        };
    }
    static TestDevice* self(KestilDevice* d) { return static_cast<TestDevice*>(d->private_data); }
    KestilDevice device{};
    Recorder recorder;
    std::function<void(KestilClient*, KestilProperty*)> on_change;
};

struct TestClient {
    explicit TestClient(const std::string& name, bool wants_all = false) {
        snprintf(client.name, sizeof client.name, "%s", name.c_str());
        client.wants_all_updates = wants_all;
        client.client_context = this;
        client.define_property = [](KestilClient* c, KestilDevice* d, KestilProperty* p, const char* m) {
            TestClient* me = self(c);
            me->recorder.add(event_of("define", p, d ? d->name : "", m));
            if (me->on_define) me->on_define(p);
            return 0;
        };
        client.update_property = [](KestilClient* c, KestilDevice* d, KestilProperty* p, const char* m) {
            self(c)->recorder.add(event_of("update", p, d ? d->name : "", m));
            return 0;
        };
        client.delete_property = [](KestilClient* c, KestilDevice* d, KestilProperty* p, const char* m) {
            self(c)->recorder.add(event_of("delete", p, d ? d->name : "", m));
            return 0;
        };
        client.send_message = [](KestilClient* c, const char* d, KestilProperty* p, const char* m) {
            self(c)->recorder.add(event_of("message", p, d ? d : "", m));
            return 0;
        };
        client.detach = [](KestilClient* c) {
            self(c)->recorder.add(event_of("detach", nullptr, "", nullptr));
            return 0;
        };
    }
    static TestClient* self(KestilClient* c) { return static_cast<TestClient*>(c->client_context); }
    KestilClient client{};
    Recorder recorder;
    std::function<void(KestilProperty*)> on_define;
};

// Starts the bus with the log captured (log_; the level is restored afterwards).
class BusTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(0, kestil_start()); }
    void TearDown() override {
        EXPECT_EQ(0, kestil_stop()) << "a test left a device attached";
        kestil_use_host_suffix = false;
        kestil_use_blob_caching = false;
        kestil_clear_device_tokens();
        kestil_set_master_token(0);
    }
    test_support::LogCapture log_;
};

}  // namespace bus_test

#endif
