#!/usr/bin/env bash
# Installs the peer plate solver used for comparison (astrometry.net from Debian), its Tycho-2
# index files for fields of about 1 to 30 degrees, and gnuplot for the plot. The peer is only
# run as a separate program; nothing of it is copied into the project.
# Idempotent: packages already present are left alone. Run as root on Debian 12.
set -euo pipefail

packages=(
  astrometry.net
  astrometry-data-tycho2-07-littleendian
  astrometry-data-tycho2-08-littleendian
  astrometry-data-tycho2-09-littleendian
  astrometry-data-tycho2-10-19-littleendian
  gnuplot-nox
  time
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
echo "install-peer: all packages present"
