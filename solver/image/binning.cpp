// solver/image/binning.cpp - box-average binning of 16-bit mono samples
#include "solver/image/binning.h"

#include <cstring>

#include "framework/log.h"
#include "solver/image/pixel_convert.hpp"

using kestil::image::bin_samples;
using kestil::image::SampleArray;

extern "C" void bin_pixels(const uint16_t* source, uint32_t width, uint32_t height,
                           int32_t factor, uint16_t* destination) {
    if (factor < 1) return;
    if (factor == 1) {
        if (source != destination)
            std::memmove(destination, source, size_t(width) * height * sizeof(uint16_t));
        return;
    }
    bin_samples(SampleArray{source}, width, height, uint32_t(factor), destination);
}

extern "C" void kestil_solver_bin_image(SolverImage* image, int32_t factor) {
    if (factor < 2) return;
    if (image->signature != PIXEL_FORMAT_RAW2) {
        kestil_debug("%s: only 16 bit mono images are binned, signature = %08x",
                     "kestil_solver_bin_image", image->signature);
        return;
    }
    kestil_debug("%s: original image width = %d, height = %d", "kestil_solver_bin_image",
                 int(image->width), int(image->height));
    bin_pixels(image->pixels, image->width, image->height, factor, image->pixels);
    image->width /= uint32_t(factor);
    image->height /= uint32_t(factor);
    kestil_debug("%s: binned image width = %d, height = %d", "kestil_solver_bin_image",
                 int(image->width), int(image->height));
}
