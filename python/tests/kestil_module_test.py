"""Tests of the Python module kestil on simulated fields of known pointing.

The simulator writes the true plate into each FITS file's header, so astropy reading that
header is the oracle for the solution and for the WCS header the module returns.
"""
import json
import os
import shutil
import signal
import subprocess
import tempfile
import threading
import time
import unittest

import numpy as np
from astropy.io import fits
from astropy.wcs import WCS

import fields
import kestil

work = None
index_dir = None


def setUpModule():
    global work, index_dir
    work = tempfile.mkdtemp(prefix="kestil_module_test.")
    index_dir = os.path.join(work, "indexes")
    fields.build_indexes(index_dir)
    for i, pointing in enumerate(fields.POINTINGS):
        fields.simulate(field(i), *pointing)
    # Radial distortion shifts the corners by several pixels: a TAN plate can't follow it.
    fields.simulate(field("distorted"), *fields.POINTINGS[0], "--distortion", "0.05")


def tearDownModule():
    shutil.rmtree(work, ignore_errors=True)


def field(name):
    return os.path.join(work, f"field_{name}.fits")


def corners_and_centre(width, height):
    return np.array([[1, 1], [width, 1], [1, height], [width, height],
                     [(width + 1) / 2, (height + 1) / 2]], dtype=float)


class SolveFiles(unittest.TestCase):
    def test_pointings_agree_with_truth_and_header_with_astropy(self):
        for i, (ra, dec, angle, parity) in enumerate(fields.POINTINGS):
            with self.subTest(pointing=i):
                result = kestil.solve(field(i), index_dir=index_dir, header_hints=False)
                self.assertTrue(result["solved"], result.get("message"))
                self.assertEqual(field(i), result["file"])
                self.assertEqual(parity, result["parity"])
                # A pixel of error at the centre is 0.01 degree; the solutions fall well inside.
                self.assertAlmostEqual(ra, result["ra_deg"], delta=0.03)
                self.assertAlmostEqual(ra / 15.0, result["ra"], delta=0.002)
                self.assertAlmostEqual(dec, result["dec"], delta=0.03)
                self.assertAlmostEqual(0.01, result["scale"], delta=1e-4)
                turn = (result["angle"] - angle + 180.0) % 360.0 - 180.0
                self.assertAlmostEqual(0.0, turn, delta=0.3)
                # The returned header against the truth header, both through astropy: within
                # two pixels (0.02 degree) at the corners and at the centre.
                header = fits.Header.fromstring(result["wcs_header"])
                ours, truth = WCS(header), WCS(fits.getheader(field(i)))
                points = corners_and_centre(1500, 1000)
                sky_ours = ours.all_pix2world(points, 1)
                sky_truth = truth.all_pix2world(points, 1)
                d_ra = (sky_ours[:, 0] - sky_truth[:, 0] + 180.0) % 360.0 - 180.0
                d_ra *= np.cos(np.radians(sky_truth[:, 1]))
                self.assertLess(np.max(np.hypot(d_ra, sky_ours[:, 1] - sky_truth[:, 1])), 0.02)
                # The header's plate is refitted on every match, the reported centre comes from
                # the solve's own fit: they agree within a pixel (0.01 degree).
                np.testing.assert_allclose(sky_ours[4], [result["ra_deg"], result["dec"]],
                                           atol=0.01)
                self.assertEqual((1500, 1000), (header["IMAGEW"], header["IMAGEH"]))

    def test_report_values_are_the_command_lines(self):
        solver = os.environ.get("KESTIL_SOLVER")
        if not solver:
            self.skipTest("KESTIL_SOLVER not set")
        run = subprocess.run([solver, "-i", index_dir, "-f", "json", field(1)], check=True,
                             capture_output=True, text=True)
        expected = json.loads(run.stdout)
        result = kestil.solve(field(1), index_dir=index_dir)
        self.assertEqual(set(expected), set(result) - {"ra_deg", "wcs_header", "matches"})
        for key, value in expected.items():
            if key == "time":
                continue
            if isinstance(value, float):
                # The JSON report prints 3 to 10 decimals.
                self.assertAlmostEqual(value, result[key], delta=6e-4, msg=key)
            else:
                self.assertEqual(value, result[key], key)

    def test_distortion_terms_in_the_header_follow_the_matches(self):
        for sip in (0, 3):
            with self.subTest(sip=sip):
                result = kestil.solve(field("distorted"), index_dir=index_dir, sip=sip)
                self.assertTrue(result["solved"], result.get("message"))
                header = fits.Header.fromstring(result["wcs_header"])
                self.assertEqual(sip > 0, "A_ORDER" in header)
                matches = result["matches"]
                self.assertGreaterEqual(len(matches), 6)
                sky = np.array([[m["ra"], m["dec"]] for m in matches])
                pixels = np.array([[m["x"], m["y"]] for m in matches])
                residuals = np.array([m["residual"] for m in matches])
                # Astropy's way from each index star to the image through our header lands
                # where the solver says it does: the reported residual within 0.1 pixel.
                through_header = WCS(header).all_world2pix(sky, 1)
                distance = np.hypot(*(through_header - pixels).T)
                np.testing.assert_allclose(distance, residuals, atol=0.1)
                if sip:
                    self.assertLess(np.median(residuals), 1.0)


class SolveArraysAndBytes(unittest.TestCase):
    def test_array_forms_solve_where_the_file_does(self):
        path = field(0)
        stored = fits.getdata(path)
        self.assertEqual(np.uint16, stored.dtype)
        reference = kestil.solve(path, index_dir=index_dir, header_hints=False)
        with open(path, "rb") as f:
            contents = f.read()
        # (name, image, parity, exact: the same samples reach the solver)
        cases = [("uint16 as stored", stored, 1, True),
                 ("column-major copy", np.asfortranarray(stored), 1, True),
                 ("file bytes", contents, 1, True),
                 ("file bytearray", bytearray(contents), 1, True),
                 ("float32 of 0..1", stored.astype(np.float32) / 65535.0, 1, False),
                 ("int64 shifted negative", stored.astype(np.int64) - 40000, 1, False),
                 ("uint8 of the low range", np.clip(stored // 4, 0, 255).astype(np.uint8), 1,
                  False),
                 ("big-endian uint16", stored.astype(">u2"), 1, True),
                 ("rows reversed (mirror)", stored[::-1], -1, False)]
        for name, image, parity, exact in cases:
            with self.subTest(name):
                result = kestil.solve(image, index_dir=index_dir, header_hints=False)
                self.assertTrue(result["solved"], result.get("message"))
                self.assertEqual(parity, result["parity"])
                # The same samples give the same solution; others move it by a fraction of a
                # pixel (0.01 degree).
                delta = 1e-9 if exact else 0.01
                self.assertAlmostEqual(reference["ra"] * 15.0, result["ra_deg"], delta=delta)
                self.assertAlmostEqual(reference["dec"], result["dec"], delta=delta)
                self.assertEqual((1500, 1000), (result["image_width"], result["image_height"]))

    def test_unsolvable_images_return_a_message(self):
        empty = os.path.join(work, "no_indexes")
        os.makedirs(empty, exist_ok=True)
        rng = np.random.default_rng(7)
        cases = [("flat array", np.zeros((400, 600), np.uint16), index_dir),
                 ("noise", rng.normal(1000, 10, (400, 600)), index_dir),
                 ("not an image file", b"these bytes are no image" * 10, index_dir),
                 ("no index files", field(0), empty)]
        for name, image, directory in cases:
            with self.subTest(name):
                result = kestil.solve(image, index_dir=directory, timeout=20)
                self.assertFalse(result["solved"])
                self.assertIsInstance(result["message"], str)
                self.assertTrue(result["message"])
                self.assertIsNone(result["wcs_header"])
                self.assertEqual([], result["matches"])


class IndexCacheSharing(unittest.TestCase):
    def test_two_threads_share_one_cache(self):
        cache = kestil.IndexCache()
        results = {}

        def solve_all(name, order):
            results[name] = [kestil.solve(field(i), index_dir=index_dir, cache=cache)
                             for i in order for _ in range(3)]

        threads = [threading.Thread(target=solve_all, args=("a", [0, 1, 2, 3])),
                   threading.Thread(target=solve_all, args=("b", [3, 2, 1, 0]))]
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)
        self.assertEqual({"a", "b"}, set(results))
        for name, runs in results.items():
            self.assertEqual(12, len(runs))
            for run in runs:
                self.assertTrue(run["solved"], (name, run.get("message")))
        # The same image gives the same solution from a cached index as from a fresh one.
        fresh = kestil.solve(field(2), index_dir=index_dir)
        self.assertEqual(fresh["ra"], results["a"][6]["ra"])


class Arguments(unittest.TestCase):
    def test_bad_arguments_raise(self):
        image = np.zeros((100, 100), np.uint16)
        cases = [(ValueError, image, {"scale": -0.1}), (ValueError, image, {"scale": 5.5}),
                 (ValueError, image, {"scale": float("nan")}),
                 (ValueError, image, {"ra": 10.0, "dec": 5.0}),
                 (ValueError, image, {"ra": 10.0, "radius": 5.0}),
                 (ValueError, image, {"radius": 5.0}),
                 (ValueError, image, {"ra": 360.0, "dec": 0.0, "radius": 5.0}),
                 (ValueError, image, {"ra": 10.0, "dec": 90.5, "radius": 5.0}),
                 (ValueError, image, {"ra": 10.0, "dec": 0.0, "radius": 0.0}),
                 (ValueError, image, {"parity": 2}), (ValueError, image, {"downsample": 0}),
                 (ValueError, image, {"downsample": 17}), (ValueError, image, {"timeout": -1}),
                 (ValueError, image, {"scales": [3]}), (ValueError, image, {"scales": []}),
                 (ValueError, image, {"sip": 1}), (ValueError, image, {"depth": 1001}),
                 (ValueError, image, {"index_dir": "x" * 1000}),
                 (TypeError, image, {"scale": "0.01"}), (TypeError, image, {"cache": "cache"}),
                 (TypeError, image, {"progress": 5}), (TypeError, 42, {}),
                 (TypeError, np.zeros((10, 10), complex), {}),
                 (ValueError, np.zeros(100, np.uint16), {}),
                 (ValueError, np.zeros((10, 10, 3), np.uint8), {}),
                 (ValueError, np.zeros((0, 10), np.uint16), {}),
                 (ValueError, b"", {}),
                 (FileNotFoundError, os.path.join(work, "missing.fits"), {}),
                 (ValueError, field(0) + "\0.jpg", {}),
                 (IsADirectoryError, work, {})]
        for error, image_argument, kwargs in cases:
            with self.subTest(error=error.__name__, kwargs=str(kwargs)[:40],
                              image=type(image_argument).__name__):
                with self.assertRaises(error):
                    kestil.solve(image_argument, **{"index_dir": index_dir, **kwargs})

    def test_hints_and_progress(self):
        lines = []
        ra, dec, angle, parity = fields.POINTINGS[1]
        result = kestil.solve(field(1), index_dir=index_dir, ra=ra + 2.0, dec=dec - 1.0,
                              radius=5.0, scale=0.01, parity=parity, scales=[20, 10, 20],
                              header_hints=False, progress=lines.append)
        self.assertTrue(result["solved"], result.get("message"))
        self.assertTrue(lines and all(isinstance(line, str) for line in lines))
        # The other parity only: no solution, and no exception.
        result = kestil.solve(field(1), index_dir=index_dir, parity=-parity)
        self.assertFalse(result["solved"])

        def fail(line):
            raise RuntimeError("stop here")

        with self.assertRaisesRegex(RuntimeError, "stop here"):
            kestil.solve(field(1), index_dir=index_dir, progress=fail)

    def test_ctrl_c_stops_a_solve(self):
        # Star-like spots at random: no index matches them, so the whole search runs.
        rng = np.random.default_rng(3)
        image = rng.normal(1000.0, 5.0, (1000, 1500))
        for y, x in zip(rng.integers(5, 995, 300), rng.integers(5, 1495, 300)):
            image[y - 1:y + 2, x - 1:x + 2] += rng.uniform(50.0, 2000.0)
        start = time.monotonic()
        self.assertFalse(kestil.solve(image, index_dir=index_dir, timeout=0)["solved"])
        whole = time.monotonic() - start
        timer = threading.Timer(whole / 4, os.kill, (os.getpid(), signal.SIGINT))
        start = time.monotonic()
        timer.start()
        with self.assertRaises(KeyboardInterrupt):
            kestil.solve(image, index_dir=index_dir, timeout=0)
        timer.join()
        # Raised while solving, not after a whole search (the poll is a tenth of a second).
        self.assertLess(time.monotonic() - start, whole * 0.75)


if __name__ == "__main__":
    unittest.main()
