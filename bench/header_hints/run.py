#!/usr/bin/env python3
"""Solve time with the hints of a FITS header against the same hints on the command line.

Renders a fixed set of simulated FITS fields (kestil_simulate: its header carries the true WCS)
and a second copy of each whose WCS cards are replaced by what a capture program writes
(OBJCTRA/OBJCTDEC pointing up to 1 degree off the centre, FOCALLEN/XPIXSZ). Solves every file
with kestil_solver reading the header hints, and with --no-header-hints plus the same hints as
--ra/--dec/--radius/-s (the radius is the one the solver chose for the header, read from its
progress), alternating the order of the two, and once blind (--no-header-hints, no hint) for
scale. Writes results.md beside this script and one JSON line per run (runs.jsonl in the
work directory). Standard library only; the project's programs are run as commands.
"""
import argparse
import json
import math
import os
import random
import re
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "bench", "common"))
import solve_rate_module  # noqa: E402  (bench/common/solve_rate_module.py)
PIXEL_MICRONS = 3.76            # XPIXSZ of the capture copies
ARCSEC_PER_MICRON_PER_MM = 206.264806247
WCS_KEYS = ("CTYPE1", "CTYPE2", "EQUINOX", "CRVAL1", "CRVAL2", "CRPIX1", "CRPIX2",
            "CD1_1", "CD1_2", "CD2_1", "CD2_2")


geometry = solve_rate_module.load()  # the sky geometry of the solve-rate benchmark
log, angular_distance, offset_point = (geometry.log, geometry.angular_distance,
                                       geometry.offset_point)


def sexagesimal(value, sign):
    """'hh mm ss.ss' (or '+dd mm ss.s' with sign) and the value it stands for."""
    negative = value < 0
    digits = 2 if not sign else 1
    total = round(abs(value) * 3600, digits)
    whole, rest = divmod(total, 3600)
    minutes, seconds = divmod(rest, 60)
    text = "%02d %02d %0*.*f" % (whole, minutes, 3 + digits, digits, seconds)
    if sign:
        text = ("-" if negative else "+") + text
    return text, (-1 if negative else 1) * total / 3600


def card(key, value):
    return ("%-8s= %s" % (key, value)).ljust(80).encode("ascii")


def capture_copy(source, target, pointing, scale_arcsec):
    """The file with its WCS cards replaced by capture cards. Result: the hints they give."""
    data = open(source, "rb").read()
    cards, at = [], 0
    while True:
        c = data[at:at + 80]
        at += 80
        if c.startswith(b"END     "):
            break
        if c[:8].decode().strip() not in WCS_KEYS:
            cards.append(c)
    header_end = (at + 2879) // 2880 * 2880
    ra_text, ra_hours = sexagesimal(pointing[0] / 15.0, False)
    dec_text, dec = sexagesimal(pointing[1], True)
    focal = round(ARCSEC_PER_MICRON_PER_MM * PIXEL_MICRONS / scale_arcsec, 2)
    cards += [card("OBJCTRA", "'%s'" % ra_text), card("OBJCTDEC", "'%s'" % dec_text),
              card("FOCALLEN", "%.2f" % focal), card("XPIXSZ", "%.2f" % PIXEL_MICRONS),
              card("DATE-OBS", "'2026-12-08T01:02:03'"), card("END", "").replace(b"=", b" ")]
    header = b"".join(cards)
    header += b" " * ((2880 - len(header) % 2880) % 2880)
    open(target, "wb").write(header + data[header_end:])
    return ra_hours, dec, ARCSEC_PER_MICRON_PER_MM * PIXEL_MICRONS / focal / 3600


def make_fields(args, work):
    """Renders the fields (once); returns their descriptions."""
    rng = random.Random(args.seed)
    fields = []
    os.makedirs(os.path.join(work, "fields"), exist_ok=True)
    for n in range(args.fields):
        ra, dec = rng.uniform(0, 360), math.degrees(math.asin(rng.uniform(-1, 1)))
        scale = rng.uniform(3.2, 4.4)
        angle, parity = rng.uniform(0, 360), rng.choice((1, -1))
        pointing = offset_point(ra, dec, rng.uniform(0, 1.0), rng.uniform(0, 360))
        plain = os.path.join(work, "fields", "f%02d.fits" % n)
        if not os.path.exists(plain):
            subprocess.run([os.path.join(args.bin, "tools/simulator/kestil_simulate"),
                            "--catalog", args.catalog, "--ra", repr(ra), "--dec", repr(dec),
                            "--scale", repr(scale), "--angle", repr(angle), "--parity",
                            str(parity), "--width", "3000", "--height", "2000", "--seed",
                            str(n + 1), "--no-truth", "--output", plain],
                           check=True, capture_output=True)
        capture = plain.replace(".fits", "_capture.fits")
        hints = capture_copy(plain, capture, pointing, scale)
        fields.append({"n": n, "ra": ra, "dec": dec, "scale": scale / 3600,
                       "wcs": (plain, (ra / 15.0, dec, scale / 3600)), "capture": (capture, hints)})
    return fields


def solve(args, work, path, extra):
    command = [os.path.join(args.bin, "app/kestil_solver"), "-i", os.path.join(work, "index"),
               "-f", "json", "-v"] + extra + [path]
    start = time.perf_counter()
    done = subprocess.run(command, capture_output=True, text=True)
    wall = time.perf_counter() - start
    result = json.loads(done.stdout) if done.stdout.strip() else {"solved": False}
    radius = re.search(r"FITS header \(.*\): RA .* radius ([0-9.]+)", done.stderr)
    return result, wall, float(radius.group(1)) if radius else None


def right(result, field):
    return (result.get("solved") and
            angular_distance(result["ra"] * 15, result["dec"], field["ra"], field["dec"]) < 0.05
            and abs(result["scale"] / field["scale"] - 1) < 0.01)


def run(args, work):
    index = os.path.join(work, "index")
    if not os.path.isdir(index):
        subprocess.run([os.path.join(args.bin, "tools/index_builder/kestil_build_index"),
                        "--catalog", args.catalog, "--scale", "2", "--dir", index, "--quiet"],
                       check=True)
    fields = make_fields(args, work)
    runs, radius_of = [], {}

    def record(field, kind, mode, extra, path):
        result, wall, radius = solve(args, work, path, extra)
        if mode == "header":
            radius_of[path] = radius
        runs.append({"field": field["n"], "set": kind, "mode": mode, "wall": wall,
                     "time": result.get("time"), "right": bool(right(result, field)),
                     "radius": radius_of.get(path) if mode != "blind" else None})

    for repeat in range(args.repeat):
        for field in fields:
            for kind in ("wcs", "capture"):
                path, (ra_hours, dec, scale) = field[kind]
                # The first run reads the header and tells the radius it chose for its hint.
                modes = ["header", "command line"] if repeat % 2 == 0 else \
                    ["command line", "header"]
                for mode in modes:
                    extra = [] if mode == "header" else [
                        "--no-header-hints", "--ra", repr(ra_hours), "--dec", repr(dec),
                        "--radius", repr(radius_of[path]), "-s", repr(scale)]
                    record(field, kind, mode, extra, path)
            if repeat == 0:
                record(field, "wcs", "blind", ["--no-header-hints"], field["wcs"][0])
        log("repeat %d of %d done" % (repeat + 1, args.repeat))
    with open(os.path.join(work, "runs.jsonl"), "w") as out:
        for r in runs:
            out.write(json.dumps(r) + "\n")
    return runs


def report(args, runs):
    sets = {"wcs": "simulator's WCS (CRVAL/CRPIX/CD)",
            "capture": "capture cards (OBJCTRA/OBJCTDEC 0-1° off, FOCALLEN/XPIXSZ)"}
    sources = {"header": "the header", "command line": "--ra/--dec/--radius/-s",
               "blind": "none (blind)"}
    lines = ["# Header hints: results", "",
             "%d fields of 3000 x 2000 pixels, 2.7° to 3.7° wide, anywhere in the sky; the "
             "whole-sky index of scale 2; %d repeats of the hinted runs, alternating which goes "
             "first; seed %d. Milliseconds: wall = the whole process, solve = the solver's own "
             "\"time\"." % (args.fields, args.repeat, args.seed), "",
             "| Header | Hints from | Radius | Runs | Right | Median wall | Median solve |",
             "|---|---|---|---|---|---|---|"]
    summary = []
    for kind in ("wcs", "capture"):
        medians = {}
        for mode in ("header", "command line", "blind"):
            rs = [r for r in runs if r["set"] == kind and r["mode"] == mode]
            if not rs:
                continue
            medians[mode] = (statistics.median(r["wall"] for r in rs) * 1000,
                             statistics.median(r["time"] or 0 for r in rs) * 1000)
            radius = sorted({r["radius"] for r in rs if r["radius"]})
            lines.append("| %s | %s | %s | %d | %d | %.1f | %.1f |" % (
                sets[kind], sources[mode], "/".join("%g°" % x for x in radius) or "-", len(rs),
                sum(r["right"] for r in rs), medians[mode][0], medians[mode][1]))
        h, c = medians["header"], medians["command line"]
        summary.append("- %s: header hints against the command line: wall %+.1f %%, solve "
                       "%+.1f %% (goal: within 10 %%)." % (sets[kind], 100 * (h[0] / c[0] - 1),
                                                        100 * (h[1] / c[1] - 1)))
    lines += [""] + summary
    path = os.path.join(HERE, "results.md")
    open(path, "w").write("\n".join(lines) + "\n")
    log("\n".join(lines))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    default_catalog = os.environ.get("KESTIL_CATALOG") or os.path.join(
        os.path.dirname(ROOT), "shared", "data", "catalogs", "stars-merged.csv.gz")
    parser.add_argument("--catalog", default=default_catalog)
    parser.add_argument("--bin", default=os.path.join(ROOT, "build", "release"))
    parser.add_argument("--work", default=os.path.join(ROOT, "build", "header_hints"))
    parser.add_argument("--fields", type=int, default=30)
    parser.add_argument("--repeat", type=int, default=4)
    parser.add_argument("--seed", type=int, default=11)
    args = parser.parse_args()
    for tool in ("app/kestil_solver", "tools/simulator/kestil_simulate",
                 "tools/index_builder/kestil_build_index"):
        if not os.access(os.path.join(args.bin, tool), os.X_OK):
            sys.exit("missing %s/%s: build kestil_solver kestil_simulate kestil_build_index"
                     % (args.bin, tool))
    os.makedirs(args.work, exist_ok=True)
    report(args, run(args, os.path.abspath(args.work)))


if __name__ == "__main__":
    main()
