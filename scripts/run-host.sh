#!/usr/bin/env bash
# Installs what is needed, builds, and starts the host (on a virtual display when there is none).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)"
if [[ ! -x build/release/Orvane_Host/app/orvane-host ]]; then
  echo "run-host: the host application is not built yet" >&2
  exit 1
fi
if [[ -z "${DISPLAY:-}" ]]; then
  # Nobody sees a virtual display: the terminal host serves it, not the desktop interface.
  exec xvfb-run -a -s "-screen 0 1920x1080x24" build/release/Orvane_Host/app/orvane-host --headless "$@"
fi
exec build/release/Orvane_Host/app/orvane-host "$@"
