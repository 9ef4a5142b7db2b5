// python/array_image.hpp - a 2-D array of samples as the framework's raw image file (RAW2)
// The solver reads image files; an array handed to the Python module becomes the bytes of a
// RAW2 file: the 12-byte header ("RAW2", width, height as little-endian 32-bit numbers) and
// width x height 16-bit little-endian samples, row-major. Row r, column c of the array is the
// stored pixel whose FITS coordinates are (c + 1, r + 1), so a WCS of the solve applies to the
// array as given (as to an array read from a FITS file). Samples become 16 bits thus:
// 8-bit values times 257 (0..255 onto 0..65535), 16-bit values as they are, any other type
// linearly from the smallest to the largest finite value onto 0..65535 (non-finite values are
// 0; a constant array is all 0). Any thread; no state.
#ifndef KESTIL_PYTHON_ARRAY_IMAGE_HPP
#define KESTIL_PYTHON_ARRAY_IMAGE_HPP

#include <cstdint>
#include <vector>

namespace kestil::python {

// The largest side of a raw image the solver reads, pixels.
constexpr uint32_t max_array_side = 65535;

// Given:  samples         width x height values, row-major and contiguous
//         width, height   1..max_array_side each
// Result: the bytes of the RAW2 file
std::vector<unsigned char> raw2_from_u8(const uint8_t* samples, uint32_t width, uint32_t height);
std::vector<unsigned char> raw2_from_u16(const uint16_t* samples, uint32_t width,
                                         uint32_t height);
std::vector<unsigned char> raw2_from_real(const double* samples, uint32_t width,
                                          uint32_t height);

}  // namespace kestil::python

#endif
