#!/usr/bin/env bash
# The one list of packages the build, the host and the tests need. Safe to run twice.
set -euo pipefail

PACKAGES=(
  # build and test toolchain
  cmake ninja-build pkg-config g++ clang clang-format ccache git
  libgtest-dev libgmock-dev libbenchmark-dev valgrind
  python3
  # runtime foundation, crypto, protocol
  libssl-dev openssl libasio-dev nlohmann-json3-dev libicu-dev
  # video and sound
  libavcodec-dev libavutil-dev libavformat-dev libswscale-dev libswresample-dev
  libx264-dev libx265-dev ffmpeg libyuv-dev
  libpulse-dev pulseaudio pulseaudio-utils sox
  # X11 capture and input
  libx11-dev libxext-dev libxrandr-dev libxfixes-dev libxdamage-dev libxcomposite-dev
  libxrender-dev libxi-dev libxtst-dev libxss-dev xvfb x11-utils libxcb1-dev libxcb-dpms0-dev
  # the composited capture's tests run one under a compositing manager
  xcompmgr
  # the input benchmark's peer
  xdotool
  # the clipboard tests' stand-in for other programs
  xclip
  # desktop services: notifications over D-Bus
  libsystemd-dev
  # the update check's HTTPS client
  libcurl4-openssl-dev
  # viewers' commands: apps and addresses opened, screen text, snapshots, the alert sound
  xdg-utils libglib2.0-bin tesseract-ocr tesseract-ocr-eng libtesseract-dev libleptonica-dev
  libturbojpeg0-dev libcanberra-dev libcanberra-pulse sound-theme-freedesktop
  # test pages for screen text
  ghostscript
  # printing to a device: the print queue, PDF conversion, and the print tests' readers
  cups cups-filters poppler-utils inotify-tools
  # discovery
  libavahi-client-dev avahi-daemon avahi-utils dbus iproute2
  # the owner's cloud records, kept in an embedded store
  libsqlite3-dev sqlite3
  # the cloud store shared by several machines, and the private server its tests start
  libpq-dev postgresql-15
  # the router port mapping, and the namespace tests' gateway, STUN server and capture
  libnatpmp-dev natpmpc miniupnpd-nftables nftables coturn tcpdump
  # QUIC for punched connections, and its packaged example peers for the benchmark
  libngtcp2-dev libngtcp2-crypto-gnutls-dev libgnutls28-dev ngtcp2-server ngtcp2-client
  # fuzzing (libFuzzer runtime for clang)
  libclang-rt-14-dev
  # test oracles; the browser viewer test drives Debian's chromium, curl fetches its page
  nodejs npm chromium curl
  # the desktop interface: Qt widgets, icons, fonts and the pairing QR code
  qt6-base-dev qt6-svg-dev libqrencode-dev adwaita-icon-theme fonts-dejavu-core
  # its tests: QR decoding, screenshots, window and tray hosts, the accessibility tree
  zbar-tools imagemagick wmctrl openbox trayer at-spi2-core python3-pyatspi
  # screen overlays and shared-screen windows: size hints, and a compositing manager for tests
  libxcb-icccm4-dev xcompmgr
  # the launcher entry and the bus activation file are checked as the desktop reads them
  desktop-file-utils
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

# node may come from another apt source than Debian's; any working node and npm will do.
if command -v node >/dev/null && command -v npm >/dev/null; then
  filtered=()
  for p in "${missing[@]}"; do
    [[ "$p" == nodejs || "$p" == npm ]] || filtered+=("$p")
  done
  missing=("${filtered[@]}")
fi

if ((${#missing[@]})); then
  SUDO=""
  [[ $(id -u) -eq 0 ]] || SUDO="sudo"
  echo "install-deps: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
else
  echo "install-deps: all packages present"
fi

# Node packages for the test oracles and the browser test.
root=$(cd "$(dirname "$0")/.." && pwd)
for pkg in "$root"/tests/oracle "$root"/tests/browser; do
  if [[ -f "$pkg/package-lock.json" && ! -d "$pkg/node_modules" ]]; then
    (cd "$pkg" && npm ci --no-audit --no-fund --silent)
  fi
done
