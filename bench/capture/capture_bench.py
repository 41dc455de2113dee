"""Capture pipeline benchmark: camtap on the simulated capture driver in fast
mode (no real-time pacing), four cameras at 704x288, with memhub and one
consumer, against dvcodec coding the same kind of pictures from a file.

For each codec (MPEG-4, Motion-JPEG) it reports
  - camtap: pictures coded per second (counted by the consumer from the
    hub's notices) and camtap's CPU seconds per picture;
  - dvcodec: the same for the bare encoder coding the simulator's pictures of
    the four cameras from ZARN3 files (one file per camera, as camtap codes
    four independent streams);
  - the ratio pipeline speed / bare encoder speed (pictures per CPU second),
    goal >= 0.85.

Runs inside private namespaces (bench/capture/run): memhub's well-known queue
and segment never touch the machine's. Everything lives in a temporary
folder that is removed at the end.
"""
import argparse
import ctypes
import os
import resource
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
SOURCE = HERE.parent.parent
sys.path.insert(0, str(SOURCE / "tests"))
import sysv  # noqa: E402

BODY = "<iiiiiHBB"
W, H = 704, 288
TICK = os.sysconf("SC_CLK_TCK")


def streams_ini(codec, gop, quant):
    out = [f"[common]\nmemsize = 33554432\ngop = {gop}\nDeviceID = 'bench'\n",
           "[camtap]\nntsc = 0\n"]
    for c in range(4):
        out.append(f"[stream_{c}]\nON = 1\ntype = T_VIDEO\ncodec = {codec}\n"
                   f"name = 'Camera {c}'\nwidth = {W}\nheight = {H}\nquant = {quant}\n")
    for s in (16, 17):
        out.append(f"[stream_{s}]\nON = 0\ntype = T_AUDIO\ncodec = adpcm\nname = 'a{s}'\n")
    return "\n".join(out)


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def children_cpu():
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime


class Consumer:
    def __init__(self):
        self.hub = sysv.msgget(0x5F5A)
        self.own = sysv.msgget(sysv.IPC_PRIVATE, 0o777 | sysv.IPC_CREAT)
        sysv.msgsnd(self.hub, 0x600, struct.pack(BODY, self.own, 0, 0, 0, 0, 0, 0, 0))
        self.buf = ctypes.create_string_buffer(8 + 24)
        self.libc = ctypes.CDLL(None, use_errno=True)

    def pictures(self, count, timeout):
        """Blocks until count coded pictures (video notices with bytes) came."""
        got = 0
        end = time.monotonic() + timeout
        while got < count:
            n = self.libc.msgrcv(self.own, self.buf, 24, 0, sysv.IPC_NOWAIT)
            if n < 0:
                if time.monotonic() > end:
                    raise TimeoutError(f"only {got} of {count} pictures")
                time.sleep(0.0005)
                continue
            mtype = ctypes.c_long.from_buffer(self.buf).value
            size = struct.unpack_from("<i", self.buf, 8 + 8)[0]
            if (mtype & 0xFF) < 4 and size > 0:
                got += 1
        return got


def run_camtap(build, work, codec, gop, quant, warmup, count):
    root = work / f"root-{codec}"
    subprocess.run([str(SOURCE / "platform" / "install-root"), str(root), "--build",
                    str(build / "bin")], check=True, stdout=subprocess.DEVNULL)
    (root / "etc" / "streams.ini").write_text(streams_ini(codec, gop, quant))
    (root / "dev" / "tvp5150").write_text("fast=1\n")
    logdir = work / f"log-{codec}"
    logdir.mkdir()
    env = dict(os.environ, DEEPVAULT_ROOT=str(root), DEEPVAULT_LOG=f"dir:{logdir}",
               DEEPVAULT_FOREGROUND="1")
    hub = subprocess.Popen([str(build / "bin" / "memhub"), "-nowd"], env=env)
    try:
        deadline = time.monotonic() + 10
        while True:
            try:
                sysv.msgget(0x5F5A)
                break
            except OSError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.02)
        consumer = Consumer()
        cam = subprocess.Popen([str(build / "bin" / "camtap")], env=env)
        try:
            consumer.pictures(warmup, 60)
            t0, c0, h0 = time.monotonic(), cpu_seconds(cam.pid), cpu_seconds(hub.pid)
            consumer.pictures(count, 600)
            t1, c1, h1 = time.monotonic(), cpu_seconds(cam.pid), cpu_seconds(hub.pid)
        finally:
            cam.send_signal(signal.SIGTERM)
            cam.wait(10)
        sysv.msgrmid(consumer.own)
    finally:
        hub.send_signal(signal.SIGTERM)
        hub.wait(10)
    return {"wall": t1 - t0, "cpu": c1 - c0, "hub_cpu": h1 - h0, "pictures": count}


def make_inputs(build, work, frames):
    """The simulator's pictures of the four cameras as ZARN3 files."""
    files = []
    for c in range(4):
        yuv = work / f"cam{c}.yuv"
        z3 = work / f"cam{c}.z3"
        subprocess.run([str(build / "bin" / "capsim"), "-d", str(work / "capsim.ini"), "-c",
                        str(c), "-f", "1000", "-n", str(frames), "-o", str(yuv)],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run([str(build / "bin" / "dvcodec"), "to-zarn3", "-s", f"{W}x{H}", str(yuv),
                        str(z3)], check=True, stdout=subprocess.DEVNULL)
        yuv.unlink()
        files.append(z3)
    return files


def run_dvcodec(build, work, files, codec, gop_per_camera, quant):
    cpu0, t0 = children_cpu(), time.monotonic()
    pictures = 0
    for i, z3 in enumerate(files):
        out = work / f"out{i}"
        if codec == "mpeg4":
            args = ["mpeg4", "--zarn3", "-s", f"{W}x{H}", "-q", str(quant), "-g",
                    str(gop_per_camera), "-r", "6", str(z3), str(out)]
        else:
            args = ["jpeg", "--zarn3", "-s", f"{W}x{H}", str(z3), "--mjpeg", str(out)]
        subprocess.run([str(build / "bin" / "dvcodec"), *args], check=True,
                       stdout=subprocess.DEVNULL)
        out.unlink()
        pictures += z3.stat().st_size // (W * H * 3 // 2)
    return {"wall": time.monotonic() - t0, "cpu": children_cpu() - cpu0, "pictures": pictures}


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--pictures", type=int, default=2000, help="pictures timed in camtap")
    ap.add_argument("--frames", type=int, default=150, help="pictures per camera for dvcodec")
    ap.add_argument("--gop", type=int, default=76, help="hub GOP (all cameras)")
    ap.add_argument("--quant", type=int, default=4)
    ap.add_argument("--codecs", default="mpeg4,mjpeg")
    args = ap.parse_args()
    if os.environ.get("DEEPVAULT_PRIVATE_NS") != "1":
        sys.exit("run through bench/capture/run (private namespaces)")
    build = Path(os.environ.get("DEEPVAULT_BUILD", SOURCE / "build"))
    work = Path(tempfile.mkdtemp(prefix="capture-bench-"))
    try:
        (work / "capsim.ini").write_text("fast=1\n")
        files = make_inputs(build, work, args.frames)
        print(f"camtap: 4 cameras {W}x{H}, simulator in fast mode, memhub, one consumer; "
              f"{args.pictures} pictures timed; dvcodec: {4 * args.frames} pictures from ZARN3 files")
        print(f"{'codec':6} {'camtap pic/s':>12} {'camtap ms CPU/pic':>17} {'memhub ms CPU/pic':>17} "
              f"{'dvcodec pic/s':>13} {'dvcodec ms CPU/pic':>18} {'ratio':>6}")
        worst = None
        for codec in args.codecs.split(","):
            cam = run_camtap(build, work, codec, args.gop, args.quant, 200, args.pictures)
            bare = run_dvcodec(build, work, files, codec, args.gop // 4, args.quant)
            cam_cpp = cam["cpu"] / cam["pictures"]
            bare_cpp = bare["cpu"] / bare["pictures"]
            ratio = bare_cpp / cam_cpp
            worst = ratio if worst is None else min(worst, ratio)
            print(f"{codec:6} {cam['pictures'] / cam['wall']:12.1f} {1000 * cam_cpp:17.3f} "
                  f"{1000 * cam['hub_cpu'] / cam['pictures']:17.3f} "
                  f"{bare['pictures'] / bare['wall']:13.1f} {1000 * bare_cpp:18.3f} {ratio:6.2f}")
        print(f"ratio = pictures per CPU second of camtap / of dvcodec; goal >= 0.85: "
              f"{'met' if worst >= 0.85 else 'NOT met'} (worst {worst:.2f})")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
