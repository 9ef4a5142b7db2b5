#!/usr/bin/env bash
# Solve rate and speed of kestil_solver beside the peer plate solver: see README.md.
# Debian's Python 3 (standard library only) when present, else the first python3 on the path.
python=/usr/bin/python3
[ -x "$python" ] || python=python3
exec "$python" "$(dirname "$0")/run.py" "$@"
