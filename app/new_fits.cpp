// app/new_fits.cpp - a FITS copy of a solved image carrying the solution's WCS
// cfitsio builds the copy in memory (it reads the input from the caller's buffer and never sees
// a file name, so no name is taken for its extended syntax); the bytes then go to a new file
// beside the target, which is renamed over it.
#include "app/new_fits.h"

#include <errno.h>
#include <fcntl.h>
#include <fitsio.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <memory>
#include <string>

#include "app/options.h"
#include "framework/handles.hpp"
#include "solver/image/solver_image.h"

namespace {

constexpr size_t fits_block_size = 2880;
constexpr size_t fits_spare_blocks = 8;  // room for the added cards and a few headers
constexpr size_t reason_size = 256;
constexpr size_t keyword_size = 9;  // 8 characters and the terminator
constexpr int temporary_attempts = 100;
constexpr uint32_t max_input_length = 2147483647;  // the image reader takes a signed count
constexpr uint16_t raw1_to_16bit = 257;

// Why a copy failed, for the diagnostic line.
struct Reason {
    char text[reason_size] = "";
};

void set_reason(Reason* reason, const char* text) {
    snprintf(reason->text, sizeof reason->text, "%s", text);
}

bool cfitsio_failed(int status, Reason* reason) {
    char text[FLEN_STATUS];
    fits_get_errstatus(status, text);
    snprintf(reason->text, sizeof reason->text, "%s (FITS status %d)", text, status);
    return false;
}

bool cant_write(const char* target, const char* reason) {
    fprintf(stderr, "%s: can't write '%s': %s\n", program_name, target, reason);
    return false;
}

// The directory part of a path ("." when it has none; "/" for a file in the root).
std::string directory_of(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string base_of(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The absolute path a name would have: its resolved directory and its last component; empty
// when the directory doesn't resolve.
std::string resolved_path(const char* path) {
    const std::string name(path);
    const HeapBlock<char> directory(realpath(directory_of(name).c_str(), nullptr));
    if (!directory) return std::string();
    std::string result(directory.get());
    if (result != "/") result += '/';
    return result + base_of(name);
}

// Result: null when an existing target may be replaced (a regular file, or none), else why not
const char* unusable_target(const char* target) {
    struct stat status {};
    if (stat(target, &status) != 0 || S_ISREG(status.st_mode)) return nullptr;
    return S_ISDIR(status.st_mode) ? "it is a directory" : "it is not a regular file";
}

// The file a target names: a symbolic link's destination (written in place of the link), else
// the target itself.
std::string followed_target(const char* target) {
    struct stat status {};
    if (lstat(target, &status) != 0 || !S_ISLNK(status.st_mode)) return target;
    const HeapBlock<char> resolved(realpath(target, nullptr));
    return resolved ? std::string(resolved.get()) : std::string(target);
}

// ---- the copy in memory ----

// A FITS file cfitsio builds in memory; the buffer belongs to cfitsio until the file is closed.
class MemoryFits {
public:
    MemoryFits() = default;
    MemoryFits(const MemoryFits&) = delete;
    MemoryFits& operator=(const MemoryFits&) = delete;
    ~MemoryFits() {
        int ignored = 0;
        if (file_) fits_close_file(file_, &ignored);
        free(buffer_);
    }

    // Given: expected   about the bytes the file will take: the buffer grows by that much at
    //                   a time (cfitsio's default is one block: a copy per block written). It
    //                   starts at one block, as cfitsio takes the whole initial buffer for the
    //                   file's content.
    bool create(size_t expected, int* status) {
        buffer_ = calloc(1, fits_block_size);
        if (!buffer_) {
            *status = MEMORY_ALLOCATION;
            return false;
        }
        size_ = fits_block_size;
        const size_t increment = expected + fits_spare_blocks * fits_block_size;
        return fits_create_memfile(&file_, &buffer_, &size_, increment, realloc, status) == 0;
    }

    fitsfile* file() const { return file_; }

    // Closes the file. Returned: bytes, length   the file (valid while this object lives)
    bool finish(const void** bytes, size_t* length, int* status) {
        int hdus = 0;
        LONGLONG header_start = 0, data_start = 0, data_end = 0;
        if (fits_get_num_hdus(file_, &hdus, status) ||
            fits_movabs_hdu(file_, hdus, nullptr, status) ||
            fits_get_hduaddrll(file_, &header_start, &data_start, &data_end, status))
            return false;
        fitsfile* file = file_;
        file_ = nullptr;
        if (fits_close_file(file, status)) return false;
        if (data_end <= 0 || size_t(data_end) > size_) {
            *status = FILE_NOT_CLOSED;
            return false;
        }
        *bytes = buffer_;
        *length = size_t(data_end);
        return true;
    }

private:
    void* buffer_ = nullptr;
    size_t size_ = 0;
    fitsfile* file_ = nullptr;
};

struct FitsCloser {
    void operator()(fitsfile* file) const noexcept {
        int ignored = 0;
        fits_close_file(file, &ignored);
    }
};
using FitsHandle = std::unique_ptr<fitsfile, FitsCloser>;

using ImageHandle = HeapBlock<SolverImage>;

// The keyword of a card, without its trailing spaces.
void card_keyword(const char* card, char keyword[keyword_size]) {
    snprintf(keyword, keyword_size, "%.8s", card);
    for (size_t n = strlen(keyword); n > 0 && keyword[n - 1] == ' '; --n) keyword[n - 1] = '\0';
}

bool all_digits(const char* text) {
    if (!*text) return false;
    for (; *text; ++text)
        if (*text < '0' || *text > '9') return false;
    return true;
}

// "<prefix><digits>"
bool indexed(const char* keyword, const char* prefix) {
    const size_t n = strlen(prefix);
    return strncmp(keyword, prefix, n) == 0 && all_digits(keyword + n);
}

// "<prefix><digits>_<digits>"
bool double_indexed(const char* keyword, const char* prefix) {
    const size_t n = strlen(prefix);
    if (strncmp(keyword, prefix, n) != 0) return false;
    const char* rest = keyword + n;
    const char* underscore = strchr(rest, '_');
    if (!underscore || underscore == rest) return false;
    const std::string first(rest, size_t(underscore - rest));
    return all_digits(first.c_str()) && all_digits(underscore + 1);
}

// A card of the primary WCS description (alternate descriptions, with a letter after the
// keyword, are kept), the SIP distortion terms, or the checksum of an uncompressed header
// that the edit invalidates.
bool old_wcs_keyword(const char* keyword) {
    static const char* const names[] = {
        "WCSAXES", "WCSNAME", "LONPOLE", "LATPOLE", "RADESYS", "RADECSYS", "EQUINOX", "EPOCH",
        "A_ORDER", "B_ORDER", "AP_ORDER", "BP_ORDER", "A_DMAX",  "B_DMAX",  "ZHECKSUM"};
    for (const char* name : names)
        if (strcmp(keyword, name) == 0) return true;
    static const char* const axis_prefixes[] = {"CTYPE", "CRVAL", "CRPIX", "CDELT",
                                                "CROTA", "CUNIT", "CRDER", "CSYER"};
    for (const char* prefix : axis_prefixes)
        if (indexed(keyword, prefix)) return true;
    static const char* const matrix_prefixes[] = {"CD", "PC", "PV", "PS", "A_", "B_", "AP_", "BP_"};
    for (const char* prefix : matrix_prefixes)
        if (double_indexed(keyword, prefix)) return true;
    // The old PCiiijjj and CDiiijjj forms.
    return strlen(keyword) == 8 && (indexed(keyword, "PC") || indexed(keyword, "CD"));
}

// Cards of the solution's header that describe its own (empty) HDU, not the image.
bool structural_keyword(const char* keyword) {
    static const char* const names[] = {"",       "END",    "SIMPLE", "XTENSION", "BITPIX",
                                        "NAXIS",  "EXTEND", "PCOUNT", "GCOUNT"};
    for (const char* name : names)
        if (strcmp(keyword, name) == 0) return true;
    return indexed(keyword, "NAXIS");
}

// Deletes the old WCS cards of the current HDU. Result: the cfitsio status
int remove_old_wcs(fitsfile* file, int* status) {
    int count = 0;
    if (fits_get_hdrspace(file, &count, nullptr, status)) return *status;
    for (int n = count; n >= 1; --n) {
        char card[FLEN_CARD], keyword[keyword_size];
        if (fits_read_record(file, n, card, status)) return *status;
        card_keyword(card, keyword);
        if (old_wcs_keyword(keyword) && fits_delete_record(file, n, status)) return *status;
    }
    return *status;
}

// Deletes every card of the keyword from the current HDU.
int remove_keyword(fitsfile* file, const char* keyword, int* status) {
    while (fits_delete_key(file, keyword, status) == 0) {
    }
    if (*status == KEY_NO_EXIST) {
        *status = 0;
        fits_clear_errmsg();
    }
    return *status;
}

// Adds the solution's cards to the current HDU (see write_new_fits).
int add_wcs_cards(fitsfile* file, const WcsHeader* wcs, int* status) {
    for (size_t at = 0; at + WCS_CARD_SIZE <= wcs->position; at += WCS_CARD_SIZE) {
        const char* text = wcs->data + at;
        char keyword[keyword_size];
        card_keyword(text, keyword);
        if (strcmp(keyword, "END") == 0) break;
        if (structural_keyword(keyword)) continue;
        char card[FLEN_CARD];
        snprintf(card, sizeof card, "%.80s", text);
        const bool repeatable = strcmp(keyword, "COMMENT") == 0 || strcmp(keyword, "HISTORY") == 0;
        if (!repeatable && remove_keyword(file, keyword, status)) return *status;
        if (fits_write_record(file, card, status)) return *status;
    }
    return *status;
}

// The HDU that holds the image, as the image reader chooses it: the primary array, else the
// first image extension with data (cfitsio shows a tile-compressed image as one).
int image_hdu(fitsfile* file, int* hdu, int* status) {
    for (int n = 1;; ++n) {
        int type = 0, axes = 0;
        if (fits_movabs_hdu(file, n, &type, status)) return *status;
        if (type != IMAGE_HDU) continue;
        if (fits_get_img_dim(file, &axes, status)) return *status;
        if (axes != 0) {
            *hdu = n;
            return 0;
        }
    }
}

bool has_keyword(fitsfile* file, const char* keyword) {
    char card[FLEN_CARD];
    int status = 0;
    if (fits_read_card(file, keyword, card, &status) == 0) return true;
    fits_clear_errmsg();
    return false;
}

// A whole-number card of the current HDU; fallback when it is absent.
double key_or(fitsfile* file, const char* keyword, double fallback, int* status) {
    LONGLONG value = 0;
    if (fits_read_key_lnglng(file, keyword, &value, nullptr, status) == 0) return double(value);
    if (*status == KEY_NO_EXIST) {
        *status = 0;
        fits_clear_errmsg();
    }
    return fallback;
}

// Result: whether the input (length bytes) holds every data byte of the current HDU, as its own
// header describes them (a tile-compressed image: its table). Only the padding of the last block
// may be missing: cfitsio would copy a truncated HDU with zeros for the missing bytes.
bool data_complete(fitsfile* in, uint32_t length, int* status) {
    const double bitpix = key_or(in, "BITPIX", 0, status);
    const double axes = key_or(in, "NAXIS", 0, status);
    double samples = axes > 0 ? 1 : 0;
    for (int n = 1; n <= axes && *status == 0; ++n) {
        char keyword[FLEN_KEYWORD];
        snprintf(keyword, sizeof keyword, "NAXIS%d", n);
        samples *= key_or(in, keyword, 0, status);
    }
    const double bytes = std::fabs(bitpix) / 8 * key_or(in, "GCOUNT", 1, status) *
                         (key_or(in, "PCOUNT", 0, status) + samples);
    LONGLONG header_start = 0, data_start = 0, data_end = 0;
    fits_get_hduaddrll(in, &header_start, &data_start, &data_end, status);
    return *status == 0 && double(data_start) + bytes <= double(length);
}

// Copies every HDU of the FITS input into out and edits the image HDU's header.
bool copy_fits(const void* data, uint32_t length, const WcsHeader* wcs, MemoryFits* out,
               Reason* reason) {
    int status = 0;
    void* input = const_cast<void*>(data);  // opened read-only: cfitsio only reads it
    size_t input_size = length;
    fitsfile* opened = nullptr;
    fits_open_memfile(&opened, "image.fits", READONLY, &input, &input_size, 0, nullptr, &status);
    FitsHandle in(opened);
    if (status) return cfitsio_failed(status, reason);
    int hdu = 0;
    if (image_hdu(in.get(), &hdu, &status)) return cfitsio_failed(status, reason);
    if (!out->create(length, &status)) return cfitsio_failed(status, reason);
    for (int n = 1;; ++n) {
        if (fits_movabs_hdu(in.get(), n, nullptr, &status)) {
            if (status != END_OF_FILE) return cfitsio_failed(status, reason);
            status = 0;
            fits_clear_errmsg();
            break;
        }
        if (!data_complete(in.get(), length, &status)) {
            if (status) return cfitsio_failed(status, reason);
            set_reason(reason, "the FITS file is truncated");
            return false;
        }
        if (fits_copy_hdu(in.get(), out->file(), 0, &status)) return cfitsio_failed(status, reason);
    }
    fitsfile* file = out->file();
    if (fits_movabs_hdu(file, hdu, nullptr, &status)) return cfitsio_failed(status, reason);
    const bool checksummed = has_keyword(file, "CHECKSUM") || has_keyword(file, "DATASUM");
    if (remove_old_wcs(file, &status) || add_wcs_cards(file, wcs, &status) ||
        (checksummed && fits_write_chksum(file, &status)))
        return cfitsio_failed(status, reason);
    return true;
}

// A raw Bayer mosaic at full size (the reader merges its colour cells, so it can't give it):
// RAW1 samples times 257, RAW2 samples as stored.
ImageHandle raw_mosaic(const unsigned char* data) {
    RawImageHeader header;
    memcpy(&header, data, sizeof header);
    ImageHandle image(new_solver_image(header.width, header.height));
    const unsigned char* samples = data + sizeof header;
    const size_t count = size_t(header.width) * header.height;
    for (size_t i = 0; i < count; ++i)
        image->pixels[i] = header.signature == PIXEL_FORMAT_RAW1
                               ? uint16_t(samples[i] * raw1_to_16bit)
                               : uint16_t(samples[2 * i] | samples[2 * i + 1] << 8);
    return image;
}

// The grey image of a non-FITS input as a 16-bit unsigned FITS image with the solution's cards.
bool grey_fits(const void* data, uint32_t length, const WcsHeader* wcs, MemoryFits* out,
               Reason* reason) {
    int32_t factor = 0, width = 0, height = 0;
    bool bayer = false;
    const char* message = "unreadable image";
    ImageHandle image(kestil_solver_load_image(data, int32_t(length), 1, &factor, &width,
                                               &height, &bayer, &message));
    if (!image) {
        set_reason(reason, message);
        return false;
    }
    if (factor != 1) {
        if (!bayer || memcmp(data, "RAW", 3) != 0) {
            set_reason(reason, "the image can't be read at full size");
            return false;
        }
        image = raw_mosaic(static_cast<const unsigned char*>(data));
    }
    int status = 0;
    long axes[2] = {long(image->width), long(image->height)};
    const LONGLONG count = LONGLONG(image->width) * image->height;
    if (!out->create(size_t(count) * sizeof(uint16_t), &status) ||
        fits_create_img(out->file(), USHORT_IMG, 2, axes, &status) ||
        fits_write_img(out->file(), TUSHORT, 1, count, image->pixels, &status) ||
        add_wcs_cards(out->file(), wcs, &status))
        return cfitsio_failed(status, reason);
    return true;
}

bool write_all(int descriptor, const void* bytes, size_t length) {
    const auto* at = static_cast<const unsigned char*>(bytes);
    while (length > 0) {
        const ssize_t written = write(descriptor, at, length);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        at += written;
        length -= size_t(written);
    }
    return true;
}

// Creates a new file of a fresh name beside the target (mode 0666 less the umask).
// Returned: path   its name. Result: the descriptor, or -1 with errno set
int create_temporary(const char* target, std::string* path) {
    static std::atomic<unsigned> serial{0};
    const std::string directory = directory_of(target), base = base_of(target);
    for (int attempt = 0; attempt < temporary_attempts; ++attempt) {
        char suffix[64];
        snprintf(suffix, sizeof suffix, ".%ld.%u.tmp", long(getpid()), serial.fetch_add(1));
        *path = directory + "/." + base + suffix;
        const int descriptor = open(path->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (descriptor >= 0 || errno != EEXIST) return descriptor;
    }
    errno = EEXIST;
    return -1;
}

// Writes the bytes to a temporary file and renames it to the target (which keeps its
// permissions when it exists); on failure removes it.
bool replace_file(const char* target, const void* bytes, size_t length, Reason* reason) {
    std::string path;
    const int descriptor = create_temporary(target, &path);
    if (descriptor < 0) {
        set_reason(reason, strerror(errno));
        return false;
    }
    struct stat old {};
    bool written = (stat(target, &old) != 0 || fchmod(descriptor, old.st_mode & 07777) == 0) &&
                   write_all(descriptor, bytes, length) && fsync(descriptor) == 0;
    int error = errno;
    if (close(descriptor) != 0 && written) {
        written = false;
        error = errno;
    }
    if (written && rename(path.c_str(), target) == 0) return true;
    if (written) error = errno;
    unlink(path.c_str());
    set_reason(reason, strerror(error));
    return false;
}

bool write_copy(const char* target, const void* data, uint32_t length, const WcsHeader* wcs,
                Reason* reason) {
    if (const char* why = unusable_target(target)) {
        set_reason(reason, why);
        return false;
    }
    if (!data || length == 0 || length > max_input_length) {
        set_reason(reason, "no image data");
        return false;
    }
    MemoryFits out;
    const bool fits = length >= 9 && memcmp(data, "SIMPLE  =", 9) == 0;
    if (fits ? !copy_fits(data, length, wcs, &out, reason)
             : !grey_fits(data, length, wcs, &out, reason))
        return false;
    const void* bytes = nullptr;
    size_t size = 0;
    int status = 0;
    if (!out.finish(&bytes, &size, &status)) return cfitsio_failed(status, reason);
    return replace_file(followed_target(target).c_str(), bytes, size, reason);
}

}  // namespace

extern "C" {

bool new_fits_target_allowed(const char* target, const char* input_path) {
    if (!target || !*target) return cant_write("", "no file name");
    if (const char* why = unusable_target(target)) return cant_write(target, why);
    struct stat target_status {};
    const bool target_exists = stat(target, &target_status) == 0;
    if (input_path && *input_path) {
        struct stat input_status {};
        const bool same_file = target_exists && stat(input_path, &input_status) == 0 &&
                               input_status.st_dev == target_status.st_dev &&
                               input_status.st_ino == target_status.st_ino;
        const std::string resolved = resolved_path(target);
        if (same_file || (!resolved.empty() && resolved == resolved_path(input_path)))
            return cant_write(target, "it is the input image");
    }
    struct stat directory_status {};
    const std::string directory = directory_of(followed_target(target));
    if (stat(directory.c_str(), &directory_status) != 0 || !S_ISDIR(directory_status.st_mode)) {
        char reason[reason_size];
        snprintf(reason, sizeof reason, "no directory '%s'", directory.c_str());
        return cant_write(target, reason);
    }
    return true;
}

bool write_new_fits(const char* target, const void* data, uint32_t length, const WcsHeader* wcs) {
    if (!target || !*target) return cant_write("", "no file name");
    Reason reason;
    bool written = false;
    try {
        written = write_copy(target, data, length, wcs, &reason);
    } catch (...) {  // std::string out of memory; the temporary file is removed by then
        set_reason(&reason, "out of memory");
    }
    return written || cant_write(target, reason.text);
}

}  // extern "C"
