#!/usr/bin/env bash
# Makes the print queue "Orvane" ("Print with Orvane" in every print dialog), whose backend hands
# each job as a PDF to the printing user's Orvane Host. Run as root, once; safe to repeat.
#
#   scripts/install-print-queue.sh [--backend FILE] [--backend-dir DIR] [--remove]
#
#   --backend FILE     the built backend (default: build/release/Orvane_Host/print/cups/orvane)
#   --backend-dir DIR  the print server's backend folder (default: /usr/lib/cups/backend)
#   --remove           takes the queue, the backend and the AppArmor lines away again
#
# The queue is made on the print server that lpadmin reaches (CUPS_SERVER names another). It is
# not shared: no other computer may send documents to someone's phone.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
backend="$root/build/release/Orvane_Host/print/cups/orvane"
backend_dir=/usr/lib/cups/backend
ppd="$root/Orvane_Host/print/cups/Orvane.ppd"
remove=false
queue=Orvane

die() {
  echo "install-print-queue: $*" >&2
  exit 1
}

while (($#)); do
  case "$1" in
    --backend) backend=${2:?--backend needs a file}; shift 2 ;;
    --backend-dir) backend_dir=${2:?--backend-dir needs a folder}; shift 2 ;;
    --remove) remove=true; shift ;;
    *) die "unknown argument $1 (see the top of this script)" ;;
  esac
done

[[ $(id -u) -eq 0 ]] || die "run as root (sudo $0): the backend is installed for the print server"
command -v lpadmin >/dev/null || die "lpadmin is missing: install the cups package first"

# cupsd confined by AppArmor may start only the backends its profile names. Debian's profile
# sends every backend to a broad profile of its own; one without that rule needs a line for ours.
profile=/etc/apparmor.d/usr.sbin.cupsd
override=/etc/apparmor.d/local/usr.sbin.cupsd
begin="# Orvane print queue (scripts/install-print-queue.sh)"
end="# end of Orvane print queue"
apparmor_applies() {
  [[ $backend_dir == /usr/lib/cups/backend && -d /sys/kernel/security/apparmor && -f $profile ]]
}
reload_profile() {
  if command -v apparmor_parser >/dev/null; then
    apparmor_parser -r -T -W "$profile" || die "the AppArmor profile of cupsd did not load"
  fi
}
drop_override() {
  [[ -f $override ]] && grep -qF "$begin" "$override" || return 1
  sed -i "/^$begin\$/,/^$end\$/d" "$override"
}

if $remove; then
  if lpstat -p "$queue" >/dev/null 2>&1; then
    lpadmin -x "$queue"
    echo "install-print-queue: removed the queue $queue"
  fi
  rm -f "$backend_dir/orvane"
  if apparmor_applies && drop_override; then reload_profile; fi
  exit 0
fi

[[ -x $backend ]] ||
  die "no backend at $backend: build it first (cmake --build --preset release --target orvane-print-backend)"
[[ -f $ppd ]] || die "no $ppd"

# Mode 0700: the print server then runs it as root, so it can become the printing user.
install -d -m 0755 "$backend_dir"
install -m 0700 -o root -g root "$backend" "$backend_dir/orvane"

if apparmor_applies && ! grep -Eq '^[[:space:]]*/usr/lib/cups/backend/\*[[:space:]]+C' "$profile"; then
  if ! grep -qF "$begin" "$override" 2>/dev/null; then
    printf '%s\n  %s Ux,\n%s\n' "$begin" "$backend_dir/orvane" "$end" >>"$override"
    reload_profile
  fi
fi

# -E after -p: enabled and accepting. A job the backend cannot deliver is dropped, and the queue
# keeps printing.
lpadmin -p "$queue" -E -v orvane:/ -P "$ppd" -D "Print with Orvane" \
  -o printer-is-shared=false -o printer-error-policy=abort-job
echo "install-print-queue: the queue $queue is ready (\"Print with Orvane\")"
