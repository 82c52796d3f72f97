#!/usr/bin/env python3
"""Measures the recording engine against parecord on the private PulseAudio server.

Run through run.sh, which starts the servers and builds the driver. Prints one table.
"""
import os
import signal
import struct
import subprocess
import sys
import tempfile
import time

BUILD = sys.argv[1]
LONG = "--quick" not in sys.argv
SLOPE = "--slope" in sys.argv
SLOPE_SOURCES = ["micsink.monitor", "sine_input"]
LIBDIR = os.path.join(BUILD, "bin")
DRIVER = os.path.join(BUILD, "bench", "wavelark_take")


def engine_order():
    """Source names numbered as the engine numbers them."""
    out = subprocess.run(["pactl", "list", "short", "sources"], capture_output=True,
                         text=True, check=True).stdout
    names = [line.split("\t")[1] for line in out.splitlines() if line.strip()]
    inputs = sorted(n for n in names if not n.endswith(".monitor"))
    monitors = sorted(n for n in names if n.endswith(".monitor"))
    return inputs + monitors


def wav_frames(path):
    """Frames and rate from a RIFF/RF64 header, read by hand (the stdlib rejects
    WAVE_FORMAT_EXTENSIBLE)."""
    with open(path, "rb") as f:
        data = f.read(4096)
    pos, block, rate, ds64_data = 12, 0, 0, None
    while pos + 8 <= len(data):
        cid, size = data[pos:pos + 4], struct.unpack("<I", data[pos + 4:pos + 8])[0]
        if cid == b"ds64":
            ds64_data = struct.unpack("<Q", data[pos + 16:pos + 24])[0]
        if cid == b"fmt ":
            rate = struct.unpack("<I", data[pos + 12:pos + 16])[0]
            block = struct.unpack("<H", data[pos + 20:pos + 22])[0]
        if cid == b"data":
            if size == 0xFFFFFFFF and ds64_data is not None:
                size = ds64_data
            return size // block, rate
        pos += 8 + size + (size & 1)
    raise ValueError("no data chunk in " + path)


def peak_rss(pid):
    """VmHWM of a running child in KiB. ru_maxrss is no use here: it keeps the peak of the
    forked Python before the exec."""
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def measured(args):
    """Runs a driver; returns (stdout, user+sys CPU seconds, peak RSS in KiB)."""
    child = subprocess.Popen(args, stdout=subprocess.PIPE, text=True)
    out = child.stdout.read()
    _, status, usage = os.wait4(child.pid, 0)
    child.returncode = os.waitstatus_to_exitcode(status)
    return out, usage.ru_utime + usage.ru_stime, int(values(out)["peak_rss_kib"])


def values(out):
    return dict(line.split("=", 1) for line in out.splitlines() if "=" in line)


def side_by_side(tmp, order, seconds):
    """Engine and parecord --latency-msec=50 on each slope source at once, for `seconds`.
    Returns {source: (engine CPU, parecord CPU, the engine's task lines)}."""
    runs = {}
    for name in SLOPE_SOURCES:
        stem = os.path.join(tmp, f"{name}-{seconds}")
        parec = subprocess.Popen(["parecord", "--latency-msec=50", f"--device={name}",
                                  "--rate=44100", "--channels=2", "--format=s16le",
                                  "--file-format=wav", stem + "-parecord.wav"])
        engine = subprocess.Popen([DRIVER, LIBDIR, stem + "-engine.wav", str(seconds),
                                   str(order.index(name)), "2", "44100", "16"],
                                  stdout=subprocess.PIPE, text=True)
        runs[name] = (parec, engine, time.monotonic())
    results = {}
    for name, (parec, engine, start) in runs.items():
        out = engine.stdout.read()
        _, _, usage = os.wait4(engine.pid, 0)
        time.sleep(max(0.0, seconds - (time.monotonic() - start)))
        parec.send_signal(signal.SIGINT)
        _, _, pusage = os.wait4(parec.pid, 0)
        tasks = [line[5:] for line in out.splitlines() if line.startswith("task=")]
        results[name] = (usage.ru_utime + usage.ru_stime, pusage.ru_utime + pusage.ru_stime,
                         tasks)
    return results


def slope(order, tmp):
    """CPU per second of audio: the difference between a 30 s and a 120 s take over 90 s,
    which leaves out what a take costs once (loading, connecting, the stop)."""
    short, long = side_by_side(tmp, order, 30), side_by_side(tmp, order, 120)
    print("== CPU per second of audio, (CPU(120 s) - CPU(30 s)) / 90, 44100 Hz 16-bit stereo, "
          "against parecord --latency-msec=50 on the same source at once ==")
    for name in SLOPE_SOURCES:
        (e30, p30, t30), (e120, p120, t120) = short[name], long[name]
        es, ps = (e120 - e30) / 90, (p120 - p30) / 90
        print(f"{name}: engine {e30:.3f} s / {e120:.3f} s, parecord {p30:.3f} s / "
              f"{p120:.3f} s; slope engine {es * 1e3:.3f} ms/s, parecord {ps * 1e3:.3f} ms/s, "
              f"ratio {es / ps if ps > 0 else float('inf'):.2f}")
        print("   engine threads at the stop, 30 s | 120 s (run time, times scheduled): "
              + "; ".join(t30) + " | " + "; ".join(t120))


def main():
    order = engine_order()
    if SLOPE:
        tmp = tempfile.mkdtemp(prefix="tunewright-bench-")
        slope(order, tmp)
        for name in os.listdir(tmp):
            os.remove(os.path.join(tmp, name))
        os.rmdir(tmp)
        return
    sine, mic = order.index("sine_input"), order.index("micsink.monitor")
    tmp = tempfile.mkdtemp(prefix="tunewright-bench-")
    rows = []

    # 60 s from the sine source, engine and parecord side by side.
    engine_out = os.path.join(tmp, "engine60.wav")
    parec_out = os.path.join(tmp, "parecord60.wav")
    start = time.monotonic()
    pchild = subprocess.Popen(["parecord", "--device=sine_input", "--rate=44100",
                               "--channels=2", "--format=s16le", "--file-format=wav",
                               parec_out])
    e_out, e_cpu, e_rss = measured([DRIVER, LIBDIR, engine_out, "60", str(sine), "2",
                                    "44100", "16"])
    time.sleep(max(0.0, 60 - (time.monotonic() - start)))
    p_rss = peak_rss(pchild.pid)
    pchild.send_signal(signal.SIGINT)
    _, status, pusage = os.wait4(pchild.pid, 0)
    p_cpu = pusage.ru_utime + pusage.ru_stime
    ev = values(e_out)
    ef, erate = wav_frames(engine_out)
    pf, prate = wav_frames(parec_out)
    print("== 60 s, 44100 Hz 16-bit stereo, sine source (both at once) ==")
    print(f"engine   : CPU {e_cpu:.3f} s, peak RSS {e_rss} KiB, "
          f"{ef} frames = {ef / erate:.3f} s for a take of {float(ev['take_seconds']):.3f} s, "
          f"gaps {ev['gap_count']} ({ev['gap_frames']} frames)")
    print(f"parecord : CPU {p_cpu:.3f} s, peak RSS {p_rss} KiB, "
          f"{pf} frames = {pf / prate:.3f} s")
    print(f"ratio engine/parecord: CPU {e_cpu / p_cpu if p_cpu else float('inf'):.2f}, "
          f"RSS {e_rss / p_rss:.2f}")

    # Memory and stop time against the take's length, on the tone sink's monitor with a
    # low-latency listener (so that the null sink does not render two seconds ahead).
    listener = subprocess.Popen(["parec", "--latency-msec=20", "--raw",
                                 "--device=micsink.monitor"], stdout=subprocess.DEVNULL)
    time.sleep(1)
    print("== takes of growing length, micsink.monitor, 44100 Hz 16-bit stereo ==")
    for seconds in ([10, 60, 120] if LONG else [10, 60]):
        path = os.path.join(tmp, f"take{seconds}.wav")
        out, cpu, rss = measured([DRIVER, LIBDIR, path, str(seconds), str(mic), "2",
                                     "44100", "16"])
        v = values(out)
        frames, rate = wav_frames(path)
        wall = float(v["take_seconds"])
        print(f"{seconds:4d} s: peak RSS {rss} KiB, CPU {cpu:.3f} s, stop (mode 0) "
              f"{float(v['stop_ms']):.2f} ms, frames {frames} vs wall x rate "
              f"{wall * rate:.0f} (difference {frames - wall * rate:+.0f} = "
              f"{(frames - wall * rate) / rate * 1000:+.1f} ms), gaps {v['gap_count']} "
              f"({v['gap_frames']} frames)")
    listener.terminate()
    listener.wait()
    for name in os.listdir(tmp):
        os.remove(os.path.join(tmp, name))
    os.rmdir(tmp)


if __name__ == "__main__":
    main()
