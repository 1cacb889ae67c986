#!/usr/bin/env bash
# Capture -> encode on a private Xvfb: ours against `ffmpeg -f x11grab`, on the same full-screen
# animation (or a still screen). Held equal: 4:2:0 output (NV12 for H.264, I420 for HEVC),
# ultrafast + zerolatency, the thread cap, ABR 12 Mbit/s with a 12 Mbit/s VBV cap and a 6 Mbit
# buffer, keyframe interval 600, no B-frames, no scene cuts, the capture rate given to rate
# control, and the CPUs both run on (taskset -c $CPUS). ffmpeg passes frames through as grabbed.
#
#   bench/capture/run.sh [BUILD_DIR]      env: DURATION (20 s), RUNS (3), THREADS (4), CPUS (0-3),
#                                              HOG_CPU (first of CPUS), CASES (all below),
#                                              XVFB_DISPLAY (a free number from 140 up)
# Cases: h264, hevc      60 fps target, screen repainted at 60 fps
#        h264-afap       no pacing (1000 fps target), screen repainted as fast as it can be
#        h264-loaded     60 fps target with a CPU hog pinned to HOG_CPU, beside both sides
#        idle            still screen: compares designs, ours sends only changed frames
#        scaled          2560x1440 screen scaled to 2304 wide
# Prints medians and ratios, and appends them to $RESULTS (BUILD_DIR/bench-results/capture.tsv).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build/release}
bench=$build/bench/bench_capture
[[ -x $bench ]] || { echo "no $bench: build the bench_capture target first" >&2; exit 1; }
command -v ffmpeg >/dev/null || { echo "ffmpeg is not installed" >&2; exit 1; }

DURATION=${DURATION:-20}
RUNS=${RUNS:-3}
THREADS=${THREADS:-4}
CPUS=${CPUS:-0-3}
HOG_CPU=${HOG_CPU:-${CPUS%%[-,]*}}
CASES=${CASES:-"h264 h264-afap h264-loaded hevc idle scaled"}
WARMUP=3
RESULTS=${RESULTS:-$build/bench-results/capture.tsv}
mkdir -p "$(dirname "$RESULTS")"
work=$(mktemp -d)

xvfb_pid=""
driver_pid=""
hog_pid=""
cleanup() {
  [[ -n $driver_pid ]] && kill "$driver_pid" 2>/dev/null || true
  [[ -n $hog_pid ]] && kill "$hog_pid" 2>/dev/null || true
  [[ -n $xvfb_pid ]] && kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

start_xvfb() {  # WIDTH HEIGHT
  [[ -n $xvfb_pid ]] && { kill "$xvfb_pid" 2>/dev/null || true; wait "$xvfb_pid" 2>/dev/null || true; }
  for n in ${XVFB_DISPLAY:-$(seq 140 190)}; do
    if [[ ! -e /tmp/.X11-unix/X$n && ! -e /tmp/.X$n-lock ]]; then
      Xvfb ":$n" -screen 0 "$1x$2x24" -noreset -nolisten tcp >/dev/null 2>&1 &
      xvfb_pid=$!
      display=":$n"
      for _ in $(seq 100); do
        DISPLAY=$display xdpyinfo >/dev/null 2>&1 && return 0
        sleep 0.05
      done
    fi
  done
  echo "could not start Xvfb" >&2
  exit 1
}

start_driver() {  # anim|static WIDTH HEIGHT
  "$bench" drive "$display" "$paint_fps" $((DURATION + WARMUP + 5)) "$1" "$2" "$3" &
  driver_pid=$!
  sleep "$WARMUP"
}

stop_driver() {
  kill "$driver_pid" 2>/dev/null || true
  wait "$driver_pid" 2>/dev/null || true
  driver_pid=""
}

start_hog() {
  taskset -c "$HOG_CPU" "$bench" hog $((2 * (DURATION + WARMUP) + 20)) &
  hog_pid=$!
}

stop_hog() {
  [[ -n $hog_pid ]] || return 0
  kill "$hog_pid" 2>/dev/null || true
  wait "$hog_pid" 2>/dev/null || true
  hog_pid=""
}

# Prints "frames cpu wall".
run_peer() {  # codec WIDTH HEIGHT MAXWIDTH
  local codec_args scale_args=()
  local common=(-preset ultrafast -tune zerolatency -b:v 12M -maxrate 12M -bufsize 6M -g 600)
  if [[ $1 == hevc ]]; then
    codec_args=(-pix_fmt yuv420p -c:v libx265 "${common[@]}"
                -x265-params "pools=$THREADS:frame-threads=1:lookahead-threads=0:scenecut=0:bframes=0:open-gop=0:log-level=error")
  else
    codec_args=(-pix_fmt nv12 -c:v libx264 "${common[@]}" -profile:v high -bf 0
                -threads "$THREADS" -x264-params scenecut=0:sliced-threads=1)
  fi
  if (( $4 < $2 )); then scale_args=(-vf "scale=$4:-2:flags=bilinear"); fi
  taskset -c "$CPUS" ffmpeg -hide_banner -nostdin -benchmark -f x11grab -framerate "$capture_fps" \
    -video_size "$2x$3" -i "$display" -t "$DURATION" -fps_mode passthrough "${scale_args[@]}" \
    "${codec_args[@]}" -f null - 2>"$work/peer.log" || { cat "$work/peer.log" >&2; exit 1; }
  local frames bench
  frames=$(tr '\r' '\n' <"$work/peer.log" | grep -o 'frame= *[0-9]*' | tail -1 | grep -o '[0-9]*')
  bench=$(grep -o 'bench: utime=[0-9.]*s stime=[0-9.]*s rtime=[0-9.]*s' "$work/peer.log" | tail -1)
  echo "$bench" | sed -E 's/.*utime=([0-9.]+)s stime=([0-9.]+)s rtime=([0-9.]+)s.*/\1 \2 \3/' |
    awk -v f="$frames" '{ print f, $1 + $2, $3 }'
}

run_ours() {  # codec MAXWIDTH
  taskset -c "$CPUS" "$bench" ours "$display" "$1" "$DURATION" "$THREADS" "$2" "$capture_fps" \
    2>"$work/ours.log" |
    sed -E 's/frames=([0-9]+) cpu=([0-9.]+) wall=([0-9.]+).*/\1 \2 \3/'
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

stamp=$(date -u +%Y-%m-%dT%H:%M:%SZ)
echo "nproc $(nproc), load $(cut -d' ' -f1-3 /proc/loadavg), both sides on CPUs $CPUS, $THREADS encoder threads"
[[ -s $RESULTS ]] || printf 'date\tcase\tours_fps\tpeer_fps\tfps_ratio\tours_cpu_per_frame_ms\tpeer_cpu_per_frame_ms\tcpu_per_frame_ratio\tours_cpu_s\tpeer_cpu_s\tcpu_ratio\n' >"$RESULTS"

for case in $CASES; do
  codec=h264; width=1920; height=1080; maxw=1920; content=anim
  capture_fps=60; paint_fps=60; loaded=0
  case $case in
    hevc) codec=hevc ;;
    h264-afap) capture_fps=1000; paint_fps=1000 ;;
    h264-loaded) loaded=1 ;;
    idle) content=static ;;
    scaled) width=2560; height=1440; maxw=2304 ;;
    h264) ;;
    *) echo "unknown case $case" >&2; exit 2 ;;
  esac
  start_xvfb "$width" "$height"
  : >"$work/ours.txt"; : >"$work/peer.txt"
  for _ in $(seq "$RUNS"); do
    (( loaded )) && start_hog
    start_driver "$content" "$width" "$height"; run_peer "$codec" "$width" "$height" "$maxw" >>"$work/peer.txt"; stop_driver
    start_driver "$content" "$width" "$height"; run_ours "$codec" "$maxw" >>"$work/ours.txt"; stop_driver
    stop_hog
  done
  # Per run: fps, CPU ms per frame, CPU seconds; then medians.
  for side in ours peer; do
    awk '{ printf "%f %f %f\n", $1 / $3, ($1 > 0 ? 1000 * $2 / $1 : 0), $2 }' "$work/$side.txt" >"$work/$side.m"
    eval "${side}_fps=$(cut -d' ' -f1 "$work/$side.m" | median)"
    eval "${side}_cpf=$(cut -d' ' -f2 "$work/$side.m" | median)"
    eval "${side}_cpu=$(cut -d' ' -f3 "$work/$side.m" | median)"
  done
  ratios=$(awk -v of="$ours_fps" -v pf="$peer_fps" -v oc="$ours_cpf" -v pc="$peer_cpf" \
    -v ou="$ours_cpu" -v pu="$peer_cpu" \
    'BEGIN { printf "%.3f %.3f %.3f", of / pf, (pc > 0 ? oc / pc : 0), (pu > 0 ? ou / pu : 0) }')
  read -r fps_ratio cpf_ratio cpu_ratio <<<"$ratios"
  printf '%-7s ours %6.1f fps %7.2f ms CPU/frame %6.2f s CPU | x11grab %6.1f fps %7.2f ms CPU/frame %6.2f s CPU | fps ratio %s, CPU/frame ratio %s, CPU ratio %s\n' \
    "$case" "$ours_fps" "$ours_cpf" "$ours_cpu" "$peer_fps" "$peer_cpf" "$peer_cpu" \
    "$fps_ratio" "$cpf_ratio" "$cpu_ratio"
  [[ $case == idle ]] && echo "        (idle compares designs: ours encodes only changed frames, x11grab grabs every slot)"
  printf '%s\t%s\t%.2f\t%.2f\t%s\t%.3f\t%.3f\t%s\t%.3f\t%.3f\t%s\n' "$stamp" "$case" \
    "$ours_fps" "$peer_fps" "$fps_ratio" "$ours_cpf" "$peer_cpf" "$cpf_ratio" \
    "$ours_cpu" "$peer_cpu" "$cpu_ratio" >>"$RESULTS"
done
echo "results appended to $RESULTS"
