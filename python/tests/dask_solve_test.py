"""Test of examples/dask_solve.py: a folder of simulated images on a LocalCluster of two
worker processes gives one JSON line per image, each solved where the simulator pointed."""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

import fields


class DaskSolveExample(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="dask_solve_test.")

    def tearDown(self):
        shutil.rmtree(self.work, ignore_errors=True)

    def test_folder_on_two_local_workers(self):
        index_dir = os.path.join(self.work, "indexes")
        images = os.path.join(self.work, "images")
        os.makedirs(images)
        fields.build_indexes(index_dir)
        truth = {}
        for i, pointing in enumerate(fields.POINTINGS[:3]):
            path = os.path.join(images, f"frame_{i}.fits")
            fields.simulate(path, *pointing)
            truth[path] = pointing
        # Not an image: one line with the solver's message, and the exit status 1.
        broken = os.path.join(images, "broken.fits")
        with open(broken, "wb") as f:
            f.write(b"SIMPLE  = F" + b" " * 100)
        output = os.path.join(self.work, "solutions.jsonl")
        script = os.path.join(os.environ["KESTIL_EXAMPLES_DIR"], "dask_solve.py")
        run = subprocess.run([sys.executable, script, images, "--workers", "2",
                              "--pattern", "*.fits", "--index-dir", index_dir, "--timeout", "30", "--output", output],
                             capture_output=True, text=True, timeout=100)
        self.assertEqual(1, run.returncode, run.stderr)
        self.assertFalse(os.path.exists(output + ".part"))
        with open(output, encoding="utf-8") as f:
            lines = [json.loads(line) for line in f]
        self.assertEqual(sorted([*truth, broken]), sorted(line["file"] for line in lines))
        for line in lines:
            with self.subTest(line["file"]):
                self.assertNotIn("matches", line)
                self.assertNotIn("wcs_header", line)
                if line["file"] == broken:
                    self.assertFalse(line["solved"])
                    self.assertTrue(line["message"])
                    continue
                ra, dec, _, parity = truth[line["file"]]
                self.assertTrue(line["solved"], line.get("message"))
                self.assertEqual(parity, line["parity"])
                # A pixel is 0.01 degree; the centre is found within three.
                self.assertAlmostEqual(ra, line["ra_deg"], delta=0.03)
                self.assertAlmostEqual(dec, line["dec"], delta=0.03)


if __name__ == "__main__":
    unittest.main()
