#!/usr/bin/env bash
# Solve time with the hints of a FITS header against the same hints on the command line: see
# README.md. Debian's Python 3 (standard library only) when present, else the first python3.
python=/usr/bin/python3
[ -x "$python" ] || python=python3
exec "$python" "$(dirname "$0")/run.py" "$@"
