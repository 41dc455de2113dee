"""The hub client helpers (hub/hub_client.h) against a running memhub: the
C++ test program hub_client_live_test, run inside the sandbox."""
import os

from test_hub import start_hub
from conftest import BUILD


def test_client_helpers_against_memhub(sandbox):
    proc = start_hub(sandbox)
    env = dict(sandbox.env, HUB_LIVE="1")
    r = sandbox.run([str(BUILD / "tests" / "hub_client_live_test")], env=env, timeout=60)
    out = r.stdout.decode(errors="replace")
    assert r.returncode == 0, out + r.stderr.decode(errors="replace")
    assert "[  PASSED  ] 5 tests." in out, out
    assert "SKIPPED" not in out, out
    assert proc.poll() is None
