// tools/jpeg/jpeg_writer.hpp - JPEG streams from libjpeg's compressor, for test data
// One writer for the simulator, the benchmarks, the fuzz seeds and the tests: rows of 8-bit
// samples (components interleaved) come from a callback and the whole stream is returned in
// memory. A libjpeg error (bad layout, out of memory) is returned as its message instead of
// ending the process. C++ only; any thread, one call per stream.
#ifndef KESTIL_TOOLS_JPEG_JPEG_WRITER_HPP
#define KESTIL_TOOLS_JPEG_JPEG_WRITER_HPP

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kestil_jpeg {

struct JpegLayout {
    int width = 0;
    int height = 0;
    int components = 1;   // samples per pixel of the rows given
    int in_space = 1;     // libjpeg's J_COLOR_SPACE of the rows (1 = JCS_GRAYSCALE, 2 = JCS_RGB)
    int stored_space = 0; // J_COLOR_SPACE stored in the file; 0 (JCS_UNKNOWN) = libjpeg's
                          // default for in_space
    int quality = 90;     // 1 to 100
};

// Fills row (0 at the top) with width x components samples.
using JpegRowSource = std::function<void(int row, uint8_t* samples)>;

// Given:    layout, rows   the image
// Returned: out            the JPEG stream (replaced; empty on failure)
//           message        libjpeg's message on failure (may be null)
// Result:   true when the stream was written
bool encode_jpeg(const JpegLayout& layout, const JpegRowSource& rows, std::vector<uint8_t>* out,
                 std::string* message = nullptr);

}  // namespace kestil_jpeg

#endif
