"""Faults 15-21: an input that goes away, runs killed at awkward moments and started again,
and starts under limits (a file size limit, a full disk). Each row also counts the files the
fault left behind once the row's last start of the program has finished its start-up."""

import fnmatch
import glob
import os
import re
import resource
import shutil
import signal
import struct
import subprocess
import tempfile
import time
from array import array

from harness import (
    MONO16,
    Run,
    SAVED,
    children,
    command_of,
    d,
    open_file,
    overwritten,
    row,
    secs,
    short,
    snapshot,
    tone_wav,
    wav_seconds,
    write_config,
)

HIDDEN = (".*.partial-*", ".*.converting-*")
CAPTURES = ("capture-*.wav", "soundcheck-*.wav", "*.grow")


def left_behind(appdir, cache, wrong=()):
    """What an interrupted run may strand: hidden unfinished files beside the app dir's and
    the save folder's files, captures and their copies in the capture folder, the entries
    listing unfinished files, and `wrong`: final names the fault must not have made."""
    found = set()
    for base, _, names in os.walk(appdir):
        found.update(os.path.join(base, n) for n in names
                     if any(fnmatch.fnmatch(n, p) for p in HIDDEN))
    captures = os.path.join(cache, "tunewright")
    if os.path.isdir(captures):
        found.update(os.path.join(captures, n) for n in os.listdir(captures)
                     if any(fnmatch.fnmatch(n, p) for p in CAPTURES))
        listed = os.path.join(captures, "unfinished")
        if os.path.isdir(listed):
            found.update(os.path.join(listed, n) for n in os.listdir(listed)
                         if os.path.islink(os.path.join(listed, n)))
    found.update(p for p in wrong if os.path.lexists(p))
    return sorted(found)


def left_cells(found):
    """The column's count and the note's names."""
    names = " ".join(short(p) for p in found)
    return str(len(found)), (f"left behind: {names}" if found else "left behind: none")


def wav_length(path):
    """Seconds of a WAV's data, from its header and its size, without reading the samples
    (the stranded capture of row 17 is half a gigabyte)."""
    size = os.path.getsize(path)
    with open(path, "rb") as f:
        head = f.read(12)
        if len(head) < 12 or head[8:12] != b"WAVE":
            raise d.Failure(f"{path} is not a WAV file")
        align = rate = ds64 = None
        while True:
            chunk = f.read(8)
            if len(chunk) < 8:
                raise d.Failure(f"{path}: no data chunk")
            cid, length = chunk[:4], struct.unpack("<I", chunk[4:])[0]
            if cid == b"ds64":
                ds64 = struct.unpack("<QQ", f.read(16))[1]
                f.seek(length - 16, 1)
            elif cid == b"fmt ":
                _, _, rate, _, align = struct.unpack("<HHIIH", f.read(14))
                f.seek(length - 14 + (length & 1), 1)
            elif cid == b"data":
                if length == 0xFFFFFFFF and ds64 is not None:
                    length = ds64
                return min(length, size - f.tell()) / align / rate
            else:
                f.seek(length + (length & 1), 1)


def rms_after(path, start):
    """RMS (of full scale 32768) of a 16-bit take's samples from `start` seconds on; None when
    the take is not that long."""
    (_, channels, rate, bits, align), samples = d.read_wav(path)
    first = int(start * rate) * align
    if bits != 16 or len(samples) <= first:
        return None
    values = array("h")
    values.frombytes(samples[first:len(samples) - (len(samples) - first) % 2])
    return (sum(v * v for v in values) / len(values)) ** 0.5


def status_now(app):
    """The status line's whole text (a read-only line edit: select all, copy, read the
    clipboard) and its colour from its pixels. The blue lines never reach stderr, and a long
    text shows only its start."""
    rows = d.grab(app.wid, app.status_rect())
    blue, red = d.text_extent(rows, "blue")[0], d.text_extent(rows, "red")[0]
    colour = "blue" if blue > red else "red" if red else "neither red nor blue"
    if not shutil.which("xclip"):
        return "(not read: xclip is missing)", colour
    rect = app.status_rect()
    d.run(["xdotool", "windowfocus", "--sync", str(app.wid)])
    d.click(app.wid, rect[0] + rect[2] // 2, rect[1] + rect[3] // 2)
    d.run(["xdotool", "key", "--clearmodifiers", "ctrl+a", "ctrl+c"])
    time.sleep(0.2)
    text = subprocess.run(["xclip", "-o", "-selection", "clipboard"], capture_output=True,
                          timeout=5).stdout.decode(errors="replace")
    d.keys("Home")  # the selection's highlight would hide the text's colour from the next look
    return text, colour


def wait_start_up(app, pattern=r"Removed|Recovered|could not|interrupted", timeout=5):
    """The main window, then the start-up's report if one comes (recovery runs on a thread
    of its own and says what it did when it is done); the status line's text and colour."""
    app.main()
    deadline = time.monotonic() + timeout
    while True:
        text, colour = status_now(app)
        if re.search(pattern, text) or time.monotonic() > deadline:
            break
        time.sleep(0.5)
    time.sleep(1.0)
    return status_now(app)


def start_seen(app, shown):
    """A restart's red lines, then what its status line shows at the end of its start-up."""
    text, colour = shown
    red = app.trail(0) or "(no red line)"
    return f"{red}; status line ({colour}): {text or '(empty)'}"


def restarted(appdir, cache, env=None, wrong=lambda: (), **waiting):
    """The program started again after a fault: what its start-up showed, what is left behind
    (`wrong()`: final names that must not exist, asked once the start-up is done) and the
    list's lines."""
    app = Run(appdir, "restart.log", env=env)
    try:
        seen = start_seen(app, wait_start_up(app, **waiting))
        found = left_behind(appdir, cache, wrong=wrong())
        lines = app.list_lines()
        app.exit()
    finally:
        app.stop()
    return seen, found, lines


def takes_in(folder):
    return sorted(f for f in os.listdir(folder) if f.startswith("take") and f.endswith(".wav"))


def kill_all(pids):
    for pid in pids:
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass


# --- 15 -----------------------------------------------------------------------------------

def f15_input_removed(ctx):
    _, runtime = ctx.servers.pulse("pulse-f15")
    env = {"XDG_RUNTIME_DIR": runtime}

    def pactl(*args):
        return subprocess.run(["pactl", *args], env=dict(os.environ, **env), check=True,
                              capture_output=True, text=True, timeout=10).stdout

    # A stream the server moved away would land on the default source: a tone makes it heard.
    pactl("set-default-source", "micsink.monitor")
    module = pactl("load-module", "module-null-sink", "sink_name=going").strip()
    names = [line.split("\t")[1] for line in pactl("list", "short", "sources").splitlines()]
    order = sorted((n for n in names if not n.endswith(".monitor")), key=str.encode) + \
        sorted((n for n in names if n.endswith(".monitor")), key=str.encode)
    number = order.index("going.monitor") + 1
    appdir = ctx.app("f15")
    take = os.path.join(appdir, "take.wav")
    write_config(appdir, take, source=number)
    before = snapshot(appdir)
    app = Run(appdir, "run.log", env=env)
    note = [f"Recording Source={number} (going.monitor of {' '.join(order)})"]
    try:
        app.main()
        mark = len(app.statuses())
        began = time.monotonic()
        d.keys("F9")
        d.wait_for("F9: the program is not capturing",
                   lambda: app.streams()["source-outputs"] > 0, app, 5)
        time.sleep(max(0.0, began + 3.0 - time.monotonic()))
        pactl("unload-module", module)
        struck = time.monotonic()
        red, streams = None, None
        while time.monotonic() < began + 10.0:
            if red is None and len(app.statuses()) > mark:
                red = time.monotonic() - struck
            if streams is None and time.monotonic() > struck + 1.0:
                streams = app.streams()["source-outputs"]
            time.sleep(0.05)
        note.append(f"red {secs(red)} s after the removal" if red is not None
                    else "NO red line before Stop")
        note.append(f"the program's capture streams 1 s after the removal: {streams}")
        d.keys("F11")
        ran = time.monotonic() - began
        app.wait_status(SAVED, 15)
        seen = app.trail(mark)
        if os.path.exists(take):
            kept = secs(wav_seconds(take))
            whole, late = rms_after(take, 0.0), rms_after(take, 3.5)
            note.append(f"RMS of the take {whole:.0f}; after 3.5 s: "
                        + (f"{late:.0f}" if late is not None else "(the take is shorter)"))
        else:
            kept = "no take.wav"
        note.append(f"list lines {app.list_lines()}")
        left, names = left_cells(left_behind(appdir, os.path.join(appdir, "cache")))
        note.append(names)
        app.exit()
    finally:
        app.stop()
    return row("15. input removed (its null sink unloaded) 3 s into a take, Stop at 10 s",
               short(seen, 400), kept, secs(ran), overwritten(before), "; ".join(note), left)


# --- 16 -----------------------------------------------------------------------------------

def f16_killed_converting(ctx):
    appdir = ctx.app("f16")
    write_config(appdir, os.path.join(appdir, "take.wav"))
    source, mp3 = (os.path.join(appdir, "long" + ext) for ext in (".wav", ".mp3"))
    tone_wav(source, 600)
    before = snapshot(appdir)
    cache = os.path.join(appdir, "cache")
    app = Run(appdir, "killed.log")
    try:
        app.main()
        open_file(app, source)
        d.wait_for("Wav to Mp3: lame did not start", lambda: [
            p for p in children(app.pid) if any(b"lame" in a for a in command_of(p)[:2])],
            app, 10)
        time.sleep(1.0)
        victims = children(app.pid)
        hidden = [(os.path.basename(p), os.path.getsize(p)) for p in glob.glob(
            os.path.join(appdir, ".long.mp3.converting-*"))]
        app.proc.send_signal(signal.SIGKILL)
        kill_all(victims)
        app.proc.wait(5)
    finally:
        app.stop()
    after_kill = os.path.exists(mp3)
    stranded = len(left_behind(appdir, cache))
    seen, found, lines = restarted(appdir, cache, wrong=lambda: [mp3])
    left, names = left_cells(found)
    return row("16. program (and lame) SIGKILLed 1 s into Wav to Mp3 of a 600 s WAV, "
               "started again", short(seen, 400), changed=overwritten(before),
               note=f"at the kill: {' '.join(f'{n} {s} B' for n, s in hidden) or 'no hidden MP3'}"
                    f"; long.mp3 after the kill: {'EXISTS' if after_kill else 'absent'}; "
                    f"stranded before the restart: {stranded}; long.mp3 after the restart: "
                    f"{'EXISTS' if os.path.exists(mp3) else 'absent'}; list lines {lines}; "
                    f"{names}", left=left)


# --- 17 -----------------------------------------------------------------------------------

def stereo44_wav(path, seconds):
    """A 16-bit stereo 44100 Hz tone, written a second at a time."""
    second = b"".join(struct.pack("<hh", v, v) for v in
                      (int(8000 * __import__("math").sin(2 * 3.141592653589793 * i / 100))
                       for i in range(44100)))
    data = len(second) * seconds
    with open(path, "wb") as f:
        f.write(b"RIFF" + struct.pack("<I", 36 + data) + b"WAVE")
        f.write(b"fmt " + struct.pack("<IHHIIHH", 16, 1, 2, 44100, 44100 * 4, 4, 16))
        f.write(b"data" + struct.pack("<I", data))
        for _ in range(seconds):
            f.write(second)


def f17_killed_copying(ctx, seconds=3000):
    appdir = ctx.app("f17")
    take = os.path.join(appdir, "take.wav")
    write_config(appdir, take)
    shm = tempfile.mkdtemp(prefix="tw-f17-", dir="/dev/shm")
    try:
        captures = os.path.join(shm, "tunewright")
        os.makedirs(captures)
        dead = subprocess.Popen(["true"])
        dead.wait()
        capture = os.path.join(captures, f"capture-20240101-090000-{dead.pid}.wav")
        stereo44_wav(capture, seconds)
        size = os.path.getsize(capture)
        before = snapshot(appdir)
        env = {"XDG_CACHE_HOME": shm}
        app = Run(appdir, "killed.log", env=env)
        partial, at = None, None
        try:
            began = time.monotonic()
            while time.monotonic() - began < 60 and app.proc.poll() is None:
                found = glob.glob(os.path.join(appdir, ".take.wav.partial-*"))
                if found:
                    app.proc.send_signal(signal.SIGKILL)
                    partial, at = found[0], time.monotonic() - began
                    break
                time.sleep(0.002)
            app.proc.wait(5)
        finally:
            app.stop()
        if partial is None:
            raise d.Failure("no .take.wav.partial-* appeared within 60 s of the start"
                            + (f"; take.wav holds {wav_length(take):.0f} s"
                               if os.path.exists(take) else ""))
        after = [f"SIGKILL {secs(at)} s after the start, the partial then "
                 f"{os.path.getsize(partial) if os.path.exists(partial) else 0} B of {size}",
                 f"after the kill: take.wav {'EXISTS' if os.path.exists(take) else 'absent'}, "
                 f"partial {'present' if os.path.exists(partial) else 'gone'}, capture "
                 f"{'present' if os.path.exists(capture) else 'gone'}"]
        seen, found, lines = restarted(appdir, shm, env=env, pattern=r"Recovered|could not",
                                       timeout=120)
        takes = takes_in(appdir)
        kept = " ".join(f"{secs(wav_length(os.path.join(appdir, t)))} ({t})" for t in takes) \
            or "no take"
        left, names = left_cells(found)
        after.append(f"capture after the restart: "
                     f"{'STILL THERE' if os.path.exists(capture) else 'gone'}")
        after.append(f"list lines {lines}")
        after.append(names)
    finally:
        shutil.rmtree(shm, ignore_errors=True)
    return row(f"17. program SIGKILLed while recovery copies a {size // 1000000} MB capture "
               f"from /dev/shm to the save folder, started again",
               short(seen.replace(shm, "$SHM"), 400), kept, f"{secs(seconds)} (the capture)",
               overwritten(before), "; ".join(after).replace(shm, "$SHM"), left)


# --- 18 -----------------------------------------------------------------------------------

def f18_killed_after_f9(ctx, after=0.25):
    appdir = ctx.app("f18")
    write_config(appdir, os.path.join(appdir, "take.wav"))
    cache = os.path.join(appdir, "cache")
    captures = os.path.join(cache, "tunewright")
    app = Run(appdir, "killed.log")
    try:
        app.main()
        began = time.monotonic()
        d.keys("F9")
        time.sleep(max(0.0, began + after - time.monotonic()))
        app.proc.send_signal(signal.SIGKILL)
        killed = time.monotonic() - began
        app.proc.wait(5)
    finally:
        app.stop()
    stranded = [f"{n} {os.path.getsize(os.path.join(captures, n))} B"
                for n in sorted(os.listdir(captures)) if n.endswith(".wav")] \
        if os.path.isdir(captures) else []
    before = snapshot(appdir)
    seen, found, lines = restarted(appdir, cache)
    takes = takes_in(appdir)
    kept = " ".join(f"{secs(wav_seconds(os.path.join(appdir, t)))} ({t})" for t in takes) \
        or "no take"
    left, names = left_cells(found)
    return row("18. SIGKILL 0.25 s after F9, started again", short(seen, 400), kept,
               secs(killed), overwritten(before),
               f"captures at the kill: {', '.join(stranded) or 'none'}; list lines {lines}; "
               f"{names}", left)


# --- 19 -----------------------------------------------------------------------------------

def f19_killed_soundcheck(ctx):
    appdir = ctx.app("f19")
    take = os.path.join(appdir, "take.wav")
    write_config(appdir, take, source=None)
    cache = os.path.join(appdir, "cache")
    captures = os.path.join(cache, "tunewright")
    app = Run(appdir, "wizard.log")
    try:
        wizard = app.window("^Sound Card Setting$")
        d.wizard_step(app, wizard, d.WIZARD_NEXT, "count the sources")
        d.wizard_step(app, wizard, d.WIZARD_NEXT, "announce source 1")
        d.click(wizard, *d.WIZARD_NEXT)
        d.wait_for("the wizard's test take did not start",
                   lambda: app.streams()["source-outputs"] > 0, app, 10, 0.05)
        time.sleep(1.0)  # so that the test capture holds sound a recovery could keep
        app.proc.send_signal(signal.SIGKILL)
        app.proc.wait(5)
    finally:
        app.stop()
    stranded = [f"{n} {os.path.getsize(os.path.join(captures, n))} B"
                for n in sorted(os.listdir(captures)) if n.endswith(".wav")] \
        if os.path.isdir(captures) else []
    write_config(appdir, take)
    before = snapshot(appdir)
    seen, found, lines = restarted(
        appdir, cache, wrong=lambda: [os.path.join(appdir, t) for t in takes_in(appdir)])
    rest = sorted(os.listdir(captures)) if os.path.isdir(captures) else []
    left, names = left_cells(found)
    return row("19. SIGKILL 1 s into the wizard's test recording, started again with a full "
               "Config.ini", short(seen, 400), changed=overwritten(before),
               note=f"captures at the kill: {', '.join(stranded) or 'none'}; takes after the "
                    f"restart: {' '.join(takes_in(appdir)) or 'none'}; list lines {lines}; "
                    f"capture folder after: {' '.join(rest) or 'empty'}; {names}", left=left)


# --- 20 -----------------------------------------------------------------------------------

def f20_file_size_limit(ctx, limit=300000):
    appdir = ctx.app("f20")
    take = os.path.join(appdir, "take.wav")
    write_config(appdir, take, fmt=MONO16)
    before = snapshot(appdir)

    def capped():
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
    app = Run(appdir, "run.log", preexec=capped)
    note = []
    try:
        try:
            app.main()
        except d.Failure:
            if app.proc.poll() is None:
                raise
            code = app.proc.returncode
            return row(f"20. RLIMIT_FSIZE {limit} B set before start",
                       f"the program ended at start-up: "
                       f"{signal.Signals(-code).name if code < 0 else f'status {code}'}",
                       changed=overwritten(before), note=short(app.trail(0)))
        started = app.trail(0)
        note.append(f"red lines at start-up: {started or 'none'}")
        mark = len(app.statuses())
        began = time.monotonic()
        d.keys("F9")
        d.wait_for("F9: the program is not capturing",
                   lambda: app.streams()["source-outputs"] > 0, app, 5)
        time.sleep(max(0.0, began + 2.0 - time.monotonic()))
        d.keys("F11")
        ran = time.monotonic() - began
        app.wait_status(SAVED, 15)
        seen = app.trail(mark)
        note.append(f"alive after the save: {'yes' if app.proc.poll() is None else 'NO'}")
        note.append(f"list lines {app.list_lines()}")
        found = left_behind(appdir, os.path.join(appdir, "cache"))
        code = app.exit()
        note.append(f"exit status {code}")
    finally:
        app.stop()
    kept = secs(wav_seconds(take)) if os.path.exists(take) else "no take.wav"
    left, names = left_cells(found)
    note.append(names)
    return row(f"20. RLIMIT_FSIZE {limit} B set before start; a 2 s mono 16-bit 22050 Hz take",
               short(seen, 400), kept, secs(ran), overwritten(before), "; ".join(note), left)


# --- 21 -----------------------------------------------------------------------------------

def f21_full_at_f9(ctx, size=65536):
    appdir = ctx.app("f21")
    write_config(appdir, os.path.join(appdir, "take.wav"))
    cache = os.path.join(appdir, "cache")
    folder = os.path.join(cache, "tunewright")
    os.makedirs(folder)
    subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size}", "tmpfs", folder], check=True)
    try:
        app = Run(appdir, "run.log")
        try:
            wait_start_up(app, timeout=2)
            filler = os.open(os.path.join(folder, "filler"), os.O_WRONLY | os.O_CREAT, 0o600)
            try:
                while os.write(filler, b"\0" * 4096) > 0:
                    pass
            except OSError:
                pass  # full
            finally:
                os.close(filler)
            room = os.statvfs(folder)
            free = room.f_bavail * room.f_frsize
            before = snapshot(appdir)
            mark = len(app.statuses())
            d.keys("F9")
            try:
                app.wait_status(r".", 10)
            except d.Failure:
                pass
            time.sleep(1.0)
            seen = app.trail(mark) or "(no red line within 10 s)"
            capturing = app.streams()["source-outputs"]
            found = left_behind(appdir, cache)
            lines = app.list_lines()
            code = app.exit()
        finally:
            app.stop()
    finally:
        if subprocess.run(["umount", folder]).returncode != 0:
            subprocess.run(["umount", "-l", folder])
    left, names = left_cells(found)
    return row(f"21. disk full at F9: the capture folder a {size} B tmpfs, filled",
               short(seen, 400), changed=overwritten(before),
               note=f"{free} B free at F9; '-4' {'SHOWN' if '-4' in seen else 'not shown'}; "
                    f"capture streams 1 s after: {capturing}; list lines {lines}; exit status "
                    f"{code}; {names}", left=left)


FAULTS = {15: f15_input_removed, 16: f16_killed_converting, 17: f17_killed_copying,
          18: f18_killed_after_f9, 19: f19_killed_soundcheck, 20: f20_file_size_limit,
          21: f21_full_at_f9}
