#!/usr/bin/env python3
"""Blind solve rate of kestil_solver per quad scale, on images made by the sky simulator.

For each scale: builds one index for a patch of sky with kestil_build_index (from the given
catalogue, or for scales below 1 degree from a synthetic deep catalogue made by
kestil_deep_catalog), simulates N fields in the scale's field range (random centre in the patch,
random size, angle and parity, 1500 x 1000 pixels, FITS) and solves each blind (no hints) with
only that index installed. A field counts as solved when the solver says so and its centre is
within 1 % of the field size of the truth (the right place); it counts as accurate as well when
its centre is within 2 pixels, its scale within 0.1 % and its angle within 0.05 degree.

Usage: solve_rate.py --bin BUILD_DIR --catalog CSV [--scales 0.2,0.5,1,2,5,10,20] [--fields 20]
                     [--work DIR] [--seed N] [--flux10 ADU] [--flux10-deep ADU]
                     [--builder-options "--neighbours 12 ..."] [--keep]
"""
import argparse, json, math, os, random, statistics, subprocess, sys, time

FIELDS = {0.2: (0.2, 0.45), 0.5: (0.45, 1.0), 1: (1, 2), 2: (2, 4.5), 5: (4.5, 10),
          10: (10, 20), 20: (20, 30)}
PATCH = (150.0, 30.0)  # centre of the patch of sky, degrees (far from the galactic plane)
WIDTH, HEIGHT = 1500, 1000


def run(cmd, **kw):
    return subprocess.run(cmd, check=True, capture_output=True, text=True, **kw)


def angular(a_ra, a_dec, b_ra, b_dec):
    r = math.radians
    h = math.sin((r(a_dec) - r(b_dec)) / 2) ** 2 + math.cos(r(a_dec)) * math.cos(r(b_dec)) * \
        math.sin((r(a_ra) - r(b_ra)) / 2) ** 2
    return math.degrees(2 * math.asin(math.sqrt(h)))


def flux10(a, scale, field):
    """ADU of a magnitude-10 star: narrower fields come from larger apertures, so the flux grows
    as (10 degrees / field)^2 from the given value for a 10 degree field (scales >= 1)."""
    if scale < 1:
        return a.flux10_deep
    return repr(float(a.flux10) * (10.0 / field) ** 2)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--bin", required=True)
    p.add_argument("--catalog", required=True)
    p.add_argument("--scales", default="0.2,0.5,1,2,5,10,20")
    p.add_argument("--fields", type=int, default=20)
    p.add_argument("--work", default="/tmp/solve_rate_work")
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--builder-options", default="", help="extra kestil_build_index options")
    p.add_argument("--keep", action="store_true", help="keep the images")
    p.add_argument("--flux10", default="2000",
                   help="ADU of a magnitude-10 star in a 10 degree field (scales >= 1)")
    p.add_argument("--flux10-deep", default="200000", help="the same for the deep scales")
    a = p.parse_args()
    b = a.bin
    os.makedirs(a.work, exist_ok=True)
    rng = random.Random(a.seed)
    summary = []
    for text in a.scales.split(","):
        scale = float(text)
        key = int(scale) if scale >= 1 else scale
        fmin, fmax = FIELDS[key]
        # The patch: wide enough for every field, small enough to build quickly.
        patch = max(3.0, 2.2 * fmax) if scale < 20 else 80.0
        directory = os.path.join(a.work, "scale-%s" % text)
        os.makedirs(directory, exist_ok=True)
        catalog = a.catalog
        mag_limit = 99.0
        if scale < 1:
            catalog = os.path.join(directory, "deep.csv")
            run([b + "/tools/deep_catalog/kestil_deep_catalog", "--ra", str(PATCH[0]), "--dec",
                 str(PATCH[1]), "--radius", str(patch), "--faint", "17.5" if scale < 0.5 else "16",
                 "--seed", str(a.seed), "--output", catalog])
        for name in os.listdir(directory):
            if name.endswith(".zeph"):
                os.remove(os.path.join(directory, name))
        started = time.time()
        build = run([b + "/tools/index_builder/kestil_build_index", "--quiet", "--catalog", catalog,
                     "--scale", text, "--dir", directory, "--ra", str(PATCH[0]), "--dec",
                     str(PATCH[1]), "--radius", str(patch)] + a.builder_options.split())
        build_line = build.stdout.strip()
        solved, accurate, times = 0, 0, []
        for f in range(a.fields):
            field = fmin * (fmax / fmin) ** rng.random()
            arcsec = field * 3600.0 / math.sqrt(WIDTH * HEIGHT)
            spread = max(0.0, patch - 0.75 * field)
            r = spread * math.sqrt(rng.random()) if scale < 20 else 60 * math.sqrt(rng.random())
            phi = 2 * math.pi * rng.random()
            dec = PATCH[1] + r * math.sin(phi)
            ra = (PATCH[0] + r * math.cos(phi) / math.cos(math.radians(dec))) % 360.0
            angle = 360.0 * rng.random()
            parity = rng.choice((1, -1))
            image = os.path.join(directory, "field-%02d.fits" % f)
            run([b + "/tools/simulator/kestil_simulate", "--catalog", catalog, "--ra", repr(ra),
                 "--dec", repr(dec), "--scale", repr(arcsec), "--angle", repr(angle), "--parity",
                 str(parity), "--width", str(WIDTH), "--height", str(HEIGHT), "--fwhm", "3",
                 "--flux10", flux10(a, scale, field), "--seed", str(f + 1),
                 "--no-truth", "--format", "fits16", "--output", image])
            result = subprocess.run([b + "/app/kestil_solver", "-i", directory, "-f", "json",
                                     "--no-header-hints", image],
                                    capture_output=True, text=True)
            doc = json.loads(result.stdout)
            ok = precise = False
            detail = doc.get("message", "")
            if doc.get("solved"):
                error = angular(doc["ra"] * 15.0, doc["dec"], ra, dec)
                error_px = error * 3600.0 / arcsec
                scale_error = doc["scale"] * 3600.0 / arcsec - 1.0
                dangle = abs((doc["angle"] - angle + 180.0) % 360.0 - 180.0)
                ok = error < 0.01 * field and doc["parity"] == parity
                precise = (ok and error_px < 2.0 and abs(scale_error) < 1e-3 and dangle < 0.05)
                detail = "%.3f s, %d stars, centre %.2f px, scale %+.4f %%, angle %.3f°" % (
                    doc["time"], doc["matched_stars"], error_px, 100 * scale_error, dangle)
            solved += ok
            accurate += precise
            times.append(doc.get("time", 0.0))
            print("scale %-4s field %2d: FOV %6.3f° %-8s %s" % (text, f + 1, field,
                  "accurate" if precise else "solved" if ok else "FAILED", detail), flush=True)
            if not a.keep:
                os.remove(image)
        line = "scale %s: %d of %d solved blind (%d accurate), median time %.3f s (%s)" % (
            text, solved, a.fields, accurate, statistics.median(times), build_line)
        print(line, flush=True)
        summary.append(line)
    print("\n".join(summary))


if __name__ == "__main__":
    main()
