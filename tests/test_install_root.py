"""The sandbox-root installer (platform/install-root), the default
configuration it installs and the platform stand-ins.

These tests call the installer themselves into a temporary folder; they use
fake programs in a fake build folder where a program is needed, so they work
at every stage of the build.
"""
import os
import re
import socket
import stat
import subprocess
import time
from pathlib import Path

import pytest

SOURCE = Path(os.environ.get("DEEPVAULT_SOURCE", Path(__file__).resolve().parent.parent))
BUILD = Path(os.environ.get("DEEPVAULT_BUILD", SOURCE / "build"))
INSTALLER = SOURCE / "platform" / "install-root"
PRIVATE_NS = os.environ.get("DEEPVAULT_PRIVATE_NS") == "1"

FOLDERS = [
    "etc", "etc/init.d", "etc/sysconfig/networking", "etc/ssmtp",
    "mnt/disc/videodata", "mnt/disc/mailstorage", "mnt/disc/tmp", "mnt/usb",
    "tmp", "var/run", "var/tmp", "var/lib/ipkg/info", "dev", "proc", "sbin", "bin",
    "usr/bin", "usr/local/www/cgi-bin",
]
CONFIG = [
    "etc/streams.ini", "etc/timer.ini", "etc/user.cfg", "etc/TZ", "etc/time.cfg",
    "etc/cserv", "etc/rsconfig.ini", "etc/resolv.conf", "etc/sysconfig/networking/common",
    "etc/sysconfig/networking/ifcfg-eth0", "etc/ssmtp/revaliases",
]
STANDINS = [
    "etc/init.d/memhub.sh", "etc/init.d/camtap.sh", "etc/init.d/video.sh",
    "sbin/safemode.sh", "sbin/settime.sh", "sbin/timesync.sh", "sbin/smartinfo.sh",
    "sbin/hdparm", "sbin/settings.sh", "sbin/nsupgrade.sh", "sbin/format_usb.sh",
    "sbin/gpstimesync.sh", "usr/bin/mail_send.sh", "usr/local/www/cgi-bin/snapshot.sh",
    "bin/reboot", "bin/killall", "bin/ipkg", "bin/stop", "bin/mount", "bin/ifconfig", "bin/df",
]
ROLES = ["video.online", "video.archive", "video.events", "net.setup", "jpeg.stream",
         "all.in.one", "all.in.one_custom", "qvsget"]


def install(root, *args, env=None, check=True):
    r = subprocess.run([str(INSTALLER), str(root), *map(str, args)], capture_output=True,
                       text=True, env=env)
    if check:
        assert r.returncode == 0, r.stderr
    return r


def root_env(root, **extra):
    env = dict(os.environ)
    env.pop("DEEPVAULT_BUILD", None)
    env["DEEPVAULT_ROOT"] = str(root)
    env["PATH"] = f"{root}/bin:{root}/sbin:{root}/usr/bin:" + env.get("PATH", "/usr/bin:/bin")
    env.pop("DEEPVAULT_LOG", None)
    env.update(extra)
    return env


def calls(root):
    try:
        return (root / "var/log/standins.log").read_text().splitlines()
    except FileNotFoundError:
        return []


def make_build(tmp_path, names, script="#!/bin/sh\nexit 0\n"):
    """A fake build folder whose bin/ holds the named programs."""
    b = tmp_path / "build"
    (b / "bin").mkdir(parents=True, exist_ok=True)
    for n in names:
        p = b / "bin" / n
        p.write_text(script)
        p.chmod(0o755)
    return b


@pytest.fixture
def root(tmp_path):
    r = tmp_path / "root"
    install(r, "--build", tmp_path / "nobuild")
    return r


# --- the installer ----------------------------------------------------------

def test_missing_root_argument_is_an_error():
    r = subprocess.run([str(INSTALLER)], capture_output=True, text=True)
    assert r.returncode != 0
    assert "missing ROOT" in r.stderr


def test_root_that_is_a_file_is_an_error(tmp_path):
    f = tmp_path / "file"
    f.write_text("x")
    r = install(f, check=False)
    assert r.returncode != 0
    assert "not a folder" in r.stderr


def test_folder_tree_config_and_standins(root):
    for d in FOLDERS:
        assert (root / d).is_dir(), d
    for f in CONFIG + STANDINS:
        assert (root / f).is_file(), f
    for f in STANDINS:
        assert os.access(root / f, os.X_OK), f
    assert stat.S_IMODE((root / "tmp").stat().st_mode) == 0o1777
    assert list((root / "mnt/usb").iterdir()) == []
    # No device nodes anywhere: dev/ holds at most regular settings files.
    for p in root.rglob("*"):
        mode = p.lstat().st_mode
        assert not (stat.S_ISCHR(mode) or stat.S_ISBLK(mode)), p


def test_proc_standins_hold_what_the_programs_parse(root):
    proc = root / "proc"
    assert "ide/host0/bus0/target0/lun0/disc" in (proc / "partitions").read_text()
    assert re.search(r"\bkelm=[^\s]+", (proc / "cmdline").read_text())
    float((proc / "uptime").read_text().split()[0])
    assert int((proc / "sys/net/ipv4/tcp_max_syn_backlog").read_text()) > 0
    usb = (proc / "scsi/usb-storage-0/0").read_text()
    captions = {l.split(":", 1)[0].strip() for l in usb.splitlines() if ":" in l}
    assert {"Vendor", "Serial Number"} <= captions
    assert "eth0:" in (proc / "net/dev").read_text()


def test_streams_md5_sidecar_names_the_device_path(root):
    import hashlib
    digest = hashlib.md5((root / "etc/streams.ini").read_bytes()).hexdigest()
    assert (root / "etc/streams.ini.md5").read_text() == f"{digest}  /etc/streams.ini"


def test_refresh_keeps_user_changes_and_recreates_missing(tmp_path, root):
    ini = root / "etc/streams.ini"
    edited = ini.read_text().replace("gop = 75", "gop = 50")
    ini.write_text(edited)
    (root / "etc/timer.ini").unlink()
    (root / "bin/reboot").write_text("#!/bin/sh\necho broken\n")
    r = install(root)
    assert ini.read_text() == edited
    assert "kept with user changes (etc/streams.ini)" in r.stdout
    assert (root / "etc/timer.ini").is_file()
    assert "broken" not in (root / "bin/reboot").read_text()

    r = install(root, "--force-config")
    assert "gop = 75" in ini.read_text()
    assert "reset to the default" in r.stdout


def test_config_still_as_installed_follows_a_newer_default(root):
    # A file the user never touched carries the digest recorded at install
    # time; the installer may replace it with a newer default.
    import hashlib
    tz = root / "etc/TZ"
    tz.write_text("OLD0\n")
    manifest = root / "var/lib/deepvault/defaults.sha256"
    lines = [l for l in manifest.read_text().splitlines() if not l.endswith("  etc/TZ")]
    lines.append(hashlib.sha256(b"OLD0\n").hexdigest() + "  etc/TZ")
    manifest.write_text("\n".join(lines) + "\n")
    r = install(root)
    assert tz.read_text() == (SOURCE / "platform/defaults/etc/TZ").read_text()
    assert "updated to the new default" in r.stdout


def test_links_programs_roles_and_cgi_present_in_the_build(tmp_path):
    build = make_build(tmp_path, ["memhub", "video.qvs", "snapget", "arcspan", "initool"])
    (build / "bin/notes.txt").write_text("not a program")
    r = tmp_path / "root"
    out = install(r, "--build", build).stdout
    for n in ["memhub", "video.qvs", "snapget", "arcspan", "initool"]:
        assert (r / "usr/bin" / n).resolve() == (build / "bin" / n).resolve(), n
    assert not (r / "usr/bin/notes.txt").exists()
    for role in ROLES:
        assert os.readlink(r / "usr/bin" / role) == "video.qvs"
    cgi = r / "usr/local/www/cgi-bin"
    assert (cgi / "qvsget").resolve() == (build / "bin/video.qvs").resolve()
    assert (cgi / "snapget").resolve() == (build / "bin/snapget").resolve()
    assert (r / "bin/arcspan").resolve() == (build / "bin/arcspan").resolve()
    assert "5 linked" in out

    # The build loses video.qvs: its links and every role link go away.
    (build / "bin/video.qvs").unlink()
    install(r, "--build", build)
    for role in ROLES + ["video.qvs"]:
        assert not os.path.lexists(r / "usr/bin" / role), role
    assert not os.path.lexists(cgi / "qvsget")
    assert (cgi / "snapget").exists()
    assert (cgi / "snapshot.sh").is_file()


@pytest.mark.parametrize("how", ["build-root", "bin-folder", "env"])
def test_finds_the_build_bin_folder(tmp_path, how):
    build = make_build(tmp_path, ["memhub"])
    (build / "CMakeCache.txt").write_text("")
    r = tmp_path / "root"
    env = dict(os.environ)
    if how == "build-root":
        install(r, "--build", build, env=env)
    elif how == "bin-folder":
        install(r, "--build", build / "bin", env=env)
    else:
        env["DEEPVAULT_BUILD"] = str(build)
        install(r, env=env)
    assert (r / "usr/bin/memhub").resolve() == (build / "bin/memhub").resolve()


def test_missing_build_links_nothing_and_succeeds(tmp_path):
    r = tmp_path / "root"
    out = install(r, "--build", tmp_path / "nothing-here").stdout
    assert "none linked" in out
    assert not any(p.is_symlink() for p in (r / "usr/bin").iterdir())


# --- stand-ins ----------------------------------------------------------------

RECORDED = [
    (["reboot"], "reboot"),
    (["reboot", "-f"], "reboot -f"),
    (["stop"], "stop"),
    (["ipkg", "remove", "camera-extras"], "ipkg remove camera-extras"),
    (["mount", "/dev/sda1", "/mnt/usb"], "mount /dev/sda1 /mnt/usb"),
    (["ifconfig", "eth0", "10.0.0.2", "netmask", "255.0.0.0"],
     "ifconfig eth0 10.0.0.2 netmask 255.0.0.0"),
    (["safemode.sh", "on"], "safemode.sh on"),
    (["settime.sh", "15/01/2007 08:30:00", "3"], "settime.sh 15/01/2007 08:30:00 3"),
    (["timesync.sh"], "timesync.sh"),
    (["gpstimesync.sh", "01/02/2008 10:11:12"], "gpstimesync.sh 01/02/2008 10:11:12"),
    (["settings.sh", "save"], "settings.sh save"),
    (["hdparm", "-S", "120", "/dev/ide/host0/bus0/target0/lun0/disc"],
     "hdparm -S 120 /dev/ide/host0/bus0/target0/lun0/disc"),
    (["mail_send.sh"], "mail_send.sh"),
    (["smartinfo.sh"], "smartinfo.sh"),
    (["format_usb.sh"], "format_usb.sh"),
    (["nsupgrade.sh", "/var/tmp/file.ipk"], "nsupgrade.sh /var/tmp/file.ipk"),
    (["/usr/local/www/cgi-bin/snapshot.sh"], "snapshot.sh"),
]


@pytest.mark.parametrize("argv,line", RECORDED, ids=[" ".join(a) for a, _ in RECORDED])
def test_standins_record_their_calls(root, argv, line):
    if argv[0].startswith("/"):
        argv = [str(root / argv[0].lstrip("/")), *argv[1:]]
    r = subprocess.run(argv, env=root_env(root, DV_FORMAT_STEP="0"), capture_output=True,
                       timeout=30)
    assert r.returncode == 0, r.stderr
    assert calls(root)[0] == line


def test_standin_finds_its_root_without_the_environment(root):
    env = dict(os.environ)
    env.pop("DEEPVAULT_ROOT", None)
    subprocess.run([str(root / "sbin/settings.sh"), "reset"], env=env, check=True)
    subprocess.run([str(root / "usr/bin/mail_send.sh")], env=env, check=True)
    assert calls(root) == ["settings.sh reset", "mail_send.sh"]


def run_in(root, *argv, **env):
    return subprocess.run(list(argv), env=root_env(root, **env), capture_output=True,
                          text=True, timeout=30)


def test_ifconfig_shows_the_hardware_address_line(root):
    line = run_in(root, "sh", "-c", "ifconfig eth0 | grep HWaddr").stdout
    words = line.split()
    mac = words[words.index("HWaddr") + 1]
    assert re.fullmatch(r"([0-9A-F]{2}:){5}[0-9A-F]{2}", mac)
    assert "inet addr:192.168.1.100" in run_in(root, "ifconfig", "eth0").stdout
    # eth1 exists only with its settings file.
    assert run_in(root, "ifconfig", "eth1").returncode != 0
    (root / "etc/sysconfig/networking/ifcfg-eth1").write_text("IPADDR=10.1.2.3\nNETMASK=255.255.0.0\n")
    out = run_in(root, "ifconfig", "eth1").stdout
    assert "HWaddr" in out and "inet addr:10.1.2.3  Bcast:10.1.255.255  Mask:255.255.0.0" in out


def test_df_reports_the_disc_folder_in_df_format(root):
    out = run_in(root, "df", "-h", "/mnt/disc").stdout.splitlines()
    assert len(out) == 2
    assert len(out[1].split()) >= 6


def test_mount_lists_the_disc_and_the_usb_disc_when_present(root):
    assert "/mnt/disc" in run_in(root, "mount").stdout
    assert "/mnt/usb" not in run_in(root, "mount").stdout
    (root / "mnt/usb/videodata").mkdir()
    assert " on /mnt/usb " in run_in(root, "mount").stdout


def caption_values(text, sep):
    """Caption/value pairs of a text as the setup service splits its lines."""
    out = {}
    for line in text.splitlines():
        if sep in line:
            cap, _, val = line.partition(sep)
            out[cap.strip(" \t'\"")] = val.replace(sep, "").strip(" \t'\"")
    return out


def test_hdparm_identify_and_smartinfo_logs(root):
    ident = caption_values(
        run_in(root, "hdparm", "-I",
               "/dev/ide/host0/bus0/target0/lun0/disc").stdout, ":")
    for cap in ("Model Number", "Serial Number", "Firmware Revision"):
        assert ident[cap], cap
    assert run_in(root, "smartinfo.sh").returncode == 0
    smart = caption_values((root / "tmp/smart.log").read_text(), "=")
    assert set(smart) == {"MAXTEMP", "MAXDATE", "MINTEMP", "MINDATE"}
    assert (root / "tmp/smart_full.log").read_text().strip()


def test_nsupgrade_reports_through_install_log(root):
    log = root / "var/install.log"
    run_in(root, "nsupgrade.sh", "/var/tmp/file.ipk")
    assert "not found" in log.read_text()
    log.unlink()
    (root / "var/tmp/file.ipk").write_bytes(b"package")
    run_in(root, "nsupgrade.sh", "/var/tmp/file.ipk")
    assert not log.exists()
    (root / "var/lib/standins").mkdir(parents=True)
    (root / "var/lib/standins/nsupgrade.result").write_text("bad signature\n")
    run_in(root, "nsupgrade.sh", "/var/tmp/file.ipk")
    assert log.read_text() == "bad signature\n"


def test_format_usb_prints_progress_and_ends(root):
    r = run_in(root, "format_usb.sh", DV_FORMAT_STEP="0")
    assert r.returncode == 0
    assert len(r.stdout.splitlines()) >= 3
    assert not list((root / "mnt/usb").iterdir())


def test_report_script_describes_the_system(root):
    out = run_in(root, "/bin/sh", str(root / "usr/local/www/cgi-bin/snapshot.sh")).stdout
    assert "System report" in out and "deepvault" in out and "HWaddr" in out
    cgi = subprocess.run([str(root / "usr/local/www/cgi-bin/snapshot.sh")], capture_output=True,
                         env=root_env(root, GATEWAY_INTERFACE="CGI/1.1"), timeout=30)
    assert cgi.stdout.startswith(b"Content-Type: text/plain\r\n\r\n")


SLEEPER = """#!/bin/sh
trap 'echo "$1 $(basename "$0")" >> "$MARK"' USR1
trap 'exit 0' TERM
while :; do sleep 0.05; done
"""


def wait_until(pred, timeout=10, what="condition"):
    deadline = time.monotonic() + timeout
    while not pred():
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(0.02)


def test_killall_signals_only_processes_of_this_sandbox(tmp_path, root):
    prog = tmp_path / "progs" / "postwarden"
    prog.parent.mkdir()
    prog.write_text(SLEEPER)
    prog.chmod(0o755)
    mark = tmp_path / "mark"
    other = tmp_path / "other-root"
    other.mkdir()
    ours = subprocess.Popen([str(prog), "ours"], env=root_env(root, MARK=str(mark)))
    theirs = subprocess.Popen([str(prog), "theirs"], env=root_env(other, MARK=str(mark)))
    try:
        time.sleep(0.3)
        r = run_in(root, "killall", "-usr1", "postwarden")
        assert r.returncode == 0, r.stderr
        wait_until(lambda: mark.exists(), what="USR1")
        time.sleep(0.3)
        assert mark.read_text().splitlines() == ["ours postwarden"]
        assert "killall -usr1 postwarden" in calls(root)
        r = run_in(root, "killall", "-s", "USR1", "nosuchprogram")
        assert r.returncode == 1 and "no process found" in r.stderr
    finally:
        for p in (ours, theirs):
            p.terminate()
            p.wait(5)


# A fake daemon for the start scripts: creates the SysV queue its real
# counterpart creates, records its argv and environment, and on SIGTERM
# removes the queue and ends.
FAKE_DAEMON = """#!/usr/bin/python3
import os, signal, sys, time
sys.path.insert(0, %(tests)r)
import sysv
name = os.path.basename(sys.argv[0])
queues = {"memhub": 0x5F5A, "statekeeper": 0x9F9F, "snapbot": 0x9FAF}
root = os.environ["DEEPVAULT_ROOT"]
with open(os.path.join(root, "var/log", "fake-" + name + "." + str(os.getpid())), "w") as f:
    f.write(repr(sys.argv[1:]) + "\\n")
    for k in ("DEEPVAULT_ROOT", "DEEPVAULT_FOREGROUND", "PATH"):
        f.write(k + "=" + os.environ.get(k, "") + "\\n")
qid = None
if name in queues:
    time.sleep(0.3)  # the start script must wait for the queue
    qid = sysv.msgget(queues[name], sysv.IPC_CREAT | 0o777)
stop = []
signal.signal(signal.SIGTERM, lambda *a: stop.append(1))
while not stop:
    time.sleep(0.05)
if qid is not None:
    sysv.msgrmid(qid)
"""


def queue_keys():
    with open("/proc/sysvipc/msg") as f:
        return {int(l.split()[0]) for l in f.readlines()[1:]}


def pid_of(root, name):
    return int((root / "var/run" / f"{name}.pid").read_text())


def alive(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] not in ("Z", "X")
    except FileNotFoundError:
        return False


@pytest.mark.skipif(not PRIVATE_NS, reason="creates SysV queues: run under tests/run_in_ns")
def test_start_scripts_start_and_stop_the_daemons(tmp_path):
    script = FAKE_DAEMON % {"tests": str(SOURCE / "tests")}
    build = make_build(tmp_path, ["memhub", "camtap", "statekeeper", "recorder", "video.qvs"],
                       script=script)
    root = tmp_path / "root"
    install(root, "--build", build)
    env = root_env(root)
    env["DEEPVAULT_ROOT"] = str(root) + "/"  # the scripts normalise it
    init = root / "etc/init.d"

    # Started from a server process, a daemon must not inherit its sockets.
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen()
    out = subprocess.run([str(init / "memhub.sh"), "start"], env=env, capture_output=True,
                         text=True, timeout=30, pass_fds=[listener.fileno()]).stdout
    assert "memhub: started" in out
    fds = [os.readlink(f) for f in Path(f"/proc/{pid_of(root, 'memhub')}/fd").iterdir()]
    assert f"socket:[{os.fstat(listener.fileno()).st_ino}]" not in fds
    listener.close()
    assert 0x5F5A in queue_keys()  # ready when the script returns
    subprocess.run([str(init / "camtap.sh"), "start"], env=env, check=True, timeout=30)
    out = subprocess.run([str(init / "video.sh"), "start"], env=env, capture_output=True,
                         text=True, timeout=60).stdout
    assert 0x9F9F in queue_keys()
    assert "postwarden: not installed, skipped" in out
    assert "serialalarm: no alarm board port, skipped" in out
    names = ["memhub", "camtap", "statekeeper", "recorder", "video.online", "net.setup"]
    pids = {n: pid_of(root, n) for n in names}
    for n, p in pids.items():
        assert alive(p), n
        assert Path(f"/proc/{p}/comm").read_text().strip() == n[:15]
    env_lines = (root / "var/log" / f"fake-memhub.{pids['memhub']}").read_text().splitlines()
    assert f"DEEPVAULT_ROOT={root}" in env_lines
    assert "DEEPVAULT_FOREGROUND=1" in env_lines
    assert any(l.startswith(f"PATH={root}/bin:") for l in env_lines)

    # Starting again starts nothing twice.
    out = subprocess.run([str(init / "memhub.sh"), "start"], env=env, capture_output=True,
                         text=True, timeout=30).stdout
    assert "already running" in out

    # The setup connection stops everything but itself (here: net.setup).
    subprocess.run([str(init / "video.sh"), "stop", str(pids["net.setup"])], env=env,
                   check=True, timeout=60)
    assert alive(pids["net.setup"])
    for n in ("statekeeper", "recorder", "video.online"):
        wait_until(lambda: not alive(pids[n]), what=f"{n} to stop")
    assert 0x9F9F not in queue_keys()
    assert not (root / "var/run/recorder.pid").exists()

    # Stop by name finds a daemon of this sandbox without a pid file.
    stray = subprocess.Popen([str(root / "usr/bin/camtap")], env=env)
    subprocess.run([str(init / "camtap.sh"), "stop"], env=env, check=True, timeout=30)
    assert not alive(pids["camtap"])
    assert stray.wait(10) is not None

    r = subprocess.run([str(init / "video.sh"), "status"], env=env, capture_output=True,
                       text=True, timeout=30)
    assert "net.setup: running" in r.stdout and "recorder: stopped" in r.stdout
    subprocess.run([str(init / "video.sh"), "stop"], env=env, check=True, timeout=60)
    subprocess.run([str(init / "memhub.sh"), "stop"], env=env, check=True, timeout=30)
    assert not alive(pids["net.setup"]) and not alive(pids["memhub"])
    assert 0x5F5A not in queue_keys()


# --- default configuration ----------------------------------------------------

DEFAULTS = SOURCE / "platform" / "defaults" / "etc"


def blank(b):
    """A blank byte of the INI store: below 33 taken as a signed 8-bit number."""
    return b < 33 or b >= 0x80


def parse_ini(data):
    """[(section or None, key, raw value, line number)] by the store's line rules;
    fails on any line that is neither comment, header nor key line."""
    entries = []
    section = None
    key_re = re.compile(rb"[A-Za-z0-9_.\-]+")
    for no, line in enumerate(data.split(b"\n"), 1):
        end = len(line)
        while end and blank(line[end - 1]):
            end -= 1
        line = line[:end]
        if not line:
            continue
        start = 0
        while start < len(line) and blank(line[start]):
            start += 1
        first = line[start:start + 1]
        if first in (b"#", b";", b"/"):
            continue
        if first == b"[":
            m = re.fullmatch(rb"\[ ?([A-Za-z0-9_.]+) ?\]", line[start:])
            assert m, f"line {no}: odd section header {line!r}"
            section = m.group(1).decode()
            continue
        m = key_re.match(line, start)
        assert m, f"line {no}: not a key line: {line!r}"
        key = m.group(0).decode()
        rest = line[m.end():]
        assert not rest or blank(rest[0]) or rest[:1] == b"=", f"line {no}: {line!r}"
        i = 0
        while i < len(rest) and (blank(rest[i]) or rest[i:i + 1] == b"="):
            i += 1
        entries.append((section, key, rest[i:].decode(), no))
    return entries


def text_value(raw):
    """The value as ConfigGetStr gives it."""
    if raw[:1] in ("'", '"'):
        q, v = raw[0], raw[1:]
        return v[:-1] if v.endswith(q) else v
    return raw


def int_value(raw):
    """ConfigGetInt: C base rules, stops at the first unusable byte; None when
    the value is not a complete number (a quoted number would read as 0)."""
    m = re.fullmatch(r"[-+]?(0[xX][0-9a-fA-F]+|0[0-7]*|[1-9][0-9]*)", raw)
    return int(raw, 0) if m and not re.fullmatch(r"[-+]?0[0-7]+", raw) else (
        int(raw, 8) if m else None)


def ini(name):
    entries = parse_ini((DEFAULTS / name).read_bytes())
    table = {}
    for sec, key, raw, no in entries:
        d = table.setdefault(sec, {})
        assert key.lower() not in (k.lower() for k in d), f"{name}:{no}: duplicate {sec}/{key}"
        d[key] = raw
    return table


# Every key the programs read from /etc/streams.ini, by section. Integer keys
# are marked with a leading "#".
VIDEO = ("#ON type codec name params #width #height #base_fps #fdiv #quant #bitrate #minquant "
         "#maxquant #bw motion_mask #dval #drep message #dtime #rmove #rgevt #grevt #ACHTUNG "
         "#private")
AUDIO = ("#ON type codec name params #rate #bits #mono #stereo #nosnd #filt #dval #drep message "
         "#dtime #rmove #rgevt #grevt #ACHTUNG")
TEXT = "#ON type codec name params #utf-8 #rmove #ACHTUNG"
ROLE = "#port #maxclients #ssl module_type"
REQUIRED = {
    "common": "DeviceID prefix #memsize #gop codepage",
    "camtap": "#ntsc #auto_mode nosig sig #stat_gops",
    **{f"stream_{n}": VIDEO for n in range(4)},
    "stream_16": AUDIO, "stream_17": AUDIO,
    **{f"stream_{n}": TEXT for n in (128, 129, 130, 131, 132, 133, 145, 146, 254, 255)},
    "saver": ("#prerecord #maxisize on_exit on_error #disc_safe #safe_start_ival "
              "#safe_stop_ival on_safe_start on_safe_stop #round_robin #usb_extend_mode "
              "#max_storage_time #free_size #usb_free_size #interval disc path usb_disc "
              "usb_path #delete_old_mail mail_path #max_mail_size #max_lost_found_time "
              "lost_found_path"),
    "rsconfig": ("device #drep #write_evt #on_common_event message_lock_on message_lock_off "
                 + " ".join(f"name{i} #lock{i} #common{i} #rec{i}" for i in range(4))),
    "smtp_mail": ("smtp_to smtp_user smtp_pass subject_template body_template move_sensor "
                  "system_event rs_sensor rs_name op_system timer charset gbyte_suffix "
                  "mbyte_suffix byte_suffix video_stream_dir #mail_foto #mail_video "
                  "#notify_move #notify_event #notify_by_timer #notify_by_rs send_mail "
                  "send_mail_from send_mail_to send_mail_througth "
                  + " ".join(f"#d{i}" for i in range(7)) + " "
                  + " ".join(f"#h{i}" for i in range(24))),
    "im": "im_host #im_port #im_notify_move #im_notify_event #im_notify_by_timer #im_notify_by_rs",
    "gps": ("port_name #port_baud gps_protocol #check_time #time_inaccuracy #text_report "
            "#data_report #text_stream #data_stream signal_on_msg signal_off_msg no_signal_msg "
            "longitude_msg latitude_msg speed_msg direction_msg"),
    **{r: ROLE for r in ("video.online", "video.archive", "video.events", "jpeg.stream",
                         "all.in.one", "all.in.one_custom")},
    "net.setup": ROLE + " changed_common changed_net changed_time changed_timer changed_soft "
                        "changed_disk changed_user reboot_after_change",
}


@pytest.mark.parametrize("name", ["streams.ini", "timer.ini", "rsconfig.ini"])
def test_ini_defaults_parse_cleanly(name):
    data = (DEFAULTS / name).read_bytes()
    lines = data.split(b"\n")
    for sec, key, raw, no in parse_ini(data):
        assert sec is not None, f"{name}:{no}: key {key} before the first section"
        # No stray end-of-line comments; quotes are closed; lines fit the store.
        assert not re.search(r"\s[;#]|\s//", raw), f"{name}:{no}: comment in value {raw!r}"
        if raw[:1] in ("'", '"'):
            assert len(raw) >= 2 and raw.endswith(raw[0]), f"{name}:{no}: open quote"
        assert raw != "", f"{name}:{no}: empty value of {key}"
        assert len(lines[no - 1]) <= 2046
        if name != "timer.ini":
            # Each setting is explained by the comment line above it.
            assert lines[no - 2].lstrip().startswith(b"#"), f"{name}:{no}: {key} undocumented"


def test_streams_ini_holds_every_key_the_programs_read():
    table = ini("streams.ini")
    for sec, keys in REQUIRED.items():
        assert sec in table, sec
        for k in keys.split():
            integer = k.startswith("#")
            k = k.lstrip("#")
            assert k in table[sec], f"[{sec}] {k}"
            raw = table[sec][k]
            if integer:
                assert int_value(raw) is not None, f"[{sec}] {k} = {raw} is no number"
            else:
                assert int_value(raw) is None or k in ("send_mail",), f"[{sec}] {k} = {raw}"


def test_streams_ini_runs_four_pal_cameras_and_audio():
    t = ini("streams.ini")
    assert int_value(t["common"]["memsize"]) >= 0x1000000
    assert text_value(t["common"]["prefix"]).endswith("/")
    assert int_value(t["camtap"]["ntsc"]) == 0
    for n in range(4):
        s = t[f"stream_{n}"]
        assert (int_value(s["ON"]), s["type"], int_value(s["width"]), int_value(s["height"])) == (
            1, "T_VIDEO", 704, 288)
        assert text_value(s["codec"]) != "mjpeg"
        assert 2 <= int_value(s["quant"]) <= 30
        assert len(text_value(s["motion_mask"])) == 100
        assert int_value(s["dval"]) // 2 < 63  # motion can pass the threshold
    for n in (16, 17):
        assert t[f"stream_{n}"]["type"] == "T_AUDIO" and int_value(t[f"stream_{n}"]["ON"]) == 1
        assert 22050 // int_value(t[f"stream_{n}"]["rate"]) >= 1


def test_every_text_stream_the_programs_write_is_configured():
    t = ini("streams.ini")
    streams = {int(s.split("_")[1]): v for s, v in t.items() if s and s.startswith("stream_")}
    targets = [int_value(v["drep"]) for n, v in streams.items() if "drep" in v]
    targets += [int_value(t["rsconfig"]["drep"]), int_value(t["gps"]["text_stream"]),
                int_value(t["gps"]["data_stream"]), 255]
    for d in targets:
        assert d in streams, f"stream {d} is written but not configured"
        assert streams[d]["type"] == "T_TEXT"
    assert len(set(targets)) == len(targets), "two producers share a text stream"


def test_stream_records_fit_the_header_limits():
    # memhub builds the parameter string of a stream from params and a list of
    # keys; codec, name and parameters have fixed limits.
    t = ini("streams.ini")
    for sec, v in t.items():
        if not (sec and sec.startswith("stream_")):
            continue
        params = text_value(v.get("params", "''"))
        for k in ("width", "height", "quant", "bits", "rate", "fdiv", "motion_mask", "base_fps"):
            if k in v:
                params += f" -{k}={text_value(v[k])}"
        for k in ("nosnd", "mono", "stereo", "utf-8", "utf8", "koi8", "cp1251", "bw"):
            if k in v and int_value(v[k]):
                params += f" -{k}"
        assert len(params) <= 255, sec
        assert len(text_value(v["codec"])) <= 9 and 0 < len(text_value(v["name"])) <= 79, sec


def test_timer_ini_records_always():
    t = ini("timer.ini")
    assert int_value(t["common"]["mode"]) == 3
    for day in ("sunday", "monday", "tuesday", "wednesday", "thursday", "friday", "saturday"):
        assert all(int_value(t[day][f"h{h}"]) == 1 for h in range(24)), day


def check_access(text, user, password):
    """The user check of the network server over a user file."""
    def split(line):
        cap, sep, val = line.partition("=")
        cap = cap.lstrip(" \t")[:38].strip(" \t'\"")
        val = val.lstrip(" \t").replace("=", "")[:510].rstrip("\r").strip(" \t'\"")
        return cap, val
    cur, name, pw, level = None, "", "", 0
    for line in text.split("\n"):
        cap, val = split(line)
        if cap == "AUTH_ENABLE":
            if val in ("no", "off"):
                return 255
            if user is None and password is None:
                return 0
            continue
        m = re.fullmatch(r"(NAME|PASSWD|LEVEL)(\d+)", cap)
        if m:
            n = int(m.group(2))
            if n != cur:
                name, pw = "", ""
                if m.group(1) != "LEVEL":
                    level = 0
                cur = n
            if m.group(1) == "NAME":
                name = val
            elif m.group(1) == "PASSWD":
                pw = val
            else:
                level = int(val or 0)
        if user is not None and name.lower() == user.lower() and pw == password and level > 0:
            return level
    return -1


@pytest.mark.parametrize("user,password,level", [
    ("admin", "admin", 3), ("ADMIN", "admin", 3), ("viewer", "viewer", 1),
    ("admin", "viewer", -1), ("guest", "", -1), (None, None, 0)])
def test_default_users(user, password, level):
    assert check_access((DEFAULTS / "user.cfg").read_text(), user, password) == level


def test_first_line_files_hold_plain_values():
    # These files are read by their first line or word, with no comments.
    assert (DEFAULTS / "TZ").read_text().splitlines()[0].split()[0]
    assert (DEFAULTS / "time.cfg").read_text().split()[0] in ("0", "1")
    assert (DEFAULTS / "cserv").read_text().split()[0]
    assert (DEFAULTS / "ctime").read_text().split()[0]
    fields = (DEFAULTS / "ssmtp/revaliases").read_text().rstrip("\n").split(":")
    assert fields[0] == "root" and "@" in fields[1] and fields[3].isdigit()
    for f, keys in (("sysconfig/networking/common", {"HOSTNAME", "DOMAINNAME"}),
                    ("sysconfig/networking/ifcfg-eth0", {"DHCP", "IPADDR", "NETMASK", "GATEWAY"})):
        assert set(caption_values((DEFAULTS / f).read_text(), "=")) == keys


# --- the configuration tool reads the installed file ----------------------------

INITOOL = BUILD / "bin" / "initool"
INITOOL_CASES = [
    ("common", "prefix", [], "/mnt/disc/videodata/"),
    ("common", "memsize", ["-i"], "16777216"),
    ("common", "DeviceID", [], "DeepVault NVR"),
    ("stream_0", "name", [], "Camera 0"),
    ("stream_3", "type", [], "T_VIDEO"),
    ("stream_2", "motion_mask", [], "0" * 100),
    ("stream_2", "params", [], ""),
    ("stream_16", "rate", ["-i"], "11025"),
    ("stream_255", "type", [], "T_TEXT"),
    ("saver", "path", [], "/mnt/disc/videodata/"),
    ("saver", "max_mail_size", ["-i"], "100"),
    ("rsconfig", "message_lock_on", [], "%s - activating"),
    ("smtp_mail", "h9", ["-i"], "1"),
    ("gps", "data_stream", ["-ix"], "85"),
    ("net.setup", "port", ["-i"], "5054"),
    ("all.in.one_custom", "port", ["-i"], "5048"),
    ("net.setup", "changed_common", [], "Configuration changed"),
]


@pytest.mark.skipif(not INITOOL.exists(), reason="initool not built yet")
@pytest.mark.parametrize("section,key,opts,value", INITOOL_CASES,
                         ids=[f"{s}/{k}" for s, k, _, _ in INITOOL_CASES])
def test_initool_reads_the_installed_configuration(tmp_path, section, key, opts, value):
    root = tmp_path / "root"
    install(root, "--build", BUILD)
    # Inside the sandbox the tool takes the device's path of the file.
    r = subprocess.run(["initool", "/etc/streams.ini", *opts, section, key],
                       capture_output=True, env=root_env(root), timeout=30)
    assert r.returncode == 0, r.stderr
    assert r.stdout.decode() == value


@pytest.mark.skipif(not INITOOL.exists(), reason="initool not built yet")
def test_initool_lists_the_stream_sections_in_file_order(tmp_path):
    root = tmp_path / "root"
    install(root, "--build", BUILD)
    r = subprocess.run([str(root / "usr/bin/initool"), str(root / "etc/streams.ini"), "-l",
                        "stream_"], capture_output=True, text=True, timeout=30)
    numbers = [int(re.search(r"stream_(\d+)", l).group(1)) for l in r.stdout.splitlines()]
    assert numbers == [0, 1, 2, 3, 16, 17, 128, 129, 130, 131, 132, 133, 145, 146, 254, 255]
