"""bench/solve_rate/run.py as a module, for the benchmarks that reuse its field generator,
simulator and solver calls, WCS reader and sky geometry (its file name, run.py, can't be
imported by name from another run.py)."""
import importlib.util
import os

PATH = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "solve_rate",
                    "run.py")


def load():
    """A fresh module object of bench/solve_rate/run.py."""
    found = importlib.util.spec_from_file_location("solve_rate_run", PATH)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module
