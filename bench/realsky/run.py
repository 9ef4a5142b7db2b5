#!/usr/bin/env python3
"""Real-sky benchmark: kestil_solver on processed photographs of known sky positions.

Makes the set with the shared script (once), builds or reuses indexes at the seven published
scales from stars-merged.csv.gz, solves every image blind and with a scale hint of 1.1 times
the true scale, for each solver variant asked for, and writes per band of field size: right,
wrong and unsolved counts, median and 90th-percentile wall time, beside the peer's recorded
rows (peer-results.csv). Standard library only; the plot needs gnuplot.

    bench/realsky/run.sh                         # default variant, both passes
    bench/realsky/run.sh --variants default,d1   # more variants (see VARIANTS)
"""
import argparse
import concurrent.futures
import csv
import json
import math
import os
import shutil
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "bench", "common"))
import solve_rate_module  # noqa: E402  (bench/common/solve_rate_module.py)
SHARED = os.path.normpath(os.path.join(ROOT, "..", "shared", "data"))
SCALES = ["20", "10", "5", "2", "1", "0.5", "0.2"]
BANDS = [("0.5-1", 0.0, 1.0), ("1-2", 1.0, 2.0), ("2-4.5", 2.0, 4.5), ("4.5+", 4.5, 1e9)]
PASSES = ["blind", "hinted"]
# Solver variants: extra command-line arguments of kestil_solver; "peer" runs the peer solver
# live (solve-field with its Debian Tycho-2 indexes, as bench/solve_rate does) where installed.
VARIANTS = {
    "default": [],
    "d1": ["-D", "1"],
    "classic": ["--no-extended-search"],
    "peer": None,
}

solve_rate = solve_rate_module.load()  # the peer's process runner and WCS reader


def log(text):
    print("realsky: " + text, file=sys.stderr, flush=True)


def angular_distance(ra1, dec1, ra2, dec2):
    """Great-circle distance in degrees (haversine)."""
    r = math.radians
    s = (math.sin((r(dec2) - r(dec1)) / 2) ** 2
         + math.cos(r(dec1)) * math.cos(r(dec2)) * math.sin((r(ra2) - r(ra1)) / 2) ** 2)
    return math.degrees(2 * math.asin(min(1.0, math.sqrt(s))))


def band_of(field):
    for name, low, high in BANDS:
        if low <= field < high:
            return name
    return BANDS[-1][0]


def read_manifest(set_dir):
    with open(os.path.join(set_dir, "manifest.csv")) as f:
        return list(csv.DictReader(f))


def make_set(args):
    if os.path.exists(os.path.join(args.set, "manifest.csv")):
        return
    script = os.path.join(SHARED, "realsky", "make-realsky-set.py")
    python = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else "python3"
    log("making the set in %s" % args.set)
    subprocess.run([python, script, args.set], check=True)


def build_indexes(args):
    builder = os.path.join(args.bin, "tools/index_builder/kestil_build_index")
    os.makedirs(args.index, exist_ok=True)
    for scale in SCALES:
        name = "index-%sdeg-%s.zeph" % (
            ("%02d" % int(float(scale))) if float(scale).is_integer() else "%04.1f" % float(scale),
            "gaia" if float(scale) < 1 else "tyc2")
        if os.path.exists(os.path.join(args.index, name)):
            continue
        log("building the index of scale %s" % scale)
        subprocess.run([builder, "--quiet", "--catalog", args.catalog, "--scale", scale,
                        "--dir", args.index], check=True, stdout=subprocess.DEVNULL)


def run_peer(args, pass_name, row, image):
    """The peer on the JPEG as in its recorded results: --downsample 2, blind or with the
    scale range +-10 % around the true scale; its own CPU limit and a wall-clock net."""
    out_dir = os.path.join(args.work, "peer-scratch")
    shutil.rmtree(out_dir, ignore_errors=True)
    os.makedirs(out_dir)
    cmd = ["solve-field", "--no-plots", "--overwrite", "--crpix-center", "--dir", out_dir,
           "--temp-dir", out_dir, "--new-fits", "none", "--solved",
           os.path.join(out_dir, "image.solved"), "--wcs", os.path.join(out_dir, "image.wcs"),
           "--cpulimit", str(args.limit), "--downsample", "2"]
    if pass_name == "hinted":
        arcsec = float(row["pixel_scale_arcsec"])
        cmd += ["--scale-units", "arcsecperpix", "--scale-low", repr(arcsec * 0.9),
                "--scale-high", repr(arcsec * 1.1)]
    log_path = os.path.join(out_dir, "peer.log")
    _, wall, _ = solve_rate.run_measured(cmd + [image], log_path, log_path, args.limit + 5)
    wcs = os.path.join(out_dir, "image.wcs")
    if not os.path.exists(os.path.join(out_dir, "image.solved")) or not os.path.exists(wcs):
        return {"solved": False, "message": "not solved"}, wall
    sol = solve_rate.peer_solution(wcs, int(row["width_px"]), int(row["height_px"]))
    return {"solved": True, "ra": sol["ra"] / 15.0, "dec": sol["dec"],
            "scale": sol["scale"] / 3600.0}, wall


def run_one(args, variant, pass_name, row):
    image = os.path.join(args.set, row["jpeg"])
    if VARIANTS[variant] is None:
        doc, wall = run_peer(args, pass_name, row, image)
        return judge(variant, pass_name, row, doc, wall, 0)
    cmd = [os.path.join(args.bin, "app/kestil_solver"), "-i", args.index, "-f", "json",
           "-c", str(args.limit)] + VARIANTS[variant]
    if pass_name == "hinted":
        cmd += ["-s", repr(1.1 * float(row["pixel_scale_deg"]))]
    cmd.append(image)
    start = time.monotonic()
    done = subprocess.run(cmd, capture_output=True, text=True)
    wall = time.monotonic() - start
    try:
        doc = json.loads(done.stdout)
    except ValueError:
        doc = {"solved": False, "message": "no JSON: exit %d" % done.returncode}
    return judge(variant, pass_name, row, doc, wall, done.returncode)


def judge(variant, pass_name, row, doc, wall, status):
    """The record of one run: right when the centre lies within 5 % of the field (at least
    60") of the registered centre."""
    rec = {"name": row["name"], "variant": variant, "pass": pass_name,
           "field": float(row["field_deg"]), "band": band_of(float(row["field_deg"])),
           "wall": wall, "solved": bool(doc.get("solved")), "correct": False,
           "message": doc.get("message", ""), "exit": status}
    if rec["solved"]:
        err = angular_distance(doc["ra"] * 15.0, doc["dec"], float(row["center_ra_deg"]),
                               float(row["center_dec_deg"]))
        limit = max(0.05 * float(row["field_deg"]), 60.0 / 3600.0)
        rec.update(correct=err <= limit, err_arcsec=err * 3600.0,
                   matched=doc.get("matched_stars"), index=doc.get("index"),
                   scale_err_pct=100.0 * (doc["scale"] / float(row["pixel_scale_deg"]) - 1.0))
    return rec


def make_negatives(args, count):
    """Random-star fields (no real sky) and frames of pure noise, as (name, path) pairs."""
    import random
    simulate = os.path.join(args.bin, "tools/simulator/kestil_simulate")
    folder = os.path.join(args.work, "negatives")
    os.makedirs(folder, exist_ok=True)
    rng = random.Random(2026)
    out = []
    noise_frames = max(1, count // 10)
    for n in range(count + noise_frames):
        noise = n >= count
        size = rng.choice([256, 512, 768, 1024, 1536, 2048])
        width, height = size, rng.choice([size, size * 2 // 3, size * 3 // 4])
        field = math.exp(rng.uniform(math.log(0.3), math.log(30.0)))
        scale = field * 3600.0 / math.sqrt(width * height)
        stars = 0 if noise else rng.choice([20, 50, 100, 200, 400, 800])
        fmt = rng.choice(["jpeg", "fits16"])
        path = os.path.join(folder, "%s-%04d.%s" % ("noise" if noise else "random", n,
                                                      "jpg" if fmt == "jpeg" else "fits"))
        if not os.path.exists(path):
            cmd = [simulate, "--random", str(stars), "--ra", repr(rng.uniform(0, 360)),
                   "--dec", repr(rng.uniform(-85, 85)), "--scale", repr(scale),
                   "--angle", repr(rng.uniform(0, 360)), "--width", str(width),
                   "--height", str(height), "--fwhm", repr(rng.uniform(1.5, 5.0)),
                   "--format", fmt, "--seed", str(n + 1), "--no-truth", "--output", path]
            subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL)
        out.append((os.path.basename(path), path, field))
    return out


def run_negative(args, variant, item):
    name, path, field = item
    cmd = [os.path.join(args.bin, "app/kestil_solver"), "-i", args.index, "-f", "json",
           "-c", str(args.limit)] + VARIANTS[variant] + [path]
    start = time.monotonic()
    done = subprocess.run(cmd, capture_output=True, text=True)
    try:
        doc = json.loads(done.stdout)
    except ValueError:
        doc = {"solved": False}
    return {"name": name, "variant": variant, "field": field, "solved": bool(doc.get("solved")),
            "wall": time.monotonic() - start, "message": doc.get("message", "")}


def percentile(values, q):
    v = sorted(values)
    return v[max(0, min(len(v) - 1, int(math.ceil(q / 100.0 * len(v))) - 1))]


def summary(runs):
    right = sum(1 for r in runs if r["correct"])
    wrong = sum(1 for r in runs if r["solved"] and not r["correct"])
    times = [r["wall"] for r in runs]
    return {"n": len(runs), "right": right, "wrong": wrong, "unsolved": len(runs) - right - wrong,
            "median": statistics.median(times) if times else None,
            "p90": percentile(times, 90) if times else None}


def read_peer():
    runs = []
    path = os.path.join(SHARED, "realsky", "peer-results.csv")
    with open(path) as f:
        for row in csv.DictReader(f):
            field = float(row["field_deg"])
            runs.append({"name": row["name"], "variant": "peer (recorded)", "pass": row["mode"],
                         "band": band_of(field), "field": field,
                         "correct": row["correct"] == "1",
                         "solved": row["correct"] == "1" or bool(row["err_arcsec"]),
                         "wall": float(row["wall_s"])})
    return runs


def table(runs, variants):
    out = ["| solver | pass | " + " | ".join(b[0] for b in BANDS) + " | total | wrong | median s | p90 s |",
           "|---|---|" + "---|" * (len(BANDS) + 4)]
    for variant in variants:
        for pass_name in PASSES:
            sel = [r for r in runs if r["variant"] == variant and r["pass"] == pass_name]
            if not sel:
                continue
            cells = []
            for band, _, _ in BANDS:
                s = summary([r for r in sel if r["band"] == band])
                cells.append("%d/%d" % (s["right"], s["n"]))
            s = summary(sel)
            out.append("| %s | %s | %s | %d/%d | %d | %.2f | %.2f |" % (
                variant, pass_name, " | ".join(cells), s["right"], s["n"], s["wrong"],
                s["median"], s["p90"]))
    return "\n".join(out)


def write_plot(runs, variants, png):
    if not shutil.which("gnuplot"):
        log("gnuplot not installed: no plot")
        return
    data = png + ".dat"
    columns = [(v, p) for v in variants for p in PASSES
               if any(r["variant"] == v and r["pass"] == p for r in runs)]
    with open(data, "w") as f:
        for i, (band, _, _) in enumerate(BANDS):
            vals = []
            for v, p in columns:
                s = summary([r for r in runs if r["variant"] == v and r["pass"] == p
                             and r["band"] == band])
                vals += ["%.1f" % (100.0 * s["right"] / s["n"] if s["n"] else float("nan")),
                         "%.3f" % (s["median"] or float("nan"))]
            f.write('%d "%s" %s\n' % (i, band, " ".join(vals)))
    rate = ["'%s' using 1:%d:xtic(2) with linespoints lw 2 title '%s %s'"
            % (data, 3 + 2 * k, v, p) for k, (v, p) in enumerate(columns)]
    speed = ["'%s' using 1:%d:xtic(2) with linespoints lw 2 notitle" % (data, 4 + 2 * k)
             for k in range(len(columns))]
    script = "\n".join([
        "set terminal pngcairo size 900,800 font 'sans,10'", "set output '%s'" % png,
        "set multiplot layout 2,1", "set grid", "set key outside right",
        "set rmargin at screen 0.72", "set xrange [-0.3:%f]" % (len(BANDS) - 0.7),
        "set xlabel 'field size (degrees)'", "set ylabel 'right solutions (%)'",
        "set yrange [0:105]", "set title 'Real-sky set: right solutions per band'",
        "plot " + ", ".join(rate), "set ylabel 'median wall time (s)'", "set logscale y",
        "set yrange [*:*]", "set title 'Median wall time per band'", "plot " + ", ".join(speed),
        "unset multiplot"])
    subprocess.run(["gnuplot"], input=script, text=True, check=True)
    log("wrote %s" % png)


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--bin", default=os.path.join(ROOT, "build", "release"))
    p.add_argument("--work", default=os.path.join(ROOT, "build", "realsky"))
    p.add_argument("--set", help="the image set (default WORK/set)")
    p.add_argument("--index", help="index folder (default WORK/indexes)")
    p.add_argument("--catalog", default=os.path.join(SHARED, "catalogs", "stars-merged.csv.gz"))
    p.add_argument("--variants", default="default")
    p.add_argument("--passes", default=",".join(PASSES))
    p.add_argument("--names", help="comma list of image names (default: all)")
    p.add_argument("--jobs", type=int, default=1, help="solver processes at once")
    p.add_argument("--limit", type=int, default=60, help="solver time limit, seconds")
    p.add_argument("--results", default=HERE, help="where results.md and the plot go")
    p.add_argument("--negatives", type=int, default=0,
                   help="also solve this many random-star fields and a tenth as many noise "
                        "frames (none may solve)")
    args = p.parse_args()
    args.set = args.set or os.path.join(args.work, "set")
    args.index = args.index or os.path.join(args.work, "indexes")
    variants = args.variants.split(",")
    passes = args.passes.split(",")
    for v in variants:
        if v not in VARIANTS:
            sys.exit("unknown variant %s (known: %s)" % (v, ", ".join(VARIANTS)))
    if "peer" in variants and not shutil.which("solve-field"):
        log("solve-field is not installed (bench/solve_rate/install-peer.sh): no live peer")
        variants.remove("peer")
    os.makedirs(args.work, exist_ok=True)
    make_set(args)
    build_indexes(args)
    rows = read_manifest(args.set)
    if args.names:
        wanted = set(args.names.split(","))
        rows = [r for r in rows if r["name"] in wanted]
    jobs = [(v, ps, r) for v in variants for ps in passes for r in rows]
    runs = []
    # The live peer runs alone (one scratch folder, and its time is measured unloaded).
    peer_jobs = [j for j in jobs if j[0] == "peer"]
    jobs = [j for j in jobs if j[0] != "peer"]
    with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
        for rec in list(pool.map(lambda j: run_one(args, *j), jobs)) + \
                [run_one(args, *j) for j in peer_jobs]:
            runs.append(rec)
            mark = "right" if rec["correct"] else "WRONG" if rec["solved"] else "-"
            log("%-8s %-6s %-18s %5.2f° %6.2f s %s %s" % (
                rec["variant"], rec["pass"], rec["name"], rec["field"], rec["wall"], mark,
                rec.get("err_arcsec", "") if rec["solved"] else rec["message"]))
    negative_text = ""
    if args.negatives:
        items = make_negatives(args, args.negatives)
        negatives = []
        with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
            for variant in [v for v in variants if v != "peer"]:
                for rec in pool.map(lambda i: run_negative(args, variant, i), items):
                    negatives.append(rec)
                    log("%-8s negative %-18s %6.2f° %6.2f s %s" % (
                        rec["variant"], rec["name"], rec["field"], rec["wall"],
                        "FALSE SOLUTION" if rec["solved"] else rec["message"]))
        times = [r["wall"] for r in negatives]
        negative_text = ("\nNegative set: %d random-star fields and %d noise frames per variant, "
                         "%d solved (must be 0); wall time median %.2f s, 90th percentile "
                         "%.2f s.\n" % (args.negatives, len(items) - args.negatives,
                                        sum(r["solved"] for r in negatives),
                                        statistics.median(times), percentile(times, 90)))
        print(negative_text)
    with open(os.path.join(args.work, "runs.jsonl"), "w") as f:
        for rec in runs:
            f.write(json.dumps(rec) + "\n")
    peer = [r for r in read_peer() if r["name"] in {row["name"] for row in rows}]
    shown = variants + ["peer (recorded)"]
    text = table(runs + peer, shown)
    print(text)
    if args.results:
        with open(os.path.join(args.results, "results.md"), "w") as f:
            f.write("# Real-sky set: right solutions per band of field size\n\n")
            f.write("%d images, solver time limit %d s, %d solver processes at once; %s\n\n" % (
                len(rows), args.limit, args.jobs, time.strftime("%Y-%m-%d")))
            f.write(text + "\n" + negative_text)
        if runs:
            write_plot(runs + peer, shown, os.path.join(args.results, "realsky.png"))


if __name__ == "__main__":
    main()
