"""msgsend: one text into one stream through memhub, as the setup service and
serialalarm use it."""
import pytest

from test_hub import ACK_MEM, FLAG_EVENT, Client, start_hub


@pytest.fixture
def consumer(sandbox):
    start_hub(sandbox)
    c = Client()
    c.attach()
    c.connect()
    yield c
    c.close()


def text_of(c, n):
    return c.segment.read(n.offset, n.size)


@pytest.mark.parametrize("args,stream,event", [
    (["-n", "128", "-s", "Motion 1 on camera 0"], 128, False),
    (["-n", "255", "-a", "-s", "Input 2 active"], 255, True),
    (["-a", "-n", "0x80", "-s", "hex stream"], 128, True),
    (["-n", "129", "-s", "always an alarm"], 129, True),   # ACHTUNG=1
    (["-n", "130", "-a", "-s", "never an alarm"], 130, False),  # ACHTUNG=-1
])
def test_text_arrives_as_one_text_frame(sandbox, consumer, args, stream, event):
    r = sandbox.run(["msgsend", *args])
    assert r.returncode == 0, r.stderr
    n = consumer.recv()
    text = args[args.index("-s") + 1].encode() + b"\0"
    assert n.type & 0x0FFF == ACK_MEM | stream
    assert bool(n.type & FLAG_EVENT) == event
    assert (n.size, n.stream_type, n.frame_no, n.time_code, n.level) == (len(text), 4, 0, 0, 0)
    assert text_of(consumer, n) == text


def test_texts_are_data_not_shell(sandbox, consumer):
    weird = "it's \"quoted\" $(reboot) `x` ; | & \\ \u00e4"
    r = sandbox.run(["msgsend", "-n", "255", "-s", weird])
    assert r.returncode == 0, r.stderr
    n = consumer.recv()
    assert text_of(consumer, n) == weird.encode() + b"\0"


def test_consecutive_texts_follow_each_other(sandbox, consumer):
    for i in range(3):
        assert sandbox.run(["msgsend", "-n", "128", "-s", "t%d" % i]).returncode == 0
    ns = [consumer.recv() for _ in range(3)]
    assert [text_of(consumer, n) for n in ns] == [b"t0\0", b"t1\0", b"t2\0"]
    assert ns[1].offset == ns[0].offset + 4 and ns[2].offset == ns[1].offset + 4


@pytest.mark.parametrize("args", [
    [],
    ["-n", "128"],
    ["-s", "text"],
    ["-n", "256", "-s", "x"],
    ["-n", "-1", "-s", "x"],
    ["-n", "12x", "-s", "x"],
    ["-n", "128", "-s", "x", "extra"],
    ["-n", "128", "-q", "-s", "x"],
    ["-n"],
])
def test_bad_arguments(sandbox, consumer, args):
    r = sandbox.run(["msgsend", *args])
    assert r.returncode == 1
    assert b"usage: msgsend -n STREAM [-a] -s TEXT" in r.stderr
    consumer.expect_nothing(0.1)


def test_unconfigured_stream_is_refused(sandbox, consumer):
    r = sandbox.run(["msgsend", "-n", "77", "-s", "x"])
    assert r.returncode == 1
    assert b"stream 77 is not configured" in r.stderr


def test_hub_not_running(sandbox):
    r = sandbox.run(["msgsend", "-n", "255", "-s", "x"])
    assert r.returncode == 1
    assert b"hub is not running" in r.stderr


def test_leaves_no_queue_behind(sandbox, consumer):
    import sysv
    before = sorted(q[1] for q in sysv.queues())
    assert sandbox.run(["msgsend", "-n", "255", "-s", "x"]).returncode == 0
    assert sorted(q[1] for q in sysv.queues()) == before
