#!/usr/bin/env python3
"""The fault table: the real program, driven as a user drives it, under the faults it must
survive. Each fault runs in a fresh copy of the application directory, on private X and
PulseAudio servers started here; what the user sees is the program's red status lines
(stderr, "status: ...") and the file system. Prints one Markdown table.

Usage: run.py BUILD_DIR [FAULT ...]     (FAULT: the row numbers to run, default all)

Screenshots go to $TW_SHOTS (default: a new folder under the temporary directory).
"""

import os
import re
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import (  # noqa: E402
    BYTES_PER_SECOND,
    HIDE,
    Run,
    SAVED,
    STEREO16,
    Servers,
    children,
    close_window,
    command_of,
    converted_take,
    d,
    drive_wizard,
    fresh_app,
    keys_on,
    killed_into_take,
    log,
    open_file,
    overwritten,
    random_file,
    record,
    row,
    secs,
    short,
    snapshot,
    tone_wav,
    wav_format,
    wav_seconds,
    write_config,
)
import kills  # noqa: E402  the faults of killed runs and starts, 15-21
import encoded  # noqa: E402  takes saved as FLAC, ended by signals, 22-23


# --- the faults ---------------------------------------------------------------------------

class Ctx:
    def __init__(self, build, servers, shots):
        self.build, self.servers, self.shots = build, servers, shots
        self.work = os.path.join(servers.dir, "work")
        os.makedirs(self.work, exist_ok=True)

    def app(self, name):
        return fresh_app(self.work, name, self.build)


def f01_mp3_taken(ctx):
    appdir = ctx.app("f01")
    write_config(appdir, os.path.join(appdir, "song.wav"))
    random_file(os.path.join(appdir, "song.mp3"), 20000)
    before = snapshot(appdir)
    app = Run(appdir, "run.log")
    try:
        ran, seen = converted_take(app, 3)
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
        ran, seen = converted_take(app, 2)
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
    ran = killed_into_take(appdir, 5)
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
        ran, seen = converted_take(app, 2)
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
          12: f12_no_save_position, 14: f14_odd_name, **kills.FAULTS, **encoded.FAULTS}


def table(rows):
    out = ["| Fault | What the user sees (red status / window) | Audio kept (s) | "
           "Audio recorded (s) | Files overwritten | Files left behind | Notes |",
           "|---|---|---|---|---|---|---|"]
    for r in rows:
        cells = [r["fault"], r["seen"], r["kept"], r["recorded"], str(r["changed"]), r["left"],
                 r["note"]]
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
