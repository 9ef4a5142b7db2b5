"""Sky fields for the tests of the Python module and its examples.

Small wide-field indexes are built from the bundled bright-star catalogue and images of known
pointing are simulated from the same catalogue, with the project's tools. ctest names the tools
and the catalogue through the environment (KESTIL_BUILD_INDEX, KESTIL_SIMULATE, KESTIL_CATALOG).
"""
import json
import os
import subprocess

# Index scales built: with a 15 x 10 degree field they solve in a few hundredths of a second.
INDEX_SCALES = (10, 20)
# Pointings inside the catalogue's cone (35 degrees around RA 83, Dec 0): RA, Dec, angle (all
# degrees) and parity.
POINTINGS = [(83.75, -1.5, 20.0, 1), (70.0, 12.0, 135.0, 1), (95.0, -15.0, 300.0, -1),
             (80.0, 20.0, 45.0, 1)]


def tool(name):
    return os.environ[name]


def build_indexes(directory):
    os.makedirs(directory, exist_ok=True)
    for scale in INDEX_SCALES:
        subprocess.run([tool("KESTIL_BUILD_INDEX"), "--quiet", "--catalog", tool("KESTIL_CATALOG"),
                        "--scale", str(scale), "--ra", "83", "--dec", "0", "--radius", "35",
                        "--dir", directory], check=True, stdout=subprocess.DEVNULL)


def simulate(path, ra, dec, angle, parity, *extra):
    """Writes a 1500 x 1000 image at 36"/pixel (15 x 10 degrees) and returns its truth record."""
    subprocess.run([tool("KESTIL_SIMULATE"), "--catalog", tool("KESTIL_CATALOG"),
                    "--ra", str(ra), "--dec", str(dec), "--scale", "36", "--angle", str(angle),
                    "--parity", str(parity), "--width", "1500", "--height", "1000",
                    "--fwhm", "2.5", "--flux10", "2000", "--output", path, *extra],
                   check=True, stderr=subprocess.DEVNULL)
    with open(path + ".truth.json", encoding="utf-8") as truth:
        return json.load(truth)
