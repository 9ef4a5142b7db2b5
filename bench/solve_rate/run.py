#!/usr/bin/env python3
"""Solve rate and speed of kestil_solver beside a peer plate solver, per band of field size.

Makes a fixed benchmark set with the project's sky simulator (fixed seed), solves every image
with kestil_solver blind, with a scale hint (the true scale, then 5 % off) and with a position
hint (2 degrees off the true centre, radius 5), and, where the peer (solve-field of the Debian
package astrometry.net) is installed, the same images with the peer's equivalent hints, one
process at a time. Writes a Markdown table (results.md), a plot (solve_rate.png, gnuplot) and
one JSON line per run (runs.jsonl in the work directory, from which --report-only redraws).

Standard library only; the project's programs are run as commands. See README.md.
"""
import argparse
import json
import math
import os
import random
import re
import shutil
import signal
import statistics
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))

# Bands of field size (degrees, geometric mean of the two sides) and the catalogue they use.
BANDS = [
    ("0.2-0.45", 0.2, 0.45, "deep"),
    ("0.45-1", 0.45, 1.0, "deep"),
    ("1-2", 1.0, 2.0, "real"),
    ("2-4.5", 2.0, 4.5, "real"),
    ("4.5-10", 4.5, 10.0, "real"),
    ("10-20", 10.0, 20.0, "real"),
    ("20-30", 20.0, 30.0, "real"),
]
# Our indexes per catalogue, with the cone each covers (ra, dec, radius in degrees; None =
# whole sky). The synthetic deep catalogue exists for one patch only. The index builder stops
# at 60 million quads, which a whole-sky index of 2 degrees exceeds (66 million, 1.9 GB) and
# one of 1 degree exceeds by far, so those two cover a cone.
PATCH_CENTRE = (150.0, 30.0)
DEEP_PATCH = PATCH_CENTRE + (3.5,)
INDEXES = {
    "real": [("20", None), ("10", None), ("5", None), ("2", PATCH_CENTRE + (45.0,)),
             ("1", PATCH_CENTRE + (30.0,))],
    "deep": [("0.5", DEEP_PATCH), ("0.2", DEEP_PATCH)],
}
# Where the fields of a band lie (the whole field inside the cone); None = the whole sky.
FIELD_PATCHES = {"0.2-0.45": DEEP_PATCH, "0.45-1": DEEP_PATCH,
                 "1-2": PATCH_CENTRE + (30.0,), "2-4.5": PATCH_CENTRE + (45.0,)}
DEEP_FAINT = 17.5
PASSES = ["blind", "scale", "scale5", "position"]
PASS_TITLES = {
    "blind": "Blind",
    "scale": "Scale hint, true scale",
    "scale5": "Scale hint 5 % off",
    "position": "Position hint 2° off, radius 5°",
}
# kestil-d1 is kestil_solver without binning (-D 1), the setting for small images and sharp
# stars; kestil is its default (-D 2).
SOLVERS = ["kestil", "kestil-d1", "peer"]
SOLVER_LABELS = {"kestil": "kestil_solver", "kestil-d1": "kestil_solver -D 1", "peer": "peer"}
PEER_INDEX_DIR = "/usr/share/astrometry"  # where the Debian packages put the peer's indexes


def log(text):
    print(text, flush=True)


# ---------------------------------------------------------------------------------------------
# Geometry


def angular_distance(ra1, dec1, ra2, dec2):
    """Great-circle distance of two directions, all in degrees."""
    r = math.radians
    h = (math.sin((r(dec1) - r(dec2)) / 2) ** 2
         + math.cos(r(dec1)) * math.cos(r(dec2)) * math.sin((r(ra1) - r(ra2)) / 2) ** 2)
    return math.degrees(2 * math.asin(min(1.0, math.sqrt(h))))


def offset_point(ra, dec, distance, bearing):
    """The direction `distance` degrees from (ra, dec) towards position angle `bearing`."""
    r = math.radians
    d, b, phi1 = r(distance), r(bearing), r(dec)
    phi2 = math.asin(math.sin(phi1) * math.cos(d) + math.cos(phi1) * math.sin(d) * math.cos(b))
    lam = math.atan2(math.sin(b) * math.sin(d) * math.cos(phi1),
                     math.cos(d) - math.sin(phi1) * math.sin(phi2))
    return (ra + math.degrees(lam)) % 360.0, math.degrees(phi2)


def tan_pixel_to_sky(wcs, x, y):
    """Sky direction (degrees) of FITS pixel (x, y) through the linear part of a TAN WCS."""
    u, v = x - wcs["CRPIX1"], y - wcs["CRPIX2"]
    xi = math.radians(wcs["CD1_1"] * u + wcs["CD1_2"] * v)
    eta = math.radians(wcs["CD2_1"] * u + wcs["CD2_2"] * v)
    ra0, dec0 = math.radians(wcs["CRVAL1"]), math.radians(wcs["CRVAL2"])
    den = math.cos(dec0) - eta * math.sin(dec0)
    ra = ra0 + math.atan2(xi, den)
    dec = math.atan2(math.sin(dec0) + eta * math.cos(dec0), math.hypot(xi, den))
    return math.degrees(ra) % 360.0, math.degrees(dec)


def read_fits_header(path):
    """Numeric and text cards of the first header of a FITS file."""
    cards = {}
    with open(path, "rb") as f:
        data = f.read(2880 * 20)
    for i in range(0, len(data) - 79, 80):
        card = data[i:i + 80].decode("ascii", "replace")
        key = card[:8].strip()
        if key == "END":
            break
        if card[8:10] != "= ":
            continue
        value = card[10:].split("/")[0].strip()
        try:
            cards[key] = float(value)
        except ValueError:
            cards[key] = value.strip("'").strip()
    return cards


def peer_solution(wcs_path, width, height):
    """Centre, scale (arcsec/pixel), angle and parity in kestil_solver's conventions from the
    peer's WCS file. The angle and parity follow from the CD matrix: kestil_solver writes
    CD1_1 = -s cos t, CD2_1 = s sin t, and det CD = -parity s^2 (t = angle, + 180 for parity
    -1); FITS rows run in the same order as the simulator's rows."""
    w = read_fits_header(wcs_path)
    ra, dec = tan_pixel_to_sky(w, (width + 1) / 2.0, (height + 1) / 2.0)
    det = w["CD1_1"] * w["CD2_2"] - w["CD1_2"] * w["CD2_1"]
    parity = -1 if det > 0 else 1
    theta = math.degrees(math.atan2(w["CD2_1"], -w["CD1_1"]))
    angle = theta - 180.0 if parity == -1 else theta
    return {"ra": ra, "dec": dec, "scale": math.sqrt(abs(det)) * 3600.0,
            "angle": angle % 360.0, "parity": parity}


# ---------------------------------------------------------------------------------------------
# Processes


def run_measured(cmd, stdout_path, stderr_path, limit):
    """Runs cmd in a session of its own; returns (exit status, wall seconds, peak resident
    kilobytes of the process and its waited-for children). Kills the session after `limit`
    seconds (a safety net above the solvers' own limits)."""
    with open(stdout_path, "wb") as out, \
            (open(os.devnull, "wb") if stderr_path == stdout_path else open(stderr_path, "wb")) \
            as other:
        err = out if stderr_path == stdout_path else other
        started = time.monotonic()
        p = subprocess.Popen(cmd, stdout=out, stderr=err, stdin=subprocess.DEVNULL,
                             start_new_session=True)
        killed = []

        def kill():
            killed.append(True)
            try:
                os.killpg(p.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass

        timer = threading.Timer(limit, kill)
        timer.start()
        try:
            _, status, usage = os.wait4(p.pid, 0)
        finally:
            timer.cancel()
        wall = time.monotonic() - started
        p.returncode = os.waitstatus_to_exitcode(status)
    return (-9 if killed else p.returncode), wall, usage.ru_maxrss


def check_output(cmd):
    return subprocess.run(cmd, check=True, capture_output=True, text=True).stdout


# ---------------------------------------------------------------------------------------------
# The benchmark set


def make_fields(count, seed):
    """The fixed list of fields: per band `count` fields with every random choice drawn here
    from one generator, so that the same count and seed give the same set."""
    rng = random.Random(seed)
    fields = []
    for band, low, high, source in BANDS:
        for n in range(count):
            size = low * (high / low) ** rng.random()           # geometric mean of the sides
            width = int(round(1000 * 6.0 ** rng.random()))     # 1000 .. 6000
            height = int(round(width * rng.uniform(0.66, 0.70)))  # 700 .. 4000 at the ends
            scale = size * 3600.0 / math.sqrt(width * height)  # arcsec/pixel
            patch = FIELD_PATCHES.get(band)
            if patch:
                # Uniform within the patch, the whole field inside it.
                room = patch[2] - 0.75 * size * 1.25
                r = room * math.sqrt(rng.random())
                ra, dec = offset_point(patch[0], patch[1], r, 360 * rng.random())
            else:
                ra = 360.0 * rng.random()
                dec = math.degrees(math.asin(2 * rng.random() - 1))
            f = {
                "band": band, "n": n, "source": source, "size": size,
                "width": width, "height": height, "scale": scale,
                "ra": ra, "dec": dec, "angle": 360.0 * rng.random(),
                "parity": rng.choice((1, -1)),
                "fwhm": rng.uniform(1.5, 4.0),
                "psf": rng.choice(("gaussian", "moffat")),
                "beta": rng.uniform(2.5, 4.5),
                "sky": 10 ** rng.uniform(2.3, 3.3),           # 200 .. 2000 ADU
                "read_noise": rng.uniform(3.0, 10.0),
                # Star brightness: faint enough that the catalogue's limit is reached.
                "flux10": 10 ** rng.uniform(3.5, 4.5) * (30.0 if source == "deep" else 1.0),
                # Some hot pixels: 0 to 10 per megapixel (they are 5000 to 65000 ADU bright).
                "hot_pixels": int(rng.uniform(0.0, 10.0) * width * height / 1e6),
                "cosmic_rays": rng.randint(0, 30),
                "trail": rng.random() < 0.3,
                "vignetting": rng.uniform(0.0, 0.3),
                # Radial distortion growing with the field: up to 1 % of the corner radius at
                # 30 degrees, barrel or pincushion.
                "distortion": rng.choice((1, -1)) * rng.uniform(0.5, 1.0) * 0.0003 * size,
                "seed": seed * 100000 + len(fields) + 1,
                # Hints: the scale 5 % off (either way) and a position 2 degrees off.
                "scale_off": rng.choice((0.95, 1.05)),
                "hint_bearing": 360.0 * rng.random(),
            }
            f["hint_ra"], f["hint_dec"] = offset_point(ra, dec, 2.0, f["hint_bearing"])
            fields.append(f)
    return fields


def simulate(bin_dir, field, catalog, path):
    cmd = [os.path.join(bin_dir, "tools/simulator/kestil_simulate"),
           "--catalog", catalog, "--ra", repr(field["ra"]), "--dec", repr(field["dec"]),
           "--scale", repr(field["scale"]), "--angle", repr(field["angle"]),
           "--parity", str(field["parity"]), "--width", str(field["width"]),
           "--height", str(field["height"]), "--psf", field["psf"], "--fwhm", repr(field["fwhm"]),
           "--beta", repr(field["beta"]), "--flux10", repr(field["flux10"]),
           "--sky", repr(field["sky"]), "--read-noise", repr(field["read_noise"]),
           "--hot-pixels", str(field["hot_pixels"]), "--cosmic-rays", str(field["cosmic_rays"]),
           "--vignetting", repr(field["vignetting"]), "--distortion", repr(field["distortion"]),
           "--seed", str(field["seed"]), "--format", "fits16", "--no-truth", "--output", path]
    if field["trail"]:
        cmd.append("--trail")
    subprocess.run(cmd, check=True, capture_output=True)


# ---------------------------------------------------------------------------------------------
# Indexes


def make_deep_catalog(args, work):
    """The synthetic deep catalogue of the patch (made once per work directory)."""
    path = os.path.join(work, "deep-catalog.csv")
    if not os.path.exists(path):
        ra, dec, radius = DEEP_PATCH
        check_output([os.path.join(args.bin, "tools/deep_catalog/kestil_deep_catalog"),
                      "--ra", str(ra), "--dec", str(dec), "--radius", str(radius),
                      "--faint", str(DEEP_FAINT), "--seed", str(args.seed), "--output", path])
    return path


def build_indexes(args, work):
    """Builds (or reuses) our indexes; returns {source: directory} and the build records."""
    records_path = os.path.join(work, "indexes.json")
    records = {}
    if os.path.exists(records_path):
        with open(records_path) as f:
            records = json.load(f)
    builder = os.path.join(args.bin, "tools/index_builder/kestil_build_index")
    dirs = {"real": os.path.join(work, "indexes-real"), "deep": os.path.join(work, "indexes-deep")}
    sources = {b[3] for b in BANDS if b[0] in args.bands}
    if os.path.exists(records_path):
        # Cones were recorded as lists.
        for rec in records.values():
            if rec.get("cone"):
                rec["cone"] = tuple(rec["cone"])
    catalogs = {"real": args.catalog, "deep": os.path.join(work, "deep-catalog.csv")}
    if not (any(x.startswith("kestil") for x in args.solvers) or args.identity) or args.indexes:
        return dirs, records  # nothing to build; another run's indexes are only read
    for source in sorted(sources):
        os.makedirs(dirs[source], exist_ok=True)
        for scale, cone in INDEXES[source]:
            key = "%s %s" % (source, scale)
            rec = records.get(key)
            if rec and os.path.exists(rec["path"]) and rec.get("cone") == cone \
                    and os.path.dirname(os.path.abspath(rec["path"])) == dirs[source] \
                    and not args.rebuild:
                continue
            cmd = [builder, "--quiet", "--catalog", catalogs[source], "--scale", scale,
                   "--dir", dirs[source]]
            if cone:
                cmd += ["--ra", str(cone[0]), "--dec", str(cone[1]), "--radius", str(cone[2])]
            log("building index %s ..." % key)
            out = os.path.join(work, "build.out")
            status, wall, rss = run_measured(cmd, out, out + ".err", 3 * 3600)
            with open(out) as f:
                line = f.read().strip()
            if status != 0:
                with open(out + ".err") as f:
                    sys.exit("index build failed: %s\n%s" % (" ".join(cmd), f.read()))
            path = line.split(": ")[0]
            records[key] = {"path": path, "bytes": os.path.getsize(path), "seconds": wall,
                            "peak_kb": rss, "report": line, "cone": cone}
            log("  %s" % line)
            with open(records_path, "w") as f:
                json.dump(records, f, indent=1)
    return dirs, records


# ---------------------------------------------------------------------------------------------
# Solving


def kestil_hints(field, pass_name):
    """kestil_solver's options for the hints of a pass (none for blind)."""
    if pass_name == "scale":
        return ["-s", repr(field["scale"] / 3600.0)]
    if pass_name == "scale5":
        return ["-s", repr(field["scale"] * field["scale_off"] / 3600.0)]
    if pass_name == "position":
        return ["-r", repr(field["hint_ra"] / 15.0), "-d", repr(field["hint_dec"]), "-R", "5"]
    return []


def kestil_setting(solver):
    """kestil_solver's options for one of our solvers (its binning)."""
    return ["-D", "1"] if solver == "kestil-d1" else []


def kestil_command(args, field, pass_name, index_dir, image, solver="kestil"):
    # The simulated FITS files carry their true WCS: a blind pass must not read it.
    cmd = [os.path.join(args.bin, "app/kestil_solver"), "-i", index_dir, "-f", "json",
           "-c", str(args.time_limit), "--no-header-hints"]
    return cmd + kestil_setting(solver) + kestil_hints(field, pass_name) + [image]


def peer_command(args, field, pass_name, out_dir, image, config):
    """solve-field with the equivalent hints, no plots and no output files beyond the WCS and
    the solved marker. It bins by 2 like kestil_solver's default, ignores the simulator's WCS
    cards (--no-verify) and puts the reference pixel at the image centre."""
    cmd = ["solve-field", "--no-plots", "--overwrite", "--no-verify", "--crpix-center",
           "--dir", out_dir, "--temp-dir", out_dir, "--temp-axy", "--new-fits", "none",
           "--index-xyls", "none", "--rdls", "none", "--match", "none", "--corr", "none",
           "--solved", os.path.join(out_dir, "field.solved"),
           "--wcs", os.path.join(out_dir, "field.wcs"),
           "--cpulimit", str(args.time_limit), "--downsample", "2"]
    if config:
        cmd += ["--backend-config", config]
    s = field["scale"]
    if pass_name == "scale":
        # The peer takes the hint as hard bounds and never solves with low = high: +-1 %.
        cmd += ["--scale-units", "arcsecperpix", "--scale-low", repr(s * 0.99),
                "--scale-high", repr(s * 1.01)]
    elif pass_name == "scale5":
        # The 5 % off hint with +-6 %, the narrowest range that holds the truth either way.
        h = s * field["scale_off"]
        cmd += ["--scale-units", "arcsecperpix", "--scale-low", repr(h * 0.94),
                "--scale-high", repr(h * 1.06)]
    elif pass_name == "position":
        cmd += ["--ra", repr(field["hint_ra"]), "--dec", repr(field["hint_dec"]), "--radius", "5"]
    return cmd + [image]


def judge(field, sol):
    """Adds the errors and whether the solution is right (centre within 1 % of the field size,
    parity right, scale within 1 %)."""
    err = angular_distance(sol["ra"], sol["dec"], field["ra"], field["dec"])
    sol["centre_px"] = err * 3600.0 / field["scale"]
    sol["scale_pct"] = 100.0 * (sol["scale"] / field["scale"] - 1.0)
    sol["angle_err"] = abs((sol["angle"] - field["angle"] + 180.0) % 360.0 - 180.0)
    sol["correct"] = (err < 0.01 * field["size"] and sol["parity"] == field["parity"]
                      and abs(sol["scale_pct"]) < 1.0)


def solve_kestil(args, field, pass_name, index_dir, image, scratch, solver="kestil"):
    cmd = kestil_command(args, field, pass_name, index_dir, image, solver)
    out = os.path.join(scratch, "kestil.json")
    status, wall, rss = run_measured(cmd, out, out + ".err", args.time_limit + 30)
    r = {"status": status, "wall": wall, "peak_kb": rss, "solved": False, "correct": False}
    try:
        with open(out) as f:
            doc = json.load(f)
    except (OSError, ValueError):
        with open(out + ".err", errors="replace") as f:
            r["message"] = "no JSON (exit %d): %s" % (status, f.read()[-300:])
        return r
    r["time"] = doc.get("time")
    if args.compare_bin:
        # The same solve by another build: where both solved, are the documents the same (the
        # time aside)?
        # (A build from before header hints has no --no-header-hints and reads no header.)
        other = [os.path.join(args.compare_bin, "app/kestil_solver")] + [
            a for a in cmd[1:] if a != "--no-header-hints"]
        done = subprocess.run(other, capture_output=True, text=True)
        try:
            theirs = json.loads(done.stdout)
        except ValueError:
            theirs = {}
        r["compare_solved"] = bool(theirs.get("solved"))
        theirs.pop("time", None)
        mine = dict(doc)
        mine.pop("time", None)
        r["compare_same"] = theirs == mine
    if doc.get("solved"):
        sol = {"ra": doc["ra"] * 15.0, "dec": doc["dec"], "scale": doc["scale"] * 3600.0,
               "angle": doc["angle"], "parity": doc["parity"]}
        judge(field, sol)
        r.update(sol, solved=True, index=doc.get("index"), matched=doc.get("matched_stars"))
    else:
        r["message"] = doc.get("message", "")
    return r


def solve_peer(args, field, pass_name, image, scratch, config):
    out_dir = os.path.join(scratch, "peer")
    shutil.rmtree(out_dir, ignore_errors=True)
    os.makedirs(out_dir)
    cmd = peer_command(args, field, pass_name, out_dir, image, config)
    log_path = os.path.join(scratch, "peer.log")
    # --cpulimit counts processor time; the wall-clock limit is the one that kestil_solver's
    # -c applies, so the peer is stopped at the same wall time (and a few seconds of grace).
    status, wall, rss = run_measured(cmd, log_path, log_path, args.time_limit + 5)
    r = {"status": status, "wall": wall, "peak_kb": rss, "solved": False, "correct": False}
    wcs = os.path.join(out_dir, "field.wcs")
    if os.path.exists(os.path.join(out_dir, "field.solved")) and os.path.exists(wcs):
        sol = peer_solution(wcs, field["width"], field["height"])
        judge(field, sol)
        r.update(sol, solved=True)
    else:
        r["message"] = "not solved (exit %d)" % status
    shutil.rmtree(out_dir, ignore_errors=True)
    return r


def peer_available():
    return shutil.which("solve-field") is not None and os.path.isdir(PEER_INDEX_DIR)


# ---------------------------------------------------------------------------------------------
# Identity of the fast hot paths (--identity)

IDENTITY_SUMMARY = re.compile(r"^summary: images (\d+), stars compared (\d+), solves (\d+), "
                              r"solved (\d+), differences (\d+), unreadable (\d+)", re.M)
IDENTITY_KEYS = ("images", "stars", "solves", "solved", "differences", "unreadable")
IDENTITY_SECONDS = re.compile(r"star seconds fast ([\d.]+) reference ([\d.]+), "
                              r"quad stage seconds fast ([\d.]+) reference ([\d.]+), "
                              r"solve seconds ([\d.]+)")
IDENTITY_SECONDS_KEYS = ("star_fast", "star_reference", "stage_fast", "stage_reference", "solve")


def parse_identity_output(text):
    """Counts of solve_identity's summary line and its first image line; None without a
    summary (the program did not finish)."""
    m = IDENTITY_SUMMARY.search(text)
    if not m:
        return None
    r = dict(zip(IDENTITY_KEYS, (int(v) for v in m.groups())))
    t = IDENTITY_SECONDS.search(text, m.end())
    r.update(zip(IDENTITY_SECONDS_KEYS, (float(v) for v in t.groups()) if t else (0.0,) * 5))
    lines = [line for line in text.splitlines() if line and not line.startswith("summary: ")]
    r["line"] = lines[0] if lines else ""
    return r


def identity_solvers(args):
    """Our solvers (binnings) that the identity check covers: those run, else all of them."""
    return [s for s in args.solvers if s.startswith("kestil")] or \
        [s for s in SOLVERS if s.startswith("kestil")]


def check_identity(args, field, index_dir, image, scratch):
    """solve_identity on one image: for each of our solvers' binnings its star list against the
    straightforward filter and detector, then one solve per pass with that pass's hints (no
    time limit) and the quad stages on its star list against their straightforward forms. Returns the counts; a run without a summary
    counts as unreadable."""
    cmd = [os.path.join(args.bin, "bench/identity/solve_identity"), "-i", index_dir]
    solvers = identity_solvers(args)
    for solver in solvers:
        for pass_name in args.passes:
            name = pass_name if solver == "kestil" else "%s %s" % (solver, pass_name)
            cmd += ["--solve", " ".join([name.replace(" ", "-") + ":"] + kestil_setting(solver)
                                        + kestil_hints(field, pass_name))]
    out = os.path.join(scratch, "identity.out")
    status, wall, _ = run_measured(cmd + [image], out, out + ".err",
                                   2 * len(solvers) * len(args.passes) * 600 + 600)
    with open(out, errors="replace") as f:
        r = parse_identity_output(f.read())
    if r is None:
        with open(out + ".err", errors="replace") as f:
            r = dict.fromkeys(IDENTITY_KEYS + IDENTITY_SECONDS_KEYS, 0)
            r.update(images=1, unreadable=1,
                     line="no summary (exit %d): %s" % (status, f.read()[-300:]))
    r.update(status=status, wall=wall, passes=list(args.passes), solvers=solvers)
    return r


def identity_lines(entries):
    """The results.md section of the identity check; no lines without entries."""
    if not entries:
        return []
    total = {k: sum(e.get(k, 0) for e in entries) for k in IDENTITY_KEYS + IDENTITY_SECONDS_KEYS}
    passes = [p for p in PASSES if any(p in e["passes"] for e in entries)]
    solvers = [SOLVER_LABELS[s] for s in SOLVERS
               if any(s in e.get("solvers", ["kestil"]) for e in entries)]
    lines = ["## Identity of the fast hot paths", "",
             "`solve_identity` (bench/identity) on the images of the set: the star list of the "
             "product's noise filter and detector compared byte for byte with the "
             "straightforward forms, and each image solved (%s; passes: %s; no time limit) "
             "with the quad build and quad matching of every stage compared byte for byte "
             "with their straightforward forms on the solve's star list, against every index "
             "of its scales. Times: the star lists (product against the straightforward "
             "filter and detector, wall clock), the quad stages (product against the "
             "straightforward forms, processor time) and the solves, summed; wall: the whole "
             "check." % (
                 ", ".join("`%s`" % s for s in solvers), ", ".join(passes)), "",
             "| Images | Stars compared | Solves | Solved | Differences | Unreadable "
             "| Star lists (s) | Quad stages (s) | Solves (s) | Wall (s) |",
             "|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|",
             "| %d | %d | %d | %d | %d | %d | %.1f / %.1f | %.1f / %.1f | %.1f | %.0f |" % (
                 total["images"], total["stars"], total["solves"], total["solved"],
                 total["differences"], total["unreadable"], total["star_fast"],
                 total["star_reference"], total["stage_fast"], total["stage_reference"],
                 total["solve"], sum(e["wall"] for e in entries)),
             ""]
    bad = [e for e in entries if e["differences"] or e["unreadable"]]
    if bad:
        lines += ["| Band | Field | solve_identity |", "|---|---:|---|"]
        for e in bad:
            lines.append("| %s | %d | %s |" % (e["band"], e["n"],
                                                e["line"].replace("|", "/")[:400]))
        lines.append("")
    return lines


# ---------------------------------------------------------------------------------------------
# Peer indexes for the synthetic patch


def write_fits_table(csv_path, fits_path):
    """Writes the catalogue CSV (ra,dec,mag) as a FITS binary table with columns RA, DEC, MAG
    (64-bit floats), the input the peer's index builder reads."""
    rows = []
    with open(csv_path) as f:
        next(f)
        for line in f:
            ra, dec, mag = line.split(",")
            rows.append((float(ra), float(dec), float(mag)))

    def header(cards):
        text = "".join(c.ljust(80)[:80] for c in cards + ["END"])
        return (text + " " * (-len(text) % 2880)).encode("ascii")

    def card(key, value, quote=False):
        v = "'%-8s'" % value if quote else "%20s" % value
        return "%-8s= %s" % (key, v)

    primary = header([card("SIMPLE", "T"), card("BITPIX", "8"), card("NAXIS", "0"),
                      card("EXTEND", "T")])
    ext = header([card("XTENSION", "BINTABLE", True), card("BITPIX", "8"), card("NAXIS", "2"),
                  card("NAXIS1", "24"), card("NAXIS2", str(len(rows))), card("PCOUNT", "0"),
                  card("GCOUNT", "1"), card("TFIELDS", "3"),
                  card("TTYPE1", "RA", True), card("TFORM1", "D", True),
                  card("TTYPE2", "DEC", True), card("TFORM2", "D", True),
                  card("TTYPE3", "MAG", True), card("TFORM3", "D", True)])
    import struct
    body = b"".join(struct.pack(">ddd", *r) for r in rows)
    body += b"\0" * (-len(body) % 2880)
    with open(fits_path, "wb") as f:
        f.write(primary + ext + body)


def build_peer_deep_indexes(work, records):
    """Peer indexes of the synthetic deep patch (the peer's own builder, quad presets 0 to 7:
    quads of 2 to 30 arcminutes), so that the small bands are compared on the same sky; the
    returned backend configuration lists only them."""
    directory = os.path.join(work, "peer-indexes-deep")
    config = os.path.join(directory, "backend.cfg")
    if os.path.exists(config):
        return config
    os.makedirs(directory, exist_ok=True)
    table = os.path.join(directory, "deep.fits")
    write_fits_table(os.path.join(work, "deep-catalog.csv"), table)
    lines = ["cpulimit 300"]
    total_seconds, total_bytes = 0.0, 0
    for preset in range(8):
        out = os.path.join(directory, "index-deep-%02d.fits" % preset)
        cmd = ["build-astrometry-index", "-i", table, "-e", "1", "-o", out, "-P", str(preset),
               "-A", "RA", "-D", "DEC", "-S", "MAG", "-E", "-M", "-t", directory,
               "-I", str(900 + preset)]
        log("building peer index preset %d ..." % preset)
        status, wall, _ = run_measured(cmd, out + ".log", out + ".log", 3600)
        if status != 0:
            sys.exit("peer index build failed: %s (see %s.log)" % (" ".join(cmd), out))
        total_seconds += wall
        total_bytes += os.path.getsize(out)
        lines.append("index %s" % out)
    os.remove(table)
    records["peer deep 0-7"] = {"path": directory, "bytes": total_bytes,
                                "seconds": total_seconds, "report": "8 files", "cone": DEEP_PATCH}
    with open(os.path.join(work, "indexes.json"), "w") as f:
        json.dump(records, f, indent=1)
    with open(config, "w") as f:
        f.write("\n".join(lines) + "\n")
    return config


# ---------------------------------------------------------------------------------------------
# Report


def percentile(values, q):
    """Nearest-rank percentile (q in 0..100) of a non-empty list."""
    v = sorted(values)
    return v[max(0, min(len(v) - 1, int(math.ceil(q / 100.0 * len(v))) - 1))]


def summarise(runs):
    s = {"count": len(runs), "correct": sum(1 for r in runs if r["correct"]),
         "wrong": sum(1 for r in runs if r["solved"] and not r["correct"])}
    good = [r for r in runs if r["correct"]]
    times = [r["wall"] for r in runs]
    s["rate"] = 100.0 * s["correct"] / len(runs) if runs else float("nan")
    s["centre"] = statistics.median(r["centre_px"] for r in good) if good else None
    s["scale"] = statistics.median(abs(r["scale_pct"]) for r in good) if good else None
    s["median"] = statistics.median(times) if times else None
    s["p90"] = percentile(times, 90) if times else None
    s["solved_median"] = statistics.median(r["wall"] for r in good) if good else None
    s["peak_mb"] = max(r["peak_kb"] for r in runs) / 1024.0 if runs else None
    return s


def read_jsonl(path):
    """The records of a JSON-lines file; none when it does not exist."""
    if not os.path.exists(path):
        return []
    with open(path) as f:
        return [json.loads(line) for line in f if line.strip()]


def fmt(value, form, missing="–"):
    return missing if value is None else form % value


def write_report(args, work, runs, records, machine):
    lines = ["# Solve rate and speed: kestil_solver and the peer", ""]
    # The command without the machine's paths (build, work and catalogue directories).
    shown, skip = [], False
    for a in args.run_argv:
        if skip:
            skip = False
        elif a in ("--bin", "--work", "--catalog", "--results"):
            skip = True
        elif not a.startswith(("--bin=", "--work=", "--catalog=", "--results=")):
            shown.append(a)
    commands = " ".join(shown).split(" + ")
    lines.append("Made by %s on %s." % (
        ", then ".join("`bench/solve_rate/run.sh %s`" % c for c in commands), machine))
    lines.append("")
    lines.append("Rate: right solutions (centre within 1 %% of the field size, parity right, "
                 "scale within 1 %%) of all fields; wrong solutions in parentheses. Centre error "
                 "in pixels and scale error (absolute, %%) are medians over the right solutions. "
                 "Times are wall-clock seconds of the whole process (reading the image "
                 "included) over all runs, failures included (they run to the time limit of "
                 "%d s); \"solved\" is the median over the right solutions alone. Peak memory: "
                 "the largest resident size of the band (the peer's includes its child "
                 "processes; ours includes the pages of the mapped index that were touched). "
                 "Ratio: the peer's median time over ours on the fields that both ran (above "
                 "1: we are faster)."
                 % args.time_limit)
    lines.append("")
    bands = [b[0] for b in BANDS if b[0] in args.bands]
    for pass_name in PASSES:
        rows = [r for r in runs if r["pass"] == pass_name]
        if not rows:
            continue
        lines.append("## %s" % PASS_TITLES[pass_name])
        lines.append("")
        lines.append("| Band (°) | Solver | Right | Rate | Centre (px) | Scale (%) | Median (s) "
                     "| 90th pct (s) | Solved median (s) | Peak (MB) | Ratio |")
        lines.append("|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
        for band in bands:
            stats = {}
            for solver in SOLVERS:
                sel = [r for r in rows if r["band"] == band and r["solver"] == solver]
                if sel:
                    stats[solver] = summarise(sel)
            for solver in SOLVERS:
                if solver not in stats:
                    continue
                s = stats[solver]
                ratio = None
                if solver == "peer" and "kestil" in stats:  # against the default setting
                    # Over the fields that both solvers ran.
                    sel = [r for r in rows if r["band"] == band]
                    common = ({r["n"] for r in sel if r["solver"] == "peer"}
                              & {r["n"] for r in sel if r["solver"] == "kestil"})
                    times = {x: [r["wall"] for r in sel if r["solver"] == x and r["n"] in common]
                             for x in SOLVERS}
                    if common:
                        ratio = statistics.median(times["peer"]) / \
                            statistics.median(times["kestil"])
                right = "%d/%d" % (s["correct"], s["count"])
                if s["wrong"]:
                    right += " (%d)" % s["wrong"]
                lines.append("| %s | %s | %s | %.0f %% | %s | %s | %s | %s | %s | %s | %s |" % (
                    band, SOLVER_LABELS[solver], right, s["rate"],
                    fmt(s["centre"], "%.2f"), fmt(s["scale"], "%.4f"),
                    fmt(s["median"], "%.2f"), fmt(s["p90"], "%.2f"),
                    fmt(s["solved_median"], "%.2f"), fmt(s["peak_mb"], "%.0f"),
                    fmt(ratio, "%.2f")))
        lines.append("")
    lines += identity_lines([e for e in read_jsonl(os.path.join(work, "identity.jsonl"))
                             if (e["count"], e["seed"]) == (args.count, args.seed)])
    lines.append("## Indexes")
    lines.append("")
    lines.append("| Index | Sky | Build (s) | Peak (MB) | Size (MB) | Builder's report |")
    lines.append("|---|---|---:|---:|---:|---|")
    for key in sorted(records, key=lambda k: (k.split()[0], float(k.split()[-1].split("-")[0]))):
        rec = records[key]
        report = rec["report"].split(": ", 1)[-1]
        cone = rec.get("cone")
        sky = "whole sky" if not cone else "%g° around %g, %+g" % (cone[2], cone[0], cone[1])
        peak = "%.0f" % (rec["peak_kb"] / 1024.0) if rec.get("peak_kb") else "–"
        lines.append("| %s | %s | %.1f | %s | %.1f | %s |" % (
            key, sky, rec["seconds"], peak, rec["bytes"] / 1e6, report))
    peer_bytes = sum(os.path.getsize(os.path.join(PEER_INDEX_DIR, n))
                     for n in os.listdir(PEER_INDEX_DIR)) if os.path.isdir(PEER_INDEX_DIR) else 0
    if peer_bytes:
        lines.append("| peer Tycho-2 07-19 (Debian packages) | whole sky | – | – | %.1f | "
                     "as installed |"
                     % (peer_bytes / 1e6))
    lines.append("")
    failures = [r for r in runs if not r["correct"]]
    if failures:
        lines.append("## Runs without a right solution")
        lines.append("")
        lines.append("| Band | Field | Pass | Solver | Size (°) | Image | Result |")
        lines.append("|---|---:|---|---|---:|---|---|")
        for r in failures:
            what = r.get("message", "")
            if r["solved"]:
                what = "wrong: centre %.1f px, scale %+.2f %%, parity %d" % (
                    r["centre_px"], r["scale_pct"], r["parity"])
            lines.append("| %s | %d | %s | %s | %.2f | %d x %d | %s (%.1f s) |" % (
                r["band"], r["n"], r["pass"], r["solver"], r["size"], r["width"], r["height"],
                what.replace("|", "/").replace("\n", " ")[:120], r["wall"]))
        lines.append("")
    with open(os.path.join(args.results, "results.md"), "w") as f:
        f.write("\n".join(lines))
    log("wrote %s" % os.path.join(args.results, "results.md"))


def write_plot(args, work, runs):
    """Solve rate and median time per band, both solvers, every pass (gnuplot, PNG)."""
    if not runs:
        return
    if not shutil.which("gnuplot"):
        log("gnuplot not installed: no plot")
        return
    bands = [b[0] for b in BANDS if b[0] in args.bands]
    data = os.path.join(work, "plot.dat")
    columns = [(p, s) for p in PASSES for s in SOLVERS]
    with open(data, "w") as f:
        f.write("# band " + " ".join("%s_%s_rate %s_%s_time" % (p, s, p, s)
                                     for p, s in columns) + "\n")
        for i, band in enumerate(bands):
            values = []
            for p, s in columns:
                sel = [r for r in runs if r["band"] == band and r["pass"] == p
                       and r["solver"] == s]
                if sel:
                    st = summarise(sel)
                    values += ["%.2f" % st["rate"], "%.4f" % st["median"]]
                else:
                    values += ["NaN", "NaN"]
            f.write("%d \"%s\" %s\n" % (i, band, " ".join(values)))
    colours = {"blind": "#1b5e9e", "scale": "#2e8b3a", "scale5": "#b8860b", "position": "#a0304a"}
    plots_rate, plots_time = [], []
    for k, (p, s) in enumerate(columns):
        if not any(r["pass"] == p and r["solver"] == s for r in runs):
            continue
        dash, point = {"kestil": (1, 7), "kestil-d1": (4, 5), "peer": (2, 6)}[s]
        style = "lw 2 dt %d pt %d lc rgb '%s'" % (dash, point, colours[p])
        title = "%s %s" % (s, p)
        plots_rate.append("'%s' using 1:%d:xtic(2) with linespoints %s title '%s'"
                          % (data, 3 + 2 * k, style, title))
        plots_time.append("'%s' using 1:%d:xtic(2) with linespoints %s notitle"
                          % (data, 4 + 2 * k, style))
    png = os.path.join(args.results, "solve_rate.png")
    script = "\n".join([
        "set terminal pngcairo size 900,800 font 'sans,10'",
        "set output '%s'" % png,
        "set multiplot layout 2,1",
        "set grid",
        "set lmargin at screen 0.09",
        "set rmargin at screen 0.78",
        "set xrange [-0.3:%f]" % (len(bands) - 0.7),
        "set key outside right",
        "set xlabel 'field size (degrees)'",
        "set ylabel 'solve rate (%)'",
        "set yrange [0:105]",
        "set title 'Right solutions per band'",
        "plot " + ", ".join(plots_rate),
        "set ylabel 'median wall time (s)'",
        "set logscale y",
        "set yrange [*:*]",
        "set title 'Median time per band (all runs)'",
        "plot " + ", ".join(plots_time),
        "unset multiplot",
    ])
    subprocess.run(["gnuplot"], input=script, text=True, check=True)
    log("wrote %s" % png)


# ---------------------------------------------------------------------------------------------


def machine_text():
    cpu = "unknown processor"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    load = os.getloadavg()[0]
    return "%s, %d cores, load %.1f at the end, %s" % (
        cpu, os.cpu_count() or 0, load, time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()))


def keep_recorded(runs, args):
    """The recorded runs that this run keeps: with --resume all of them (the missing ones are
    done next), else all but those it is about to do again (its solvers, bands, passes and
    --numbers)."""
    if args.resume:
        return list(runs)
    return [r for r in runs
            if r["solver"] not in args.solvers or r["band"] not in args.bands
            or r["pass"] not in args.passes
            or (args.numbers is not None and r["n"] not in args.numbers)]


def main():
    default_catalog = os.environ.get(
        "KESTIL_CATALOG",
        os.path.join(ROOT, "..", "shared", "data", "catalogs", "stars-merged.csv.gz"))
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--quick", action="store_true", help="5 fields per band (default 50)")
    p.add_argument("--fields", type=int, help="fields per band")
    p.add_argument("--seed", type=int, default=7, help="seed of the benchmark set (default 7)")
    p.add_argument("--catalog", default=default_catalog,
                   help="star catalogue CSV (default: $KESTIL_CATALOG or "
                        "../shared/data/catalogs/stars-merged.csv.gz beside the repository)")
    p.add_argument("--bin", default=os.path.join(ROOT, "build", "release"),
                   help="build directory with the project's programs (default build/release)")
    p.add_argument("--work", default=os.path.join(ROOT, "build", "solve_rate"),
                   help="directory for indexes, images and results (default build/solve_rate)")
    p.add_argument("--bands", default=",".join(b[0] for b in BANDS),
                   help="comma separated bands to run (default all)")
    p.add_argument("--passes", default=",".join(PASSES), help="comma separated passes")
    p.add_argument("--solvers", default="kestil,kestil-d1,peer",
                   help="comma separated: kestil (default binning), kestil-d1 (-D 1), peer")
    p.add_argument("--time-limit", type=int,
                   help="wall-clock seconds per solve for both solvers (default 180, 60 with "
                        "--quick)")
    p.add_argument("--rebuild", action="store_true", help="rebuild our indexes")
    p.add_argument("--numbers", type=lambda t: [int(x) for x in t.split(",")],
                   help="only the fields of these numbers (0 = first) of each band, e.g. 0,1,2 "
                        "(with --resume the others can follow later)")
    p.add_argument("--resume", action="store_true",
                   help="keep the runs recorded for the same set and do only the missing ones")
    p.add_argument("--results", default=HERE,
                   help="directory for results.md and solve_rate.png (default: this folder)")
    p.add_argument("--identity", action="store_true",
                   help="also check every image with bench/identity/solve_identity (fast hot "
                        "paths against the straightforward forms); --solvers '' for the check "
                        "alone")
    p.add_argument("--indexes",
                   help="with --identity: use the indexes and deep catalogue of this earlier "
                        "work directory (read only) instead of building them")
    p.add_argument("--compare-bin",
                   help="another build folder: solve each image with it too and record whether "
                        "its JSON document (time aside) is the same")
    p.add_argument("--report-only", action="store_true",
                   help="redraw the table and plot from the runs recorded in the work directory")
    args = p.parse_args()
    args.argv = sys.argv[1:]
    args.bands = [b for b in args.bands.split(",") if b]
    args.passes = [x for x in args.passes.split(",") if x]
    args.solvers = [x for x in args.solvers.split(",") if x]
    unknown = (set(args.bands) - {b[0] for b in BANDS}) | (set(args.passes) - set(PASSES)) | \
        (set(args.solvers) - set(SOLVERS))
    if unknown:
        p.error("unknown band, pass or solver: %s" % ", ".join(sorted(unknown)))
    count = args.fields if args.fields is not None else 5 if args.quick else 50
    args.count = count
    if args.time_limit is None:
        args.time_limit = 60 if args.quick else 180
    work = os.path.abspath(args.work)
    os.makedirs(work, exist_ok=True)
    runs_path = os.path.join(work, "runs.jsonl")

    meta_path = os.path.join(work, "meta.json")
    if args.report_only:
        with open(meta_path) as f:
            meta = json.load(f)
        args.run_argv, args.time_limit = meta["argv"], meta["time_limit"]
        args.count, args.seed = meta["count"], meta["seed"]
        if not meta["peer"]:
            args.solvers = ["kestil"]
        with open(runs_path) as f:
            runs = [json.loads(line) for line in f if line.strip()]
        with open(os.path.join(work, "indexes.json")) as f:
            records = json.load(f)
        write_report(args, work, runs, records, machine_text())
        write_plot(args, work, runs)
        return

    if not os.path.exists(args.catalog):
        p.error("catalogue not found: %s (give --catalog or KESTIL_CATALOG)" % args.catalog)
    # The simulator and the builders are needed for either solver.
    for tool in ("app/kestil_solver", "tools/simulator/kestil_simulate",
                 "tools/index_builder/kestil_build_index", "tools/deep_catalog/kestil_deep_catalog"):
        if not os.access(os.path.join(args.bin, tool), os.X_OK):
            p.error("%s not built in %s (cmake --preset release && cmake --build --preset "
                    "release --target kestil_solver kestil_simulate kestil_build_index "
                    "kestil_deep_catalog)" % (tool, args.bin))
    if args.identity and not os.access(
            os.path.join(args.bin, "bench/identity/solve_identity"), os.X_OK):
        p.error("solve_identity not built in %s (cmake --build --preset release --target "
                "solve_identity)" % args.bin)
    # Indexes and the deep catalogue: this work directory's, or those of --indexes (read only).
    args.index_work = os.path.abspath(args.indexes) if args.indexes else work
    if args.indexes and not os.path.exists(os.path.join(args.index_work, "indexes.json")):
        p.error("no indexes.json in %s" % args.index_work)
    if "peer" in args.solvers and not peer_available():
        log("peer not installed (bench/solve_rate/install-peer.sh): kestil_solver only")
        args.solvers = [s for s in args.solvers if s != "peer"]

    if any(b[3] == "deep" and b[0] in args.bands for b in BANDS) and not args.indexes:
        make_deep_catalog(args, work)
    dirs, records = build_indexes(args, args.index_work)
    peer_deep_config = None
    if "peer" in args.solvers and any(b[3] == "deep" and b[0] in args.bands for b in BANDS):
        peer_deep_config = build_peer_deep_indexes(work, records)

    # Runs of a solver not run this time are kept from the previous run of the same set, so
    # that one solver can be measured again (after a change) beside the other's recorded runs.
    kept = []
    meta = {"argv": args.argv, "time_limit": args.time_limit, "count": count, "seed": args.seed}
    if os.path.exists(meta_path) and os.path.exists(runs_path):
        with open(meta_path) as f:
            old = json.load(f)
        if all(old.get(k) == meta[k] for k in ("time_limit", "count", "seed")):
            with open(runs_path) as f:
                kept = [json.loads(line) for line in f if line.strip()]
            kept = keep_recorded(kept, args)
            if kept:
                meta["argv"] = old["argv"] + ["+"] + args.argv
    args.run_argv = meta["argv"]
    meta["peer"] = "peer" in args.solvers or any(r["solver"] == "peer" for r in kept)
    with open(meta_path, "w") as f:
        json.dump(meta, f)
    fields = [f for f in make_fields(count, args.seed) if f["band"] in args.bands
              and (args.numbers is None or f["n"] in args.numbers)]
    scratch = os.path.join(work, "scratch")
    os.makedirs(scratch, exist_ok=True)
    image = os.path.join(scratch, "field.fits")
    runs = []
    # Identity checks of another set are dropped, those of fields not checked again kept.
    identity_path = os.path.join(work, "identity.jsonl")
    identity = [e for e in read_jsonl(identity_path)
                if (e["count"], e["seed"]) == (count, args.seed)
                and not (args.identity and (e["band"], e["n"]) in
                         {(f["band"], f["n"]) for f in fields})]
    with open(runs_path, "w") as out:
        for r in kept:
            out.write(json.dumps(r) + "\n")
        out.flush()
        done = {(r["band"], r["n"], r["pass"], r["solver"]) for r in kept}
        pause = os.path.join(work, "pause")
        for f in fields:
            todo = [(p, s) for p in args.passes for s in args.solvers
                    if (f["band"], f["n"], p, s) not in done]
            if not todo and not args.identity:
                continue
            catalog = args.catalog if f["source"] == "real" else \
                os.path.join(args.index_work, "deep-catalog.csv")
            simulate(args.bin, f, catalog, image)
            for pass_name, solver in todo:
                # A file "pause" in the work directory holds the run between solves (to
                # measure something else on the machine meanwhile).
                while os.path.exists(pause):
                    time.sleep(2)
                if solver.startswith("kestil"):
                    r = solve_kestil(args, f, pass_name, dirs[f["source"]], image, scratch,
                                     solver)
                else:
                    config = peer_deep_config if f["source"] == "deep" else None
                    r = solve_peer(args, f, pass_name, image, scratch, config)
                r.update({k: f[k] for k in ("band", "n", "size", "width", "height")},
                         solver=solver, **{"pass": pass_name})
                runs.append(r)
                out.write(json.dumps(r) + "\n")
                out.flush()
                verdict = "right" if r["correct"] else "WRONG" if r["solved"] else "failed"
                detail = ("centre %.2f px, scale %+.4f %%" % (r["centre_px"], r["scale_pct"])
                          if r["solved"] else r.get("message", ""))
                log("%-8s %2d %-8s %-6s %6.2f° %4dx%-4d %-6s %7.2f s %5.0f MB  %s" % (
                    f["band"], f["n"], pass_name, solver, f["size"], f["width"],
                    f["height"], verdict, r["wall"], r["peak_kb"] / 1024.0, detail[:90]))
            if args.identity:
                e = check_identity(args, f, dirs[f["source"]], image, scratch)
                e.update({k: f[k] for k in ("band", "n")}, count=count, seed=args.seed)
                identity.append(e)
                with open(identity_path, "w") as j:
                    j.writelines(json.dumps(x) + "\n" for x in identity)
                log("%-8s %2d identity %s %6.1f s  %s" % (
                    f["band"], f["n"], "DIFFERENT" if e["differences"] or e["unreadable"]
                    else "same", e["wall"], e["line"][:200]))
            os.remove(image)
    runs = kept + runs
    write_report(args, work, runs, records, machine_text())
    write_plot(args, work, runs)
    if args.identity and any(e["differences"] or e["unreadable"] for e in identity):
        sys.exit("identity check: differences found (see results.md)")


if __name__ == "__main__":
    main()
