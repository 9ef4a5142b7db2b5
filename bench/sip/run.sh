#!/usr/bin/env bash
# Corner accuracy of the solved plate without and with distortion terms: see README.md.
# Debian's Python 3 (standard library only) when present, else the first python3 on the path.
python=/usr/bin/python3
[ -x "$python" ] || python=python3
exec "$python" "$(dirname "$0")/run.py" "$@"
