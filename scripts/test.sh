#!/usr/bin/env bash
# Installs what the build needs, builds the tree three ways (plain with
# warnings as errors, AddressSanitizer + UndefinedBehaviorSanitizer,
# ThreadSanitizer for the threading tests), runs every test, and runs the
# fuzz targets for a bounded number of inputs (and at most 45 s each).  Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
JOBS=$(nproc 2>/dev/null || echo 4)

# ---- packages ---------------------------------------------------------------
PKGS=(cmake ninja-build g++ clang libclang-rt-14-dev pkg-config
      libgtest-dev libgmock-dev libbenchmark-dev
      libsqlite3-dev sqlite3 libcrypt-dev libenet-dev
      qt6-base-dev qt6-qpa-plugins fonts-dejavu-core xvfb xauth openbox trayer iproute2 procps)
missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "== installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# ---- builds -----------------------------------------------------------------
configure() {  # dir, extra cmake args...
  local dir=$1; shift
  cmake -S "$ROOT" -B "$ROOT/$dir" -G Ninja -DDROVANA_WERROR=ON "$@" >/dev/null
}

echo "== configure"
configure build      -DCMAKE_BUILD_TYPE=RelWithDebInfo
configure build-asan -DCMAKE_BUILD_TYPE=Debug -DDROVANA_ASAN=ON -DDROVANA_BENCH=OFF
configure build-tsan -DCMAKE_BUILD_TYPE=Debug -DDROVANA_TSAN=ON -DDROVANA_BENCH=OFF -DDROVANA_QT=OFF \
          -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
configure build-fuzz -DCMAKE_BUILD_TYPE=Debug -DDROVANA_FUZZ=ON -DDROVANA_BENCH=OFF -DDROVANA_QT=OFF \
          -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++

echo "== build (plain) [$SECONDS s]";  cmake --build build      -j "$JOBS"
echo "== build (asan) [$SECONDS s]";   cmake --build build-asan -j "$JOBS"
echo "== build (tsan) [$SECONDS s]";   cmake --build build-tsan -j "$JOBS" --target drovana_thread_tests
echo "== build (fuzz) [$SECONDS s]";   cmake --build build-fuzz -j "$JOBS" --target drovana_fuzzers

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
export QT_QPA_PLATFORM=offscreen

status=0
echo "== fuzz targets (bounded) [$SECONDS s]"
for f in build-fuzz/fuzz/*; do
  [ -x "$f" ] && [ -f "$f" ] || continue
  corpus="$ROOT/fuzz/corpus/$(basename "$f")"
  mkdir -p "build-fuzz/corpus-$(basename "$f")"
  # New inputs go to the first directory: the build's, never the tree's seeds.
  dirs=("build-fuzz/corpus-$(basename "$f")")
  [ -d "$corpus" ] && dirs+=("$corpus")
  if ! "$f" -runs=200000 -max_total_time=45 -max_len=1600 -seed=1 "${dirs[@]}" \
       >"build-fuzz/$(basename "$f").log" 2>&1; then
    echo "fuzz target $(basename "$f") failed:"; tail -40 "build-fuzz/$(basename "$f").log"; status=1
  else
    echo "fuzz target $(basename "$f"): ok"
  fi
done

echo "== tests (tsan: threading tests) [$SECONDS s]"
(cd build-tsan && ctest -L threads -j "$JOBS" --output-on-failure --no-tests=ignore) || status=1
echo "== tests (asan+ubsan) [$SECONDS s]"
(cd build-asan && ctest -j "$JOBS" --output-on-failure) || status=1
echo "== tests (plain) [$SECONDS s]"
(cd build && ctest -j "$JOBS" --output-on-failure) || status=1
exit $status
