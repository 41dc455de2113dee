#!/usr/bin/python3
"""Sustained recording throughput of the recorder, fed flat out through
memhub, against a bare hub consumer (rec_bare_writer) that writes the same
bytes with the same flush/fdatasync pattern, in the same run.

Each round runs, in a fresh system root, memhub, statekeeper and one of the
two consumers, and rec_producer publishing 4 cameras and audio as fast as the
hub grants room; then stops the producer and the consumer (which writes what
it still holds). Reported per consumer: MB/s of archive data written (from
the producer's first frame to the consumer's exit), CPU (user + system) per
frame, frames the recorder had to drop because the hub's writer overtook it.

Run it through bench/recorder/run (private IPC/PID/mount namespaces).
"""
import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]


def ini_set(path, section, key, value):
    lines = path.read_text().splitlines()
    out, in_sec, done = [], False, False
    for line in lines:
        s = line.strip()
        if s.startswith("["):
            if in_sec and not done:
                out.append(f"{key} = {value}")
                done = True
            in_sec = s.strip("[] ").lower() == section.lower()
        elif in_sec and not done and s and s[0] not in "#;/" and \
                s.split()[0].split("=")[0].lower() == key.lower():
            out.append(f"{key} = {value}")
            done = True
            continue
        out.append(line)
    if not done:
        out.append(f"{key} = {value}")
    path.write_text("\n".join(out) + "\n")


def wait_for(pred, timeout, what):
    deadline = time.monotonic() + timeout
    while not pred():
        if time.monotonic() > deadline:
            raise RuntimeError("timed out waiting for " + what)
        time.sleep(0.02)


def stop(p, sig=signal.SIGTERM, timeout=60):
    """Signals p and reaps it; returns (exit code, CPU seconds)."""
    if p.poll() is None:
        p.send_signal(sig)
    deadline = time.monotonic() + timeout
    while True:
        pid, status, ru = os.wait4(p.pid, os.WNOHANG)
        if pid == p.pid:
            p.returncode = os.waitstatus_to_exitcode(status)
            return p.returncode, ru.ru_utime + ru.ru_stime
        if time.monotonic() > deadline:
            p.kill()
        time.sleep(0.01)


def one_round(args, consumer, base, fps=0, throttle=0):
    root = Path(tempfile.mkdtemp(prefix=f"recbench-{consumer}-", dir=base))
    logdir = root / "log"
    subprocess.run([str(REPO / "platform" / "install-root"), str(root / "sys"),
                    "--build", str(args.build / "bin")], check=True, stdout=subprocess.DEVNULL)
    sysroot = root / "sys"
    logdir.mkdir()
    ini = sysroot / "etc" / "streams.ini"
    ini_set(ini, "common", "gop", args.gop)
    ini_set(ini, "saver", "maxisize", 600000000)
    env = dict(os.environ)
    env.update(DEEPVAULT_ROOT=str(sysroot), DEEPVAULT_LOG=f"dir:{logdir}",
               DEEPVAULT_FOREGROUND="1")
    bin_ = args.build / "bin"
    procs = []
    try:
        hub = subprocess.Popen([str(bin_ / "memhub"), "-nowd"], env=env)
        procs.append(hub)
        wait_for(lambda: (logdir / "memhub.log").exists() and
                 "Found stream 255" in (logdir / "memhub.log").read_text(), 10, "memhub")
        time.sleep(0.2)
        keeper = subprocess.Popen([str(bin_ / "statekeeper")], env=env)
        procs.append(keeper)
        time.sleep(0.3)
        archive = sysroot / "mnt" / "disc" / "videodata"
        if consumer == "recorder":
            cons = subprocess.Popen([str(bin_ / "recorder")], env=env)
            wait_for(lambda: (logdir / "recorder.log").exists() and
                     "Maximum capture" in (logdir / "recorder.log").read_text(), 10, "recorder")
        else:
            cons = subprocess.Popen([str(args.build / "bench" / "rec_bare_writer"), str(archive)],
                                    env=env, stdout=subprocess.PIPE)
        procs.append(cons)
        time.sleep(0.5)
        t0 = time.monotonic()
        prod = subprocess.run(
            [str(args.build / "tests" / "rec_producer"), "--video", "4", "--audio", "--fps", str(fps),
             "--seconds", str(args.seconds), "--size", args.size, "--throttle", str(throttle)],
            env=env, capture_output=True, text=True, check=True)
        m = re.search(r"frames (\d+) bytes (\d+) seconds ([\d.]+)", prod.stdout)
        video, produced, prod_secs = int(m.group(1)), int(m.group(2)), float(m.group(3))
        notices = video * 2  # one audio block per video frame
        time.sleep(0.2)
        code, cpu = stop(cons)
        t1 = time.monotonic()
        written = sum(f.stat().st_size for f in archive.iterdir() if f.name.endswith(".qvs3"))
        dropped = 0
        if consumer == "bare":
            mm = re.search(r"lost (\d+)", cons.stdout.read().decode())
            dropped = int(mm.group(1)) if mm else 0
        if consumer == "recorder":
            for line in (logdir / "recorder.log").read_text().splitlines():
                mm = re.match(r"Frames overwritten in shared memory: (\d+) dropped", line)
                if mm:
                    dropped += int(mm.group(1))
        hub_log = (logdir / "memhub.log").read_text()
        dropped_by_hub = "BCAST" in hub_log
        offered_fps = notices / 2 / prod_secs
        # A consumer that made the producer wait (or was dropped) did not
        # keep up with the pace asked for.
        held_back = fps > 0 and offered_fps < 0.97 * fps
        lost = dropped > 0 or dropped_by_hub or written < 0.995 * produced or held_back
        return {
            "consumer": consumer, "exit": code, "mbps": written / (t1 - t0) / 1e6,
            "offered_mbps": produced / prod_secs / 1e6, "lost": lost,
            "cpu_us_per_written_frame": cpu / max(1, notices * min(1.0, written / produced)) * 1e6,
            "written": written, "produced": produced, "notices": notices,
            "cpu_us_per_frame": cpu / notices * 1e6, "producer_fps": notices / prod_secs,
            "dropped": dropped, "seconds": t1 - t0, "hub_dropped": dropped_by_hub,
        }
    finally:
        for p in reversed(procs):
            if p.poll() is None:
                stop(p)
        if not args.keep:
            shutil.rmtree(root, ignore_errors=True)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--build", type=Path, default=Path(os.environ.get("DEEPVAULT_BUILD",
                                                                       REPO / "build")))
    ap.add_argument("--seconds", type=float, default=15)
    ap.add_argument("--rounds", type=int, default=2)
    ap.add_argument("--size", default="20000:60000", help="P-frame sizes MIN:MAX")
    ap.add_argument("--gop", type=int, default=75)
    ap.add_argument("--throttle", type=int, default=300,
                    help="the producer waits while a consumer is this many notices behind")
    ap.add_argument("--dir", default=None, help="folder for the system roots (default: /tmp)")
    ap.add_argument("--keep", action="store_true")
    ap.add_argument("--tmpfs", default=None, metavar="SIZE",
                    help="put the system roots on a tmpfs of this size (no disc in the way: "
                         "what the programs cost)")
    ap.add_argument("--shares", type=lambda v: [float(x) for x in v.split(",")],
                    default=[1.0, 0.95, 0.9, 0.85, 0.8, 0.7, 0.6, 0.5, 0.4, 0.3],
                    help="shares of the bare writer's rate offered to the recorder")
    args = ap.parse_args()
    if os.environ.get("DEEPVAULT_PRIVATE_NS") != "1":
        sys.exit("run through bench/recorder/run (private namespaces)")
    mnt = None
    if args.tmpfs:
        mnt = Path(tempfile.mkdtemp(prefix="recbench-tmpfs-"))
        subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={args.tmpfs}", "tmpfs", str(mnt)],
                       check=True)
        args.dir = str(mnt)
    try:
        return run_rounds(args)
    finally:
        if mnt is not None:
            subprocess.run(["umount", str(mnt)])
            mnt.rmdir()


def run_rounds(args):

    def show(tag, res):
        print(f"{tag:28s} offered {res['offered_mbps']:7.1f} MB/s  written {res['mbps']:7.1f} MB/s"
              f"  {res['cpu_us_per_written_frame']:6.1f} us CPU/frame"
              f"  {'LOSS' if res['lost'] else 'no loss'}"
              f" (dropped {res['dropped']}{', dropped by the hub' if res['hub_dropped'] else ''},"
              f" {res['seconds']:.1f} s)", flush=True)
        return res

    ratios = []
    for r in range(args.rounds):
        # 1. The ceiling: the bare writer flat out, the producer held back
        # only so that the hub does not drop it.
        top = show(f"round {r + 1} bare, flat out", one_round(args, "bare", args.dir,
                                                              throttle=args.throttle))
        per_frame = top["produced"] / (top["notices"] / 2)  # a video frame and its audio block
        # 2. Each consumer offered a fixed pace, as cameras offer it (nobody
        # waits), from the ceiling downwards, until it keeps every frame.
        kept = {}
        for consumer in ("bare", "recorder"):
            for share in args.shares:
                fps = max(1, int(share * top["mbps"] * 1e6 / per_frame))
                res = show(f"round {r + 1} {consumer} at {share:.2f}",
                           one_round(args, consumer, args.dir, fps=fps))
                if not res["lost"]:
                    kept[consumer] = res
                    break
        if len(kept) < 2:
            print(f"round {r + 1}: no loss-free pace for "
                  f"{', '.join(c for c in ('bare', 'recorder') if c not in kept)}", flush=True)
            continue
        ratio = kept["recorder"]["mbps"] / kept["bare"]["mbps"]
        ratios.append(ratio)
        print(f"round {r + 1}: sustained without loss: recorder {kept['recorder']['mbps']:.1f} "
              f"MB/s, bare {kept['bare']['mbps']:.1f} MB/s, ratio {ratio:.3f} (goal >= 0.9); CPU "
              f"per frame: recorder {kept['recorder']['cpu_us_per_written_frame']:.1f} us, bare "
              f"{kept['bare']['cpu_us_per_written_frame']:.1f} us", flush=True)
    if ratios:
        ratios.sort()
        print(f"median ratio over {len(ratios)} round(s): {ratios[len(ratios) // 2]:.3f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
