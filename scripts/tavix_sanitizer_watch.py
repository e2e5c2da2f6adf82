"""A pytest plugin for scripts/check-sanitizers.

Ties each report to the test during which it appeared and fails that test with
it, so a child's report counts even where the test ignores the child's exit. It
also notes each test as it starts: a report in pytest's own process ends that
process, and the run then resumes after the test that ended it, so one crash
does not hide the reports and failures of the tests after it.
"""
import os
from pathlib import Path

import pytest

LOGS = Path(os.environ["TAVIX_SANITIZER_LOGS"])
WATCH = Path(os.environ["TAVIX_SANITIZER_WATCH"])
STARTED = WATCH / "started"


def reports():
    return set(LOGS.iterdir())


def pytest_collection_modifyitems(config, items):
    started = set(STARTED.read_text().splitlines()) if STARTED.exists() else set()
    if started:
        config.hook.pytest_deselected(items=[item for item in items if item.nodeid in started])
        items[:] = [item for item in items if item.nodeid not in started]


def pytest_runtest_logstart(nodeid, location):
    (WATCH / "running").write_text(nodeid + "\n")
    with open(STARTED, "a") as started:
        started.write(nodeid + "\n")


@pytest.fixture(autouse=True)
def _fail_on_sanitizer_reports(request):
    before = reports()
    yield
    new = sorted(reports() - before)
    if new:
        with open(WATCH / "index", "a") as index:
            index.writelines(f"{path.name} {request.node.nodeid}\n" for path in new)
        text = "\n".join(f"---- {path.name}\n{path.read_text(errors='replace')}" for path in new)
        pytest.fail(f"sanitizer report from a process of this test:\n{text}", pytrace=False)
