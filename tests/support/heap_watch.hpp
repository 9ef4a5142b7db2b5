// tests/support/heap_watch.hpp - the live heap of a stretch of code and its peak, counted
// through the AddressSanitizer allocator's hooks (the debug preset); other builds have no hooks
// and available() is false there.
//
// Only blocks allocated while a watch lives are counted: each is kept with its size in a fixed
// table (the hooks run inside the allocator and must not allocate), and its free takes it out
// again; frees of older blocks are ignored. One watch at a time; the hooks may run on any thread.
#ifndef KESTIL_TESTS_SUPPORT_HEAP_WATCH_HPP
#define KESTIL_TESTS_SUPPORT_HEAP_WATCH_HPP

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SANITIZE_ADDRESS__)
// Exported by the AddressSanitizer runtime of GCC and clang; GCC 12 ships no header for it.
extern "C" int __sanitizer_install_malloc_and_free_hooks(
    void (*malloc_hook)(const volatile void*, size_t), void (*free_hook)(const volatile void*));
#define KESTIL_HEAP_WATCH_HOOKS 1
#endif

namespace test_support {

class HeapWatch {
public:
    // Whether this build counts at all (the hooks are installed on first use).
    static bool available() {
#ifdef KESTIL_HEAP_WATCH_HOOKS
        static const bool installed = __sanitizer_install_malloc_and_free_hooks(on_malloc, on_free) != 0;
        return installed;
#else
        return false;
#endif
    }
    HeapWatch() {
        available();
        State& s = state();
        Lock lock(s);
        std::memset(s.slots, 0, sizeof s.slots);
        s.live = s.peak = s.blocks = 0;
        s.overflow = false;
        s.watching = true;
    }
    ~HeapWatch() {
        State& s = state();
        Lock lock(s);
        s.watching = false;
    }
    HeapWatch(const HeapWatch&) = delete;
    HeapWatch& operator=(const HeapWatch&) = delete;

    // Bytes (as requested) of the counted blocks still allocated, and the most there were.
    size_t live() const { return read(&State::live); }
    size_t peak() const { return read(&State::peak); }
    // Set when more blocks were live at once than the table holds: the counts are too low.
    bool overflow() const {
        State& s = state();
        Lock lock(s);
        return s.overflow;
    }

private:
    static constexpr int slot_bits = 18;
    static constexpr size_t slot_count = size_t{1} << slot_bits;
    static constexpr size_t mask = slot_count - 1;
    struct Slot {
        uintptr_t block;  // 0 = empty
        size_t size;
    };
    struct State {
        std::atomic_flag busy = ATOMIC_FLAG_INIT;
        bool watching = false;
        bool overflow = false;
        size_t live = 0, peak = 0, blocks = 0;
        Slot slots[slot_count];
    };
    struct Lock {
        State& s;
        explicit Lock(State& state) : s(state) {
            while (s.busy.test_and_set(std::memory_order_acquire)) {
            }
        }
        ~Lock() { s.busy.clear(std::memory_order_release); }
    };
    static State& state() {
        static State instance;  // constant-initialised: usable from the first hook on
        return instance;
    }
    size_t read(size_t State::*field) const {
        State& s = state();
        Lock lock(s);
        return s.*field;
    }
    static size_t home(uintptr_t block) {
        return static_cast<size_t>((block >> 4) * 0x9E3779B97F4A7C15ull >> (64 - slot_bits));
    }
    static void on_malloc(const volatile void* pointer, size_t size) {
        State& s = state();
        Lock lock(s);
        if (!s.watching || !pointer) return;
        if (s.blocks + 1 >= slot_count / 2) {  // keep the probes short
            s.overflow = true;
            return;
        }
        size_t i = home(reinterpret_cast<uintptr_t>(pointer));
        while (s.slots[i].block != 0) i = (i + 1) & mask;
        s.slots[i] = {reinterpret_cast<uintptr_t>(pointer), size};
        ++s.blocks;
        s.live += size;
        if (s.live > s.peak) s.peak = s.live;
    }
    static void on_free(const volatile void* pointer) {
        State& s = state();
        Lock lock(s);
        if (!pointer || s.blocks == 0) return;
        const auto block = reinterpret_cast<uintptr_t>(pointer);
        size_t i = home(block);
        while (s.slots[i].block != block) {
            if (s.slots[i].block == 0) return;  // not counted
            i = (i + 1) & mask;
        }
        s.live -= s.slots[i].size;
        --s.blocks;
        // Deletion from linear probing: later entries of the run move back into the hole
        // unless their home lies cyclically after it.
        size_t j = i;
        for (;;) {
            s.slots[i].block = 0;
            for (;;) {
                j = (j + 1) & mask;
                if (s.slots[j].block == 0) return;
                const size_t k = home(s.slots[j].block);
                const bool stays = i <= j ? (i < k && k <= j) : (i < k || k <= j);
                if (!stays) break;
            }
            s.slots[i] = s.slots[j];
            i = j;
        }
    }
};

}  // namespace test_support

#endif
