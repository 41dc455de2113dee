"""System tests of camtap's reconfiguration: a camera whose decoder delivers
no pictures (simulator setting camN.deliver=0) leaves its bit in the
missing-camera mask at the end of every cycle. The eleventh such cycle end,
then every tenth, reprograms the decoders and restarts the driver; after more
than ten attempts camtap reboots the recorder (the sandbox's reboot stand-in
only records the call).

Every case uses [camtap] stat_gops = 1: the driver statistics are logged at
the start of every cycle, so the "Frames Captured" lines count the cycles and
the "Reset" lines count the driver starts.
"""
import re
import signal

import pytest

# The helpers and the `system` fixture (memhub, camtap and a consumer of the
# hub) of camtap's own system tests.
from test_camtap import (ffmpeg_frames, frames, intra_vop, streams_ini,  # noqa: F401
                         system, write_atomic)

RECONFIGURE = re.compile(r"Reconfigure camera fault (\d+) \(cam:0x([0-9a-f]+)\)$")
REBOOTING = "Reconfigured 10 times - Rebooting!!"
SETUP = ["setup TVP5150 i2c bus 0 addr 0xb8", "setup TVP5150 i2c bus 0 addr 0xba",
         "setup TVP5150 i2c bus 1 addr 0xb8", "setup TVP5150 i2c bus 1 addr 0xba"]


def reconfigurations(log):
    """(attempt, mask, cycles started before it, index of the line) of every
    "Reconfigure camera fault" line."""
    out = []
    cycles = 0
    for i, line in enumerate(log):
        if line.startswith("Frames Captured "):
            cycles += 1
        m = RECONFIGURE.match(line)
        if m:
            out.append((int(m[1]), int(m[2], 16), cycles, i))
    return out


def decoder_writes(sandbox):
    """Number of standard-register writes (PAL) per decoder in the I2C logs."""
    count = {}
    for bus in (0, 1):
        for line in sandbox.path(f"/dev/i2c-{bus}").read_text().splitlines():
            words = line.split(" ", 1)[1]
            if words.endswith(" 28 04"):
                count[words[:-6]] = count.get(words[:-6], 0) + 1
    return count


def reboot_calls(sandbox):
    log = sandbox.path("/var/log/standins.log")
    lines = log.read_text().splitlines() if log.exists() else []
    return lines.count("reboot")


@pytest.mark.parametrize("cams,silent,mask", [
    ([0, 1], [1], 0x2),
    ([0, 2, 3], [0, 3], 0x9),  # camera 0 holds two of the four slots
], ids=["one-of-two", "two-of-three"])
def test_reconfigure_every_tenth_faulty_cycle_then_reboot(system, sandbox, cams, silent, mask):
    # The cycle rules only count pictures and key grants, so the simulator's
    # fast mode (no real-time pacing) keeps them intact; gop = 1 makes every
    # picture a key grant and a cycle as many pictures as cameras are on.
    tvp = "fast=1\n" + "".join(f"cam{c}.deliver=0\n" for c in silent)
    s = system(streams_ini(cams, gop=1, camtap="stat_gops = 1\n"), tvp=tvp)
    cam = s.start_camtap()
    sandbox.wait_log("camtap", REBOOTING, timeout=60)
    sandbox.wait_for(lambda: reboot_calls(sandbox) >= 1, timeout=10, what="the reboot call")
    assert sandbox.stop(cam) == 0
    log = s.log()

    seen = reconfigurations(log)
    assert len(seen) >= 12, seen
    # Attempts counted from 0, always the silent cameras, at the start of
    # cycle 12 (the eleventh faulty cycle has ended), then every tenth cycle.
    for k, (attempt, got_mask, cycles_before, _) in enumerate(seen):
        assert attempt == k
        assert got_mask == mask
        assert cycles_before == 11 + 10 * k, (k, cycles_before)
    # Attempts 0 to 10 reprogram the decoders and restart the driver; from
    # the twelfth on (counter over 10) camtap reboots instead.
    for attempt, _, _, i in seen:
        if attempt <= 10:
            assert log[i + 1:i + 5] == SETUP, log[i:i + 6]
        else:
            assert log[i + 1] == REBOOTING
            rest = log[i + 2:]
            end = next(j for j, line in enumerate(rest) if line.startswith("Frames Captured "))
            assert not any(line.startswith("setup TVP5150") for line in rest[:end])
    assert log.count(REBOOTING) == len(seen) - 11
    assert reboot_calls(sandbox) == len(seen) - 11
    # The driver was started once at start and once per reconfiguration:
    # the statistics of every cycle show how many starts came before it.
    restarts = 1
    at = {i: attempt for attempt, _, _, i in seen}
    checked = 0
    for i, line in enumerate(log):
        if at.get(i, 99) <= 10:
            restarts += 1
        if line.startswith("Reset "):
            assert int(line.split()[1]) == restarts, (i, line)
            checked += 1
    assert restarts == 12
    assert checked > 122  # every cycle start and the stop
    # The decoders were programmed at start and by each of the 11
    # reconfigurations, the reboot attempts left them alone.
    assert decoder_writes(sandbox) == {f"write {b} {a}": 12 for b in (0, 1)
                                       for a in ("0x5c", "0x5d")}
    # The delivering cameras were captured all along.
    assert not any(line.startswith("No Video Frames ") and line != "No Video Frames 0"
                   for line in log)


def test_camera_back_before_the_limit_is_recorded_again(system, sandbox, tmp_path):
    # Real time: auto_mode gives camera 0 three of the four slots and the
    # silent camera 1 the fourth; gop = 3 makes a cycle 2 GOPs of camera 0
    # (6 pictures, 0.32 s) while camera 1 is silent.
    tvp = sandbox.path("/dev/tvp5150")
    s = system(streams_ini([0, 1], gop=3, camtap="auto_mode = 1\nstat_gops = 1\n"),
               tvp="cam1.deliver=0\n")
    s.start_camtap()

    def reconfigured():
        s.consumer.collect(0.1)  # keeps the consumer's queue short meanwhile
        return "Reconfigure camera fault 0 (cam:0x2)" in s.log()

    sandbox.wait_for(reconfigured, timeout=20, what="the first reconfiguration")
    s.consumer.collect(0.2)
    silent = list(s.consumer.notices)
    write_atomic(tvp, "cam1.deliver=1\n")
    cycles_at_switch = sum(line.startswith("Frames Captured ") for line in s.log())
    back = s.consumer.collect(3.0)

    assert not frames(silent, 1)
    assert len([n for n in frames(silent, 0) if n.size > 0]) > 30
    # Camera 1 is coded and published again, from a key frame that starts
    # its group, at its slot rate (6.25/s), and the stream decodes.
    f1 = frames(back, 1)
    assert len(f1) >= 10 and all(n.size > 0 for n in f1)
    assert f1[0].key and f1[0].frame_no == 0 and intra_vop(f1[0].payload)
    data = b"".join(n.payload for n in f1)
    assert ffmpeg_frames(data, "m4v", tmp_path, "back.m4v") == len(f1)
    assert all(n.size > 0 for n in frames(back, 0))
    # No camera is missing any more: no further reconfiguration and no reboot
    # while more than ten cycles pass.
    log = s.log()
    assert sum(line.startswith("Frames Captured ") for line in log) - cycles_at_switch > 10
    assert [a for a, _, _, _ in reconfigurations(log)] == [0]
    assert REBOOTING not in log
    assert reboot_calls(sandbox) == 0


def test_no_camera_delivering_gives_no_cycles_and_stops_cleanly(system, sandbox):
    # With every active camera silent no picture comes, so no key grant ends a
    # cycle and nothing is reconfigured. The driver's frame wait gives up
    # after a second of nothing ("RES error!") and camtap, still looking at
    # its flags, stops on SIGTERM.
    s = system(streams_ini([0], gop=2, camtap="stat_gops = 1\n"), tvp="cam0.deliver=0\n")
    cam = s.start_camtap()
    sandbox.wait_log("camtap", "RES error!", count=2, timeout=5)
    s.consumer.collect(0.2)
    assert sandbox.stop(cam) == 0
    log = s.log()
    assert not frames(s.consumer.notices, 0)
    assert not reconfigurations(log)
    assert [line for line in log if line.startswith("Frames Captured ")] == ["Frames Captured 0"]
    assert decoder_writes(sandbox) == {f"write {b} {a}": 1 for b in (0, 1)
                                       for a in ("0x5c", "0x5d")}


def test_reload_keeps_the_reconfiguration_count(system, sandbox):
    # The attempt counter and the countdown belong to the daemon, not to one
    # run: a SIGHUP reload must not give a camera that keeps failing a fresh
    # start towards the reboot. Real time, camera 0 in three slots and gop =
    # 1: a cycle is two pictures of camera 0 (0.11 s) while camera 1 is silent.
    s = system(streams_ini([0, 1], gop=1, camtap="auto_mode = 1\n"), tvp="cam1.deliver=0\n")
    cam = s.start_camtap()
    sandbox.wait_log("camtap", "Reconfigure camera fault 0 (cam:0x2)", timeout=20)
    cam.send_signal(signal.SIGHUP)
    sandbox.wait_log("camtap", "RELOADING CONFIG!")
    reload_at = s.log().index("RELOADING CONFIG!")
    sandbox.wait_for(lambda: any(i > reload_at for _, _, _, i in reconfigurations(s.log())),
                     timeout=20, what="a reconfiguration after the reload")
    assert sandbox.stop(cam) == 0
    seen = reconfigurations(s.log())
    before = [a for a, _, _, i in seen if i < reload_at]
    after = [a for a, _, _, i in seen if i > reload_at]
    assert before and after
    assert [a for a, _, _, _ in seen] == list(range(len(seen)))
    assert after[0] == before[-1] + 1
