// Helpers of the image input tests: temporary folders, file bytes, loading, allocation watch.
#ifndef KESTIL_TESTS_SOLVER_IMAGE_IMAGE_TEST_SUPPORT_HPP
#define KESTIL_TESTS_SOLVER_IMAGE_IMAGE_TEST_SUPPORT_HPP

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "framework/handles.hpp"
#include "solver/image/solver_image.h"
#include "tests/support/files.hpp"
#include "tests/support/temp_dir.hpp"

namespace image_test {

using Bytes = std::vector<uint8_t>;

using ImagePtr = std::unique_ptr<SolverImage, FreeDeleter>;

using test_support::read_bytes;
using test_support::TempDir;

// The outcome of one kestil_solver_load_image call; outputs start at values no call makes.
struct Loaded {
    ImagePtr image;
    int32_t factor = -7, width = -7, height = -7;
    bool bayer = true;
    const char* message = nullptr;
    std::string text() const { return message ? message : "(no message)"; }
    std::vector<uint16_t> pixels() const {
        return image ? std::vector<uint16_t>(image->pixels, image->pixels + size_t(image->width) * image->height)
                     : std::vector<uint16_t>();
    }
};

inline Loaded load(const void* data, int32_t length, int32_t downsample) {
    Loaded result;
    result.image.reset(kestil_solver_load_image(data, length, downsample, &result.factor,
                                                &result.width, &result.height, &result.bayer,
                                                &result.message));
    return result;
}

// A copy at an exact size, so that AddressSanitizer sees any read past the end.
inline Loaded load(const Bytes& bytes, int32_t downsample, size_t length) {
    std::unique_ptr<uint8_t[]> copy(new uint8_t[length ? length : 1]);
    if (length) std::memcpy(copy.get(), bytes.data(), length);
    return load(copy.get(), int32_t(length), downsample);
}
inline Loaded load(const Bytes& bytes, int32_t downsample) {
    return load(bytes, downsample, bytes.size());
}

// Box average written out plainly: the reference the readers' binning must equal.
inline std::vector<uint16_t> box_average(const std::vector<uint16_t>& pixels, size_t width,
                                         size_t height, size_t factor) {
    std::vector<uint16_t> out;
    for (size_t r = 0; r < height / factor; ++r)
        for (size_t k = 0; k < width / factor; ++k) {
            uint64_t sum = 0;
            for (size_t y = 0; y < factor; ++y)
                for (size_t x = 0; x < factor; ++x) sum += pixels[(r * factor + y) * width + k * factor + x];
            out.push_back(uint16_t(sum / (factor * factor)));
        }
    return out;
}

// The largest single heap block requested while it is alive (AddressSanitizer builds only).
class AllocationWatch {
public:
    AllocationWatch();
    ~AllocationWatch();
    static bool available();
    size_t largest() const;
};

// Runs python_source with Debian's python3, with dir as its argument. Result: its exit status;
// 77 when astropy or numpy is missing, 127 when there is no such interpreter.
inline int run_python(const TempDir& dir, const std::string& python_source) {
    const std::string script = dir.file("write.py", python_source);
    const std::string command = "/usr/bin/python3 " + script + " " + dir.path() + " 2>&1";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace image_test

#endif
