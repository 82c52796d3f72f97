#!/usr/bin/env python3
"""The command line, one program per session and the desktop portal's hotkeys, tried with the
real binary on the servers of scripts/servers.sh (X, PulseAudio and the tests' own session
bus): --help, --version and a bad option; --stop with no program running; a plain second start
that shows the running program instead of opening another; --record, --pause and --stop handed
to the running program; --record starting the program when none runs, also under a small file
size limit; --record --stop-after 4 giving a take of four seconds. Then, as on a Wayland session, on a bus of its own with the real portal frontend and a fake desktop
(tests/portal/portal_env.sh): the program binds F9, F10 and F11 there and the desktop's
activations record, pause and stop a take; a portal without global shortcuts leaves X11 grabs
and a note that says they work only over X11 windows.

Usage: cli_driver.py APPDIR BUILDDIR
"""

import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e_driver as e2e  # noqa: E402
from e2e_driver import Failure, need, log  # noqa: E402


def command(appdir, *args, timeout=15):
    done = subprocess.run([os.path.join(appdir, "tunewright"), *args], cwd=appdir,
                          capture_output=True, text=True, timeout=timeout)
    return done.returncode, done.stdout + done.stderr


def capturing(app):
    return app.streams()["source-outputs"] == 1


def take_seconds(path):
    (_, _, rate, _, align), samples = e2e.read_wav(path)
    return len(samples) / align / rate


def wait_for_file(path, timeout=10):
    deadline = time.monotonic() + timeout
    while not os.path.exists(path):
        need(time.monotonic() < deadline, f"{path} did not appear within {timeout} s")
        time.sleep(0.1)


def options(appdir):
    code, text = command(appdir, "--help")
    need(code == 0 and "--record" in text and "--stop" in text, f"--help: {code} {text!r}")
    code, text = command(appdir, "--version")
    need(code == 0 and text.startswith("Tunewright "), f"--version: {code} {text!r}")
    code, text = command(appdir, "--bogus")
    need(code == 2 and "unknown option --bogus" in text, f"a bad option: {code} {text!r}")
    code, text = command(appdir, "--stop")
    need(code == 1 and "no Tunewright is running" in text, f"--stop alone: {code} {text!r}")
    code, text = command(appdir, "--pause")
    need(code == 1 and "no Tunewright is running" in text, f"--pause alone: {code} {text!r}")


def forwarded(appdir):
    """Commands reach the running program and obey its rules; a plain start shows it."""
    app = e2e.App(appdir, "cli-first.log")
    try:
        main = app.window("^Tunewright$")
        code, text = command(appdir)
        need(code == 0, f"a second start ended with {code}: {text!r}")
        titled = e2e.run(["xdotool", "search", "--all", "--onlyvisible", "--name", "^Tunewright$"],
                         check=False).split()
        need(titled == [str(main)], f"a second start left main windows {titled}, not one")

        began = time.monotonic()
        need(command(appdir, "--record")[0] == 0, "--record was not handed over")
        e2e.wait_for("--record: the program is not capturing", lambda: capturing(app), app, 5)
        time.sleep(2)
        need(command(appdir, "--pause")[0] == 0, "--pause was not handed over")
        time.sleep(2)
        need(command(appdir, "--pause")[0] == 0, "--pause (resume) was not handed over")
        time.sleep(1)
        need(command(appdir, "--stop")[0] == 0, "--stop was not handed over")
        take = os.path.join(appdir, "Take.wav")
        wait_for_file(take)
        e2e.wait_for("--stop: the program still captures", lambda: not capturing(app), app, 5)
        ran = time.monotonic() - began
        seconds = take_seconds(take)
        log(f"take driven by the command line: {seconds:.2f} s of {ran:.2f} s, 2 s paused")
        need(2.3 <= seconds <= ran - 1.5, f"the take lasts {seconds:.2f} s of {ran:.2f} s "
             "with 2 s paused")
        # A second --stop finds Stop disabled: nothing happens, and the command still ends.
        need(command(appdir, "--stop")[0] == 0, "a second --stop was refused")
        need(not os.path.exists(os.path.join(appdir, "Take_1.wav")), "a second --stop saved")
    finally:
        app.stop()


def record_starts_the_program(appdir):
    proc = subprocess.Popen([os.path.join(appdir, "tunewright"), "--record"], cwd=appdir,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 10
        while True:
            text = e2e.run(["pactl", "list", "source-outputs"])
            if f'application.process.id = "{proc.pid}"' in text:
                break
            need(proc.poll() is None, f"tunewright --record ended with {proc.returncode}")
            need(time.monotonic() < deadline, "tunewright --record did not start recording")
            time.sleep(0.1)
        time.sleep(1)
        need(command(appdir, "--stop")[0] == 0, "--stop was not handed over")
        wait_for_file(os.path.join(appdir, "Take_1.wav"))
    finally:
        proc.terminate()
        proc.wait(10)


def stop_after(appdir):
    """--record --stop-after starts the program, which records one take that stops and is
    saved by itself after that length; a length without --record, or no length, is refused."""
    code, text = command(appdir, "--stop-after", "4")
    need(code == 2 and "--stop-after goes with --record" in text, f"alone: {code} {text!r}")
    code, text = command(appdir, "--record", "--stop-after", "soon")
    need(code == 2 and 'not "soon"' in text, f"a bad length: {code} {text!r}")
    before = {f for f in os.listdir(appdir) if f.endswith(".wav")}
    proc = subprocess.Popen([os.path.join(appdir, "tunewright"), "--record", "--stop-after", "4"],
                            cwd=appdir, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 20
        while not (new := {f for f in os.listdir(appdir) if f.endswith(".wav")} - before):
            need(proc.poll() is None, f"tunewright --record --stop-after ended with "
                 f"{proc.returncode}")
            need(time.monotonic() < deadline, "--stop-after 4: no take was saved within 20 s")
            time.sleep(0.1)
        need(len(new) == 1, f"--stop-after 4 saved {sorted(new)}")
        seconds = take_seconds(os.path.join(appdir, new.pop()))
        log(f"--stop-after 4 gave a take of {seconds:.3f} s")
        need(abs(seconds - 4.0) <= 0.2, f"--stop-after 4 gave a take of {seconds:.3f} s")
    finally:
        proc.terminate()
        proc.wait(10)


def under_a_file_size_limit(appdir):
    """A file size limit far below the sound server's shared memory (a quota, a limit a shell
    inherited) is no reason to die: the program starts, records and saves within it."""
    limit = 300_000

    def limited():
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

    proc = subprocess.Popen([os.path.join(appdir, "tunewright"), "--record"], cwd=appdir,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                            preexec_fn=limited)
    try:
        deadline = time.monotonic() + 10
        while f'application.process.id = "{proc.pid}"' not in e2e.run(
                ["pactl", "list", "source-outputs"]):
            need(proc.poll() is None, f"tunewright under a {limit} B file size limit ended "
                 f"with {proc.returncode}")
            need(time.monotonic() < deadline, "tunewright --record under a file size limit "
                 "did not start recording")
            time.sleep(0.1)
        time.sleep(1.5)
        need(command(appdir, "--stop")[0] == 0, "--stop was not handed over")
        wait_for_file(os.path.join(appdir, "Take_2.wav"))
        need(proc.poll() is None, f"the program ended with {proc.returncode} after its save")
    finally:
        proc.terminate()
        proc.wait(10)


PORTAL_ENV = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "portal",
                          "portal_env.sh")


def portal(*args):
    done = subprocess.run([PORTAL_ENV, *args], capture_output=True, text=True, timeout=30)
    need(done.returncode == 0, f"portal_env.sh {' '.join(args)}: {done.stderr}")
    return done.stdout.strip()


def as_wayland_session(appdir, logname, bus):
    saved = dict(os.environ)
    os.environ.update(DBUS_SESSION_BUS_ADDRESS=bus, XDG_SESSION_TYPE="wayland")
    try:
        return e2e.App(appdir, logname)
    finally:
        os.environ.clear()
        os.environ.update(saved)


def portal_hotkeys(appdir, workdir):
    folder = os.path.join(workdir, "portal")
    bus = portal("start", folder)
    try:
        app = as_wayland_session(appdir, "cli-portal.log", bus)
        try:
            app.window("^Tunewright$")
            deadline = time.monotonic() + 10
            while '"record"' not in portal("state", folder):
                need(time.monotonic() < deadline, "the program bound no shortcuts at the portal")
                time.sleep(0.2)
            state = portal("state", folder)
            for key in ("F9", "F10", "F11"):
                need(f'"{key}"' in state, f"{key} was not asked for: {state}")
            take = os.path.join(appdir, "Take_3.wav")
            began = time.monotonic()
            portal("activate", folder, "record")
            e2e.wait_for("the portal's record: no capture", lambda: capturing(app), app, 5)
            time.sleep(2)
            portal("activate", folder, "pause")
            time.sleep(1.5)
            portal("activate", folder, "pause")
            time.sleep(1)
            portal("activate", folder, "stop")
            wait_for_file(take)
            ran = time.monotonic() - began
            seconds = take_seconds(take)
            log(f"take driven by the portal: {seconds:.2f} s of {ran:.2f} s, 1.5 s paused")
            need(2.5 <= seconds <= ran - 1.0, f"the portal's take lasts {seconds:.2f} s")
        finally:
            app.stop()

        # A portal that has no global shortcuts: X11 grabs, and the note about them.
        portal("frontend", folder, "empty")
        app = as_wayland_session(appdir, "cli-portal-empty.log", bus)
        try:
            app.window("^Tunewright$")
            e2e.wait_for("no note about X11-only hotkeys",
                         lambda: "work only while an X11 window has the focus" in app.output(),
                         app, 5)
        finally:
            app.stop()
    finally:
        portal("stop", folder)


def main():
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    source_dir, build_dir = (os.path.abspath(a) for a in sys.argv[1:3])
    workdir = tempfile.mkdtemp(prefix="cli-run-", dir=build_dir)
    try:
        e2e.check_environment(source_dir)
        need(os.environ.get("DBUS_SESSION_BUS_ADDRESS", "").startswith("unix:path=/tmp/"),
             "no private session bus (start scripts/servers.sh): the test must not reach "
             "the user's")
        appdir = os.path.join(workdir, "app")
        shutil.copytree(source_dir, appdir, symlinks=True,
                        ignore=shutil.ignore_patterns("Config.ini", "Larktake*"))
        with open(os.path.join(appdir, "Config.ini"), "w") as f:
            f.write(f"[Config]\nRecording Source={e2e.HEARD_SOURCE}\nRecording Volume=65536\n"
                    f"Save Position={appdir}/Take.wav\nChannels=1\nBitsPerSample=16\n"
                    "SamplesPerSec=22050\n")
        options(appdir)
        forwarded(appdir)
        record_starts_the_program(appdir)
        under_a_file_size_limit(appdir)
        portal_hotkeys(appdir, workdir)
        stop_after(appdir)
    except (Failure, subprocess.TimeoutExpired) as failure:
        log(f"FAIL: {failure}; the run is kept in {workdir}")
        return 1
    shutil.rmtree(workdir, ignore_errors=True)
    log("PASS")
    return 0


if __name__ == "__main__":
    sys.exit(main())
