// solver/image/jpeg_reader.cpp - JPEG decoding into the working image
// The library reports fatal errors through error_exit, which must not return: it jumps back to
// jpeg_image. Nothing with a destructor lives across that jump; the image and the row buffer
// are plain pointers in the error record so that the jump target can release them.
#include "solver/image/jpeg_reader.h"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>

#include <jpeglib.h>

#include "framework/alloc.h"
#include "framework/log.h"
#include "solver/image/pixel_convert.hpp"

namespace {

constexpr JDIMENSION max_side = 65535;

struct JpegError {
    jpeg_error_mgr manager;  // first: the library's pointer to it is cast back
    std::jmp_buf jump;
    SolverImage* volatile image;  // volatile: read after the jump
    JSAMPLE* volatile row;
};

[[noreturn]] void jump_back(j_common_ptr info) {
    auto* error = reinterpret_cast<JpegError*>(info->err);
    std::longjmp(error->jump, 1);
}

// One decoded scanline into row y of the image.
void convert_row(const JSAMPLE* row, int components, JDIMENSION width, uint16_t* out) {
    using kestil::image::grey_8bit;
    using kestil::image::truncate_sample;
    if (components == 3) {
        for (JDIMENSION x = 0; x < width; ++x)
            out[x] = grey_8bit(row[3 * x], row[3 * x + 1], row[3 * x + 2]);
        return;
    }
    const float weight = 1.0f / float(components);
    for (JDIMENSION x = 0; x < width; ++x) {
        const JSAMPLE* pixel = row + size_t(x) * components;
        float sum = 0.0f;
        for (int c = 0; c < components; ++c) sum += float(pixel[c]) * weight;
        out[x] = truncate_sample(sum * 257.0f + 0.5f);
    }
}

}  // namespace

extern "C" SolverImage* jpeg_image(const void* data, uint32_t length, const char** message) {
    jpeg_decompress_struct info;
    JpegError error;
    error.image = nullptr;
    error.row = nullptr;
    info.err = jpeg_std_error(&error.manager);
    error.manager.error_exit = jump_back;
    if (setjmp(error.jump)) {
        jpeg_destroy_decompress(&info);
        std::free(error.image);
        std::free(error.row);
        *message = "Broken JPEG image";
        return nullptr;
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, static_cast<const unsigned char*>(data), length);
    jpeg_read_header(&info, TRUE);
    jpeg_start_decompress(&info);
    const int components = info.output_components;
    const JDIMENSION width = info.output_width, height = info.output_height;
    if (components <= 0 || width < 1 || width > max_side || height < 1 || height > max_side) {
        jpeg_destroy_decompress(&info);
        *message = "Unsupported JPEG image";
        return nullptr;
    }
    error.image = new_solver_image(width, height);
    error.row = static_cast<JSAMPLE*>(kestil_checked_malloc(size_t(width) * components));
    while (info.output_scanline < height) {
        const JDIMENSION y = info.output_scanline;
        JSAMPROW rows[1] = {error.row};
        jpeg_read_scanlines(&info, rows, 1);
        convert_row(error.row, components, width, error.image->pixels + size_t(y) * width);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    std::free(error.row);
    kestil_debug("%s: %d x %d, %d component(s)", "jpeg_image", int(width), int(height),
                 components);
    return error.image;
}
