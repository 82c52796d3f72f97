"""The fault table's means: private X and PulseAudio servers, a run of the real program in
a fresh application directory, and the user's moves (hotkeys, menus, dialogs, the wizard),
on top of the end-to-end driver's helpers."""


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
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import e2e_driver as d  # noqa: E402

PULSE_MODULES = ["-L", "module-native-protocol-unix", "-L", "module-null-sink sink_name=speakers",
                 "-L", "module-sine-source rate=44100 frequency=440", "-L", "module-always-sink",
                 "-L", "module-null-sink sink_name=micsink",
                 "-L", "module-sine sink=micsink frequency=440"]
STEREO16 = "Channels=2\nBitsPerSample=16\nSamplesPerSec=22050\n"
MONO16 = "Channels=1\nBitsPerSample=16\nSamplesPerSec=22050\n"
BYTES_PER_SECOND = 22050 * 4
LIST_RECT = (8, 40, 329, 191)  # List1, relative to the client area


def log(text):
    print(text, file=sys.stderr, flush=True)


d.log = log  # the driver's progress lines (screenshots) stay off the table


# --- the table's cells --------------------------------------------------------------------

HIDE = []  # the run's temporary folder, shown as $T


def short(text, limit=200):
    for prefix in HIDE:
        text = text.replace(prefix, "$T")
    text = text.replace("\t", "\\t")
    return text if len(text) <= limit else text[:limit - 1] + "…"


def row(fault, seen, kept="", recorded="", changed=0, note="", left=""):
    return {"fault": fault, "seen": seen, "kept": kept, "recorded": recorded,
            "changed": changed, "note": note, "left": left}


def secs(value):
    return f"{value:.2f}"


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

    def __init__(self, appdir, logname, env=None, wrapper=(), preexec=None):
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
                                     env=full, stdout=self.logfile, stderr=subprocess.STDOUT,
                                     preexec_fn=preexec)
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


def write_config(appdir, save, fmt=STEREO16, extra="", source=2):
    """`source` None leaves "Recording Source" out, which sends a start to the wizard."""
    chosen = f"Recording Source={source}\n" if source is not None else ""
    with open(os.path.join(appdir, "Config.ini"), "w", encoding="utf-8") as f:
        f.write(f"[Config]\n{chosen}{fmt}Save Position={save}\n{extra}")


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


def killed_into_take(appdir, seconds):
    """A run that records `seconds` and is then killed with SIGKILL: the seconds it ran."""
    app = Run(appdir, "killed.log")
    try:
        app.main()
        ran = record(app, seconds, stop=False)
        app.proc.send_signal(signal.SIGKILL)
        app.proc.wait(5)
    finally:
        app.stop()
    return ran


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


def converted_take(app, seconds):
    """The program started, MP3-on-completion ticked, one take of `seconds` recorded and saved.
    Returns the take's wall time and the status lines it showed."""
    app.main()
    mp3_on(app)
    mark = len(app.statuses())
    ran = record(app, seconds)
    app.wait_status(SAVED, 30)
    return ran, app.trail(mark)


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
    d.click(wizard, *d.WIZARD_DONE)
    return app.main()
