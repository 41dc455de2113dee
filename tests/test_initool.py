"""initool: the command-line access to the INI configuration store."""
import hashlib
import os

import pytest

USAGE = (
    "Usage : initool <config file> [-as|-ds|-dk|-i] <section> [key] [value]\n"
    " -as : add section to config file\n"
    " -ds : delete section from config file\n"
    " -dk : delete key from config file\n"
    " -i  : key is integer value\n"
    " -ir : return integer value in exit state\n"
    " -ix : print integer value as hex\n"
    " -iX : print integer value as hex in 0x0000 format\n"
    " -l  : list sections with [section pattern]\n"
    " <config file> <section> <key> [value] : get / set value to config key\n"
)

SAMPLE = (
    "# sample\n"
    "[ common ]\n"
    "deviceid = 'abc'\n"
    "port = 0x10\n"
    "neg = -2\n"
    "big = 300\n"
    "note = abc ; x\n"
    "[ stream_0 ]\n"
    "type = 1\n"
    "[ stream_1 ]\n"
    "[ other ]\n"
)


@pytest.fixture
def ini(sandbox):
    """A sample file at the logical path /etc/test.ini."""
    sandbox.path("/etc/test.ini").write_bytes(SAMPLE.encode())
    return sandbox


def run(sb, *args):
    r = sb.run(["initool", *args])
    return r.returncode, r.stdout.decode("latin-1"), r.stderr.decode("latin-1")


@pytest.mark.parametrize("args", [[], ["/etc/test.ini"], ["-l"]])
def test_usage_with_fewer_than_two_arguments(ini, args):
    assert run(ini, *args) == (0, "", USAGE)


@pytest.mark.parametrize("args,status,out", [
    (["common", "deviceid"], 0, "abc"),
    (["COMMON", "DeviceID"], 0, "abc"),
    (["common", "note"], 0, "abc ; x"),
    (["common", "port"], 0, "0x10"),
    (["-i", "common", "port"], 0, "16"),
    (["-ix", "common", "big"], 0, "12c"),
    (["-iX", "common", "big"], 0, "0x12c"),
    (["-i", "common", "neg"], 0, "-2"),
    (["-ix", "common", "neg"], 0, "fffffffe"),
    (["-i", "common", "deviceid"], 0, "0"),
    # -ir: the value as exit status, modulo 256; a missing key gives 0.
    (["-ir", "common", "port"], 16, ""),
    (["-ir", "common", "big"], 300 % 256, ""),
    (["-ir", "common", "missing"], 0, ""),
    (["-ir", "nosection", "x"], 0, ""),
])
def test_read(ini, args, status, out):
    # Options and positional arguments come in any order.
    code, stdout, stderr = run(ini, "/etc/test.ini", *args)
    assert (code, stdout, stderr) == (status, out, "")
    options = [a for a in args if a.startswith("-")]
    positional = [a for a in args if not a.startswith("-")]
    code2, stdout2, _ = run(ini, "/etc/test.ini", *positional, *options)
    assert (code2, stdout2) == (status, out)


@pytest.mark.parametrize("args,message", [
    (["common", "missing"], "Key is not found\n"),
    (["nosection", "x"], "Section is not found\n"),
    (["-i", "common", "missing"], "Key is not found\n"),
    (["common"], "Nothing to do?\n"),
    (["-as"], "No section name to add\n"),
    (["-ds"], "No section name to delete\n"),
    (["-dk", "common"], "No key name to delete\n"),
])
def test_failures_exit_255(ini, args, message):
    before = ini.path("/etc/test.ini").read_bytes()
    assert run(ini, "/etc/test.ini", *args) == (255, "", message)
    assert ini.path("/etc/test.ini").read_bytes() == before
    assert not ini.path("/etc/test.ini.md5").exists()


def test_missing_file(sandbox):
    assert run(sandbox, "/etc/none.ini", "common", "x") == (
        255, "", "File /etc/none.ini not found!\n")
    assert not sandbox.path("/etc/none.ini").exists()


def test_list_sections(ini):
    assert run(ini, "-l", "/etc/test.ini", "stream_") == (
        0, "[ stream_0 ]\n[ stream_1 ]\n", "")
    assert run(ini, "/etc/test.ini", "-l") == (
        0, "[ common ]\n[ stream_0 ]\n[ stream_1 ]\n[ other ]\n", "")


def md5_sidecar(sb, logical):
    digest = hashlib.md5(sb.path(logical).read_bytes()).hexdigest()
    return f"{digest}  {logical}"


def test_write_string_replaces_file_with_sidecar(ini):
    assert run(ini, "/etc/test.ini", "common", "deviceid", "cam1") == (0, "", "")
    text = ini.path("/etc/test.ini").read_text()
    assert "deviceid = 'cam1'\n" in text.splitlines(keepends=True)
    assert text.endswith("[ other ]\n\n")
    assert ini.path("/etc/test.ini.md5").read_text() == md5_sidecar(ini, "/etc/test.ini")
    # Nothing left beside it.
    assert [n for n in os.listdir(ini.path("/etc")) if ".tmp-" in n] == []
    assert run(ini, "/etc/test.ini", "common", "deviceid") == (0, "cam1", "")


def test_write_integer_and_new_key(ini):
    assert run(ini, "/etc/test.ini", "-i", "common", "port", "0x20")[0] == 0
    assert run(ini, "/etc/test.ini", "-i", "stream_1", "fps", "010")[0] == 0
    lines = ini.path("/etc/test.ini").read_text().splitlines()
    assert "port = 32" in lines
    assert lines[lines.index("[ stream_1 ]") + 1] == "fps = 8"


def test_write_into_missing_section_fails(ini):
    assert run(ini, "/etc/test.ini", "nosection", "k", "v") == (
        255, "", "Section is not found\n")


def test_sections_and_keys_add_delete(sandbox):
    f = "/etc/new.ini"
    assert run(sandbox, f, "-as", "alpha") == (0, "", "")  # the file is created
    assert run(sandbox, f, "-as", "alpha") == (0, "", "")  # already there: no change
    assert run(sandbox, f, "alpha", "k", "v")[0] == 0
    assert run(sandbox, f, "-as", "beta")[0] == 0
    assert sandbox.path(f).read_text() == "[ alpha ]\nk = 'v'\n[ beta ]\n\n"
    assert run(sandbox, f, "-dk", "alpha", "k") == (0, "", "")
    assert run(sandbox, f, "-dk", "alpha", "k") == (0, "", "")  # missing key: fine
    assert run(sandbox, f, "-ds", "alpha") == (0, "", "")
    assert run(sandbox, f, "-ds", "gamma") == (0, "", "")
    assert sandbox.path(f).read_text() == "[ beta ]\n\n"
    assert sandbox.path(f + ".md5").read_text() == md5_sidecar(sandbox, f)


def test_option_a_or_d_creates_missing_file(sandbox):
    assert run(sandbox, "/etc/made.ini", "-a", "x", "y") == (255, "", "Section is not found\n")
    assert sandbox.path("/etc/made.ini").read_bytes() == b""


def test_tmp_file_is_written_directly(sandbox):
    sandbox.path("/tmp/x.ini").write_text("[ s ]\n")
    assert run(sandbox, "/tmp/x.ini", "s", "k", "v")[0] == 0
    assert sandbox.path("/tmp/x.ini").read_text() == "[ s ]\nk = 'v'\n\n"
    assert not sandbox.path("/tmp/x.ini.md5").exists()


def test_value_is_data_not_shell(ini):
    value = "a'$(touch /tmp/pwned)`touch /tmp/pwned2`\""
    assert run(ini, "/etc/test.ini", "common", "deviceid", value)[0] == 0
    assert run(ini, "/etc/test.ini", "common", "deviceid") == (0, value, "")
    assert not ini.path("/tmp/pwned").exists() and not os.path.exists("/tmp/pwned")


def test_commit_failure_keeps_file(ini):
    """Without md5sum the commit fails; the old file stays, nothing is left behind."""
    env = dict(ini.env)
    empty = ini.path("/var/empty-bin")
    empty.mkdir()
    env["PATH"] = str(empty)
    before = ini.path("/etc/test.ini").read_bytes()
    r = ini.run(["initool", "/etc/test.ini", "common", "deviceid", "x"], env=env)
    assert r.returncode == 255
    assert r.stderr.decode() == (
        "Error in getting md5 of /etc/test.iniError in write md5\nCommit failed\n")
    assert ini.path("/etc/test.ini").read_bytes() == before
    assert [n for n in os.listdir(ini.path("/etc")) if "test.ini" in n] == ["test.ini"]


def test_default_configuration_reads(sandbox):
    if not sandbox.path("/etc/streams.ini").exists():
        pytest.skip("no default configuration installed")
    code, out, err = run(sandbox, "-l", "/etc/streams.ini", "common")
    assert (code, out, err) == (0, "[ common ]\n", "")
