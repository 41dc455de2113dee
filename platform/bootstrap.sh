#!/usr/bin/env bash
# One-step set-up for a fresh Debian 12 machine.
#
#   platform/bootstrap.sh run [SECONDS]  install packages, build, and run the
#                                        whole recorder on simulated devices in
#                                        the sandbox root ./sandbox (until
#                                        Ctrl-C, or for SECONDS)
#   platform/bootstrap.sh test           install packages, build (warnings as
#                                        errors) and run every test, then build
#                                        with address+undefined sanitizers and
#                                        run every test again
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"

PACKAGES=(
  build-essential cmake ninja-build pkg-config
  googletest libgtest-dev libgmock-dev
  python3 python3-pytest
  util-linux procps
  ffmpeg libjpeg-turbo-progs libjpeg62-turbo-dev
  libavcodec-dev libavutil-dev
)

install_packages() {
  local missing=()
  for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  echo "== installing: ${missing[*]}"
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq "${missing[@]}"
}

build() {  # build DIR [cmake options...]
  local dir=$1
  shift
  echo "== building $dir"
  cmake -S . -B "$dir" -G Ninja -DDV_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j"$(nproc)"
}

run_tests() {  # run_tests DIR
  echo "== testing $1"
  tests/run_in_ns ctest --test-dir "$1" --output-on-failure -j2
}

case "${1:-}" in
  run)
    install_packages
    build build
    exec platform/run-system "$here/sandbox" "${2:-0}"
    ;;
  test)
    install_packages
    build build
    run_tests build
    build build-asan -DDV_SANITIZE=ON
    run_tests build-asan
    echo "== all tests passed"
    ;;
  *)
    echo "usage: $0 run [SECONDS] | test" >&2
    exit 2
    ;;
esac
