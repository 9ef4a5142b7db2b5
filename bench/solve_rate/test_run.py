#!/usr/bin/env python3
"""Checks of the harness's geometry and bookkeeping (python3 -m unittest in this folder)."""
import math
import os
import struct
import tempfile
import unittest

import run


def fits_header(cards):
    text = "".join(("%-8s= %20s" % (k, v)).ljust(80) for k, v in cards) + "END".ljust(80)
    return (text + " " * (-len(text) % 2880)).encode("ascii")


class PeerSolution(unittest.TestCase):
    def write_wcs(self, directory, ra, dec, scale_arcsec, angle, parity, crpix):
        # The CD matrix as kestil_solver's WCS header (and the simulator) writes it.
        s = scale_arcsec / 3600.0
        t = math.radians(angle + 180.0 if parity == -1 else angle)
        cd = (-s * math.cos(t), s * math.sin(t) * parity, s * math.sin(t), s * math.cos(t) * parity)
        path = os.path.join(directory, "field.wcs")
        with open(path, "wb") as f:
            f.write(fits_header([("SIMPLE", "T"), ("CRVAL1", repr(ra)), ("CRVAL2", repr(dec)),
                                 ("CRPIX1", repr(crpix[0])), ("CRPIX2", repr(crpix[1])),
                                 ("CD1_1", repr(cd[0])), ("CD1_2", repr(cd[1])),
                                 ("CD2_1", repr(cd[2])), ("CD2_2", repr(cd[3]))]))
        return path

    def test_angle_parity_scale_and_centre_round_trip(self):
        cases = [  # ra, dec, arcsec/pixel, angle, parity
            (10.0, 20.0, 3.6, 30.0, 1),
            (10.0, 20.0, 3.6, 30.0, -1),
            (359.9, -89.0, 100.0, 271.0, -1),
            (180.0, 0.0, 0.5, 0.0, 1),
        ]
        with tempfile.TemporaryDirectory() as d:
            for ra, dec, scale, angle, parity in cases:
                with self.subTest(ra=ra, dec=dec, angle=angle, parity=parity):
                    # Reference pixel at the image centre (FITS 1-based): CRVAL is the centre.
                    path = self.write_wcs(d, ra, dec, scale, angle, parity, (1500.5, 1000.5))
                    sol = run.peer_solution(path, 3000, 2000)
                    self.assertEqual(sol["parity"], parity)
                    # Tolerances: the cards carry 17 significant digits; 1e-9 is far below
                    # any error the benchmark reports.
                    self.assertAlmostEqual(sol["scale"], scale, delta=1e-9 * scale)
                    self.assertAlmostEqual((sol["angle"] - angle + 180) % 360 - 180, 0.0,
                                           delta=1e-9)
                    self.assertLess(run.angular_distance(sol["ra"], sol["dec"], ra, dec), 1e-9)

    def test_centre_away_from_the_reference_pixel(self):
        # Reference pixel 100 pixels left of the centre at 36"/pixel, angle 0, parity 1:
        # xi = -s u = -1 degree on the tangent plane, so on the equator the centre lies
        # atan(1 degree in radians) west of CRVAL1 (smaller RA).
        with tempfile.TemporaryDirectory() as d:
            path = self.write_wcs(d, 50.0, 0.0, 36.0, 0.0, 1, (1400.5, 1000.5))
            sol = run.peer_solution(path, 3000, 2000)
            self.assertAlmostEqual(sol["ra"], 50.0 - math.degrees(math.atan(math.radians(1.0))),
                                   delta=1e-9)
            self.assertAlmostEqual(sol["dec"], 0.0, delta=1e-9)


class Geometry(unittest.TestCase):
    def test_offset_point_distance_and_bearing(self):
        for ra, dec, bearing in [(0.0, 0.0, 0.0), (359.0, 45.0, 90.0), (120.0, -88.5, 200.0),
                                 (10.0, 89.0, 10.0)]:
            with self.subTest(ra=ra, dec=dec, bearing=bearing):
                ra2, dec2 = run.offset_point(ra, dec, 2.0, bearing)
                self.assertAlmostEqual(run.angular_distance(ra, dec, ra2, dec2), 2.0, delta=1e-9)
        # North is bearing 0, east (increasing RA) 90.
        self.assertAlmostEqual(run.offset_point(0.0, 0.0, 2.0, 0.0)[1], 2.0, delta=1e-9)
        self.assertAlmostEqual(run.offset_point(0.0, 0.0, 2.0, 90.0)[0], 2.0, delta=1e-9)

    def test_judge(self):
        field = {"ra": 10.0, "dec": 0.0, "scale": 36.0, "size": 10.0, "angle": 5.0, "parity": 1}
        # Right: 5 pixels off (0.05 degree, within 1 % of 10 degrees), scale 0.5 % off.
        sol = {"ra": 10.05, "dec": 0.0, "scale": 36.18, "angle": 5.0, "parity": 1}
        run.judge(field, sol)
        self.assertTrue(sol["correct"])
        self.assertAlmostEqual(sol["centre_px"], 5.0, delta=1e-6)
        self.assertAlmostEqual(sol["scale_pct"], 0.5, delta=1e-9)
        for change in ({"parity": -1}, {"ra": 10.2}, {"scale": 36.4}):
            with self.subTest(change=change):
                sol = {"ra": 10.0, "dec": 0.0, "scale": 36.0, "angle": 5.0, "parity": 1}
                sol.update(change)
                run.judge(field, sol)
                self.assertFalse(sol["correct"])


class Bookkeeping(unittest.TestCase):
    def test_percentile_nearest_rank(self):
        values = list(range(1, 11))
        self.assertEqual(run.percentile(values, 90), 9)
        self.assertEqual(run.percentile(values, 100), 10)
        self.assertEqual(run.percentile([3.0], 90), 3.0)

    def test_recorded_runs_kept_unless_done_again(self):
        import types
        runs = [{"solver": s, "band": b, "pass": p, "n": n}
                for s in ("kestil", "peer") for b in ("1-2", "2-4.5")
                for p in ("blind", "scale") for n in (0, 1)]

        def kept(resume, solvers, bands, passes, numbers):
            args = types.SimpleNamespace(resume=resume, solvers=solvers, bands=bands,
                                         passes=passes, numbers=numbers)
            return {(r["solver"], r["band"], r["pass"], r["n"])
                    for r in run.keep_recorded(runs, args)}

        every = {(r["solver"], r["band"], r["pass"], r["n"]) for r in runs}
        cases = [  # resume, solvers, bands, passes, numbers, the runs dropped
            (True, ["peer"], ["1-2"], ["scale"], [0], set()),
            (False, ["peer"], ["1-2", "2-4.5"], ["blind", "scale"], None,
             {k for k in every if k[0] == "peer"}),
            (False, ["kestil"], ["1-2", "2-4.5"], ["blind"], None,
             {k for k in every if k[0] == "kestil" and k[2] == "blind"}),
            (False, ["peer"], ["2-4.5"], ["blind", "scale"], [1],
             {k for k in every if k[0] == "peer" and k[1] == "2-4.5" and k[3] == 1}),
        ]
        for resume, solvers, bands, passes, numbers, dropped in cases:
            with self.subTest(resume=resume, solvers=solvers, passes=passes, numbers=numbers):
                self.assertEqual(kept(resume, solvers, bands, passes, numbers), every - dropped)

    def test_fields_are_fixed_by_the_seed_and_within_their_bands(self):
        a, b = run.make_fields(3, 11), run.make_fields(3, 11)
        self.assertEqual(a, b)
        self.assertNotEqual(a, run.make_fields(3, 12))
        self.assertEqual(len(a), 3 * len(run.BANDS))
        bands = {band: (low, high) for band, low, high, _ in run.BANDS}
        for f in a:
            low, high = bands[f["band"]]
            self.assertTrue(low <= f["size"] <= high)
            self.assertTrue(1000 <= f["width"] <= 6000 and 660 <= f["height"] <= 4200)
            size = f["scale"] * math.sqrt(f["width"] * f["height"]) / 3600.0
            self.assertAlmostEqual(size, f["size"], delta=1e-9)
            self.assertAlmostEqual(run.angular_distance(f["ra"], f["dec"], f["hint_ra"],
                                                        f["hint_dec"]), 2.0, delta=1e-9)

    def test_fits_table_for_the_peer_builder(self):
        with tempfile.TemporaryDirectory() as d:
            csv, fits = os.path.join(d, "c.csv"), os.path.join(d, "c.fits")
            with open(csv, "w") as f:
                f.write("ra,dec,mag\n1.5,-2.25,10.125\n359.0,89.0,4.0\n")
            run.write_fits_table(csv, fits)
            data = open(fits, "rb").read()
            self.assertEqual(len(data) % 2880, 0)
            ext = run.read_fits_header(fits)  # primary header
            self.assertEqual(ext["NAXIS"], 0)
            table = data[2 * 2880:2 * 2880 + 48]
            self.assertEqual(struct.unpack(">6d", table), (1.5, -2.25, 10.125, 359.0, 89.0, 4.0))
            header = data[2880:2 * 2880].decode("ascii")
            self.assertIn("NAXIS2  =                    2", header)
            self.assertIn("TTYPE2  = 'DEC     '", header)


class Identity(unittest.TestCase):
    SAME = ("a.fits: 3000 x 2000, binned 2; 120 stars identical; blind: solved (5°, 9 stars), "
            "3 quad stages on 2 indexes identical (0.10 s)\n"
            "summary: images 1, stars compared 120, solves 2, solved 1, differences 0, "
            "unreadable 0, star seconds fast 0.050 reference 0.400, quad stage seconds fast "
            "0.200 reference 0.250, solve seconds 0.300, wall 1.5 s\n")
    DIFFERENT = ("b|c.fits: 1000 x 700, binned 2; filter DIFFERS first at pixel (4, 0): fast 9, "
                 "reference 8; blind: solved (2°, 7 stars), 3 quad stages on 1 indexes DIFFER "
                 "(0.10 s)\n"
                 "summary: images 1, stars compared 0, solves 1, solved 1, "
                 "differences 1, unreadable 0, star seconds fast 0.010 reference 0.080, "
                 "quad stage seconds fast 0.100 reference 0.150, solve seconds 0.100, wall 1 s\n")

    def test_summary_parsed_and_missing(self):
        cases = [  # output, expected counts (None: no summary)
            (self.SAME, {"images": 1, "stars": 120, "solves": 2, "solved": 1, "differences": 0,
                         "unreadable": 0, "star_fast": 0.05, "star_reference": 0.4,
                         "stage_fast": 0.2, "stage_reference": 0.25, "solve": 0.3}),
            (self.DIFFERENT, {"images": 1, "stars": 0, "solves": 1, "solved": 1,
                              "differences": 1, "unreadable": 0, "star_fast": 0.01,
                              "star_reference": 0.08, "stage_fast": 0.1,
                              "stage_reference": 0.15, "solve": 0.1}),
            ("a.fits: 3000 x 2000, binned 2; 120 stars identical\n", None),  # killed midway
            ("", None),
        ]
        for text, expected in cases:
            with self.subTest(text=text[:30]):
                r = run.parse_identity_output(text)
                if expected is None:
                    self.assertIsNone(r)
                    continue
                self.assertEqual({k: r[k] for k in expected}, expected)
                self.assertEqual(r["line"], text.splitlines()[0])

    def test_section_totals_and_lists_only_the_differing_fields(self):
        entries = []
        for n, text in enumerate([self.SAME, self.DIFFERENT, self.SAME]):
            e = run.parse_identity_output(text)
            e.update(band="1-2", n=n, wall=2.0, passes=["blind", "scale"],
                     solvers=["kestil", "kestil-d1"])
            entries.append(e)
        lines = run.identity_lines(entries)
        # Sums of the three: star lists 0.05 + 0.01 + 0.05 against 0.4 + 0.08 + 0.4.
        self.assertIn("| 3 | 240 | 5 | 3 | 1 | 0 | 0.1 / 0.9 | 0.5 / 0.7 | 0.7 | 6 |", lines)
        self.assertIn("(`kestil_solver`, `kestil_solver -D 1`; passes: blind, scale;",
                      " ".join(lines))
        rows = [line for line in lines if line.startswith("| 1-2 |")]
        self.assertEqual(len(rows), 1)
        # The image line keeps its text with the table's separator replaced.
        self.assertTrue(rows[0].startswith("| 1-2 | 1 | b/c.fits"))
        self.assertIn("3 quad stages on 1 indexes DIFFER", rows[0])
        self.assertEqual(run.identity_lines([]), [])


if __name__ == "__main__":
    unittest.main()
