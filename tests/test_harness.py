"""The harness itself: private namespaces and clean-up."""
import os

import sysv


def test_runs_in_private_namespaces(sandbox):
    assert os.getpid() == 1
    assert os.environ["DEEPVAULT_PRIVATE_NS"] == "1"
    assert sandbox.root.is_dir()
    assert sandbox.env["DEEPVAULT_ROOT"] == str(sandbox.root)


def test_sysv_round_trip_and_cleanup(sandbox):
    q = sysv.msgget(0x1234, 0o777 | sysv.IPC_CREAT)
    sysv.msgsnd(q, 7, b"abc\0")
    assert sysv.queues() == [(0x1234, q, 1)]
    assert sysv.msgrcv(q, 64) == (7, b"abc\0")
    try:
        sysv.msgrcv(q, 64, timeout=0.05)
        raise AssertionError("expected a time-out")
    except TimeoutError:
        pass
    sandbox.start("sleep", ["30"])
    sandbox.cleanup()
    assert sysv.queues() == []
    assert [p for p in os.listdir("/proc") if p.isdigit() and p != "1"] == []
