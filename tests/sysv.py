"""SysV IPC for system tests, over libc with ctypes.

Tests speak the system's queue, segment and semaphore protocols as a real
client would. Only ever used inside the private IPC namespace that
tests/run_in_ns provides.
"""
import ctypes
import ctypes.util
import os
import time

_libc = ctypes.CDLL(ctypes.util.find_library("c"), use_errno=True)

IPC_CREAT = 0o1000
IPC_EXCL = 0o2000
IPC_NOWAIT = 0o4000
IPC_RMID = 0
IPC_PRIVATE = 0
MSG_NOERROR = 0o10000
SHM_RDONLY = 0o10000

_libc.msgget.argtypes = [ctypes.c_int, ctypes.c_int]
_libc.msgsnd.argtypes = [ctypes.c_int, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int]
_libc.msgrcv.argtypes = [ctypes.c_int, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_long, ctypes.c_int]
_libc.msgrcv.restype = ctypes.c_ssize_t
_libc.msgctl.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.c_void_p]
_libc.shmget.argtypes = [ctypes.c_int, ctypes.c_size_t, ctypes.c_int]
_libc.shmat.argtypes = [ctypes.c_int, ctypes.c_void_p, ctypes.c_int]
_libc.shmat.restype = ctypes.c_void_p
_libc.shmdt.argtypes = [ctypes.c_void_p]
_libc.shmctl.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.c_void_p]
_libc.semget.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.c_int]
_libc.semctl.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.c_int]
_libc.ftok.argtypes = [ctypes.c_char_p, ctypes.c_int]


def _check(result, what):
    if result == -1 or result is None:
        err = ctypes.get_errno()
        raise OSError(err, f"{what}: {os.strerror(err)}")
    return result


def ftok(path, proj_id):
    """ftok(3); path is a real file."""
    return _check(_libc.ftok(os.fsencode(str(path)), proj_id), "ftok")


def msgget(key, flags=0o777):
    """Opens (or with IPC_CREAT creates) a queue; returns its id."""
    return _check(_libc.msgget(key, flags), "msgget")


def msgsnd(qid, mtype, body, flags=0):
    """Sends one message: a long type then the body bytes."""
    buf = ctypes.create_string_buffer(8 + len(body))
    ctypes.c_long.from_buffer(buf).value = mtype
    ctypes.memmove(ctypes.addressof(buf) + 8, body, len(body))
    _check(_libc.msgsnd(qid, buf, len(body), flags), "msgsnd")


def msgrcv(qid, size, mtype=0, flags=0, timeout=5.0):
    """Receives one message of up to size body bytes; returns (type, body).

    Waits at most timeout seconds (polling), then raises TimeoutError;
    timeout=None blocks in the kernel.
    """
    buf = ctypes.create_string_buffer(8 + size)
    deadline = None if timeout is None else time.monotonic() + timeout
    while True:
        f = flags if timeout is None else flags | IPC_NOWAIT
        n = _libc.msgrcv(qid, buf, size, mtype, f)
        if n >= 0:
            return ctypes.c_long.from_buffer(buf).value, buf.raw[8 : 8 + n]
        err = ctypes.get_errno()
        if err == 42 or err == 11:  # ENOMSG / EAGAIN
            if timeout is not None and not (flags & IPC_NOWAIT):
                if time.monotonic() > deadline:
                    raise TimeoutError(f"no message on queue {qid} (type {mtype})")
                time.sleep(0.001)
                continue
        raise OSError(err, f"msgrcv: {os.strerror(err)}")


def msgrmid(qid):
    _check(_libc.msgctl(qid, IPC_RMID, None), "msgctl(IPC_RMID)")


def shmget(key, size=0, flags=0o777):
    return _check(_libc.shmget(key, size, flags), "shmget")


class Segment:
    """An attachment of a shared segment; read()/write() by offset."""

    def __init__(self, shmid, size, readonly=True):
        addr = _libc.shmat(shmid, None, SHM_RDONLY if readonly else 0)
        if addr is None or addr == ctypes.c_void_p(-1).value:
            err = ctypes.get_errno()
            raise OSError(err, f"shmat: {os.strerror(err)}")
        self.addr = addr
        self.size = size

    def read(self, offset, n):
        if offset < 0 or n < 0 or offset + n > self.size:
            raise ValueError("read outside the segment")
        return ctypes.string_at(self.addr + offset, n)

    def write(self, offset, data):
        if offset < 0 or offset + len(data) > self.size:
            raise ValueError("write outside the segment")
        ctypes.memmove(self.addr + offset, data, len(data))

    def detach(self):
        if self.addr is not None:
            _libc.shmdt(self.addr)
            self.addr = None


def semget(key, nsems=1, flags=0o777):
    return _check(_libc.semget(key, nsems, flags), "semget")


def _table(kind):
    """Rows of /proc/sysvipc/<kind> as dicts."""
    try:
        with open(f"/proc/sysvipc/{kind}") as f:
            lines = f.read().splitlines()
    except OSError:
        return []
    if not lines:
        return []
    head = lines[0].split()
    return [dict(zip(head, line.split())) for line in lines[1:]]


def queues():
    """[(key, id, messages in queue)] of every queue in this namespace."""
    return [(int(r["key"]), int(r["msqid"]), int(r["qnum"])) for r in _table("msg")]


def segments():
    """[(key, id, size)] of every shared segment in this namespace."""
    return [(int(r["key"]), int(r["shmid"]), int(r["size"])) for r in _table("shm")]


def semaphores():
    return [(int(r["key"]), int(r["semid"])) for r in _table("sem")]


def remove_all():
    """Removes every SysV object of the (private) namespace."""
    for _, qid, _ in queues():
        _libc.msgctl(qid, IPC_RMID, None)
    for _, sid, _ in segments():
        _libc.shmctl(sid, IPC_RMID, None)
    for _, sid in semaphores():
        _libc.semctl(sid, 0, IPC_RMID)
