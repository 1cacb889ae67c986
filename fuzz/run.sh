#!/usr/bin/env bash
# Long fuzz run of one target: fuzz/run.sh TARGET SECONDS [libFuzzer options...]
# TARGET is the name without the prefix (frame_decoder, json_bodies, video_packet,
# video_depacketizer, record_open, http_head, websocket_frames, stun_response, pairing_link,
# handshake, connection, or handshake_fastpq and connection_fastpq over the post-quantum
# stand-ins). New inputs go to a working corpus under the build directory, seeded from
# fuzz/corpus/TARGET (without _fastpq); crashes land in its artifacts/ folder. To keep one as a
# regression, copy it into fuzz/corpus/TARGET/ with a telling name.
# Environment: ORVANE_FUZZ_BUILD (default build/fuzz, or build/fuzz-fastpq for the _fastpq
# targets; configured by this script if missing), FUZZ_RUNS (default 10000000), ORVANE_FUZZ_ASAN
# (OFF: a build without AddressSanitizer, UBSan only, for runs of millions of inputs; its build
# directory ends in -noasan).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [[ $# -lt 2 ]]; then
  echo "usage: $0 TARGET SECONDS [libFuzzer options...]" >&2
  exit 2
fi
target=$1 seconds=$2
shift 2
base=${target%_fastpq}
fastpq=OFF
[[ $base != "$target" ]] && fastpq=ON
asan=${ORVANE_FUZZ_ASAN:-ON}
sanitize=(-DORVANE_SANITIZE=ON)
suffix=""
if [[ $asan == OFF ]]; then
  sanitize=(-DORVANE_FUZZ_ASAN=OFF)
  suffix=-noasan
fi
if [[ $fastpq == ON ]]; then
  build=${ORVANE_FUZZ_BUILD:-$root/build/fuzz-fastpq$suffix}
else
  build=${ORVANE_FUZZ_BUILD:-$root/build/fuzz$suffix}
fi

if [[ ! -f "$build/CMakeCache.txt" ]]; then
  CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DORVANE_FUZZ=ON "${sanitize[@]}" -DORVANE_FUZZ_FAST_PQ=$fastpq >/dev/null
fi
cmake --build "$build" --target "fuzz_$target"

extra=()
# The connection's transport frees its last buffers on the network thread after an input ends,
# which would make libFuzzer run a full leak scan after every input; leaks are still reported
# when the run ends.
[[ $base == connection ]] && extra+=(-detect_leaks=0)

seeds=$root/fuzz/corpus/$base
work=$build/fuzz-work/$target
mkdir -p "$work/corpus" "$work/artifacts"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
exec "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -runs="${FUZZ_RUNS:-10000000}" \
  -print_final_stats=1 -rss_limit_mb=4096 \
  -artifact_prefix="$work/artifacts/" "${extra[@]}" "$@" "$work/corpus" "$seeds"
