// tools/jpeg/jpeg_writer.cpp - JPEG streams from libjpeg's compressor, for test data
#include "tools/jpeg/jpeg_writer.hpp"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>

#include <jpeglib.h>  // after <cstdio>: it uses size_t and FILE

namespace kestil_jpeg {

namespace {

// libjpeg's error manager with a way back: error_exit jumps to the encoder instead of exiting.
struct ErrorManager {
    jpeg_error_mgr library;
    std::jmp_buf back;
    char message[JMSG_LENGTH_MAX];
};

[[noreturn]] void error_exit(j_common_ptr info) {
    auto* manager = reinterpret_cast<ErrorManager*>(info->err);
    info->err->format_message(info, manager->message);
    std::longjmp(manager->back, 1);
}

// The compression proper; no C++ object with a destructor lives across the setjmp.
bool compress(const JpegLayout& layout, const JpegRowSource& rows, uint8_t* row,
              unsigned char** buffer, unsigned long* size, ErrorManager* error) {
    jpeg_compress_struct info;
    info.err = jpeg_std_error(&error->library);
    error->library.error_exit = error_exit;
    if (setjmp(error->back)) {
        jpeg_destroy_compress(&info);
        return false;
    }
    jpeg_create_compress(&info);
    jpeg_mem_dest(&info, buffer, size);
    info.image_width = static_cast<JDIMENSION>(layout.width);
    info.image_height = static_cast<JDIMENSION>(layout.height);
    info.input_components = layout.components;
    info.in_color_space = static_cast<J_COLOR_SPACE>(layout.in_space);
    jpeg_set_defaults(&info);
    if (layout.stored_space != JCS_UNKNOWN)
        jpeg_set_colorspace(&info, static_cast<J_COLOR_SPACE>(layout.stored_space));
    jpeg_set_quality(&info, layout.quality, TRUE);
    jpeg_start_compress(&info, TRUE);
    while (info.next_scanline < info.image_height) {
        rows(static_cast<int>(info.next_scanline), row);
        JSAMPROW pointer = row;
        jpeg_write_scanlines(&info, &pointer, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    return true;
}

}  // namespace

bool encode_jpeg(const JpegLayout& layout, const JpegRowSource& rows, std::vector<uint8_t>* out,
                 std::string* message) {
    out->clear();
    if (layout.width <= 0 || layout.height <= 0 || layout.components <= 0) {
        if (message) *message = "encode_jpeg: empty image";
        return false;
    }
    std::vector<uint8_t> row(static_cast<size_t>(layout.width) *
                             static_cast<size_t>(layout.components));
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    ErrorManager error{};
    bool written = compress(layout, rows, row.data(), &buffer, &size, &error);
    if (written) out->assign(buffer, buffer + size);
    std::free(buffer);
    if (!written && message) *message = error.message;
    return written;
}

}  // namespace kestil_jpeg
