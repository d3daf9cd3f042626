"""A pytest plugin for scripts/sanitize.sh, loaded with -p ahead of the other
plugins.

Every process that runs tests (pytest itself, or each xdist worker) must
start with the exit-time leak check on, since ASan reads its options once, at
start. The programs those processes start (git from plugins, protoc,
compilers, the tests' child interpreters) must not: their leaks would be
about those programs, not about the module. So each process switches its
environment to the children's options first thing, and the xdist controller
switches back only while it starts its workers (execnet's env: settings are
applied after a worker has started, too late for ASan)."""
import os

_CHILD = os.environ.get("TK_CHILD_ASAN_OPTIONS")
_OWN = os.environ.get("ASAN_OPTIONS")
_specs = 0
_started = 0

if _CHILD is not None:
    os.environ["ASAN_OPTIONS"] = _CHILD


def pytest_xdist_setupnodes(config, specs):
    global _specs, _started
    if _CHILD is not None and _OWN is not None and specs:
        _specs, _started = len(specs), 0
        os.environ["ASAN_OPTIONS"] = _OWN


def pytest_xdist_newgateway(gateway):
    global _started
    _started += 1
    if _CHILD is not None and _started >= _specs:
        os.environ["ASAN_OPTIONS"] = _CHILD
