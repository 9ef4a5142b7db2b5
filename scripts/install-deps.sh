#!/usr/bin/env bash
# Installs everything needed to build, test and benchmark the project on Debian 12.
# Idempotent: packages already present are left alone. Run as root.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config
  # Libraries of the product (each -dev package brings its runtime library, e.g. libcfitsio10
  # for the tile-compressed FITS images the solver reads).
  libjpeg-dev libraw-dev zlib1g-dev libcurl4-openssl-dev libcfitsio-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  wcslib-dev liberfa-dev libxml2-utils jq python3 python3-astropy python3-numpy
  clang libclang-rt-14-dev llvm openssl ca-certificates
  # The PNG picture of a solve (--annotate), the Python module and its distributed example.
  libcairo2-dev pybind11-dev python3-dev python3-distributed
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
echo "install-deps: all packages present"
