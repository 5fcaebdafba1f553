#!/usr/bin/env bash
# Installs, with apt and npm, whatever the build and the tests need and the machine
# lacks. Idempotent: packages already present are not touched.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  build-essential cmake pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev libpng-dev
  clang lld libclang-rt-14-dev
  libjpeg-turbo-progs python3
  # The man page's test renders it.
  groff-base
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-i686
  wine64 xvfb xauth
  # The WebAssembly build of the library (clang 19 for wasm32-wasi with its C++ library;
  # llvm-19's archiver indexes wasm objects for the linker).
  clang-19 lld-19 llvm-19 wasi-libc libc++-19-dev-wasm32 libc++abi-19-dev-wasm32
  libclang-rt-19-dev-wasm32
  # Browsers for the web viewer's tests (driven by the npm packages in web/).
  chromium firefox-esr fonts-dejavu-core
  # Image libraries the CLI reads, and the peers that the benchmarks compare with.
  libjpeg62-turbo-dev libwebp-dev webp libopenjp2-tools hyperfine valgrind
  # The Pillow plug-in (built offline from Debian's pybind11 and setuptools), the
  # gdk-pixbuf loader and its tests, and the rate-distortion plot.
  python3-dev python3-venv python3-pip python3-setuptools python3-wheel python3-pybind11
  pybind11-dev python3-pil python3-pytest python3-numpy
  libgdk-pixbuf-2.0-dev python3-gi gir1.2-gdkpixbuf-2.0 shared-mime-info gnuplot-nox
)

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

missing=()
for p in "${packages[@]}"; do
  installed "$p" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "install-deps: installing ${missing[*]}"
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# Node and npm for the web module's tests and tools (Node 18 or later): Debian's, unless
# the machine has a Node of its own already (a packaged npm would clash with it).
if ! command -v node >/dev/null 2>&1 || ! command -v npm >/dev/null 2>&1; then
  echo "install-deps: installing nodejs npm"
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends nodejs npm
fi

# 32-bit Wine, to run the product itself (the 32-bit DLL), where this machine's kernel
# runs 32-bit code at all (scripts/runs_i386.sh tells). Elsewhere the 32-bit runs of the
# Windows tests are reported as not run.
if why=$(scripts/runs_i386.sh); then
  if ! installed wine32:i386 || [ ! -x /usr/lib/wine/wine ]; then
    echo "install-deps: this machine runs 32-bit code; installing wine32:i386"
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
      $SUDO dpkg --add-architecture i386
    fi
    $SUDO apt-get update -qq
    $SUDO apt-get install -y -qq --no-install-recommends wine32:i386
  fi
else
  echo "install-deps: 32-bit Wine not installed: $why"
fi

# The web tests' npm packages, exactly as web/package-lock.json pins them.
if [ -f web/package-lock.json ]; then
  if [ ! -d web/node_modules ] || [ web/package-lock.json -nt web/node_modules/.package-lock.json ]; then
    echo "install-deps: npm ci in web/"
    (cd web && npm ci --no-audit --no-fund --loglevel=error)
  fi
fi
