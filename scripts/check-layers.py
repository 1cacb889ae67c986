#!/usr/bin/env python3
"""Fails when an include crosses the layering.

  OrvaneKit never includes Orvane_Host.
  Core code (outside backend folders, tests and testing/) includes no platform library and no
  backend folder; the host's core never includes app/ or ui/.
  A backend folder includes only its own technology's headers.
  Qt appears only under Orvane_Host/ui and Orvane_Host/app; the interface never includes the app.
Tests, testing/ folders, tools/, bench/ and fuzz/ put layers together, so only the first and the
last rule apply there.

  scripts/check-layers.py [FILE...]     (default: every tracked C/C++ file)
"""
import re
import subprocess
import sys

# Technology folder -> the system headers it alone may include.
BACKENDS = {
    "x11": [r"X11/", r"xcb/"],
    "pulse": [r"pulse/"],
    "dbus": [r"systemd/"],
    "avahi": [r"avahi-"],
    "linux": [],
    "ffmpeg": [r"libav", r"libsw"],
    "x26x": [r"x264\.h", r"x265\.h"],
    "curl": [r"curl/"],
    "tesseract": [r"tesseract/", r"leptonica/"],
    "turbojpeg": [r"turbojpeg\.h"],
    "canberra": [r"canberra\.h"],
    "inotify": [r"sys/inotify\.h"],
    "cups": [r"cups/"],
    "natpmp": [r"natpmp\.h"],
}
PLATFORM = {tech: pats for tech, pats in BACKENDS.items()}
QT = r"(Qt[A-Za-z]*/|Q[A-Z][A-Za-z]*$|Q[A-Z][A-Za-z]*>)"

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')


def backend_of(path):
    """The technology of the backend folder that holds path, or None."""
    for part in path.split("/")[:-1]:
        if part in BACKENDS:
            return part
    return None


def is_composition(path):
    parts = path.split("/")
    return (
        path.endswith("_test.cpp")
        or "testing" in parts
        or parts[0] in ("tools", "bench", "fuzz", "tests")
        or path.startswith("Orvane_Host/app/")
        or path.startswith("Orvane_Host/ui/")
    )


def platform_tech(header):
    for tech, pats in PLATFORM.items():
        if any(re.match(p, header) for p in pats):
            return tech
    return None


def check(path, lines):
    problems = []
    tree = path.split("/")[0]
    own = backend_of(path)
    composition = is_composition(path)
    qt_allowed = path.startswith(("Orvane_Host/ui/", "Orvane_Host/app/"))
    for n, line in enumerate(lines, 1):
        m = INCLUDE.match(line)
        if not m:
            continue
        header = m.group(2)

        def bad(why):
            problems.append(f"{path}:{n}: includes {header}: {why}")

        if tree == "OrvaneKit" and header.startswith("Orvane_Host/"):
            bad("the shared library never depends on the host")
        if m.group(1) == "<" and re.match(QT, header) and not qt_allowed:
            bad("Qt belongs to Orvane_Host/ui and Orvane_Host/app")
        if path.startswith("Orvane_Host/ui/") and header.startswith("Orvane_Host/app/"):
            bad("the interface is made by the app, never the other way round")
        if composition:
            continue
        if m.group(1) == "<":
            tech = platform_tech(header)
            if tech and tech != own:
                where = f"the {own}/ backend" if own else "core code"
                bad(f"{where} must not use {tech}; put it in a {tech}/ backend folder")
        else:
            target = backend_of(header)
            if target and target != own:
                bad(f"a {target}/ backend is chosen by the composition root, not included here")
            if tree == "Orvane_Host" and header.startswith(("Orvane_Host/app/", "Orvane_Host/ui/")):
                bad("the host's core never depends on the app or the interface")
    return problems


def main(argv):
    files = argv[1:]
    if not files:
        out = subprocess.run(
            ["git", "ls-files", "*.cpp", "*.h", "*.c", "*.hpp"],
            check=True, capture_output=True, text=True,
        ).stdout
        files = [f for f in out.splitlines() if f]
    problems = []
    for path in files:
        try:
            with open(path, encoding="utf-8", errors="replace") as fh:
                problems += check(path, fh.read().splitlines())
        except FileNotFoundError:
            continue
    for p in problems:
        print(p)
    if problems:
        print(f"check-layers: {len(problems)} include(s) cross the layering")
        return 1
    print(f"check-layers: {len(files)} files keep to the layering")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
