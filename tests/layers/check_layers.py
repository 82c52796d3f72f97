#!/usr/bin/env python3
"""Fails when a source file includes a folder of a higher layer, or of another folder of its
own layer: the layers are engine < platform, skins < core < the windows < app (main window
and main.cpp). The core stays free of the sound server's and the window system's headers
(its Qt is Qt Core alone, which its link line enforces). Fails too when the layer table of
docs/architecture.md lists the folders in another order. Usage: check_layers.py SOURCE_DIR"""
import pathlib
import re
import sys

RANK = {"engine": 0, "platform": 1, "skins": 1, "core": 2,
        "settings": 3, "encoding": 3, "dialogs": 3, "app": 4}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([a-z]+)/', re.M)
SYSTEM = re.compile(r'^\s*#\s*include\s+<((?:pulse|xcb|X11|sndfile)[^>]*)>', re.M)

root = pathlib.Path(sys.argv[1])
faults = []

# The documented order: the folders in the order the layer table names them, lowest first.
table = (root / "docs" / "architecture.md").read_text().split("## Layers", 1)[1].split("\n## ", 1)[0]
documented = []
for row in table.splitlines():
    cells = row.split("|")
    if len(cells) > 4:
        documented += [f for f in re.findall(r"`([a-z]+)/`", cells[3]) if f not in documented]
if sorted(documented) != sorted(RANK):
    faults.append(f"docs/architecture.md lists the folders {documented}, not {sorted(RANK)}")
for lower, higher in zip(documented, documented[1:]):
    if RANK.get(lower, 0) > RANK.get(higher, 0):
        faults.append(f"docs/architecture.md puts {higher}/ above {lower}/, against the includes")
for folder, rank in RANK.items():
    for path in sorted((root / folder).rglob("*")):
        if path.suffix not in (".h", ".cpp"):
            continue
        for used in INCLUDE.findall(path.read_text(errors="replace")):
            if used == folder or used not in RANK:
                continue
            if RANK[used] >= rank:
                faults.append(f"{path.relative_to(root)} includes {used}/")
        if folder == "core":
            faults += [f"{path.relative_to(root)} includes <{header}>"
                       for header in SYSTEM.findall(path.read_text(errors="replace"))]
print("\n".join(faults) or "every include runs downward")
sys.exit(1 if faults else 0)
