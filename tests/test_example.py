"""The bundled examples and the README's user's guide run end to end.

Each script and each guide snippet runs in its own interpreter, from the
repository root, against examples/data/, with the module the tests use.
"""
import datetime
import os
import pathlib
import re
import subprocess
import sys

import _tolmirkenvor as tk
import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent


def run(args, tz="UTC"):
    proc = subprocess.run([sys.executable, *args], capture_output=True, text=True, cwd=ROOT,
                          env=dict(os.environ, TZ=tz, PYTHONPATH=os.pathsep.join(sys.path)))
    assert proc.returncode == 0, proc.stderr
    assert "Traceback" not in proc.stderr, proc.stderr
    return proc.stdout


def _aware_datetimes():
    # An aware value that the module read as a naive one would come back
    # with the same wall time.
    odd = datetime.timezone(datetime.timedelta(hours=13, minutes=45))
    return tk.to_value_object(datetime.datetime(2020, 1, 1, tzinfo=odd)) != datetime.datetime(2020, 1, 1)


# Members that builds before the batch and reliability work lack: snippets and
# output checks that need them are skipped there.
FEATURES = {
    "batch reads": lambda: hasattr(tk.GraphQueryDecoder, "get_rows"),
    "set_params": lambda: hasattr(tk.GraphQueryRequestEncoder, "set_params"),
    "edit batches": lambda: hasattr(tk.GraphApplyEditsEncoder, "add_many"),
    "aware date-times": _aware_datetimes,
}
NEEDS = {
    "get_rows": "batch reads", ".finish(": "batch reads", "field_names": "batch reads",
    "set_params": "set_params", "add_many": "edit batches", "tzinfo=": "aware date-times",
}

# script → texts its output must hold (and texts that need a feature).
EXAMPLES = {
    "example.py": ["query result: 3 rows", "'KNOWS': {'deleteResults'"],
    "query_roundtrip.py": [
        "query request: 7 parameters",
        "row 3: Person(00000000-0000-0000-0000-000000000003, 2 properties), 'Cyd', 35, 1991-09-09 09:09:09",
        "'spatialReference': {'wkid': 4326, 'latestWkid': 4326}, '_objectType': 'geometry'}",
        "query result: 3 rows",
        ("batch reads", "iter(decoder): ['Bo', 'Cyd']"),
        ("batch reads", "finish() False, error -1 'Result stream ended inside a message.'"),
    ],
    "search.py": [
        "a new encoder has no result: None",
        "with a spatial filter, no grid: error -1 'Invalid spatial filter geometry provided.'",
        "relation envelope-intersects (value 3):",
        "with an empty query: error -1 'Empty search query.'",
    ],
    "edits.py": [
        "rejected: Relationship must have origin and desination IDs!",
        "(header, then frames)",
        "after encode(): Cannot reuse encoder!",
        "encode() again: -7 GraphApplyEditsEncoder: Encode() has already been called!",
        "empty batch: -7 GraphApplyEditsEncoder: empty input.",
        "KNOWS deleteResults 00000000-0000-0000-0000-000000000009: failed 404 Relationship not found.",
        "empty answer: -3 Error decoding ApplyEdits response!",
    ],
    "schema_edits.py": [
        "adds, empty: error -999 'Unexpected failure.'",
        "unknown role: Unexpected named object type role.",
        "a big integer property: error -1 'Invalid argument.'",
        "property update, no property yet: error -1 'UpdateField must be passed a valid graph property!'",
        "relationshipAddResults OWNS: failed 7 Relationship type already exists.",
        "property delete: {'error': {'error_code': 404, 'error_message': 'Property not found.'}}",
        "named-type update, empty body: {}",
    ],
    "data_model.py": [
        "relationship type WORKS_AT: Person -> Company",
        "identifiers: vexoIdentifierInfoTypeUniformProperty globalid vexoUUIDRFC4122",
        "lookups are exact: None None",
        "search index people: entity, analyzers ['standard'] Person properties ['name']",
        "Person's properties as a property-adds request: 63 bytes, error 0",
        "a naive date-time comes back unchanged: True",
        "a damaged body decodes to: None",
    ],
}


def test_every_example_script_is_listed():
    assert sorted(p.name for p in (ROOT / "examples").glob("*.py")) == sorted(EXAMPLES)


@pytest.mark.parametrize("script", sorted(EXAMPLES))
def test_example_runs(script):
    out = run([str(ROOT / "examples" / script)])
    for expected in EXAMPLES[script]:
        if isinstance(expected, tuple):
            feature, expected = expected
            if not FEATURES[feature]():
                continue
        assert expected in out, f"{expected!r} not in the output of {script}:\n{out}"


@pytest.mark.parametrize("zone", ["Europe/Berlin", "America/New_York"])
def test_examples_run_in_other_zones(zone):
    # Local time is part of every date-time conversion; no zone may break one.
    for script in sorted(EXAMPLES):
        run([str(ROOT / "examples" / script)], tz=zone)


def _guide_snippets():
    text = (ROOT / "README.md").read_text()
    start = text.index("\n## User's guide\n")
    end = text.index("\n## ", start + 1)
    snippets, heading = [], None
    for match in re.finditer(r"^### ([^\n]+)$|^```python\n(.*?)^```$", text[start:end], re.M | re.S):
        if match.group(1):
            heading, n = match.group(1), 0
        else:
            n += 1
            snippets.append(pytest.param(match.group(2), id=f"{heading}-{n}"))
    return snippets


def test_guide_has_a_snippet_per_road():
    ids = {p.id.rsplit("-", 1)[0] for p in _guide_snippets()}
    assert {"Query", "Search", "Edits", "Schema edits", "Data model", "Date-times"} <= ids


@pytest.mark.parametrize("code", _guide_snippets())
def test_guide_snippet_runs(code):
    missing = sorted({feature for token, feature in NEEDS.items() if token in code and not FEATURES[feature]()})
    if missing:
        pytest.skip("this build lacks " + ", ".join(missing))
    run(["-c", code])
