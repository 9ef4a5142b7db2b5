// framework/pixel_formats.h - the codes of the framework's pixel formats
// A code is a 32-bit value whose four bytes, stored little-endian, spell its letters. "RAW1",
// "RAW2", "RAW3" and "RAW6" are the signatures of the raw image format (framework/raw_image.h);
// "RGB6" and "BGR6" are the two 4-byte colour layouts the star detector also accepts.
#ifndef KESTIL_FRAMEWORK_PIXEL_FORMATS_H
#define KESTIL_FRAMEWORK_PIXEL_FORMATS_H

enum {
    KESTIL_PIXEL_FORMAT_RAW1 = 0x31574152,  // 1 byte, 8-bit mono
    KESTIL_PIXEL_FORMAT_RAW2 = 0x32574152,  // 2 bytes, 16-bit mono, little-endian
    KESTIL_PIXEL_FORMAT_RAW3 = 0x33574152,  // 3 bytes, 8-bit colour
    KESTIL_PIXEL_FORMAT_RAW6 = 0x36574152,  // 6 bytes, three 16-bit little-endian samples
    KESTIL_PIXEL_FORMAT_RGB6 = 0x36424752,  // 4 bytes, channels in bytes 0-2, byte 3 ignored
    KESTIL_PIXEL_FORMAT_BGR6 = 0x36524742   // 4 bytes, byte 0 ignored, channels in bytes 1-3
};

#endif
