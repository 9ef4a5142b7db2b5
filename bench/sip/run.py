#!/usr/bin/env python3
"""Corner accuracy of the solved plate without and with distortion terms, per band of field size.

Simulates the fields of the solve-rate benchmark set (bench/solve_rate: same generator, seed and
radial distortion, growing with the field to 1 % of the corner radius at 30 degrees) in the bands
2-4.5, 4.5-10, 10-20 and 20-30 degrees, solves each with sip_bench (the library with details:
TAN only, then with terms up to order 3), with the default binning by 2 and without binning
(-D 1), and compares the sky positions of the image's four corners with the simulator's truth,
in pixels. Writes results.md and one JSON line per field (runs.jsonl in the work directory).

Standard library only; the project's programs are run as commands. See README.md.
"""
import argparse
import json
import math
import os
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "bench", "common"))
import solve_rate_module  # noqa: E402  (bench/common/solve_rate_module.py)
BANDS = ["2-4.5", "4.5-10", "10-20", "20-30"]
# The default binning (by 2, which the extended search may undo for small images), and none.
BINNINGS = {"D2": None, "D1": 1}


def log(text):
    print(text, flush=True)


def build_indexes(sr, args, index_dir):
    """The real-catalogue indexes of the solve-rate benchmark (whole sky from 5 degrees up, cones
    below), built once into index_dir."""
    os.makedirs(index_dir, exist_ok=True)
    builder = os.path.join(args.bin, "tools", "index_builder", "kestil_build_index")
    for scale, cone in sr.INDEXES["real"]:
        label = "%02d" % int(scale)
        if any(name.startswith("index-%sdeg" % label) for name in os.listdir(index_dir)):
            continue
        cmd = [builder, "--quiet", "--catalog", args.catalog, "--scale", scale, "--dir", index_dir]
        if cone:
            cmd += ["--ra", str(cone[0]), "--dec", str(cone[1]), "--radius", str(cone[2])]
        log("building index %s ..." % scale)
        subprocess.run(cmd, check=True)


def true_corners(sr, f):
    """Sky positions (degrees) of the image's corners by the simulator's model: the linear WCS
    about the centre (its orientation convention) after undoing the radial distortion
    r' = r (1 + k (r / rc)^2), rc = the half diagonal; the corners lie at r' = rc."""
    w, h, k = f["width"], f["height"], f["distortion"]
    s = f["scale"] / 3600.0
    p = f["parity"]
    th = math.radians(f["angle"] + 180.0 if p == -1 else f["angle"])
    wcs = {"CRPIX1": (w + 1) / 2.0, "CRPIX2": (h + 1) / 2.0, "CRVAL1": f["ra"],
           "CRVAL2": f["dec"], "CD1_1": -s * math.cos(th), "CD1_2": s * math.sin(th) * p,
           "CD2_1": s * math.sin(th), "CD2_2": s * math.cos(th) * p}
    rc = math.hypot(w, h) / 2.0
    r = rc  # solve r (1 + k (r / rc)^2) = rc by Newton steps
    for _ in range(50):
        r -= (r * (1 + k * (r / rc) ** 2) - rc) / (1 + 3 * k * (r / rc) ** 2)
    corners = []
    for x, y in ((0.5, 0.5), (w + 0.5, 0.5), (0.5, h + 0.5), (w + 0.5, h + 0.5)):
        u, v = x - wcs["CRPIX1"], y - wcs["CRPIX2"]
        corners.append(sr.tan_pixel_to_sky(wcs, wcs["CRPIX1"] + u * r / rc,
                                           wcs["CRPIX2"] + v * r / rc))
    return corners


def corner_errors(sr, f, plate, truth):
    """Pixels between the plate's corners and the truth's."""
    return [sr.angular_distance(a[0], a[1], b[0], b[1]) * 3600.0 / f["scale"]
            for a, b in zip(plate["corners"], truth)]


def solve(sr, args, f, index_dir, image, truth, downsample):
    """Both plates of one binning: corner errors and what the solve reports."""
    cmd = [os.path.join(args.bin, "bench", "sip", "sip_bench"), "--index-dir", index_dir,
           "--cpu-limit", str(args.time_limit)]
    if downsample:
        cmd += ["--downsample", str(downsample)]
    out = subprocess.run(cmd + [image], check=True, capture_output=True, text=True).stdout
    doc = json.loads(out.strip().splitlines()[-1])
    result = {}
    for name in ("tan", "sip"):
        plate = doc[name]
        result[name] = {"solved": plate["solved"]}
        if plate["solved"]:
            errors = corner_errors(sr, f, plate, truth)
            result[name].update(corners_px=errors, worst_px=max(errors), order=plate["order"],
                                matches=plate["matches"], stars=plate["stars"],
                                index_stars=plate["index_stars"],
                                rms_linear=plate["rms_linear"], rms_fitted=plate["rms_fitted"],
                                seconds=plate["seconds"])
    return result


def run_field(sr, args, f, index_dir, scratch):
    image = os.path.join(scratch, "field.fits")
    sr.simulate(args.bin, f, args.catalog, image)
    truth = true_corners(sr, f)
    record = {"band": f["band"], "n": f["n"], "size": f["size"], "width": f["width"],
              "height": f["height"], "fwhm": f["fwhm"], "distortion": f["distortion"],
              "corner_distortion_px": abs(f["distortion"]) * math.hypot(f["width"], f["height"]) / 2}
    for binning in BINNINGS:
        record[binning] = solve(sr, args, f, index_dir, image, truth, BINNINGS[binning])
    return record


def band_rows(records, binning):
    rows = []
    for band in BANDS:
        rs = [r for r in records if r["band"] == band]
        if not rs:
            continue
        both = [r[binning] for r in rs if r[binning]["tan"]["solved"] and r[binning]["sip"]["solved"]]
        tan = [b["tan"]["worst_px"] for b in both]
        sip = [b["sip"]["worst_px"] for b in both]
        orders = [sum(1 for b in both if b["sip"]["order"] == o) for o in (0, 2, 3)]
        # Worse: the worst corner further off by more than 0.01 pixel.
        worse = sum(1 for b in both if b["sip"]["worst_px"] > b["tan"]["worst_px"] + 0.01)
        within = sum(1 for v in sip if v <= 0.5)
        dist = [r["corner_distortion_px"] for r in rs]
        cell = lambda v: "%.2f / %.2f" % (statistics.median(v), max(v)) if v else "-"
        rows.append("| %s | %s | %d / %d | %.1f to %.1f | %s | %s | %d | %d/%d/%d | %d |" % (
            band, "-D 1" if binning == "D1" else "default", len(both), len(rs), min(dist),
            max(dist), cell(tan), cell(sip), within, *orders, worse))
    return rows


def report(records, path, args):
    lines = ["# Corner accuracy without and with distortion terms", "",
             "Fields of the solve-rate set (seed %d, %d per band), solved with details; per field the "
             "largest distance of the four corners from the simulator's truth, pixels: its median "
             "and maximum over the band." % (args.seed, args.fields), "",
             "| band (°) | binning | solved | corner distortion (px) | TAN: median / max | "
             "with terms: median / max | within 0.5 px | models TAN/2/3 | worse with terms |",
             "| --- | --- | --- | --- | --- | --- | --- | --- | --- |"]
    for binning in BINNINGS:
        lines += band_rows(records, binning)
    lines += ["", "Per field: size (°), image (pixels), star FWHM (pixels), distortion at the "
              "corner (pixels); per binning the matches, the rms of TAN and with terms (pixels), "
              "the order of the terms and the worst corner TAN / with terms (pixels).", "",
              "| band | n | size | image | FWHM | corner dist. | binning | matches | rms | order | "
              "worst corner |",
              "| --- | --- | --- | --- | --- | --- | --- | --- | --- | --- | --- |"]
    for r in records:
        for binning in BINNINGS:
            t, s = r[binning]["tan"], r[binning]["sip"]
            head = "| %s | %d | %.1f | %dx%d | %.1f | %.1f | %s |" % (
                r["band"], r["n"], r["size"], r["width"], r["height"], r["fwhm"],
                r["corner_distortion_px"], "-D 1" if binning == "D1" else "default")
            if not (t["solved"] and s["solved"]):
                lines.append(head + " unsolved | | | |")
                continue
            lines.append(head + " %d | %.2f / %.2f | %d | %.2f / %.2f |" % (
                s["matches"], s["rms_linear"], s["rms_fitted"], s["order"], t["worst_px"],
                s["worst_px"]))
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")


def main():
    default_catalog = os.environ.get(
        "KESTIL_CATALOG",
        os.path.join(ROOT, "..", "shared", "data", "catalogs", "stars-merged.csv.gz"))
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--fields", type=int, default=8, help="fields per band (default 8)")
    p.add_argument("--seed", type=int, default=7, help="seed of the field set (default 7)")
    p.add_argument("--catalog", default=default_catalog,
                   help="star catalogue CSV (default: $KESTIL_CATALOG or "
                        "../shared/data/catalogs/stars-merged.csv.gz beside the repository)")
    p.add_argument("--bin", default=os.path.join(ROOT, "build", "release"),
                   help="build directory with the project's programs (default build/release)")
    p.add_argument("--work", default=os.path.join(ROOT, "build", "sip_bench"),
                   help="directory for indexes and images (default build/sip_bench)")
    p.add_argument("--indexes", help="an existing directory of the real-catalogue indexes")
    p.add_argument("--bands", default=",".join(BANDS), help="comma separated bands")
    p.add_argument("--time-limit", type=int, default=60, help="seconds per solve (default 60)")
    p.add_argument("--results", default=os.path.join(HERE, "results.md"),
                   help="the Markdown table (default bench/sip/results.md)")
    args = p.parse_args()
    sr = solve_rate_module.load()
    os.makedirs(args.work, exist_ok=True)
    index_dir = args.indexes or os.path.join(args.work, "indexes")
    if not args.indexes:
        build_indexes(sr, args, index_dir)
    bands = args.bands.split(",")
    fields = [f for f in sr.make_fields(args.fields, args.seed) if f["band"] in bands]
    records = []
    with open(os.path.join(args.work, "runs.jsonl"), "w") as out:
        for f in fields:
            r = run_field(sr, args, f, index_dir, args.work)
            records.append(r)
            out.write(json.dumps(r) + "\n")
            out.flush()
            text = []
            for binning in BINNINGS:
                t, s = r[binning]["tan"], r[binning]["sip"]
                text.append("%s TAN %s terms %s" % (
                    binning, "%.2f" % t["worst_px"] if t["solved"] else "unsolved",
                    "%.2f (order %d, %d matches)" % (s["worst_px"], s["order"], s["matches"])
                    if s["solved"] else "unsolved"))
            log("%-7s %2d %5.1f deg %dx%d  corner distortion %5.1f px  %s" % (
                r["band"], r["n"], r["size"], r["width"], r["height"], r["corner_distortion_px"],
                "  ".join(text)))
    report(records, args.results, args)
    log("wrote %s" % args.results)


if __name__ == "__main__":
    sys.exit(main())
