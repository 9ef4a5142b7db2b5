#!/usr/bin/env bash
# Solve rate and speed of kestil_solver beside the peer plate solver: see README.md.
exec python3 "$(dirname "$0")/run.py" "$@"
