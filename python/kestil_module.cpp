// python/kestil_module.cpp - the Python module kestil: plate solving from Python
// kestil.solve(image, ...) solves an image file, the bytes of one or a 2-D numpy array and
// returns a dict with the keys of the command line's JSON report (same units: RA in hours, Dec,
// angle and scale in degrees), plus ra_deg, wcs_header and matches. Hints follow Python
// astronomy: ra and dec in degrees. kestil.IndexCache keeps mapped index files across solves
// and threads. The GIL is released while a file is read, an array converted and the image
// solved, so that threads solve at once; a progress callback takes it back for each line.
// Ctrl-C (KeyboardInterrupt) stops a solve of the main thread within a tenth of a second.
// Bad arguments raise ValueError or TypeError, an unreadable file OSError; an image that can't
// be solved returns "solved": False with the solver's message.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "framework/sexagesimal.h"
#include "python/array_image.hpp"
#include "python/wcs_cards.hpp"
#include "solver/index/published_indexes.h"
#include "solver/solve.h"

namespace py = pybind11;
using namespace kestil::python;

namespace {

constexpr double deg_per_hour = 15.0;
constexpr double max_scale_hint = 5.0;  // degrees per pixel, as the command line's --scale
constexpr double max_radius = 360.0;    // degrees
constexpr int max_downsample = 16;
constexpr int max_depth = 1000;
constexpr size_t angle_text_size = 32;
constexpr size_t read_chunk = 1 << 20;
constexpr std::chrono::milliseconds signal_poll{100};

struct CacheCloser {
    void operator()(SolverIndexCache* cache) const noexcept {
        kestil_solver_index_cache_release(cache);
    }
};

// kestil.IndexCache. A solve holds a reference to the Python object while it runs (its
// argument), so the cache is released only when no solve uses it.
class IndexCache {
public:
    IndexCache() : cache_(kestil_solver_index_cache_create()) {
        if (!cache_) throw std::bad_alloc();
    }
    SolverIndexCache* get() const { return cache_.get(); }

private:
    std::unique_ptr<SolverIndexCache, CacheCloser> cache_;
};

struct DetailsHolder {
    SolveDetails details{};
    ~DetailsHolder() { kestil_solver_release_details(&details); }
};

struct FileCloser {
    void operator()(FILE* file) const noexcept { fclose(file); }
};

// The keyword arguments of solve() as Python gave them.
struct SolveArguments {
    py::object index_dir;
    std::optional<double> scale, ra, dec, radius, timeout;
    std::optional<int> parity, downsample, depth, sip;
    std::optional<std::vector<double>> scales;
    bool header_hints = true;
};

// A progress callback and what it raised; the first exception stops the solve.
struct ProgressSink {
    py::object function;
    std::optional<py::error_already_set> error;
    volatile uint8_t* stop = nullptr;
};

void check(bool ok, const char* message) {
    if (!ok) throw py::value_error(message);
}

bool finite_in(const std::optional<double>& value, double low, double high) {
    return std::isfinite(*value) && *value >= low && *value <= high;
}

// The bytes of a path given as str, bytes or os.PathLike (the file system's encoding).
std::string path_bytes(const py::handle& path) {
    py::bytes encoded = py::module_::import("os").attr("fsencode")(path);
    return std::string(encoded);
}

void set_index_dir(const py::object& index_dir, SolveRequest* request) {
    if (index_dir.is_none()) return;
    std::string dir = path_bytes(index_dir);
    check(dir.size() < sizeof request->index_dir && dir.find('\0') == std::string::npos,
          "index_dir is too long or holds a NUL character");
    snprintf(request->index_dir, sizeof request->index_dir, "%s", dir.c_str());
}

// ra, dec and radius come together: a cone of radius degrees around (ra, dec) in degrees.
void set_position(const SolveArguments& a, SolveRequest* request) {
    check(a.ra.has_value() == a.dec.has_value() && a.ra.has_value() == a.radius.has_value(),
          "a position hint needs ra, dec and radius together");
    if (!a.ra) return;
    check(std::isfinite(*a.ra) && *a.ra >= 0.0 && *a.ra < 360.0,
          "ra must be degrees from 0 to below 360");
    check(finite_in(a.dec, -90.0, 90.0), "dec must be degrees from -90 to 90");
    check(finite_in(a.radius, 0.0, max_radius) && *a.radius > 0.0,
          "radius must be degrees above 0 and at most 360");
    request->ra = *a.ra / deg_per_hour;
    request->dec = *a.dec;
    request->radius = *a.radius;
}

void set_scales(const std::vector<double>& scales, SolveRequest* request) {
    request->scale_count = 0;
    for (double value : scales) {
        auto scale = static_cast<float>(value);
        bool published = false;
        for (const PublishedIndex& index : published_scales)
            published = published || index.scale == scale;
        check(std::isfinite(value) && published,
              "scales holds index scales in degrees: 0.2, 0.5, 1, 2, 5, 10 or 20");
        bool seen = false;
        for (int32_t i = 0; i < request->scale_count; ++i) seen = seen || request->scales[i] == scale;
        if (!seen) request->scales[request->scale_count++] = scale;
    }
    check(request->scale_count > 0, "scales is empty");
}

// The request of the command line's defaults with the arguments applied and checked.
SolveRequest make_request(const SolveArguments& a) {
    SolveRequest request;
    kestil_solver_default_request(&request);
    set_index_dir(a.index_dir, &request);
    if (a.scale) {
        check(finite_in(a.scale, 0.0, max_scale_hint),
              "scale must be degrees per pixel from 0 (unknown) to 5");
        request.scale_hint = *a.scale;
    }
    set_position(a, &request);
    if (a.timeout) {
        check(std::isfinite(*a.timeout) && *a.timeout >= 0.0,
              "timeout must be seconds, 0 for no limit");
        request.cpu_limit = *a.timeout;
    }
    if (a.parity) {
        check(*a.parity >= -1 && *a.parity <= 1, "parity must be -1, 1, or 0 for either");
        request.parity = *a.parity;
    }
    if (a.downsample) {
        check(*a.downsample >= 1 && *a.downsample <= max_downsample,
              "downsample must be a binning factor from 1 to 16");
        request.downsample = *a.downsample;
        request.downsample_set = true;
    }
    if (a.depth) {
        check(*a.depth >= 0 && *a.depth <= max_depth, "depth must be from 0 to 1000 stars");
        request.depth = *a.depth;
    }
    if (a.sip) {
        check(*a.sip == 0 || *a.sip == 2 || *a.sip == 3, "sip must be 0, 2 or 3");
        request.sip_order = *a.sip;
    }
    if (a.scales) set_scales(*a.scales, &request);
    request.header_hints = a.header_hints;
    return request;
}

// The bytes of a file, read without the GIL; *error is 0 or the errno of the failure.
std::vector<unsigned char> read_file(const std::string& path, int* error) {
    std::vector<unsigned char> bytes;
    *error = 0;
    std::unique_ptr<FILE, FileCloser> file(fopen(path.c_str(), "rb"));
    if (!file) {
        *error = errno;
        return bytes;
    }
    size_t used = 0;
    for (;;) {
        if (bytes.size() - used < read_chunk) bytes.resize(used + read_chunk);
        size_t n = fread(bytes.data() + used, 1, bytes.size() - used, file.get());
        used += n;
        if (used > UINT32_MAX) {
            *error = EFBIG;
            break;
        }
        if (n > 0) continue;
        if (ferror(file.get())) *error = errno ? errno : EIO;
        break;
    }
    bytes.resize(*error ? 0 : used);
    return bytes;
}

void raise_os_error(int error, const py::object& path) {
    errno = error;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.ptr());
    throw py::error_already_set();
}

// The image as file bytes: an owned copy (a file read, an array converted) or a borrowed
// contiguous buffer (bytes-like input), and the path for the report ("file"). Filled in place
// and destroyed with the GIL held (the buffer is released then).
struct ImageInput {
    std::vector<unsigned char> owned;
    Py_buffer view{};
    bool borrowed = false;
    py::object file = py::none();
    ImageInput() = default;
    ImageInput(const ImageInput&) = delete;
    ImageInput& operator=(const ImageInput&) = delete;
    ~ImageInput() {
        if (borrowed) PyBuffer_Release(&view);
    }
    const unsigned char* data() const {
        return borrowed ? static_cast<const unsigned char*>(view.buf) : owned.data();
    }
    size_t size() const { return borrowed ? static_cast<size_t>(view.len) : owned.size(); }
};

template <typename Sample, typename Convert>
void convert_array(const py::array& array, Convert convert, ImageInput* input) {
    auto samples = py::array_t<Sample, py::array::c_style | py::array::forcecast>::ensure(array);
    if (!samples) throw py::error_already_set();
    auto height = static_cast<uint32_t>(samples.shape(0));
    auto width = static_cast<uint32_t>(samples.shape(1));
    py::gil_scoped_release release;
    input->owned = convert(samples.data(), width, height);
}

void array_input(const py::array& array, ImageInput* input) {
    check(array.ndim() == 2, "an image array has two dimensions (rows, columns)");
    for (int axis = 0; axis < 2; ++axis)
        check(array.shape(axis) >= 1 && array.shape(axis) <= py::ssize_t(max_array_side),
              "an image array has 1 to 65535 rows and columns");
    const char kind = array.dtype().kind();
    const py::ssize_t size = array.dtype().itemsize();
    if (kind == 'u' && size == 1)
        convert_array<uint8_t>(array, raw2_from_u8, input);
    else if (kind == 'u' && size == 2)
        convert_array<uint16_t>(array, raw2_from_u16, input);
    else if (kind == 'b' || kind == 'i' || kind == 'u' || kind == 'f')
        convert_array<double>(array, raw2_from_real, input);
    else
        throw py::type_error("an image array holds integers or reals");
}

bool bytes_like(const py::handle& image) {
    return PyBytes_Check(image.ptr()) || PyByteArray_Check(image.ptr()) ||
           PyMemoryView_Check(image.ptr());
}

void image_input(const py::object& image, ImageInput* input) {
    if (py::isinstance<py::array>(image)) {
        array_input(image.cast<py::array>(), input);
    } else if (bytes_like(image)) {
        // A simple (contiguous) view; a strided memoryview raises BufferError.
        if (PyObject_GetBuffer(image.ptr(), &input->view, PyBUF_SIMPLE) != 0)
            throw py::error_already_set();
        input->borrowed = true;
        check(input->size() > 0, "the image bytes are empty");
    } else {
        std::string path;
        try {
            path = path_bytes(image);
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_TypeError)) throw;
            throw py::type_error("image must be a path, the bytes of an image file or a 2-D "
                                 "numpy array");
        }
        // fopen would stop at a NUL and open another file.
        check(path.find('\0') == std::string::npos, "the image path holds a NUL character");
        input->file = py::module_::import("os").attr("fspath")(image);
        int error = 0;
        {
            py::gil_scoped_release release;
            input->owned = read_file(path, &error);
        }
        if (error) raise_os_error(error, input->file);
    }
    check(input->size() <= UINT32_MAX, "the image is larger than 4 GiB");
}

py::str utf8(const char* text) {
    PyObject* decoded = PyUnicode_DecodeUTF8(text, strlen(text), "replace");
    if (!decoded) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(decoded);
}

void progress_line(void* context, const char* line) {
    auto* sink = static_cast<ProgressSink*>(context);
    py::gil_scoped_acquire acquire;
    if (sink->error) return;
    try {
        sink->function(utf8(line));
    } catch (py::error_already_set& e) {
        sink->error = std::move(e);
        *sink->stop = 1;
    }
}

py::list match_list(const SolveDetails& details) {
    py::list matches;
    for (int32_t i = 0; i < details.match_count; ++i) {
        const SolverMatch& m = details.matches[i];
        matches.append(py::dict(py::arg("x") = m.x, py::arg("y") = m.y, py::arg("ra") = m.ra,
                                py::arg("dec") = m.dec, py::arg("residual") = m.residual,
                                py::arg("flux") = m.flux));
    }
    return matches;
}

// The keys and values of the JSON report, unrounded, then ra_deg, wcs_header and matches.
py::dict report(const SolverSolution& s, const SolveDetails& details, const py::object& file) {
    py::dict r;
    r["file"] = file;
    r["solved"] = s.solved;
    r["time"] = s.time;
    if (!s.solved) {
        r["message"] = utf8(s.message ? s.message : "Unknown error");
        r["wcs_header"] = py::none();
        r["matches"] = py::list();
        return r;
    }
    char ra_text[angle_text_size], dec_text[angle_text_size];
    kestil_dtos_r(s.ra, "%d:%02d:%05.2f", ra_text, sizeof ra_text);
    kestil_dtos_r(s.dec, "%d:%02d:%04.1f", dec_text, sizeof dec_text);
    r["ra"] = s.ra;
    r["ra_hms"] = ra_text;
    r["dec"] = s.dec;
    r["dec_dms"] = std::string(s.dec >= 0.0 ? "+" : "") + dec_text;
    r["epoch"] = "J2000";
    r["angle"] = s.angle;
    r["scale"] = s.scale;
    r["field_width"] = s.image_width * s.scale;
    r["field_height"] = s.image_height * s.scale;
    r["image_width"] = s.image_width;
    r["image_height"] = s.image_height;
    r["parity"] = s.parity;
    r["matched_stars"] = s.matched_stars;
    r["star_matches"] = s.star_matches;
    r["rms"] = s.rms;
    r["index"] = utf8(s.index);
    r["ra_deg"] = s.ra * deg_per_hour;
    r["wcs_header"] = details.solved ? py::object(py::str(wcs_cards(
                                           details.wcs, details.width, details.height)))
                                     : py::object(py::none());
    r["matches"] = match_list(details);
    return r;
}

// Runs the solve on a thread of its own while this one waits without the GIL and looks for
// signals every signal_poll: a handler that raises (Ctrl-C: KeyboardInterrupt) stops the solve,
// and its exception is raised once the solving thread has ended. Signal handlers run on the
// main thread only; elsewhere the check does nothing.
void run_solve(const SolveRequest& request, const ImageInput& input, volatile uint8_t* stop,
               SolverSolution* solution) {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    std::thread solver([&] {
        kestil_solver_solve(&request, input.data(), static_cast<uint32_t>(input.size()),
                            solution);
        std::lock_guard<std::mutex> lock(mutex);
        done = true;
        finished.notify_one();
    });
    bool interrupted = false;
    for (;;) {
        {
            py::gil_scoped_release release;
            std::unique_lock<std::mutex> lock(mutex);
            if (finished.wait_for(lock, signal_poll, [&] { return done; })) break;
        }
        if (!interrupted && PyErr_CheckSignals() != 0) {
            interrupted = true;
            *stop = 1;
        }
    }
    solver.join();
    if (interrupted) throw py::error_already_set();
}

py::dict solve(const py::object& image, const SolveArguments& arguments, IndexCache* cache,
               const py::object& progress) {
    SolveRequest request = make_request(arguments);
    volatile uint8_t stop = 0;
    request.stop = &stop;
    ProgressSink sink;
    if (!progress.is_none()) {
        if (!PyCallable_Check(progress.ptr())) throw py::type_error("progress must be callable");
        sink.function = progress;
        sink.stop = &stop;
        request.progress = progress_line;
        request.progress_context = &sink;
    }
    request.cache = cache ? cache->get() : nullptr;
    ImageInput input;
    image_input(image, &input);
    DetailsHolder holder;
    request.details = &holder.details;
    SolverSolution solution{};
    run_solve(request, input, &stop, &solution);
    if (sink.error) throw std::move(*sink.error);
    return report(solution, holder.details, input.file);
}

const char* const solve_doc = R"(Solves an image: where in the sky it points.

image: a path (str or os.PathLike) of an image file (RAW, FITS, JPEG, camera raw), the bytes
    of such a file (bytes, bytearray, memoryview), or a 2-D numpy array of samples (rows,
    columns): uint8 and uint16 as they are, any other integer or real type stretched from its
    smallest to its largest finite value. Row r, column c is the FITS pixel (c + 1, r + 1), as
    in an array that astropy.io.fits read, so wcs_header applies to the array as given.
index_dir: folder of the index files; None: that of the command line ($KESTIL_CACHE_BASE/solver
    or ~/.kestil/solver).
scale: pixel scale hint in degrees per pixel (as the command line's --scale); None or 0: unknown.
ra, dec, radius: position hint, all in degrees (ra 0..360, not hours), given together: the
    search is limited to radius degrees around (ra, dec), J2000.
timeout: seconds before the solve gives up; 0: no limit; None: the command line's default.
parity: 1 or -1 to accept that parity only; None or 0: either.
downsample: binning factor 1..16 before star detection; None: the default (2).
scales: the index scales to try, degrees (0.2, 0.5, 1, 2, 5, 10, 20); None: all installed.
depth: brightest stars tried first (0..1000); None or 0: the built-in stages.
sip: 2 or 3 to fit lens distortion terms of that order into wcs_header; None or 0: TAN only.
header_hints: use the position and scale cards of a FITS header where no hint is given.
cache: a kestil.IndexCache to keep index files mapped across calls and threads.
progress: a callable receiving each progress line (a str ending in a newline); an exception it
    raises stops the solve and is raised by solve.

Returns a dict with the keys of the command line's JSON report and its units: file (the path
or None), solved, time (s); when solved: ra (hours), ra_hms, dec (degrees), dec_dms, epoch,
angle (degrees), scale (degrees per pixel), field_width, field_height (degrees), image_width,
image_height (pixels), parity, matched_stars, star_matches, rms (arcseconds), index; else
message. Always also: ra_deg (the RA in degrees, when solved), wcs_header (FITS cards as one
str for astropy.io.fits.Header.fromstring, None when unsolved) and matches (a list of dicts:
x, y in FITS pixels, ra, dec in degrees, residual in pixels, flux).

Raises ValueError or TypeError for bad arguments, OSError when the file can't be read. An image
that can't be solved is no error: solved is False and message says why.)";

}  // namespace

PYBIND11_MODULE(kestil, m) {
    m.doc() = "Plate solving: where in the sky an image points (the kestil_solver library).";
    py::class_<IndexCache>(m, "IndexCache", R"(Index files kept mapped across solves.

Pass the same object as cache= to any number of solve calls, also from several threads at
once: each index is mapped at its first use and stays mapped until the cache is freed.)")
        .def(py::init<>());
    m.def(
        "solve",
        [](const py::object& image, const py::object& index_dir, std::optional<double> scale,
           std::optional<double> ra, std::optional<double> dec, std::optional<double> radius,
           std::optional<double> timeout, std::optional<int> parity,
           std::optional<int> downsample, std::optional<std::vector<double>> scales,
           std::optional<int> depth, std::optional<int> sip, bool header_hints,
           IndexCache* cache, const py::object& progress) {
            SolveArguments arguments{index_dir, scale,      ra,    dec,   radius, timeout,
                                     parity,    downsample, depth, sip,   scales, header_hints};
            return solve(image, arguments, cache, progress);
        },
        solve_doc, py::arg("image"), py::kw_only(), py::arg("index_dir") = py::none(),
        py::arg("scale") = py::none(), py::arg("ra") = py::none(), py::arg("dec") = py::none(),
        py::arg("radius") = py::none(), py::arg("timeout") = py::none(),
        py::arg("parity") = py::none(), py::arg("downsample") = py::none(),
        py::arg("scales") = py::none(), py::arg("depth") = py::none(),
        py::arg("sip") = py::none(), py::arg("header_hints") = true,
        py::arg("cache") = py::none(), py::arg("progress") = py::none());
}
