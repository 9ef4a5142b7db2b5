// Devices and clients on several threads using the bus at once: no race (run it under
// ThreadSanitizer), no deadlock (every thread finishes well within its deadline) and no lost or
// misrouted change.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bus_test_support.hpp"

namespace {

using bus_test::BusTest;
using Clock = std::chrono::steady_clock;

constexpr int device_count = 4;
constexpr int client_count = 3;
constexpr int iterations = 2000;                       // per thread
constexpr auto work_budget = std::chrono::seconds(40);  // a thread stops early past this
constexpr auto deadlock_deadline = std::chrono::seconds(180);

// A device with two properties: STATUS, touched only by the device's own thread (and by the bus
// during that thread's calls), and TARGET, touched only from bus callbacks, under the bus lock.
struct BusyDevice {
    KestilDevice device{};
    KestilProperty* status = nullptr;
    KestilProperty* target = nullptr;
    std::atomic<int> changes{0};
    std::atomic<int> aborts{0};
};

struct BusyClient {
    KestilClient client{};
    std::atomic<int> updates{0};
    std::atomic<int> defines{0};
    std::atomic<int> messages{0};
    std::atomic<int> changes_sent{0};
};

BusyDevice* device_of(KestilDevice* d) { return static_cast<BusyDevice*>(d->private_data); }
BusyClient* client_of(KestilClient* c) { return static_cast<BusyClient*>(c->client_context); }

int device_change(KestilDevice* d, KestilClient* c, KestilProperty* request) {
    BusyDevice* me = device_of(d);
    if (strcmp(request->name, "ABORT") == 0) {
        me->aborts++;
        return 0;
    }
    if (!kestil_property_match(me->target, request)) return 0;
    me->changes++;
    kestil_property_copy_values(me->target, request, false);
    me->target->state = KESTIL_OK_STATE;
    kestil_update_property(d, me->target, nullptr);
    if (c) {
        // Keeps one abort entry per client: the last change it started.
        KestilClientRef ref;
        kestil_current_client_ref(&ref, c);
        kestil_unregister_detach_abort(d, &ref, "TARGET");
        KestilProperty* abort = kestil_init_switch_property(nullptr, d->name, "ABORT", nullptr, nullptr,
                                                            KESTIL_IDLE_STATE, KESTIL_RW_PERM,
                                                            KESTIL_ANY_OF_MANY_RULE, 1);
        kestil_init_switch_item(&abort->items[0], "ABORT", "", true);
        kestil_register_detach_abort(d, &ref, "TARGET", abort);
    }
    return 0;
}

int device_enumerate(KestilDevice* d, KestilClient* c, KestilProperty* templ) {
    BusyDevice* me = device_of(d);
    if (c && kestil_property_match(me->target, templ)) kestil_define_property_to_client(d, c, me->target, nullptr);
    return 0;
}

int client_define(KestilClient* c, KestilDevice*, KestilProperty*, const char*) {
    client_of(c)->defines++;
    return 0;
}
int client_update(KestilClient* c, KestilDevice*, KestilProperty* p, const char*) {
    // Read what a real client would: the values, under the bus lock.
    volatile double sink = p->type == KESTIL_NUMBER_VECTOR && p->count ? p->items[0].number.value : 0;
    (void)sink;
    client_of(c)->updates++;
    return 0;
}
int client_message(KestilClient* c, const char*, KestilProperty*, const char*) {
    client_of(c)->messages++;
    return 0;
}

std::atomic<long> trace_lines{0};
void count_line(int, const char*) { trace_lines++; }

class Finish {
public:
    void done() {
        std::lock_guard lock(mutex_);
        ++finished_;
        changed_.notify_all();
    }
    bool wait_for(int count, std::chrono::seconds deadline) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, deadline, [&] { return finished_ == count; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int finished_ = 0;
};

TEST_F(BusTest, ManyThreadsHammeringTheBus) {
    trace_lines = 0;
    kestil_log_message_handler = count_line;
    kestil_set_log_level(4);  // every exchange traced, through the counting hook
    std::vector<BusyDevice> devices(device_count);
    for (int i = 0; i < device_count; ++i) {
        BusyDevice& d = devices[i];
        snprintf(d.device.name, sizeof d.device.name, "Device %d", i);
        d.device.private_data = &d;
        d.device.skip_config_load = true;
        d.device.change_property = device_change;
        d.device.enumerate_properties = device_enumerate;
        d.status = kestil_init_number_property(nullptr, d.device.name, "STATUS", nullptr, nullptr, KESTIL_OK_STATE,
                                               KESTIL_RO_PERM, 1);
        kestil_init_number_item(&d.status->items[0], "COUNT", "", 0, 1e9, 1, 0);
        d.target = kestil_init_number_property(nullptr, d.device.name, "TARGET", nullptr, nullptr, KESTIL_OK_STATE,
                                               KESTIL_RW_PERM, 1);
        kestil_init_number_item(&d.target->items[0], "VALUE", "", 0, 100, 1, 50);
    }
    std::vector<BusyClient> clients(client_count);
    for (int i = 0; i < client_count; ++i) {
        BusyClient& c = clients[i];
        snprintf(c.client.name, sizeof c.client.name, "Client %d", i);
        c.client.client_context = &c;
        c.client.define_property = client_define;
        c.client.update_property = client_update;
        c.client.send_message = client_message;
        c.client.wants_all_updates = i == 0;
    }
    // The devices are attached before the clients start, so that no change goes astray.
    for (BusyDevice& d : devices) ASSERT_EQ(0, kestil_attach_device(&d.device));

    Finish finish;
    std::atomic<bool> failed{false};
    std::vector<std::thread> threads;
    const auto start = Clock::now();
    auto in_budget = [&] { return Clock::now() - start < work_budget; };

    for (int i = 0; i < device_count; ++i) {
        threads.emplace_back([&, i] {
            BusyDevice& d = devices[i];
            if (kestil_define_property(&d.device, d.target, nullptr) != 0) failed = true;
            for (int n = 0; n < iterations && in_budget(); ++n) {
                if (n % 50 == 0) kestil_delete_property(&d.device, d.status, nullptr);
                d.status->items[0].number.value = n;
                int status = n % 50 == 0 ? kestil_define_property(&d.device, d.status, "again %d", n)
                                         : kestil_update_property(&d.device, d.status, nullptr);
                if (status != 0) failed = true;
                if (n % 97 == 0) kestil_send_message(d.device.name, nullptr, "tick %d", n);
            }
            finish.done();
        });
    }
    for (int i = 0; i < client_count; ++i) {
        threads.emplace_back([&, i] {
            BusyClient& c = clients[i];
            if (kestil_attach_client(&c.client) != 0) failed = true;
            for (int n = 0; n < iterations && in_budget(); ++n) {
                char device[KESTIL_NAME_SIZE];
                snprintf(device, sizeof device, "Device %d", (n + i) % device_count);
                if (kestil_change_number_property_1(&c.client, device, "TARGET", "VALUE", (n * 7 + i) % 150) != 0)
                    failed = true;
                c.changes_sent++;
                if (n % 40 == 0) kestil_enumerate_properties(&c.client, nullptr);
                if (n % 60 == 59) {  // leave (aborting what it started) and come back
                    if (kestil_detach_client(&c.client) != 0 || kestil_attach_client(&c.client) != 0)
                        failed = true;
                }
            }
            if (kestil_detach_client(&c.client) != 0) failed = true;
            finish.done();
        });
    }
    threads.emplace_back([&] {  // a device that comes and goes, with a token of its own
        KestilDevice transient{};
        snprintf(transient.name, sizeof transient.name, "%s", "Transient");
        transient.skip_config_load = true;
        transient.detach = [](KestilDevice*) { return 0; };
        for (int n = 0; n < iterations / 4 && in_budget(); ++n) {
            kestil_add_device_token("Transient", static_cast<uint64_t>(n + 1));
            if (kestil_attach_device(&transient) != 0) failed = true;
            if (transient.access_token != static_cast<uint64_t>(n + 1)) failed = true;
            if (kestil_detach_device(&transient) != 0) failed = true;
            kestil_remove_device_token("Transient");
        }
        finish.done();
    });

    const int thread_count = static_cast<int>(threads.size());
    if (!finish.wait_for(thread_count, deadlock_deadline)) {
        // The threads are stuck on the bus: nothing sensible can follow.
        fprintf(stderr, "bus threads did not finish within %lld s: deadlock\n",
                static_cast<long long>(deadlock_deadline.count()));
        std::abort();
    }
    for (std::thread& t : threads) t.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();

    EXPECT_FALSE(failed.load());
    int sent = 0, received = 0;
    for (BusyClient& c : clients) {
        sent += c.changes_sent;
        EXPECT_GT(c.updates.load(), 0) << c.client.name;
        EXPECT_GT(c.defines.load(), 0) << c.client.name;
    }
    for (BusyDevice& d : devices) {
        received += d.changes;
        EXPECT_GE(d.target->items[0].number.value, 0.0);  // clamped to the range
        EXPECT_LE(d.target->items[0].number.value, 100.0);
    }
    EXPECT_EQ(sent, received);  // each change reached exactly the device it named
    EXPECT_GT(trace_lines.load(), 0);
    printf("%d changes, %ld trace lines in %.2f s\n", sent, trace_lines.load(), seconds);

    for (BusyDevice& d : devices) {
        ASSERT_EQ(0, kestil_detach_device(&d.device));
        kestil_release_property(d.status);
        kestil_release_property(d.target);
    }
}

}  // namespace
