#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test: all labels in the release build, then
# the unit and net tests again under AddressSanitizer + UndefinedBehaviorSanitizer, and the
# concurrency tests under ThreadSanitizer.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/install-deps.sh

# The tree's shape first, in seconds: includes keep to the layering, files to the format.
echo "=== check: layering and format"
python3 scripts/check-layers.py
git ls-files -z '*.cpp' '*.h' '*.c' | xargs -0 clang-format --dry-run -Werror
echo "=== check done at ${SECONDS}s"

jobs=$(nproc)
status=0

# Tests labelled x11 need a display; start a private one when there is none.
xvfb_pid=""
cleanup() { [[ -n "$xvfb_pid" ]] && kill "$xvfb_pid" 2>/dev/null || true; }
trap cleanup EXIT
if [[ -z "${DISPLAY:-}" ]] || ! xdpyinfo >/dev/null 2>&1; then
  for n in $(seq 90 120); do
    if [[ ! -e /tmp/.X11-unix/X$n && ! -e /tmp/.X$n-lock ]]; then
      Xvfb ":$n" -screen 0 1920x1080x24 -nolisten tcp -noreset >/dev/null 2>&1 &
      xvfb_pid=$!
      export DISPLAY=":$n"
      break
    fi
  done
  for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
fi

# run_preset PRESET "TARGETS" CTEST-ARGS...; an empty target list builds everything.
run_preset() {
  local preset=$1 targets=$2; shift 2
  echo "=== build: $preset"
  cmake --preset "$preset" >/dev/null
  local target_args=()
  for t in $targets; do target_args+=(--target "$t"); done
  cmake --build --preset "$preset" -j "$jobs" "${target_args[@]}"
  echo "=== test: $preset $*"
  (cd "build/$preset" && ctest --output-on-failure -j "$jobs" --timeout 1500 "$@") || status=1
  echo "=== $preset done at ${SECONDS}s"
}

# The fuzz targets over their seeds and kept crashes, in a clang build of their own.
run_fuzz_corpora() {
  echo "=== build: fuzz (clang, libFuzzer)"
  CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DORVANE_FUZZ=ON -DORVANE_SANITIZE=ON >/dev/null
  cmake --build build/fuzz --target fuzz_all -j "$jobs"
  echo "=== test: fuzz corpora"
  (cd build/fuzz && ctest --output-on-failure -j "$jobs" -L fuzz) || status=1
  echo "=== fuzz done at ${SECONDS}s"
}

run_preset release ""

# The post-quantum code must not read uninitialised memory, nor branch on secrets (the
# constant-time checks mark secrets undefined and only run under valgrind). The kit's core test
# program loads no media or platform library, whose start-up code valgrind may not be able to run.
echo "=== valgrind: post-quantum primitives"
vg_found=99
set +e
valgrind --quiet --error-exitcode=$vg_found --leak-check=no build/release/OrvaneKit_tests \
  --gtest_brief=1 --gtest_filter='MlKem768.*:XWing.*:MlDsa87.*'
vg=$?
set -e
if [[ $vg -eq $vg_found ]]; then
  echo "valgrind: memory errors found in the post-quantum tests (above)"
  status=1
elif [[ $vg -ne 0 ]]; then
  echo "valgrind: the tool itself failed (exit $vg), not a finding in our code; see its output above"
  status=1
fi
if [[ "${ORVANE_QUICK:-0}" != 1 ]]; then
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  # The sanitizer builds make only the test programs they run, to keep CI short.
  run_preset debug "OrvaneKit_tests OrvaneKitPlatform_tests OrvaneHost_tests OrvaneHostUi_tests Integration_tests orvane-peer orvane-host" -L 'unit|net' -LE slow
  export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$root/tests/tsan.supp"
  run_preset tsan "OrvaneKit_tests OrvaneKitPlatform_tests OrvaneHost_tests" -R 'Concurrency'
  run_fuzz_corpora
fi

exit $status
