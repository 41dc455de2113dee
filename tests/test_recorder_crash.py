"""Crash safety of the archive: a recorder killed with SIGKILL at any moment
leaves every set readable up to its last complete group, and the next
recorder repairs the cut set and goes on with the next set number.
"""
import os
import random
import signal
import time

import archive_reader
from conftest import SLOW
from test_recorder import (ARCHIVE, System, configure, load_manifest, manifest_groups,
                           match_archive, produce)


def _check_after_kill(folder):
    """Right after a kill: the older sets are whole; the newest may end in a
    cut group, but every index record names a group that is all there."""
    nums = archive_reader.set_numbers(folder)
    for i, n in enumerate(nums):
        newest = i == len(nums) - 1
        s = archive_reader.read_set(folder, n, closed=not newest)
        assert not s.problems, (n, s.problems)
        if newest:
            assert len(s.index) <= len(s.groups), (n, len(s.index), len(s.groups))
    return nums


def _wait_for_writing(folder, timeout):
    """Returns as soon as the newest data file grows (a group is being
    written), or after timeout seconds."""
    deadline = time.monotonic() + timeout
    last = None
    while time.monotonic() < deadline:
        nums = archive_reader.set_numbers(folder)
        if nums:
            try:
                size = os.path.getsize(archive_reader.file_name(folder, nums[-1], "qvs3"))
            except FileNotFoundError:
                size = None
            if last is not None and size is not None and size > last[1] and nums[-1] == last[0]:
                return
            last = (nums[-1], size)
        time.sleep(0.0002)


def test_sigkill_at_random_moments(sandbox):
    seed = int(os.environ.get("DEEPVAULT_CRASH_SEED", time.time_ns() % 100000))
    rng = random.Random(seed)
    configure(sandbox, gop=10)
    folder = sandbox.path(ARCHIVE)
    sysm = System(sandbox)
    sysm.start_recorder(["-s", "3000000"])
    prod = produce(sandbox, ["--video", 2, "--audio", "--seconds", 600, "--fps", 300,
                             "--big", 11, "--size", "20000:50000", "--motion", 700,
                             "--alarm", "900:255:Camera 1 off"], wait=False)
    kills = 8
    seen = []
    for i in range(kills):
        time.sleep(rng.uniform(0.05, 1.5) * SLOW)
        if i % 2:
            # Kill the moment a group is going into the data file.
            _wait_for_writing(folder, 2.0 * SLOW)
        sysm.recorder.send_signal(signal.SIGKILL)
        sysm.recorder.wait()
        nums = _check_after_kill(folder)
        seen.append(nums[-1] if nums else None)
        sysm.start_recorder(["-s", "3000000"], wait=rng.random() < 0.5)
    # The last recorder runs to an orderly stop, after the producer (so that
    # its last group is a whole one).
    time.sleep(2.0 * SLOW)
    prod.send_signal(signal.SIGTERM)
    prod.wait(20 * SLOW)
    time.sleep(0.3 * SLOW)
    assert sysm.stop_recorder() == 0, f"seed {seed}"

    # Every set whole, as a clean close leaves it; the numbers follow each
    # other without a gap or a reuse.
    sets = archive_reader.check_folder(folder, closed=True)
    nums = [s.number for s in sets]
    assert nums == list(range(len(nums))), f"seed {seed}: {nums}"
    assert len(nums) > kills
    # Each group is a whole broadcast group (the repair kept only complete
    # ones), in broadcast order across the sets.
    notices = load_manifest(prod.manifest)
    matched = match_archive(sets, notices)
    assert len(matched) > 0.5 * len(manifest_groups(notices)), f"seed {seed}"
    log = sandbox.log_lines("recorder")
    assert any(" repaired: data " in l for l in log), f"seed {seed}"
    assert not any(" left as it is" in l or "could not be repaired" in l for l in log), log
