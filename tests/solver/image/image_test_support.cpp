// Allocation watch of the image input tests, over the sanitizer allocator's hooks.
#include "image_test_support.hpp"

#include <atomic>

#include "framework/log.h"

#if defined(__SANITIZE_ADDRESS__)
// Exported by the AddressSanitizer runtime of GCC and clang; GCC 12 ships no header for it, so
// a test of the header alone left the watch off in every GCC build.
extern "C" int __sanitizer_install_malloc_and_free_hooks(
    void (*malloc_hook)(const volatile void*, size_t), void (*free_hook)(const volatile void*));
#define IMAGE_TEST_HOOKS 1
#endif

namespace image_test {
namespace {
std::atomic<size_t> largest_block{0};
std::atomic<bool> watching{false};
#ifdef IMAGE_TEST_HOOKS
void on_malloc(const volatile void*, size_t size) {
    if (!watching.load(std::memory_order_relaxed)) return;
    size_t seen = largest_block.load(std::memory_order_relaxed);
    while (size > seen && !largest_block.compare_exchange_weak(seen, size)) {
    }
}
void on_free(const volatile void*) {}
const bool installed = __sanitizer_install_malloc_and_free_hooks(on_malloc, on_free) != 0;
#endif
}  // namespace

AllocationWatch::AllocationWatch() {
    largest_block = 0;
    watching = true;
}
AllocationWatch::~AllocationWatch() { watching = false; }
size_t AllocationWatch::largest() const { return largest_block.load(); }
bool AllocationWatch::available() {
#ifdef IMAGE_TEST_HOOKS
    return installed;
#else
    return false;
#endif
}

}  // namespace image_test

namespace {
// The readers log failures; the tests check messages, so the log lines are kept off the
// terminal (a test that wants them installs its own hook).
void quiet(int, const char*) {}
class QuietLog : public ::testing::Environment {
public:
    void SetUp() override { kestil_log_message_handler = quiet; }
};
const auto* const quiet_log = ::testing::AddGlobalTestEnvironment(new QuietLog);
}  // namespace
