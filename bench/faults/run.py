#!/usr/bin/env python3
"""The fault table: the real program, driven as a user drives it, under the faults it must
survive. Each fault runs in a fresh copy of the application directory, on private X and
PulseAudio servers started here; what the user sees is the program's red status lines
(stderr, "status: ...") and the file system. Prints one Markdown table.

Usage: run.py BUILD_DIR [FAULT ...]     (FAULT: the row numbers to run, default all)

Screenshots go to $TW_SHOTS (default: a new folder under the temporary directory).
"""

import ctypes
import hashlib
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import e2e_driver as d  # noqa: E402

PULSE_MODULES = ["-L", "module-native-protocol-unix", "-L", "module-null-sink sink_name=speakers",
                 "-L", "module-sine-source rate=44100 frequency=440", "-L", "module-always-sink",
                 "-L", "module-null-sink sink_name=micsink",
                 "-L", "module-sine sink=micsink frequency=440"]
STEREO16 = "Channels=2\nBitsPerSample=16\nSamplesPerSec=22050\n"
BYTES_PER_SECOND = 22050 * 4
LIST_RECT = (8, 40, 329, 191)  # List1, relative to the client area


def log(text):
    print(text, file=sys.stderr, flush=True)


d.log = log  # the driver's progress lines (screenshots) stay off the table


# --- servers ------------------------------------------------------------------------------

class Servers:
    """An X server per display asked for, and PulseAudio servers each in a runtime folder."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="tw-faults-")
        self.procs = []

    def xvfb(self):
        for _ in range(20):
            display = f":{500 + int.from_bytes(os.urandom(2), 'little') % 400}"
            # -noreset: a server left without clients between two runs would otherwise reset
            # and refuse the next program's connection for a moment.
            proc = subprocess.Popen(["Xvfb", display, "-screen", "0", "1280x1024x24",
                                     "-nolisten", "tcp", "-noreset"], stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL)
            for _ in range(50):
                if subprocess.run(["xdpyinfo", "-display", display], stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL).returncode == 0:
                    self.procs.append(proc)
                    return display
                if proc.poll() is not None:
                    break
                time.sleep(0.1)
            proc.kill()
            proc.wait()
        raise d.Failure("no X server could be started")

    def pulse(self, name):
        runtime = os.path.join(self.dir, name)
        os.makedirs(runtime, mode=0o700, exist_ok=True)
        # No private PulseAudio registers on a session bus: two would fight over its names.
        env = dict(os.environ, XDG_RUNTIME_DIR=runtime, HOME=os.path.join(self.dir, "home"),
                   DBUS_SESSION_BUS_ADDRESS="disabled:")
        env.pop("PULSE_SERVER", None)
        proc = subprocess.Popen(["pulseaudio", "--daemonize=no", "-n", "--exit-idle-time=-1",
                                 "--disallow-exit", "--log-target=stderr", *PULSE_MODULES],
                                env=env, stdout=subprocess.DEVNULL,
                                stderr=open(os.path.join(self.dir, name + ".log"), "wb"))
        self.procs.append(proc)
        for _ in range(100):
            if subprocess.run(["pactl", "info"], env=env, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL).returncode == 0:
                subprocess.run(["pactl", "set-default-sink", "speakers"], env=env)
                return proc, runtime
            time.sleep(0.1)
        raise d.Failure(f"PulseAudio {name} did not start")

    def stop(self):
        for proc in self.procs:
            if proc.poll() is None:
                try:
                    proc.send_signal(signal.SIGCONT)
                    proc.kill()
                except ProcessLookupError:
                    pass
            proc.wait()
        subprocess.run(["chattr", "-R", "-i", self.dir], stderr=subprocess.DEVNULL)
        shutil.rmtree(self.dir, ignore_errors=True)


# --- the program --------------------------------------------------------------------------

class Run(d.App):
    """One run of the program, with its own environment changes and an optional wrapper."""

    def __init__(self, appdir, logname, env=None, wrapper=()):
        self.appdir = appdir
        self.logpath = os.path.join(appdir, logname)
        # A capture folder of each program's own unless asked otherwise: what one fault leaves
        # there must not be recovered into another's table row.
        full = dict(os.environ, TMPDIR=os.path.join(appdir, "tmp"),
                    XDG_CACHE_HOME=os.path.join(appdir, "cache"))
        full.update(env or {})
        os.makedirs(full["TMPDIR"], exist_ok=True)
        self.env = full
        self.logfile = open(self.logpath, "wb")
        self.proc = subprocess.Popen([*wrapper, os.path.join(appdir, "tunewright")], cwd=appdir,
                                     env=full, stdout=self.logfile, stderr=subprocess.STDOUT)
        self.pid = self.proc.pid
        self.seen = 0

    def streams(self):
        """The program's capture and playback streams, on the sound server it uses."""
        counts = {}
        for kind in ("sink-inputs", "source-outputs"):
            text = subprocess.run(["pactl", "list", kind], env=self.env, capture_output=True,
                                  timeout=10).stdout.decode(errors="replace")
            pids = re.findall(r'application\.process\.id = "(\d+)"', text)
            counts[kind] = pids.count(str(self.pid))
        return counts

    def statuses(self):
        self.logfile.flush()
        with open(self.logpath, "rb") as f:
            text = f.read().decode(errors="replace")
        return [line[8:] for line in text.splitlines() if line.startswith("status: ")]

    def new_statuses(self):
        lines = self.statuses()
        fresh, self.seen = lines[self.seen:], len(lines)
        return fresh

    def wait_status(self, pattern, timeout):
        """The first red line from now on matching `pattern`, with the seconds it took."""
        began = time.monotonic()
        while time.monotonic() - began < timeout:
            for line in self.new_statuses():
                if re.search(pattern, line):
                    return line, time.monotonic() - began
            if self.proc.poll() is not None:
                break
            time.sleep(0.05)
        raise d.Failure(f"no status matching {pattern!r} within {timeout} s; "
                        f"the red lines: {self.statuses()[-4:]}")

    def trail(self, since):
        """The red lines from the `since`-th on, as they followed each other."""
        return " → ".join(self.statuses()[since:])

    def main(self):
        wid = self.window("^Tunewright$")
        height = int(re.search(r"HEIGHT=(\d+)", d.run(["xdotool", "getwindowgeometry",
                                                      "--shell", str(wid)])).group(1))
        self.menubar = height - d.MAIN_CLIENT_HEIGHT
        self.wid = wid
        return wid

    def list_lines(self):
        x, y, w, h = LIST_RECT
        # The line numbers' column: digits have no descenders, so lines stand apart.
        rows = d.grab(self.wid, (x + 3, self.menubar + y + 3, 24, h - 24))
        counts = {}
        for r in rows:
            for px in r:
                counts[px] = counts.get(px, 0) + 1
        base = max(counts, key=counts.get)
        bands, inside = 0, False
        for row in rows:
            marked = any(sum(abs(a - b) for a, b in zip(px, base)) > 60 for px in row)
            bands += marked and not inside
            inside = marked
        return bands

    def status_rect(self):
        return (d.MAIN_STATUS[0], self.menubar + d.MAIN_STATUS[1], d.MAIN_STATUS[2],
                d.MAIN_STATUS[3])

    def exit(self):
        d.menu(self, self.wid, 0, 3)  # File > Exit
        return self.exit_code(20)


def fresh_app(work, name, build):
    appdir = os.path.join(work, name)
    shutil.copytree(os.path.join(build, "bin"), appdir, symlinks=True,
                    ignore=shutil.ignore_patterns("Config.ini", "Larktake*", "*.log"))
    return appdir


def write_config(appdir, save, fmt=STEREO16, extra=""):
    with open(os.path.join(appdir, "Config.ini"), "w", encoding="utf-8") as f:
        f.write(f"[Config]\nRecording Source=2\n{fmt}Save Position={save}\n{extra}")


def keys_on(display, *names):
    subprocess.run(["xdotool", "key", "--delay", "60", *names], check=True,
                   env=dict(os.environ, DISPLAY=display))


def record(app, seconds, stop=True, display=None):
    """F9, `seconds` later F11: the wall time from one key to the other."""
    began = time.monotonic()
    (keys_on(display, "F9") if display else d.keys("F9"))
    d.wait_for("F9: the program is not capturing",
               lambda: app.streams()["source-outputs"] > 0, app, 5)
    time.sleep(max(0.0, began + seconds - time.monotonic()))
    if stop:
        (keys_on(display, "F11") if display else d.keys("F11"))
    return time.monotonic() - began


SAVED = r"Recording is over|Saved as|could not be saved|not saved|conversion failed"


def wav_seconds(path):
    (_, _, rate, _, align), samples = d.read_wav(path)
    return len(samples) / align / rate


def wav_format(path):
    (tag, channels, rate, bits, _), _ = d.read_wav(path)
    return f"{channels} ch {bits} bit {rate} Hz"


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def snapshot(*folders):
    found = {}
    for folder in folders:
        for base, _, names in os.walk(folder):
            if "/cache/tunewright" in base:
                continue  # captures: the program's to move
            for name in names:
                path = os.path.join(base, name)
                if os.path.isfile(path) and not os.path.islink(path):
                    found[path] = digest(path)
    return found


def overwritten(before):
    """Pre-existing files whose bytes changed or that are gone; Config.ini is the program's
    own to rewrite."""
    return sum(1 for path, sha in before.items()
               if os.path.basename(path) != "Config.ini" and not path.endswith(".log")
               and (not os.path.exists(path) or digest(path) != sha))


def random_file(path, size):
    with open(path, "wb") as f:
        f.write(os.urandom(size))


def tone_wav(path, seconds):
    period = b"".join(struct.pack("<hh", int(8000 * v), int(8000 * v)) for v in
                      [__import__("math").sin(2 * 3.141592653589793 * i / 50)
                       for i in range(50)])
    data = period * (22050 * seconds // 50)
    with open(path, "wb") as f:
        f.write(b"RIFF" + struct.pack("<I", 36 + len(data)) + b"WAVE")
        f.write(b"fmt " + struct.pack("<IHHIIHH", 16, 1, 2, 22050, BYTES_PER_SECOND, 4, 16))
        f.write(b"data" + struct.pack("<I", len(data)) + data)


def mp3_on(app):
    """Options > Preferences, tick "Convert recording to MP3", Ok."""
    d.menu(app, app.wid, 1, 0)
    prefs = app.window("^Preferences$")
    box = (d.PREFS_CHECK[0] - 16, d.PREFS_CHECK[1] - 8, 16, 16)
    unticked = d.grab(prefs, box)
    d.click(prefs, *d.PREFS_CHECK)
    d.wait_for("Preferences: the MP3 box did not change",
               lambda: d.grab(prefs, box) != unticked, app, 5)
    d.click(prefs, *d.PREFS_OK)
    app.gone(prefs)


def open_file(app, path):
    """Encoder > Wav to Mp3, the file typed into the file dialog."""
    before = set(app.windows())
    d.menu(app, app.wid, 2, 1)
    dialog = d.wait_for("Wav to Mp3: no file dialog", lambda: set(app.windows()) - before,
                        app, 10).pop()
    time.sleep(0.5)
    d.run(["xdotool", "mousemove", "--window", str(dialog), "100", "10", "windowfocus",
           "--sync", str(dialog)])
    d.run(["xdotool", "type", "--delay", "20", path])
    time.sleep(0.4)
    d.keys("Return")
    time.sleep(0.3)
    if dialog in app.windows():
        d.keys("Return")  # the first one closed the name completion
    return dialog


def children(pid):
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as f:
                    fields = f.read().rsplit(")", 1)[1].split()
                if int(fields[1]) == pid:
                    found.append(int(entry))
                    found += children(int(entry))
            except (OSError, IndexError):
                pass
    return found


def command_of(pid):
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            return f.read().split(b"\0")
    except OSError:
        return []


def close_window(wid):
    """What a window manager's close button does: WM_DELETE_WINDOW to the window."""
    x = ctypes.CDLL("libX11.so.6")
    x.XOpenDisplay.restype = ctypes.c_void_p
    x.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x.XInternAtom.restype = ctypes.c_ulong
    x.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long,
                             ctypes.c_void_p]
    x.XFlush.argtypes = x.XCloseDisplay.argtypes = [ctypes.c_void_p]

    class ClientMessage(ctypes.Structure):
        _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong),
                    ("send_event", ctypes.c_int), ("display", ctypes.c_void_p),
                    ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                    ("format", ctypes.c_int), ("data", ctypes.c_long * 5),
                    ("pad", ctypes.c_long * 16)]
    dpy = x.XOpenDisplay(None)
    event = ClientMessage(type=33, window=wid, format=32,
                          message_type=x.XInternAtom(dpy, b"WM_PROTOCOLS", 0))
    event.data[0] = x.XInternAtom(dpy, b"WM_DELETE_WINDOW", 0)
    x.XSendEvent(dpy, wid, 0, 0, ctypes.byref(event))
    x.XFlush(dpy)
    x.XCloseDisplay(dpy)


def drive_wizard(app):
    """The wizard to "Done" the way the end-to-end test drives it; the main window after."""
    wizard = app.window("^Sound Card Setting$")
    d.wizard_step(app, wizard, d.WIZARD_NEXT, "count the sources")
    for source in range(1, d.HEARD_SOURCE + 1):
        d.wizard_step(app, wizard, d.WIZARD_NEXT, f"announce source {source}")
        d.wizard_step(app, wizard, d.WIZARD_NEXT, f"record source {source}")
        d.wizard_step(app, wizard, d.WIZARD_NEXT, f"play back source {source}")
    d.wizard_step(app, wizard, d.WIZARD_HEARD, "heard")
    d.click(wizard, *d.WIZARD_HEARD)  # "Done"
    return app.main()


# --- the faults ---------------------------------------------------------------------------

class Ctx:
    def __init__(self, build, servers, shots):
        self.build, self.servers, self.shots = build, servers, shots
        self.work = os.path.join(servers.dir, "work")
        os.makedirs(self.work, exist_ok=True)

    def app(self, name):
        return fresh_app(self.work, name, self.build)


HIDE = []  # the run's temporary folder, shown as $T


def short(text, limit=200):
    for prefix in HIDE:
        text = text.replace(prefix, "$T")
    text = text.replace("\t", "\\t")
    return text if len(text) <= limit else text[:limit - 1] + "…"


def row(fault, seen, kept="", recorded="", changed=0, note=""):
    return {"fault": fault, "seen": seen, "kept": kept, "recorded": recorded,
            "changed": changed, "note": note}


def secs(value):
    return f"{value:.2f}"


def f01_mp3_taken(ctx):
    appdir = ctx.app("f01")
    write_config(appdir, os.path.join(appdir, "song.wav"))
    random_file(os.path.join(appdir, "song.mp3"), 20000)
    before = snapshot(appdir)
    app = Run(appdir, "run.log")
    try:
        app.main()
        mp3_on(app)
        mark = len(app.statuses())
        ran = record(app, 3)
        app.wait_status(SAVED, 30)
        seen = app.trail(mark)
        new_mp3 = os.path.join(appdir, "song_1.mp3")
        mp3 = d.mp3_seconds(new_mp3)[0] if os.path.exists(new_mp3) else 0.0
        lines = app.list_lines()
        ctx.shots.take(app.wid, "f01-after-take")
        app.exit()
    finally:
        app.stop()
    return row("1. song.mp3 exists, take song.wav converted", short(seen),
               f"{secs(wav_seconds(os.path.join(appdir, 'song.wav')))} (song_1.mp3 "
               f"{secs(mp3)})", secs(ran), overwritten(before),
               f"list lines {lines}; song_1.mp3 {'written' if mp3 else 'MISSING'}")


def f02_conversions(ctx):
    rows = []
    appdir = ctx.app("f02")
    write_config(appdir, os.path.join(appdir, "take.wav"))
    tone_wav(os.path.join(appdir, "long.wav"), 600)
    random_file(os.path.join(appdir, "x.wav"), 300000)
    before = snapshot(appdir)
    app = Run(appdir, "run.log")
    try:
        app.main()
        # lame killed mid-way through a 300 s file.
        open_file(app, os.path.join(appdir, "long.wav"))
        ctx.shots.take(app.wid, "f02a-after-dialog")
        encoder = d.wait_for("Wav to Mp3: lame did not start", lambda: [
            p for p in children(app.pid) if any(b"lame" in a for a in command_of(p)[:2])],
            app, 10)
        time.sleep(0.2)
        partial = os.path.getsize(os.path.join(appdir, "long.mp3")) \
            if os.path.exists(os.path.join(appdir, "long.mp3")) else 0
        for pid in encoder:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        seen, _ = app.wait_status(r"failed|Finish", 20)
        left = os.path.exists(os.path.join(appdir, "long.mp3"))
        rows.append(row("2a. lame SIGKILLed 0.2 s into a 600 s WAV", short(seen),
                        changed=overwritten(before),
                        note=f"{partial} B of MP3 written before the kill; long.mp3 "
                             f"{'LEFT' if left else 'removed'}; list lines {app.list_lines()}"))
        # Random bytes named x.wav.
        mark = len(app.statuses())
        open_file(app, os.path.join(appdir, "x.wav"))
        app.wait_status(r"not converted|failed|Finish", 20)
        seen = app.trail(mark)
        left = os.path.exists(os.path.join(appdir, "x.mp3"))
        rows.append(row("2b. random bytes named x.wav", short(seen), changed=overwritten(before),
                        note=f"x.mp3 {'LEFT' if left else 'not written'}; "
                             f"list lines {app.list_lines()}"))
        app.exit()
    finally:
        app.stop()

    # A bad switch: the encoder launcher beside the program given one lame does not know
    # (the MP3 Options dialog only offers valid choices).
    appdir = ctx.app("f02c")
    write_config(appdir, os.path.join(appdir, "take.wav"))
    with open(os.path.join(appdir, "lame"), "w") as f:
        f.write("#!/bin/sh\nexec lame --nohist --no-such-switch \"$@\"\n")
    before = snapshot(appdir)
    app = Run(appdir, "run.log")
    try:
        app.main()
        mp3_on(app)
        mark = len(app.statuses())
        ran = record(app, 2)
        app.wait_status(SAVED, 30)
        seen = app.trail(mark)
        left = os.path.exists(os.path.join(appdir, "take.mp3"))
        lines = app.list_lines()
        app.exit()
    finally:
        app.stop()
    rows.append(row("2c. bad switch (--no-such-switch) on a take's auto conversion",
                    short(seen), secs(wav_seconds(os.path.join(appdir, "take.wav"))), secs(ran),
                    overwritten(before), f"take.mp3 {'LEFT' if left else 'not written'}; "
                                         f"list lines {lines} (the WAV only: 1)"))

    # Input = output: a take saved under an .mp3 name, converted from its line.
    appdir = ctx.app("f02d")
    write_config(appdir, os.path.join(appdir, "rec.mp3"))
    app = Run(appdir, "run.log")
    try:
        app.main()
        ran = record(app, 2)
        app.wait_status(SAVED, 15)
        before = snapshot(appdir)
        lines_before = app.list_lines()
        d.click(app.wid, d.MAIN_FIRST_LINE[0], app.menubar + d.MAIN_FIRST_LINE[1])
        pre = set(app.windows())
        d.run(["xdotool", "mousemove", "--window", str(app.wid), str(d.MAIN_FIRST_LINE[0]),
               str(app.menubar + d.MAIN_FIRST_LINE[1]), "click", "3"])
        d.wait_for("right-click: no menu", lambda: set(app.windows()) - pre, app, 5)
        time.sleep(0.3)
        d.keys("Up", "Up", "Up")  # from the bottom: Cancel, Mail to friends, Convert
        ctx.shots.take(list(set(app.windows()) - pre)[0], "f02d-popup-convert")
        d.keys("Return")
        seen, _ = app.wait_status(r"rec\.mp3", 20)
        lines = app.list_lines()
        app.exit()
    finally:
        app.stop()
    rows.append(row("2d. input = output: Convert on an .mp3 line", short(seen),
                    secs(wav_seconds(os.path.join(appdir, "rec.mp3"))), secs(ran),
                    overwritten(before), f"list lines {lines_before} -> {lines}"))
    return rows


def cut_short(ctx, name, fault, act, env=None, undo=None, prepare=None, at=4.0, stop_at=7.0):
    """A take of `stop_at` seconds meets `act` at `at` seconds. `undo` (when given) runs only
    if the save has not ended 10 s after Stop; the note says whether it was needed."""
    appdir = ctx.app(name)
    write_config(appdir, os.path.join(appdir, "take.wav"))
    if prepare:
        prepare(appdir)
    before = snapshot(appdir)
    app = Run(appdir, "run.log", env=env)
    note = []
    try:
        app.main()
        mark = len(app.statuses())
        began = time.monotonic()
        d.keys("F9")
        d.wait_for("F9: the program is not capturing",
                   lambda: app.streams()["source-outputs"] > 0, app, 5)
        time.sleep(max(0.0, began + at - time.monotonic()))
        act()
        struck = time.monotonic()
        red = None
        while time.monotonic() < began + stop_at:
            if red is None and len(app.statuses()) > mark:
                red = time.monotonic() - struck
            time.sleep(0.05)
        note.append(f"red {secs(red)} s after the fault" if red is not None
                    else f"NO red line in the {stop_at - at:.0f} s before Stop")
        ctx.shots.take(app.wid, f"{name}-while-running")
        d.keys("F11")
        ran = time.monotonic() - began
        try:
            app.wait_status(SAVED, 10)
            if undo:
                note.append("saved while the fault lasted")
        except d.Failure:
            if not undo:
                raise
            undo()
            note.append("NOT saved within 10 s while the fault lasted; saved after SIGCONT")
            app.wait_status(SAVED, 20)
        if undo:
            undo()
        seen = app.trail(mark)
        take = os.path.join(appdir, "take.wav")
        kept = secs(wav_seconds(take)) if os.path.exists(take) else "no take.wav"
        note.append(f"list lines {app.list_lines()}")
        ctx.shots.take(app.wid, f"{name}-after-stop")
    finally:
        app.stop()
    return row(fault, short(seen, 400), kept, secs(ran), overwritten(before), "; ".join(note))


def f03_cut_short(ctx):
    rows = []
    proc, runtime = ctx.servers.pulse("pulse-killed")

    def kill():
        proc.kill()
    rows.append(cut_short(ctx, "f03a", "3a. sound server SIGKILLed at 4 s, Stop at 7 s", kill,
                          env={"XDG_RUNTIME_DIR": runtime}))

    proc2, runtime2 = ctx.servers.pulse("pulse-stopped")

    def stop():
        proc2.send_signal(signal.SIGSTOP)

    def cont():
        proc2.send_signal(signal.SIGCONT)
    rows.append(cut_short(ctx, "f03b", "3b. sound server SIGSTOPped at 4 s, Stop at 7 s "
                          "(SIGCONT after the save)", stop, env={"XDG_RUNTIME_DIR": runtime2},
                          undo=cont))
    # The stall rule waits 3 s or more after the last delivery: a longer take shows whether
    # it is flagged at all.
    rows.append(cut_short(ctx, "f03b2", "3b'. sound server SIGSTOPped at 4 s, Stop at 10 s "
                          "(SIGCONT after the save)", stop, env={"XDG_RUNTIME_DIR": runtime2},
                          undo=cont, stop_at=10.0))

    # Disk full: the capture folder on a tmpfs with room for about 4 s.
    size = 4 * BYTES_PER_SECOND + 4096
    mounts = []

    def mount(appdir):
        folder = os.path.join(appdir, "cache", "tunewright")
        os.makedirs(folder)
        subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size}", "tmpfs", folder],
                       check=True)
        mounts.append(folder)

    def fill():
        pass  # the tmpfs fills by itself
    try:
        rows.append(cut_short(ctx, "f03c", f"3c. disk full: the capture folder a {size} B "
                              "tmpfs (full at ~4 s), Stop at 7 s", fill, prepare=mount))
    finally:
        for folder in mounts:
            subprocess.run(["umount", folder])
    return rows


def f04_two_programs(ctx, rounds=5):
    other = ctx.servers.xvfb()
    shared = os.path.join(ctx.work, "f04-shared")
    os.makedirs(shared)
    cache = os.path.join(ctx.work, "f04-cache")
    apps = []
    for name, display in (("f04a", os.environ["DISPLAY"]), ("f04b", other)):
        appdir = ctx.app(name)
        write_config(appdir, os.path.join(shared, "take.wav"))
        apps.append((Run(appdir, "run.log", env={"DISPLAY": display, "XDG_CACHE_HOME": cache}),
                     display))
    changed, recorded, notes = 0, 0, []
    try:
        for app, display in apps:
            d.wait_for("a main window did not show", lambda: subprocess.run(
                ["xdotool", "search", "--onlyvisible", "--pid", str(app.pid), "--name",
                 "^Tunewright$"], env=app.env, capture_output=True).stdout.strip(), app, 15)
        time.sleep(1)
        for n in range(rounds):
            before = snapshot(shared)
            for app, display in apps:
                keys_on(display, "F9")
            d.wait_for("F9: not both capturing", lambda: all(
                a.streams()["source-outputs"] > 0 for a, _ in apps), apps[0][0], 5)
            time.sleep(2)
            marks = [len(a.statuses()) for a, _ in apps]
            presses = [subprocess.Popen(["xdotool", "key", "F11"],
                                        env=dict(os.environ, DISPLAY=disp)) for _, disp in apps]
            for p in presses:
                p.wait()
            recorded += len(apps)
            for (app, _), mark in zip(apps, marks):
                app.seen = mark
                line, _ = app.wait_status(SAVED, 20)
                if not line.startswith("Recording is over"):
                    notes.append(short(line))
            changed += overwritten(before)
    finally:
        for app, _ in apps:
            app.stop()
    takes = sorted(f for f in os.listdir(shared) if f.endswith(".wav"))
    lengths = [wav_seconds(os.path.join(shared, f)) for f in takes]
    return row(f"4. two programs (two displays, one server, one Save Position), F11 on both "
               f"at once, {rounds} rounds",
               short("; ".join(notes) or "every save: \"Recording is over,...\""),
               f"{len(takes)} takes, {min(lengths):.2f}-{max(lengths):.2f} s each"
               if lengths else "no takes",
               f"{recorded} takes of ~2 s", changed, "names: " + " ".join(takes))


def f05_sigkill(ctx):
    appdir = ctx.app("f05")
    write_config(appdir, os.path.join(appdir, "take.wav"))
    captures = os.path.join(appdir, "cache", "tunewright")
    app = Run(appdir, "killed.log")
    try:
        app.main()
        ran = record(app, 5, stop=False)
        app.proc.send_signal(signal.SIGKILL)
        app.proc.wait(5)
    finally:
        app.stop()
    left = sorted(os.listdir(captures)) if os.path.isdir(captures) else []
    before = snapshot(appdir)
    app = Run(appdir, "restart.log")
    try:
        app.main()
        found = d.wait_for("no take was recovered", lambda: sorted(
            f for f in os.listdir(appdir) if f.endswith(".wav") and f.startswith("take")),
            app, 15)
        status = app.status_rect()
        blue = d.wait_for("no long blue text on the status line", lambda: (
            lambda b: b if b[0] > 50 and b[1] > status[2] // 2 else None)(
                d.text_extent(d.grab(app.wid, status), "blue")), app, 5, 0.25)
        ctx.shots.take(app.wid, "f05-recovered")
        kept = wav_seconds(os.path.join(appdir, found[0]))
        lines = app.list_lines()
        still = sorted(os.listdir(captures)) if os.path.isdir(captures) else []
        app.exit()
    finally:
        app.stop()
    return row("5. SIGKILL 5 s into a take, start again",
               f"long blue status text ({blue[0]} px, to column {blue[1]} of {status[2]}); "
               f"see f05-recovered.png", secs(kept), secs(ran), overwritten(before),
               f"capture left: {' '.join(left)}; recovered as {' '.join(found)}; "
               f"list lines {lines}; capture folder after: {' '.join(still) or 'empty'}")


def f06_signals(ctx):
    appdir = ctx.app("f06")
    write_config(appdir, os.path.join(appdir, "take.wav"))
    rows = []
    for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        before = snapshot(appdir)
        takes = set(f for f in os.listdir(appdir) if f.startswith("take"))
        app = Run(appdir, f"{sig.name}.log")
        try:
            app.main()
            mark = len(app.statuses())
            ran = record(app, 3, stop=False)
            app.proc.send_signal(sig)
            code = app.exit_code(20)
            seen = app.trail(mark)
        finally:
            app.stop()
        new = sorted(set(f for f in os.listdir(appdir) if f.startswith("take")) - takes)
        rows.append(row(f"6. {sig.name} 3 s into a take", short(seen) or "(no red line)",
                        " ".join(secs(wav_seconds(os.path.join(appdir, f))) for f in new)
                        or "NO TAKE", secs(ran), overwritten(before),
                        f"exit status {code}; saved as {' '.join(new)}"))
    return rows


def source_volume(name):
    text = d.run(["pactl", "get-source-volume", name])
    return int(re.search(r":\s*(\d+)\s*/", text).group(1))


def f07_volume(ctx):
    appdir = ctx.app("f07")
    write_config(appdir, os.path.join(appdir, "take.wav"))
    sources = ("sine_input", "micsink.monitor")
    d.run(["pactl", "set-source-volume", "sine_input", "60%"])
    d.run(["pactl", "set-source-volume", "micsink.monitor", "45%"])
    try:
        first = [source_volume(s) for s in sources]
        app = Run(appdir, "run.log")
        try:
            app.main()
            time.sleep(3)
            running = [source_volume(s) for s in sources]
            code = app.exit()
        finally:
            app.stop()
        after = [source_volume(s) for s in sources]
    finally:
        for s in sources:
            d.run(["pactl", "set-source-volume", s, "100%"])
    with open(os.path.join(appdir, "Config.ini"), encoding="utf-8") as f:
        stored = re.search(r"^Recording Volume=(.*)$", f.read(), re.M)
    # The slider is in proportion to the amplitude: PulseAudio's cubic volume, linearised.
    shown = round((first[1] / 65536) ** 3 * 65536)
    same = first == running == after
    return row("7. Config.ini without \"Recording Volume\"",
               f"volumes (raw) sine_input/micsink.monitor: before {first}, running {running}, "
               f"after exit {after} - {'unchanged' if same else 'CHANGED'}",
               note=f"exit status {code}; Config.ini after exit: Recording Volume="
                    f"{stored.group(1) if stored else '(none)'}; the slider's value for "
                    f"micsink.monitor's volume is {shown}")


def f08_wizard_closed(ctx):
    appdir = ctx.app("f08")
    app = Run(appdir, "first.log")
    try:
        wizard = app.window("^Sound Card Setting$")
        d.wizard_step(app, wizard, d.WIZARD_NEXT, "count the sources")
        close_window(wizard)
        code = app.exit_code(15)
    finally:
        app.stop()
    config = os.path.join(appdir, "Config.ini")
    text = open(config, encoding="utf-8").read().strip().replace("\n", " ") \
        if os.path.exists(config) else "(none)"
    app = Run(appdir, "second.log")
    try:
        try:
            wizard = app.window("^Sound Card Setting$", timeout=10)
            again = "the wizard shows again"
            close_window(wizard)
            app.exit_code(15)
        except d.Failure as failure:
            again = f"NO WIZARD: {short(str(failure))}"
            if app.windows("^Tunewright$"):
                again += " (the main window shows)"
    finally:
        app.stop()
    return row("8. first-run wizard closed (WM_DELETE_WINDOW) after its first step",
               again, note=f"first run ended with {code}; Config.ini then: {text}")


def f09_cancel_format(ctx):
    appdir = ctx.app("f09")
    write_config(appdir, os.path.join(appdir, "take.wav"))
    app = Run(appdir, "run.log")
    try:
        app.main()
        d.menu(app, app.wid, 1, 0)
        prefs = app.window("^Preferences$")
        area = (24, 16, 250, 80)
        plain = d.grab(prefs, area)
        d.click(prefs, 38, 48)  # Mono
        d.click(prefs, 166, 48)  # 8 Bit
        d.wait_for("Preferences: the choices did not show", lambda: d.grab(prefs, area) != plain,
                   app, 5)
        ctx.shots.take(prefs, "f09-mono-8bit-chosen")
        d.click(prefs, 200, 200)  # Cancel
        app.gone(prefs)
        ran = record(app, 2)
        app.wait_status(SAVED, 15)
        app.exit()
    finally:
        app.stop()
    take = os.path.join(appdir, "take.wav")
    with open(os.path.join(appdir, "Config.ini"), encoding="utf-8") as f:
        stored = " ".join(l for l in f.read().splitlines()
                          if l.split("=")[0] in ("Channels", "BitsPerSample", "SamplesPerSec"))
    return row("9. Preferences: Mono + 8 Bit, Cancel, record", f"take: {wav_format(take)}",
               secs(wav_seconds(take)), secs(ran), note=f"Config.ini: {stored}; before: "
                                                        f"2 ch 16 bit 22050 Hz")


def f10_config_locked(ctx):
    appdir = ctx.app("f10")
    write_config(appdir, os.path.join(appdir, "take.wav"))
    config = os.path.join(appdir, "Config.ini")
    before = snapshot(appdir)
    subprocess.run(["chattr", "+i", config], check=True)
    try:
        app = Run(appdir, "run.log")
        try:
            app.main()
            mark = len(app.statuses())
            d.menu(app, app.wid, 1, 0)
            prefs = app.window("^Preferences$")
            d.click(prefs, 38, 48)  # Mono: a change to store
            time.sleep(0.3)
            d.click(prefs, *d.PREFS_OK)
            app.gone(prefs)
            time.sleep(1)
            ctx.shots.take(app.wid, "f10-config-locked")
            at_ok = app.trail(mark) or "(no red line)"
            mark = len(app.statuses())
            code = app.exit()
            seen = f"after Ok: {at_ok}; at Exit: {app.trail(mark) or '(no red line)'}"
        finally:
            app.stop()
    finally:
        subprocess.run(["chattr", "-i", config])
    return row("10. Config.ini immutable (chattr +i); Preferences: Mono, Ok; then Exit",
               short(seen, 400), changed=overwritten(before), note=f"exit status {code}")


def f11_wizard_temp(ctx):
    appdir = ctx.app("f11")
    tmp = os.path.join(appdir, "tmp")
    os.makedirs(tmp, exist_ok=True)
    random_file(os.path.join(tmp, "Wavelark.wav"), 50000)
    before = snapshot(appdir)
    app = Run(appdir, "run.log")
    try:
        drive_wizard(app)
        others = sorted(f for f in os.listdir(tmp) if f != "Wavelark.wav")
        code = app.exit()
    finally:
        app.stop()
    return row("11. $TMPDIR/Wavelark.wav present while the wizard's tests record",
               "wizard ran to Done", changed=overwritten(before),
               note=f"exit status {code}; other files in $TMPDIR during the run: "
                    f"{' '.join(others) or 'none'}")


def f12_no_save_position(ctx):
    appdir = ctx.app("f12")
    write_config(appdir, "")
    before = snapshot(appdir)
    app = Run(appdir, "run.log")
    try:
        app.main()
        mark = len(app.statuses())
        ran = record(app, 3)
        line, _ = app.wait_status(SAVED, 15)
        time.sleep(0.5)
        capturing = app.streams()["source-outputs"]
        status = app.status_rect()
        rows = d.grab(app.wid, status)
        red_cols = [c for r in rows for c, (R, G, B) in enumerate(r) if R > 150 and max(G, B) < 110]
        ctx.shots.take(app.wid, "long-status")
        seen = app.trail(mark)
        lines = app.list_lines()
        app.exit()
    finally:
        app.stop()
    where = re.search(r"kept in (.*?)\.?$", line)
    kept_path = where.group(1) if where else ""
    if os.path.isdir(kept_path):
        files = [os.path.join(kept_path, f) for f in os.listdir(kept_path)]
        kept_path = files[0] if len(files) == 1 else kept_path
    kept = secs(wav_seconds(kept_path)) if os.path.isfile(kept_path) else "NOT FOUND"
    r12 = row("12. empty \"Save Position\", F9, F11 at 3 s", short(seen, 400), kept, secs(ran),
              overwritten(before), f"capture streams after Stop: {capturing}; list lines "
                                   f"{lines}; kept in {short(kept_path)}")
    r13 = row("13. a long failure message (that of 12)",
              f"status line shows red text from column {min(red_cols)} to {max(red_cols)} of "
              f"{status[2]} (its start; the rest cut): long-status.png" if red_cols
              else "NO red text on the status line", note=f"message length {len(line)} chars")
    return [r12, r13]


def f14_odd_name(ctx):
    appdir = ctx.app("f14")
    name = 'q"uo\tte'
    write_config(appdir, os.path.join(appdir, name + ".wav"))
    before = snapshot(appdir)
    app = Run(appdir, "run.log")
    try:
        app.main()
        mp3_on(app)
        mark = len(app.statuses())
        ran = record(app, 2)
        app.wait_status(SAVED, 30)
        seen = app.trail(mark)
        lines = app.list_lines()
        app.exit()
    finally:
        app.stop()
    wav, mp3 = (os.path.join(appdir, name + ext) for ext in (".wav", ".mp3"))
    kept = secs(wav_seconds(wav)) if os.path.exists(wav) else "NO WAV"
    if os.path.exists(mp3):
        kept += f" (mp3 {secs(d.mp3_seconds(mp3)[0])})"
    else:
        kept += " (NO MP3)"
    return row("14. take named q\"uo<TAB>te.wav, MP3 conversion on", short(seen), kept, secs(ran),
               overwritten(before), f"list lines {lines}; files: " +
               " ".join(repr(f) for f in sorted(os.listdir(appdir)) if f.startswith("q")))


# --- the table ----------------------------------------------------------------------------

FAULTS = {1: f01_mp3_taken, 2: f02_conversions, 3: f03_cut_short, 4: f04_two_programs,
          5: f05_sigkill, 6: f06_signals, 7: f07_volume, 8: f08_wizard_closed,
          9: f09_cancel_format, 10: f10_config_locked, 11: f11_wizard_temp,
          12: f12_no_save_position, 14: f14_odd_name}


def table(rows):
    out = ["| Fault | What the user sees (red status / window) | Audio kept (s) | "
           "Audio recorded (s) | Files overwritten | Notes |",
           "|---|---|---|---|---|---|"]
    for r in rows:
        cells = [r["fault"], r["seen"], r["kept"], r["recorded"], str(r["changed"]), r["note"]]
        out.append("| " + " | ".join(str(c).replace("|", "\\|") for c in cells) + " |")
    return "\n".join(out)


def main():
    if len(sys.argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    build = os.path.abspath(sys.argv[1])
    chosen = [int(a) for a in sys.argv[2:]] or sorted(FAULTS)
    servers = Servers()
    rows = []
    began = time.monotonic()
    try:
        home = os.path.join(servers.dir, "home")
        os.makedirs(home, exist_ok=True)
        os.environ.pop("PULSE_SERVER", None)
        os.environ["DISPLAY"] = servers.xvfb()
        _, runtime = servers.pulse("pulse-main")
        os.environ.update(XDG_RUNTIME_DIR=runtime, HOME=home,
                          XDG_CACHE_HOME=os.path.join(home, ".cache"))
        ctx = Ctx(build, servers, d.Shots())
        HIDE.append(servers.dir)
        for number in chosen:
            log(f"== fault {number}")
            try:
                got = FAULTS[number](ctx)
                rows += got if isinstance(got, list) else [got]
            except Exception as error:  # one fault's trouble must not hide the others'
                rows.append(row(f"{number}. ({FAULTS[number].__name__})",
                                f"NOT MEASURED: {short(str(error), 300)}"))
            log(rows[-1]["seen"])
    finally:
        if os.environ.get("TW_KEEP"):
            log(f"kept: {servers.dir}")
            servers.procs and [p.kill() for p in servers.procs]
        else:
            servers.stop()
    print(table(rows))
    print(f"\n{len(rows)} rows in {time.monotonic() - began:.0f} s; "
          f"screenshots: {' '.join(ctx.shots.paths)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
