#!/usr/bin/env python3
"""Fails when a source file includes a folder of a higher layer, or of another folder of its
own layer: the layers are engine < platform, skins < core < the windows < app (main window
and main.cpp). The core stays free of the sound server's and the window system's headers
(its Qt is Qt Core alone, which its link line enforces). Usage: check_layers.py SOURCE_DIR"""
import pathlib
import re
import sys

RANK = {"engine": 0, "platform": 1, "skins": 1, "core": 2,
        "settings": 3, "encoding": 3, "dialogs": 3, "app": 4}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([a-z]+)/', re.M)
SYSTEM = re.compile(r'^\s*#\s*include\s+<((?:pulse|xcb|X11|sndfile)[^>]*)>', re.M)

root = pathlib.Path(sys.argv[1])
faults = []
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
