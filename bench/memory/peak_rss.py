#!/usr/bin/env python3
"""Peak resident memory of one run of a program, split into anonymous and file-backed pages.

    peak_rss.py PROGRAM [ARGS...]

Runs the program with its output discarded and polls /proc/PID/status every 2 ms: it prints
the exit code, the wall time, the last peak resident size seen (VmHWM) and the largest
anonymous (RssAnon: heap and other private memory) and file-backed (RssFile: the program's own
pages and mapped files such as indexes) resident sizes seen. The two maxima may come from
different moments, so their sum can exceed the peak, and the last few milliseconds of a run are
not seen; /usr/bin/time -f %M gives the exact peak as a cross-check.
"""
import subprocess
import sys
import time


def status(pid):
    values = {}
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                name, _, rest = line.partition(":")
                if name in ("VmHWM", "RssAnon", "RssFile"):
                    values[name] = int(rest.split()[0])
    except OSError:
        pass
    return values


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    start = time.monotonic()
    child = subprocess.Popen(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    most = {"VmHWM": 0, "RssAnon": 0, "RssFile": 0}
    while child.poll() is None:
        for name, value in status(child.pid).items():
            most[name] = max(most[name], value)
        time.sleep(0.002)
    print("exit %d, %.2f s, peak %.1f MiB (polled), anonymous %.1f MiB, file-backed %.1f MiB" % (
        child.returncode, time.monotonic() - start, most["VmHWM"] / 1024,
        most["RssAnon"] / 1024, most["RssFile"] / 1024))


if __name__ == "__main__":
    main()
