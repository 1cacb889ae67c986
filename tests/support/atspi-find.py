#!/usr/bin/python3
"""Prints the screen centre "X Y" of the first accessible object named NAME (and with ROLE, when
given) in the application whose name contains APP, searched on the accessibility bus of this
session; exits 1 when none shows within the time-out.

  atspi-find.py APP NAME [ROLE] [SECONDS]
"""
import sys
import time

import pyatspi


def find(node, name, role, depth=0):
    if node is None or depth > 40:
        return None
    try:
        if node.name == name and (not role or node.getRoleName() == role):
            return node
        for i in range(node.childCount):
            hit = find(node.getChildAtIndex(i), name, role, depth + 1)
            if hit:
                return hit
    except Exception:
        return None
    return None


def main():
    app, name = sys.argv[1], sys.argv[2]
    role = sys.argv[3] if len(sys.argv) > 3 else ""
    limit = float(sys.argv[4]) if len(sys.argv) > 4 else 15
    until = time.time() + limit
    while time.time() < until:
        desktop = pyatspi.Registry.getDesktop(0)
        for i in range(desktop.childCount):
            a = desktop.getChildAtIndex(i)
            if a is None or app not in (a.name or ""):
                continue
            hit = find(a, name, role)
            if hit:
                box = hit.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
                if box.width > 0 and box.height > 0:
                    print(box.x + box.width // 2, box.y + box.height // 2)
                    return 0
        time.sleep(0.2)
    return 1


sys.exit(main())
