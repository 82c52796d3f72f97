#!/usr/bin/env python3
"""The whole program, tried as a user would: the real tunewright binary from a fresh copy of
the application directory, on the X server and the PulseAudio server of scripts/servers.sh.

First run: the sound-card wizard is driven to "Done" with the mouse, the MP3 conversion is
switched on in Preferences, F9/F10/F10/F11 record a take with pauses, the take is played back
from the list and File > Exit ends the program. Second run: the three skins, the about box and
the location window. Then SIGTERM during a take saves it, and a take cut short by SIGKILL is
recovered by the next start. Screenshots of every stage go to $TW_SHOTS (default: a new folder
under the temporary directory that is kept) and their paths are printed.

Usage: e2e_driver.py APPDIR BUILDDIR

Anything missing (X server, sound server, a tool, a file of the application directory) is a
failure, never a skip.
"""

import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
from array import array

# Positions are the windows' own layout in twips turned into pixels (15 twips each). There is
# no window manager under Xvfb, so a window's client area starts at its X window's origin.
WIZARD_LABEL = (24, 24, 297, 49)  # SkinLabel1
WIZARD_NEXT = (208 + 28, 88 + 8)  # centre of "next"
WIZARD_HEARD = (264 + 28, 88 + 8)  # centre of "heard"
# "Done", at the foot of the window that grew by the second input's and the program's lists.
WIZARD_DONE = (264 + 28, 88 + 50 + 8)
PREFS_CHECK = (40, 168)  # "Convert recording to MP3 on completion", on its box
PREFS_OK = (32 + 40, 192 + 96 + 150 + 8)  # under the bands: take names, then voice activation
MAIN_CLIENT_HEIGHT = 380  # the main window's client area, fixed; the menu bar is above it
MAIN_STATUS = (8, 296, 321, 18)  # Text1, relative to the client area
MAIN_FIRST_LINE = (60, 40 + 9)  # inside the first row of List1, relative to the client area
MAIN_FORM_SPOT = (3, 150)  # bare skinned background left of the list, client-relative
MENU_FILE_X = 16  # "File" is the first title of the menu bar; the others are reached by keys

# The sources in the engine's order on the test server: 1 = sine_input, 2 = micsink.monitor.
# sine_input hands over its audio in blocks of about two seconds, so a take paused and stopped
# on whole seconds comes out a block longer than it ran; micsink.monitor is fed a steady tone
# and gives takes of the length they ran. The wizard therefore tries source 1 and goes on to
# declare source 2 heard.
HEARD_SOURCE = 2

TAKE_SECONDS = 5.0
TAKE_TOLERANCE = 0.3


class Failure(Exception):
    pass


def log(text):
    print(text, flush=True)


def need(condition, message):
    if not condition:
        raise Failure(message)


def run(args, timeout=15, check=True, capture=True):
    try:
        result = subprocess.run(args, timeout=timeout, check=False,
                                stdout=subprocess.PIPE if capture else subprocess.DEVNULL,
                                stderr=subprocess.PIPE)
    except FileNotFoundError:
        raise Failure(f"{args[0]} is not installed")
    except subprocess.TimeoutExpired:
        raise Failure(f"{' '.join(args)} did not finish within {timeout} s")
    if check and result.returncode != 0:
        raise Failure(f"{' '.join(args)} failed ({result.returncode}): "
                      f"{result.stderr.decode(errors='replace').strip()}")
    return result.stdout.decode(errors="replace") if capture else ""


class App:
    """One run of the program in the fresh application directory."""

    def __init__(self, appdir, logname):
        self.appdir = appdir
        self.logpath = os.path.join(appdir, logname)
        env = dict(os.environ)
        # The wizard's test take goes to the temporary directory; one of our own keeps it
        # from meeting another run's.
        tmp = os.path.join(appdir, "tmp")
        os.makedirs(tmp, exist_ok=True)
        env["TMPDIR"] = tmp
        # The list kept across runs belongs to this directory's runs alone.
        env["XDG_DATA_HOME"] = os.path.join(appdir, "data")
        self.logfile = open(self.logpath, "wb")
        self.proc = subprocess.Popen([os.path.join(appdir, "tunewright")], cwd=appdir, env=env,
                                     stdout=self.logfile, stderr=subprocess.STDOUT)
        self.pid = self.proc.pid

    def alive(self):
        if self.proc.poll() is not None:
            raise Failure(f"tunewright ended unexpectedly with {self.proc.returncode}; "
                          f"its output:\n{self.output()}")

    def output(self):
        self.logfile.flush()
        with open(self.logpath, "rb") as f:
            return f.read().decode(errors="replace")[-4000:]

    def windows(self, title=None):
        args = ["xdotool", "search", "--all", "--onlyvisible", "--pid", str(self.pid)]
        args += ["--name", title] if title else []
        out = run(args, check=False)
        return [int(w) for w in out.split()]

    def window(self, title, timeout=15):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            self.alive()
            found = self.windows(title)
            if found:
                time.sleep(0.3)  # let it paint
                shown = self.title(found[0])
                # The title a window manager shows is _NET_WM_NAME; it must be exactly the
                # title the window sets, with nothing (such as the application's name) appended.
                need(re.fullmatch(title.strip("^$"), shown),
                     f"window {title!r} is shown titled {shown!r}")
                return found[0]
            time.sleep(0.1)
        raise Failure(f"no window titled {title!r} appeared within {timeout} s")

    @staticmethod
    def title(wid):
        out = run(["xprop", "-id", str(wid), "_NET_WM_NAME"], check=False)
        found = re.search(r'= "(.*)"$', out.strip())
        return found.group(1) if found else ""

    def gone(self, wid, timeout=10):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            self.alive()
            if wid not in self.windows():
                return
            time.sleep(0.1)
        raise Failure(f"window {wid} is still shown after {timeout} s")

    def streams(self):
        """The program's own playback and capture streams on the sound server."""
        counts = {}
        for kind in ("sink-inputs", "source-outputs"):
            text = run(["pactl", "list", kind])
            pids = re.findall(r'application\.process\.id = "(\d+)"', text)
            counts[kind] = pids.count(str(self.pid))
        return counts

    def exit_code(self, timeout):
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            raise Failure(f"tunewright did not end within {timeout} s after Exit")

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.logfile.close()


def click(wid, x, y, repeat=1):
    run(["xdotool", "mousemove", "--window", str(wid), str(x), str(y), "sleep", "0.1",
         "click", "--repeat", str(repeat), "--delay", "80", "1"])


def keys(*names):
    run(["xdotool", "key", "--delay", "60", *names])


def grab(wid, rect):
    """The pixels of a rectangle of a window, as rows of (r, g, b)."""
    x, y, w, h = rect
    data = subprocess.run(["import", "-window", str(wid), "-crop", f"{w}x{h}+{x}+{y}",
                           "+repage", "-depth", "8", "ppm:-"],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=15).stdout
    fields = []
    pos = 0
    while len(fields) < 4:
        match = re.compile(rb"\s*(#[^\n]*\n\s*)*(\S+)").match(data, pos)
        need(match, "import gave no picture")
        fields.append(match.group(2))
        pos = match.end()
    need(fields[0] == b"P6", "import did not give a P6 picture")
    width, height, maxval = int(fields[1]), int(fields[2]), int(fields[3])
    pos += 1
    size = 2 if maxval > 255 else 1
    pixels = data[pos:pos + width * height * 3 * size]
    need(len(pixels) == width * height * 3 * size, "import gave a short picture")
    if size == 2:
        pixels = bytes(pixels[i] for i in range(0, len(pixels), 2))
    return [[tuple(pixels[(r * width + c) * 3:(r * width + c) * 3 + 3]) for c in range(width)]
            for r in range(height)]


def text_extent(rows, colour):
    """Count and rightmost column of the pixels of a pure red or pure blue text."""
    count, right = 0, -1
    for row in rows:
        for c, (r, g, b) in enumerate(row):
            strong, other = (r, max(g, b)) if colour == "red" else (b, max(r, g))
            if strong > 150 and other < 110:
                count += 1
                right = max(right, c)
    return count, right


class Shots:
    def __init__(self):
        folder = os.environ.get("TW_SHOTS")
        if folder:
            os.makedirs(folder, exist_ok=True)
        else:
            folder = tempfile.mkdtemp(prefix="tunewright-shots-")
        self.folder = folder
        self.paths = []

    def take(self, wid, name):
        path = os.path.join(self.folder, name + ".png")
        run(["import", "-window", str(wid), path])
        need(os.path.getsize(path) > 0, f"screenshot {path} is empty")
        self.paths.append(path)
        log(f"screenshot: {path}")


def wait_for(what, test, app, timeout, step=0.1):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        app.alive()
        value = test()
        if value:
            return value
        time.sleep(step)
    raise Failure(f"{what} within {timeout} s")


# --- sound files ---------------------------------------------------------------------------

def read_wav(path):
    """Format and samples of a PCM WAV, plain, WAVE_FORMAT_EXTENSIBLE or RF64."""
    with open(path, "rb") as f:
        data = f.read()
    need(len(data) >= 12 and data[8:12] == b"WAVE" and data[0:4] in (b"RIFF", b"RF64"),
         f"{path} is not a WAV file (starts {data[:12]!r})")
    pos, fmt, samples, ds64_data = 12, None, None, None
    while pos + 8 <= len(data):
        cid, size = data[pos:pos + 4], struct.unpack_from("<I", data, pos + 4)[0]
        body = pos + 8
        if cid == b"ds64":
            ds64_data = struct.unpack_from("<Q", data, body + 8)[0]
        elif cid == b"fmt ":
            tag, channels, rate, _, align, bits = struct.unpack_from("<HHIIHH", data, body)
            if tag == 0xFFFE:
                need(size >= 40, f"{path}: extensible fmt chunk too short")
                tag = struct.unpack_from("<H", data, body + 24)[0]  # the sub-format's tag
            fmt = (tag, channels, rate, bits, align)
        elif cid == b"data":
            if size == 0xFFFFFFFF and ds64_data is not None:
                size = ds64_data
            samples = data[body:body + size]
            need(len(samples) == size, f"{path}: data chunk claims {size} bytes, "
                                       f"holds {len(samples)}")
        pos = body + size + (size & 1)
    need(fmt is not None and samples is not None, f"{path}: no fmt or no data chunk")
    return fmt, samples


def check_take(path):
    (tag, channels, rate, bits, align), samples = read_wav(path)
    need(tag == 1, f"{path}: not PCM (format tag {tag})")
    need((channels, rate, bits) == (2, 22050, 16),
         f"{path}: {channels} channels, {rate} Hz, {bits} bit; the wizard configures "
         f"2 channels, 22050 Hz, 16 bit")
    need(align == 4, f"{path}: block align {align}, not 4")
    seconds = len(samples) / align / rate
    log(f"take: {path}: {channels} ch, {rate} Hz, {bits} bit, {seconds:.3f} s")
    need(abs(seconds - TAKE_SECONDS) <= TAKE_TOLERANCE,
         f"{path} lasts {seconds:.3f} s; 3 s recorded, 1 s paused, 2 s recorded make "
         f"{TAKE_SECONDS} s (±{TAKE_TOLERANCE})")
    # The heard source carries a steady tone: a take that is mostly silence lost its audio.
    # A monitor source starts delivering a little late and the engine keeps the take's length
    # with silence at the start, so the first second may be quiet.
    values = array("h")
    values.frombytes(samples[:len(samples) - len(samples) % 2])
    if sys.byteorder == "big":
        values.byteswap()
    window = rate // 10 * channels
    windows = [values[i:i + window] for i in range(0, len(values) - window + 1, window)]
    loud = [max(max(w), -min(w)) > 1000 for w in windows]
    lead = loud.index(True) if True in loud else len(loud)
    log(f"take: {sum(loud)} of {len(windows)} tenths of a second carry the tone; "
        f"{lead / 10:.1f} s of silence at the start")
    need(lead <= 10 and all(loud[lead:]),
         f"{path}: the tone is missing in {len(loud) - sum(loud)} of {len(loud)} tenths of a "
         f"second (pattern {''.join('#' if x else '.' for x in loud)}); the take lost audio")
    return seconds


def mp3_seconds(path):
    """Playing time of an MPEG layer III file, counted frame by frame."""
    with open(path, "rb") as f:
        data = f.read()
    need(len(data) > 0, f"{path} is empty")
    pos = 0
    if data[:3] == b"ID3" and len(data) >= 10:
        s = data[6:10]
        pos = 10 + ((s[0] << 21) | (s[1] << 14) | (s[2] << 7) | s[3])
    rates = {3: (44100, 48000, 32000), 2: (22050, 24000, 16000), 0: (11025, 12000, 8000)}
    kbps_v1 = (0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320)
    kbps_v2 = (0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160)
    frames, samples, first_rate = 0, 0, None
    while pos + 4 <= len(data):
        h = struct.unpack_from(">I", data, pos)[0]
        if (h >> 21) & 0x7FF != 0x7FF:
            break
        version, layer = (h >> 19) & 3, (h >> 17) & 3
        bitrate_index, rate_index, padding = (h >> 12) & 15, (h >> 10) & 3, (h >> 9) & 1
        if version == 1 or layer != 1 or bitrate_index in (0, 15) or rate_index == 3:
            break
        rate = rates[version][rate_index]
        kbps = (kbps_v1 if version == 3 else kbps_v2)[bitrate_index]
        per_frame = 1152 if version == 3 else 576
        length = (per_frame // 8) * kbps * 1000 // rate + padding
        first_rate = first_rate or rate
        frames += 1
        samples += per_frame
        pos += length
    need(frames > 10, f"{path}: no run of MPEG layer III frames found ({frames} frames)")
    return samples / first_rate, frames


# --- the two runs --------------------------------------------------------------------------

def menu(app, main, title_index, item_index, sub_index=None):
    """Opens a menu of the menu bar and triggers one of its items, by keys once it is open:
    titles and items are placed by the style's font, which the test does not know."""
    before = set(app.windows())
    click(main, MENU_FILE_X, app.menubar // 2)
    wait_for("the File menu did not open", lambda: set(app.windows()) - before, app, 5)
    time.sleep(0.2)
    if title_index == 0:
        presses = ["Down"] * (item_index + 1)  # a menu opened by the mouse has no current item
    else:
        presses = ["Right"] * title_index + ["Down"] * item_index  # ...one opened by keys has
    keys(*presses)
    if sub_index is not None:
        keys("Right")
        time.sleep(0.3)
        if sub_index:
            keys(*["Down"] * sub_index)
    keys("Return")
    time.sleep(0.5)


def wizard_step(app, wizard, button, stage, expect_streams=()):
    """Clicks a wizard button and waits for the label to change: each step ends by writing the
    next instruction. Notes which sound streams the program opened meanwhile."""
    before = grab(wizard, WIZARD_LABEL)
    seen = {"sink-inputs": 0, "source-outputs": 0}
    click(wizard, *button)

    def changed():
        for kind, n in app.streams().items():
            seen[kind] = max(seen[kind], n)
        return grab(wizard, WIZARD_LABEL) != before

    wait_for(f"wizard: {stage}: the instruction did not change", changed, app, 20, 0.15)
    for kind in expect_streams:
        need(seen[kind] > 0, f"wizard: {stage}: the program opened no {kind[:-1]} on the "
                             f"sound server")
    time.sleep(0.3)


def first_run(appdir, shots):
    app = App(appdir, "first-run.log")
    try:
        wizard = app.window("^Sound Card Setting$")
        need(not app.windows("^Tunewright$"), "the main window is shown on a first run")
        shots.take(wizard, "wizard-1-first-step")

        wizard_step(app, wizard, WIZARD_NEXT, "count the sources")
        for source in range(1, HEARD_SOURCE + 1):
            # From the count, and from a source not heard, "next" announces the next source.
            wizard_step(app, wizard, WIZARD_NEXT, f"announce source {source}")
            wizard_step(app, wizard, WIZARD_NEXT, f"record source {source} with the chime",
                        ("sink-inputs", "source-outputs"))
            wizard_step(app, wizard, WIZARD_NEXT, f"play back source {source}",
                        ("sink-inputs",))
            if source == 1:
                shots.take(wizard, "wizard-2-confirm-step")
        wizard_step(app, wizard, WIZARD_HEARD, "heard")
        shots.take(wizard, "wizard-3-done")
        config = os.path.join(appdir, "Config.ini")
        need(os.path.exists(config), "\"heard\" wrote no Config.ini")
        click(wizard, *WIZARD_DONE)

        main = app.window("^Tunewright$")
        app.gone(wizard)
        width, height = (int(v) for v in re.findall(
            r"(?:WIDTH|HEIGHT)=(\d+)", run(["xdotool", "getwindowgeometry", "--shell",
                                           str(main)])))
        app.menubar = height - MAIN_CLIENT_HEIGHT
        need(10 <= app.menubar <= 60, f"main window {width}x{height}: no room for a menu bar")
        shots.take(main, "main-1-after-wizard")

        menu(app, main, 1, 0)  # Options > Preferences...
        prefs = app.window("^Preferences$")
        box = (PREFS_CHECK[0] - 16, PREFS_CHECK[1] - 8, 16, 16)
        unticked = grab(prefs, box)
        click(prefs, *PREFS_CHECK)
        wait_for("Preferences: the MP3 check box did not change",
                 lambda: grab(prefs, box) != unticked, app, 5)
        shots.take(prefs, "preferences-mp3-ticked")
        click(prefs, *PREFS_OK)
        app.gone(prefs)

        take = os.path.join(appdir, "Larktake.wav")
        mp3 = os.path.join(appdir, "Larktake.mp3")
        need(not os.path.exists(take), f"{take} exists before the recording")
        # The hotkeys are grabbed on the root window: no focus is needed. Times are kept
        # from F9 so that the tools' own delays do not add up.
        start = time.monotonic()
        keys("F9")
        time.sleep(max(0.0, start + 1.5 - time.monotonic()))
        need(app.streams()["source-outputs"] > 0, "F9: the program is not capturing")
        shots.take(main, "main-2-recording")
        for at, key in ((3.0, "F10"), (4.0, "F10"), (6.0, "F11")):
            time.sleep(max(0.0, start + at - time.monotonic()))
            keys(key)
        log(f"hotkeys sent: F11 at {time.monotonic() - start:.2f} s after F9")

        def converted():
            if not (os.path.exists(take) and os.path.exists(mp3)):
                return False
            size = os.path.getsize(mp3)
            time.sleep(0.5)
            return size > 0 and os.path.getsize(mp3) == size
        wait_for(f"{take} and {mp3} did not both appear", converted, app, 30)
        time.sleep(0.5)
        shots.take(main, "main-3-after-recording")
        seconds = check_take(take)
        mp3_time, frames = mp3_seconds(mp3)
        log(f"mp3: {mp3}: {frames} frames, {mp3_time:.3f} s")
        need(abs(mp3_time - seconds) <= 0.2,
             f"{mp3} plays {mp3_time:.3f} s, its WAV {seconds:.3f} s")

        status = (MAIN_STATUS[0], app.menubar + MAIN_STATUS[1], MAIN_STATUS[2], MAIN_STATUS[3])
        need(app.streams()["sink-inputs"] == 0, "something plays before the double-click")
        click(main, MAIN_FIRST_LINE[0], app.menubar + MAIN_FIRST_LINE[1], repeat=2)
        wait_for("double-click: no playback stream appeared",
                 lambda: app.streams()["sink-inputs"] > 0, app, 5)
        playing = text_extent(grab(main, status), "blue")
        need(playing[0] > 50, "double-click: the status line shows no blue text while playing")
        shots.take(main, "main-4-playing")
        began = time.monotonic()
        wait_for("playback did not end", lambda: app.streams()["sink-inputs"] == 0, app, 20)
        played = time.monotonic() - began
        log(f"playback stream closed after {played:.1f} s more")

        # The status text cannot be read through X; its colour and length can. "Playback has
        # stopped" is short red text; the message before it and the play failures are long.
        def stopped_shown():
            red, right = text_extent(grab(main, status), "red")
            blue, _ = text_extent(grab(main, status), "blue")
            return red > 50 and blue == 0 and right < status[2] // 2
        wait_for("the status line did not turn to a short red text (\"Playback has stopped\")",
                 stopped_shown, app, 4, 0.25)
        shots.take(main, "main-5-playback-stopped")

        menu(app, main, 0, 3)  # File > Exit
        code = app.exit_code(15)
        need(code == 0, f"tunewright ended with {code} after Exit; its output:\n{app.output()}")
        with open(config, encoding="utf-8", errors="replace") as f:
            text = f.read()
        expected = {
            "Recording Source": str(HEARD_SOURCE),
            "Save Position": take,
            "Channels": "2",
            "BitsPerSample": "16",
            "SamplesPerSec": "22050",
        }
        for key, value in expected.items():
            need(re.search(rf"^{re.escape(key)}={re.escape(value)}\r?$", text, re.M),
                 f"Config.ini lacks {key}={value}:\n{text}")
        need(re.search(r"^Recording Volume=-?\d+\r?$", text, re.M),
             f"Exit wrote no \"Recording Volume\" to Config.ini:\n{text}")
        log("first run: wizard, preferences, take, MP3, playback and exit passed")
    finally:
        app.stop()


def form_colour(app, main):
    (rgb,), = grab(main, (MAIN_FORM_SPOT[0], app.menubar + MAIN_FORM_SPOT[1], 1, 1))
    return rgb


def second_run(appdir, shots):
    app = App(appdir, "second-run.log")
    try:
        main = app.window("^Tunewright$")
        need(not app.windows("^Sound Card Setting"), "the wizard is shown though Config.ini "
                                                     "exists")
        height = int(re.search(r"HEIGHT=(\d+)", run(["xdotool", "getwindowgeometry",
                                                    "--shell", str(main)])).group(1))
        app.menubar = height - MAIN_CLIENT_HEIGHT
        # "pink" loads the blue skin file; the background tells which skin is on.
        for index, (name, channel) in enumerate((("green", 1), ("red", 0), ("pink", 2))):
            menu(app, main, 1, 2, index)  # Options > Skin > ...
            rgb = form_colour(app, main)
            need(rgb[channel] == max(rgb) and rgb[channel] > 40,
                 f"skin {name}: the window's background is {rgb}")
            shots.take(main, f"skin-{name}")

        menu(app, main, 3, 2)  # Help > About Wavelark
        about = app.window("^About Tunewright$")
        shots.take(about, "about-box")
        # Without a window manager a new window sits at the screen's corner, over the menu bar.
        run(["xdotool", "windowmove", str(about), "600", "0"])
        time.sleep(0.3)
        menu(app, main, 0, 2)  # File > Location...
        location = app.window("^Form3$")
        shots.take(location, "location-window")
        run(["xdotool", "windowmove", str(location), "600", "300"])
        time.sleep(0.3)

        menu(app, main, 0, 3)  # File > Exit
        code = app.exit_code(15)
        need(code == 0, f"tunewright ended with {code} after Exit; its output:\n{app.output()}")
        log("second run: skins, about box and location window passed")
    finally:
        app.stop()


def check_environment(appdir):
    for tool in ("xdotool", "import", "pactl"):
        need(shutil.which(tool), f"{tool} is not installed")
    need(os.environ.get("DISPLAY"), "DISPLAY is not set: no X server (start scripts/servers.sh)")
    run(["xdotool", "getdisplaygeometry"])
    run(["pactl", "info"])
    for name in ("tunewright", "libWavelark.so", "libVolume.so", "lame", "test.wav",
                 "skin/green.skn", "skin/red.skn", "skin/blue.skn"):
        need(os.path.exists(os.path.join(appdir, name)), f"{appdir}/{name} is missing")
    sources = [line.split("\t")[1] for line in run(["pactl", "list", "short", "sources"])
               .splitlines() if "\t" in line]
    need(len(sources) >= HEARD_SOURCE and "micsink.monitor" in sources,
         f"the sound server lacks the test sources: {sources}")


def signal_run(appdir):
    """Logout or shutdown (SIGTERM) while a take records: the take is saved, as on Exit."""
    before = set(f for f in os.listdir(appdir) if f.startswith("Larktake") and f.endswith(".wav"))
    app = App(appdir, "signal-run.log")
    try:
        app.window("^Tunewright$")
        keys("F9")
        time.sleep(2.5)
        app.proc.send_signal(signal.SIGTERM)
        code = app.exit_code(15)
        need(code == 0, f"SIGTERM ended tunewright with {code}, not through its shutdown")
        after = set(f for f in os.listdir(appdir)
                    if f.startswith("Larktake") and f.endswith(".wav"))
        new = sorted(after - before)
        need(len(new) == 1, f"SIGTERM during a take left {new} as new takes, not one")
        (_, channels, rate, _, align), samples = read_wav(os.path.join(appdir, new[0]))
        seconds = len(samples) / align / rate
        log(f"take saved at SIGTERM: {new[0]}, {seconds:.3f} s")
        need(seconds >= 1.5, f"the take saved at SIGTERM lasts only {seconds:.3f} s")
    finally:
        app.stop()


def killed_run(appdir):
    """SIGKILL while a take records: the next start finds the capture the engine left in its
    cache folder, repairs it and puts it beside the takes under a take name, with its length."""
    cache = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.environ["HOME"], ".cache")
    captures = os.path.join(cache, "tunewright")

    def stranded():
        return set(f for f in os.listdir(captures) if f.startswith("capture-")) \
            if os.path.isdir(captures) else set()

    def takes():
        return set(f for f in os.listdir(appdir) if re.fullmatch(r"Larktake(_\d+)?\.wav", f))

    before = takes()
    app = App(appdir, "killed-run.log")
    try:
        app.window("^Tunewright$")
        start = time.monotonic()
        keys("F9")
        wait_for("F9: the program is not capturing",
                 lambda: app.streams()["source-outputs"] > 0, app, 5)
        time.sleep(max(0.0, start + TAKE_SECONDS - time.monotonic()))
        app.proc.send_signal(signal.SIGKILL)
        app.proc.wait(5)
    finally:
        app.stop()
    left = stranded()
    need(len(left) == 1,
         f"SIGKILL during a take left {sorted(left)} in {captures}, not one capture")

    app = App(appdir, "recovery-run.log")
    try:
        main = app.window("^Tunewright$")
        height = int(re.search(r"HEIGHT=(\d+)", run(["xdotool", "getwindowgeometry",
                                                    "--shell", str(main)])).group(1))
        app.menubar = height - MAIN_CLIENT_HEIGHT
        new = wait_for("no take was recovered", lambda: sorted(takes() - before), app, 15)
        need(len(new) == 1, f"the restart recovered {new}, not one take")
        need(not stranded() & left, f"{sorted(left)} is still in {captures} after recovery")
        (_, channels, rate, _, align), samples = read_wav(os.path.join(appdir, new[0]))
        seconds = len(samples) / align / rate
        log(f"take recovered after SIGKILL: {new[0]}, {seconds:.3f} s")
        need(seconds >= TAKE_SECONDS - 1.5,
             f"the recovered take lasts {seconds:.3f} s of about {TAKE_SECONDS} s recorded")
        # "Recovered 1 interrupted recording(s): ..." is a long blue text.
        status = (MAIN_STATUS[0], app.menubar + MAIN_STATUS[1], MAIN_STATUS[2], MAIN_STATUS[3])
        wait_for("the status line does not announce the recovery in a long blue text",
                 lambda: (lambda b: b[0] > 50 and b[1] > status[2] // 2)(
                     text_extent(grab(main, status), "blue")), app, 5, 0.25)
        menu(app, main, 0, 3)  # File > Exit
        code = app.exit_code(15)
        need(code == 0, f"tunewright ended with {code} after Exit; its output:\n{app.output()}")
    finally:
        app.stop()


def main():
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    source_dir, build_dir = (os.path.abspath(a) for a in sys.argv[1:3])
    began = time.monotonic()
    shots = None
    workdir = None
    try:
        check_environment(source_dir)
        shots = Shots()
        workdir = tempfile.mkdtemp(prefix="e2e-run-", dir=build_dir)
        appdir = os.path.join(workdir, "app")
        # A fresh application directory: what the build put there, without the settings or
        # takes of earlier runs.
        shutil.copytree(source_dir, appdir, symlinks=True, ignore=shutil.ignore_patterns(
            "Config.ini", "Larktake*"))
        first_run(appdir, shots)
        second_run(appdir, shots)
        signal_run(appdir)
        killed_run(appdir)
    except Failure as failure:
        log(f"FAIL: {failure}")
        if workdir:
            log(f"the run's application directory and logs are kept in {workdir}")
        ok = False
    else:
        shutil.rmtree(workdir, ignore_errors=True)
        ok = True
    if shots:
        log(f"screenshots in {shots.folder}:")
        for path in shots.paths:
            log(f"  {path}")
    log(f"{'PASS' if ok else 'FAIL'} after {time.monotonic() - began:.1f} s")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
