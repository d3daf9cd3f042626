import os
import sys
import time

import pytest

sys.path.insert(0, os.path.dirname(__file__))
_build = os.environ.get("TK_BUILD_DIR")
if _build:
    sys.path.insert(0, os.path.abspath(_build))


@pytest.fixture(params=["UTC", "Europe/Berlin", "America/New_York"])
def tz(request):
    """Runs the test in several local time zones, two of them with DST."""
    old = os.environ.get("TZ")
    os.environ["TZ"] = request.param
    time.tzset()
    yield request.param
    if old is None:
        del os.environ["TZ"]
    else:
        os.environ["TZ"] = old
    time.tzset()


def pytest_collection_modifyitems(config, items):
    # Under the sanitizers, freed memory sits in quarantine and RSS only
    # grows; LeakSanitizer does the leak checking there instead. The typing
    # tools check the stubs: under the sanitizers they only take time.
    if os.environ.get("TK_SANITIZED"):
        reasons = {"rss": "RSS is meaningless under AddressSanitizer; LeakSanitizer checks leaks",
                   "typing_tool": "checks the stubs, not the native code; runs in the plain suite"}
        for item in items:
            for keyword, reason in reasons.items():
                if keyword in item.keywords:
                    item.add_marker(pytest.mark.skip(reason=reason))
