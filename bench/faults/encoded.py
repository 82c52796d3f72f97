"""Faults 22-23: a take saved as FLAC (encoded while it records) ended by SIGTERM, and killed by
SIGKILL and started again: the FLAC holds what the WAV would have held, no WAV stays beside it,
and nothing unfinished is left behind."""

import os
import signal
import subprocess
import time

from harness import (Run, killed_into_take, overwritten, record, row, secs, short, snapshot,
                     write_config)
from kills import left_behind, left_cells, restarted


def flac_seconds(path):
    """The length libsndfile's `sndfile-info` would give, read with `metaflac` instead."""
    out = subprocess.run(["metaflac", "--show-total-samples", "--show-sample-rate", path],
                         capture_output=True, text=True)
    if out.returncode != 0:
        return None
    samples, rate = (int(v) for v in out.stdout.split())
    return samples / rate


def until(test, timeout):
    began = time.monotonic()
    while time.monotonic() - began < timeout and not test():
        time.sleep(0.1)


def takes(appdir, extension):
    return sorted(f for f in os.listdir(appdir) if f.startswith("take") and f.endswith(extension))


def kept_cell(appdir):
    flacs = takes(appdir, ".flac")
    wavs = takes(appdir, ".wav")
    kept = " ".join(f"{secs(flac_seconds(os.path.join(appdir, f)))} ({f})" for f in flacs)
    return kept or "NO FLAC", flacs, wavs


def f22_sigterm_encoded(ctx):
    appdir = ctx.app("f22")
    write_config(appdir, os.path.join(appdir, "take.wav"), extra="Take Format=FLAC\n")
    cache = os.path.join(appdir, "cache")
    before = snapshot(appdir)
    app = Run(appdir, "run.log")
    try:
        app.main()
        mark = len(app.statuses())
        ran = record(app, 3, stop=False)
        signalled = time.monotonic()
        app.proc.send_signal(signal.SIGTERM)
        code = app.exit_code(20)
        ended = time.monotonic() - signalled
        seen = app.trail(mark)
    finally:
        app.stop()
    kept, flacs, wavs = kept_cell(appdir)
    left, names = left_cells(left_behind(appdir, cache))
    return row("22. SIGTERM 3 s into a take saved as FLAC", short(seen) or "(no red line)", kept,
               secs(ran), overwritten(before),
               f"exit status {code} {secs(ended)} s after the signal; FLAC takes {flacs}; "
               f"WAV takes {wavs or 'none'}; {names}", left)


def f23_sigkill_encoded(ctx):
    appdir = ctx.app("f23")
    write_config(appdir, os.path.join(appdir, "take.wav"), extra="Take Format=FLAC\n")
    cache = os.path.join(appdir, "cache")
    ran = killed_into_take(appdir, 3)
    hidden = sorted(f for f in os.listdir(appdir) if f.startswith(".take"))
    # The hidden unfinished FLAC is the program's own to remove, not a file of the user's.
    before = {p: sha for p, sha in snapshot(appdir).items()
              if not os.path.basename(p).startswith(".")}
    # The recovered WAV is encoded after the start-up's report: its FLAC is waited for, then
    # a WAV still there is one the fault left.
    def settled():
        until(lambda: takes(appdir, ".flac"), 15)
        return [os.path.join(appdir, t) for t in takes(appdir, ".wav")]

    seen, found, lines = restarted(appdir, cache, wrong=settled)
    kept, flacs, wavs = kept_cell(appdir)
    left, names = left_cells(found)
    return row("23. SIGKILL 3 s into a take saved as FLAC, started again", short(seen, 400),
               kept, secs(ran), overwritten(before),
               f"hidden files at the kill: {hidden or 'none'}; FLAC takes {flacs}; WAV takes "
               f"{wavs or 'none'}; list lines {lines}; {names}", left)


FAULTS = {22: f22_sigterm_encoded, 23: f23_sigkill_encoded}
