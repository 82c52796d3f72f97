#!/usr/bin/env python3
"""Cost of keeping the input open between takes, measured on the real program.

  listen.py cpu BIN OUT ROUNDS SECONDS      CPU ms/s: listening, recording, pre-record off
  listen.py memory BIN OUT MINUTES PRE      VmRSS and RssAnon each minute (PRE: 10 or 0)
  listen.py report OUT                      the tables from what OUT holds

Runs on the servers of scripts/servers.sh (X, PulseAudio, a private bus): the program is
copied to an application folder of its own in OUT and started there as the e2e tests start it.
"""

import glob
import os
import shutil
import signal
import statistics
import subprocess
import sys
import time
import wave

TICK_MS = 1000.0 / os.sysconf("SC_CLK_TCK")
SETTLE = 5.0
SOURCE = 2  # the source the e2e tests hear


def log(text):
    print(text, flush=True)


def run(args):
    return subprocess.run(args, capture_output=True, text=True, timeout=30).stdout


def make_appdir(bindir, out, name, pre):
    appdir = os.path.join(out, name)
    shutil.rmtree(appdir, ignore_errors=True)
    shutil.copytree(bindir, appdir, symlinks=True,
                    ignore=shutil.ignore_patterns("Config.ini", "Larktake*", "Take*.wav"))
    with open(os.path.join(appdir, "Config.ini"), "w") as f:
        f.write(f"[Config]\nRecording Source={SOURCE}\nRecording Volume=65536\n"
                f"Save Position={appdir}/Take.wav\nChannels=2\nBitsPerSample=16\n"
                f"SamplesPerSec=48000\n")
        if pre:
            f.write(f"Pre-record Seconds={pre}\n")
    return appdir


class App:
    def __init__(self, appdir):
        self.appdir = appdir
        env = dict(os.environ)
        env["TMPDIR"] = os.path.join(appdir, "tmp")
        env["XDG_DATA_HOME"] = os.path.join(appdir, "data")
        env.setdefault("QT_QPA_PLATFORM", "xcb")
        os.makedirs(env["TMPDIR"], exist_ok=True)
        self.logfile = open(os.path.join(appdir, "run.log"), "ab")
        self.proc = subprocess.Popen([os.path.join(appdir, "tunewright")], cwd=appdir, env=env,
                                     stdout=self.logfile, stderr=subprocess.STDOUT)
        self.pid = self.proc.pid

    def alive(self):
        if self.proc.poll() is not None:
            raise SystemExit(f"tunewright ended with {self.proc.returncode}; see "
                             f"{self.appdir}/run.log")

    def wait_for(self, what, test, timeout=20):
        deadline = time.monotonic() + timeout
        while not test():
            self.alive()
            if time.monotonic() > deadline:
                raise SystemExit(f"{what} within {timeout} s (pid {self.pid})")
            time.sleep(0.2)

    def shown(self):
        out = run(["xdotool", "search", "--all", "--onlyvisible", "--pid", str(self.pid),
                   "--name", "^Tunewright$"])
        return bool(out.split())

    def captures(self):
        text = run(["pactl", "list", "source-outputs"])
        return text.count(f'application.process.id = "{self.pid}"')

    def command(self, *args):
        done = subprocess.run([os.path.join(self.appdir, "tunewright"), *args], cwd=self.appdir,
                              capture_output=True, text=True, timeout=15)
        if done.returncode != 0:
            raise SystemExit(f"tunewright {' '.join(args)} ended with {done.returncode}: "
                             f"{done.stdout}{done.stderr}")

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.logfile.close()


def takes(appdir):
    return set(glob.glob(os.path.join(appdir, "Take*.wav")))


def new_take(app, before):
    app.wait_for("--stop saved no take", lambda: takes(app.appdir) - before)
    (path,) = takes(app.appdir) - before
    time.sleep(1)
    return path


def listening(app):
    """Waits for the open input; when the program does not open it by itself, a short take
    (after which it does) stands in. Returns whether it opened by itself."""
    app.wait_for("no main window", app.shown)
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        if app.captures() == 1:
            return True
        time.sleep(0.5)
    before = takes(app.appdir)
    app.command("--record")
    time.sleep(1)
    app.command("--stop")
    os.unlink(new_take(app, before))
    app.wait_for("pre-record on, yet no capture stream after a take",
                 lambda: app.captures() == 1)
    return False


def cpu_ticks(pid):
    with open(f"/proc/{pid}/stat") as f:
        rest = f.read().rsplit(")", 1)[1].split()
    return int(rest[11]) + int(rest[12])  # utime, stime


def thread_ticks(pid):
    threads = {}
    for path in glob.glob(f"/proc/{pid}/task/*/stat"):
        try:
            with open(path) as f:
                text = f.read()
        except OSError:
            continue
        name = text[text.index("(") + 1:text.rindex(")")]
        rest = text.rsplit(")", 1)[1].split()
        tid = path.split("/")[4]
        threads[tid] = (name, int(rest[11]) + int(rest[12]))
    return threads


def sound_server_pids():
    return [int(p) for p in os.environ.get("TW_SOUND_SERVER_PIDS", "").split() if p]


def window(app, seconds):
    """CPU ms per second of the program (and of the sound server) over `seconds`."""
    servers = sound_server_pids()
    t0, c0, s0 = time.monotonic(), cpu_ticks(app.pid), sum(cpu_ticks(p) for p in servers)
    threads0 = thread_ticks(app.pid)
    time.sleep(seconds)
    app.alive()
    t1, c1, s1 = time.monotonic(), cpu_ticks(app.pid), sum(cpu_ticks(p) for p in servers)
    threads1 = thread_ticks(app.pid)
    elapsed = t1 - t0
    busiest = []
    for tid, (name, ticks) in threads1.items():
        spent = ticks - threads0.get(tid, (name, 0))[1]
        if spent:
            busiest.append((spent * TICK_MS / elapsed, f"{name}/{tid}"))
    busiest.sort(reverse=True)
    return ((c1 - c0) * TICK_MS / elapsed, (s1 - s0) * TICK_MS / elapsed,
            ", ".join(f"{name} {ms:.2f}" for ms, name in busiest[:4]))


def take_seconds(path):
    with wave.open(path) as w:
        return w.getnframes() / w.getframerate()


def pair(bindir, out, number, seconds, rows):
    appdir = make_appdir(bindir, out, f"cpu-pre-{number}", 10)
    app = App(appdir)
    try:
        opened = listening(app)
        log(f"round {number}: input open {'at start' if opened else 'only after a first take'}")
        rows.write(f"{number}\topened\t{int(opened)}\t\t\n")
        time.sleep(SETTLE)
        ms, server, threads = window(app, seconds)
        rows.write(f"{number}\twaiting\t{ms:.3f}\t{server:.3f}\t{threads}\n")
        log(f"round {number} waiting (pre-record 10 s): {ms:.3f} ms/s; server {server:.3f}; "
            f"threads {threads}")
        before = takes(appdir)
        began = time.monotonic()
        app.command("--record")
        time.sleep(SETTLE)
        ms, server, threads = window(app, seconds)
        rows.write(f"{number}\trecording\t{ms:.3f}\t{server:.3f}\t{threads}\n")
        log(f"round {number} recording: {ms:.3f} ms/s; server {server:.3f}; threads {threads}")
        app.command("--stop")
        ran = time.monotonic() - began
        take = new_take(app, before)
        length = take_seconds(take)
        log(f"round {number}: the take lasts {length:.2f} s for {ran:.2f} s recorded "
            f"(+{length - ran:.2f} s held before the start)")
        rows.write(f"{number}\ttake\t{length:.3f}\t{ran:.3f}\t\n")
    finally:
        app.stop()
        shutil.rmtree(appdir, ignore_errors=True)


def baseline(bindir, out, number, seconds, rows):
    appdir = make_appdir(bindir, out, f"cpu-off-{number}", 0)
    app = App(appdir)
    try:
        app.wait_for("no main window", app.shown)
        time.sleep(SETTLE)
        streams = app.captures()
        ms, server, threads = window(app, seconds)
        rows.write(f"{number}\tidle-off\t{ms:.3f}\t{server:.3f}\t{threads}\n")
        log(f"round {number} idle, pre-record off ({streams} capture streams): {ms:.3f} ms/s; "
            f"server {server:.3f}; threads {threads}")
    finally:
        app.stop()
        shutil.rmtree(appdir, ignore_errors=True)


def cpu(bindir, out, rounds, seconds):
    with open(os.path.join(out, "cpu.tsv"), "a", buffering=1) as rows:
        for number in range(1, rounds + 1):
            # The order alternates so that neither row always runs on a freshly started server.
            if number % 2:
                pair(bindir, out, number, seconds, rows)
                baseline(bindir, out, number, seconds, rows)
            else:
                baseline(bindir, out, number, seconds, rows)
                pair(bindir, out, number, seconds, rows)


def status(pid):
    values = {}
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            key, _, value = line.partition(":")
            if key in ("VmRSS", "RssAnon", "RssFile", "VmHWM"):
                values[key] = int(value.split()[0])
    return values


def memory(bindir, out, minutes, pre):
    name = f"memory-pre{pre}"
    appdir = make_appdir(bindir, out, name, pre)
    app = App(appdir)
    path = os.path.join(out, f"{name}.tsv")
    try:
        if pre:
            log(f"{name}: input open "
                f"{'at start' if listening(app) else 'only after a first take'}")
        else:
            app.wait_for("no main window", app.shown)
        began = time.monotonic()
        with open(path, "w", buffering=1) as rows:
            rows.write("minute\tVmRSS\tRssAnon\tRssFile\tVmHWM\tcapture_streams\tcpu_ms\n")
            for minute in range(1, minutes + 1):
                # Absolute times: the samples stay a minute apart however long a read takes.
                time.sleep(max(0.0, began + 60 * minute - time.monotonic()))
                app.alive()
                v = status(app.pid)
                rows.write(f"{minute}\t{v['VmRSS']}\t{v['RssAnon']}\t{v['RssFile']}\t"
                           f"{v['VmHWM']}\t{app.captures()}\t"
                           f"{cpu_ticks(app.pid) * TICK_MS:.0f}\n")
    finally:
        app.stop()
        shutil.rmtree(appdir, ignore_errors=True)
    log(f"{name}: {minutes} samples in {path}")


def slope(points):
    """Least-squares kB per 10 minutes."""
    xs, ys = zip(*points)
    mx, my = statistics.fmean(xs), statistics.fmean(ys)
    den = sum((x - mx) ** 2 for x in xs)
    return 10 * sum((x - mx) * (y - my) for x, y in zip(xs, ys)) / den if den else 0.0


def report(out):
    path = os.path.join(out, "cpu.tsv")
    if os.path.exists(path):
        rows = [line.rstrip("\n").split("\t") for line in open(path)]
        by = {}
        for r in rows:
            by.setdefault(r[1], []).append(r)
        log("CPU of the program, ms per second of wall time (sound server in brackets):")
        log("round  waiting(pre 10s)   recording          idle(pre off)   waiting/recording")
        rounds = sorted({int(r[0]) for r in rows})
        ratios = []
        for n in rounds:
            got = {kind: next((r for r in by.get(kind, []) if int(r[0]) == n), None)
                   for kind in ("waiting", "recording", "idle-off")}
            cells = [f"{float(got[k][2]):6.2f} [{float(got[k][3]):5.2f}]" if got[k] else
                     "      -        " for k in ("waiting", "recording", "idle-off")]
            ratio = ""
            if got["waiting"] and got["recording"] and float(got["recording"][2]):
                ratios.append(float(got["waiting"][2]) / float(got["recording"][2]))
                ratio = f"{ratios[-1]:.2f}x"
            log(f"{n:5}  {cells[0]}    {cells[1]}    {cells[2]}   {ratio}")
        med = {k: statistics.median(float(r[2]) for r in by[k])
               for k in ("waiting", "recording", "idle-off") if k in by}
        log("median " + "  ".join(f"{k} {v:.2f}" for k, v in med.items()) +
            (f"  waiting/recording (median of ratios) {statistics.median(ratios):.2f}x"
             if ratios else ""))
        if "waiting" in med and "recording" in med and med["recording"]:
            log(f"median waiting / median recording {med['waiting'] / med['recording']:.2f}x")
        if "waiting" in med and "idle-off" in med and med["idle-off"]:
            log(f"median waiting/idle(pre off) {med['waiting'] / med['idle-off']:.2f}x")
        for r in by.get("opened", []):
            log(f"round {r[0]}: the input was open "
                f"{'at start' if r[2] == '1' else 'only after a first take'}")
        for r in by.get("take", []):
            log(f"round {r[0]} take: {float(r[2]):.2f} s for {float(r[3]):.2f} s recorded")
    for pre in (10, 0):
        path = os.path.join(out, f"memory-pre{pre}.tsv")
        if not os.path.exists(path):
            continue
        lines = open(path).read().splitlines()[1:]
        if not lines:
            continue
        rows = [[int(float(v)) for v in line.split("\t")] for line in lines]
        log(f"memory, pre-record {'10 s' if pre else 'off'}: {len(rows)} samples a minute apart "
            f"({path})")
        for col, key in ((1, "VmRSS"), (2, "RssAnon")):
            ys = [r[col] for r in rows]
            log(f"  {key:8} first {ys[0]} kB, last {ys[-1]} kB, max {max(ys)} kB, "
                f"slope {slope([(r[0], r[col]) for r in rows]):+.1f} kB/10 min")
        streams = sorted({r[5] for r in rows})
        log(f"  capture streams seen: {streams}; CPU {(rows[-1][6] - rows[0][6]) / max(1, 60 * (rows[-1][0] - rows[0][0])):.2f} ms/s"
            if len(rows) > 1 else f"  capture streams seen: {streams}")


def main():
    what = sys.argv[1] if len(sys.argv) > 1 else ""
    if what == "cpu" and len(sys.argv) == 6:
        cpu(sys.argv[2], sys.argv[3], int(sys.argv[4]), float(sys.argv[5]))
    elif what == "memory" and len(sys.argv) == 6:
        memory(sys.argv[2], sys.argv[3], int(sys.argv[4]), int(sys.argv[5]))
    elif what == "report" and len(sys.argv) == 3:
        report(sys.argv[2])
    else:
        print(__doc__, file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    sys.exit(main())
