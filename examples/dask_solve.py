#!/usr/bin/env python3
"""Solves every image of a folder on a Dask distributed cluster, one JSON line per image.

    python3 dask_solve.py FOLDER [--scheduler ADDRESS] [--workers N] [--threads T]
                          [--pattern GLOB] [--index-dir DIR] [--scale DEG] [--timeout S]
                          [--scales 5,10,20] [--wcs] [--output FILE]

Without --scheduler a LocalCluster of N worker processes (default 2) with T threads each
(default 1) runs on this machine; with --scheduler tcp://host:8786 the images go to the
workers of a running cluster (started with `dask scheduler` and `dask worker ADDRESS` on each
machine). The workers open the images and index files by their paths, so FOLDER and the index
directory must be visible to every worker under the same paths (a shared file system).

Each worker process keeps one kestil.IndexCache, created by a worker plugin when the worker
starts: the index files are mapped once per worker and every later image on that worker finds
them ready; the worker's threads share the cache (the module releases the GIL while solving).

Each line of the output (standard output, or FILE written under a temporary name and renamed
when complete) is the dict kestil.solve returns for one image, without its list of matches and,
unless --wcs is given, without wcs_header: the keys of the command line's JSON report
("file", "solved", "time", "ra" in hours, "dec", ... or "message") and "ra_deg". Lines come in
the order the solves finish. An image that can't be read, or whose task failed on the cluster
(a worker lost, a bad option), gives "solved": false and the error as "message".
The exit status is 0 when every image was solved, 1 when one was not, 2 on bad usage.
"""
import argparse
import glob
import json
import os
import sys

import distributed

PLUGIN_NAME = "kestil-index-cache"


class IndexCachePlugin(distributed.WorkerPlugin):
    """Gives each worker process one kestil.IndexCache (made in the worker, never pickled)."""

    name = PLUGIN_NAME

    def setup(self, worker):
        import kestil
        self.cache = kestil.IndexCache()

    def teardown(self, worker):
        self.cache = None


def solve_one(path, options):
    """Runs on a worker: solves one image with the worker's index cache."""
    import kestil
    cache = distributed.get_worker().plugins[PLUGIN_NAME].cache
    try:
        result = kestil.solve(path, cache=cache, **options)
    except OSError as error:
        return {"file": path, "solved": False, "time": 0.0, "message": str(error)}
    result.pop("matches", None)
    return result


def solve_folder(client, paths, options, with_wcs=False):
    """Yields the result dict of each path as its solve finishes on the client's cluster."""
    client.register_worker_plugin(IndexCachePlugin(), name=PLUGIN_NAME)
    futures = client.map(solve_one, paths, options=options, pure=False)
    path_of = dict(zip(futures, paths))
    for future in distributed.as_completed(futures):
        try:
            result = future.result()
        except Exception as error:  # a worker lost with its task, a bad option: one line each
            result = {"file": path_of[future], "solved": False, "time": 0.0,
                      "message": f"{type(error).__name__}: {error}"}
        if not with_wcs:
            result.pop("wcs_header", None)
        yield result


def parse_arguments(argv):
    parser = argparse.ArgumentParser(description="Solve a folder of images on a Dask cluster.")
    parser.add_argument("folder")
    parser.add_argument("--scheduler", help="address of a running scheduler")
    parser.add_argument("--workers", type=int, default=2, help="local worker processes")
    parser.add_argument("--threads", type=int, default=1, help="threads per local worker")
    parser.add_argument("--pattern", default="*", help="file names to solve (default *)")
    parser.add_argument("--index-dir", help="index folder (default: the command line's)")
    parser.add_argument("--scale", type=float, help="pixel scale hint, degrees per pixel")
    parser.add_argument("--timeout", type=float, help="seconds per image, 0 = no limit")
    parser.add_argument("--scales", help="index scales to try, degrees: 5,10,20")
    parser.add_argument("--wcs", action="store_true", help="include wcs_header in each line")
    parser.add_argument("--output", help="JSON Lines file (default: standard output)")
    args = parser.parse_args(argv)
    if args.workers < 1 or args.threads < 1:
        parser.error("--workers and --threads must be at least 1")
    return args


def solve_options(args):
    options = {}
    if args.index_dir:
        options["index_dir"] = os.path.abspath(args.index_dir)
    if args.scale is not None:
        options["scale"] = args.scale
    if args.timeout is not None:
        options["timeout"] = args.timeout
    if args.scales:
        options["scales"] = [float(s) for s in args.scales.split(",") if s]
    return options


def image_paths(folder, pattern):
    paths = sorted(glob.glob(os.path.join(os.path.abspath(folder), pattern)))
    return [p for p in paths if os.path.isfile(p)]


def write_lines(results, out):
    all_solved = True
    for result in results:
        out.write(json.dumps(result, ensure_ascii=False) + "\n")
        out.flush()
        all_solved = all_solved and result["solved"]
    return all_solved


def run(args, paths, out):
    options = solve_options(args)
    if args.scheduler:
        with distributed.Client(args.scheduler) as client:
            return write_lines(solve_folder(client, paths, options, args.wcs), out)
    with distributed.LocalCluster(n_workers=args.workers, threads_per_worker=args.threads,
                                  processes=True, dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        return write_lines(solve_folder(client, paths, options, args.wcs), out)


def main(argv=None):
    args = parse_arguments(argv)
    paths = image_paths(args.folder, args.pattern)
    if not paths:
        print(f"dask_solve: no files match {args.pattern} in {args.folder}", file=sys.stderr)
        return 2
    if not args.output:
        return 0 if run(args, paths, sys.stdout) else 1
    partial = args.output + ".part"
    try:
        with open(partial, "w", encoding="utf-8") as out:
            all_solved = run(args, paths, out)
        os.replace(partial, args.output)
    finally:
        if os.path.exists(partial):
            os.remove(partial)
    return 0 if all_solved else 1


if __name__ == "__main__":
    sys.exit(main())
