"""``python -m tolmirkenvor dump``: captured bodies printed as JSON.

Bodies are built with the Google protobuf runtime; the tool runs in a child
interpreter, as a user would run it, with python/ importable so the package
needs no installation.
"""
import base64
import datetime
import json
import os
import pathlib
import random
import subprocess
import sys
import uuid

import pytest
from pbgen import pb
from streams import delimited, frame_bytes, header, result_stream, value

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "python"))

import _tolmirkenvor as tk  # noqa: E402
from tolmirkenvor import dump  # noqa: E402

U1 = uuid.UUID("12345678-1234-5678-9abc-def012345678")
U2 = uuid.UUID("00000000-0000-4000-8000-0000000000ff")
WHEN = datetime.datetime(2024, 5, 6, 7, 8, 9, 123000, tzinfo=datetime.timezone.utc)
WHEN_TEXT = "2024-05-06T07:08:09.123000+00:00"


def S():
    return pb.graph_schema_pb2


def E():
    return pb.graph_edits_pb2


def child_env():
    env = dict(os.environ)
    paths = [str(ROOT / "python")]
    if os.environ.get("TK_BUILD_DIR"):
        paths.append(os.path.abspath(os.environ["TK_BUILD_DIR"]))
    if env.get("PYTHONPATH"):
        paths.append(env["PYTHONPATH"])
    env["PYTHONPATH"] = os.pathsep.join(paths)
    return env


def run_tool(*args, stdin=None):
    return subprocess.run(
        [sys.executable, "-m", "tolmirkenvor", *args],
        input=stdin, capture_output=True, env=child_env(), timeout=120,
    )


@pytest.fixture
def dump_body(tmp_path):
    """Runs dump on a body written to a file; returns (exit status, JSON or None, stderr)."""
    def go(kind, body, *extra):
        path = tmp_path / "body.bin"
        path.write_bytes(body)
        r = run_tool("dump", "--kind", kind, *extra, str(path))
        out = json.loads(r.stdout) if r.stdout.strip() else None
        return r.returncode, out, r.stderr.decode("utf-8")
    return go


# ------------------------------------------------------------ bodies


def query_body(**kw):
    rows = [
        [value(1), value("ä"), value(U1), value(WHEN), value(b"\x00\xffab"), value(None)],
        [value(-2), value(""), value(U2), value(WHEN + datetime.timedelta(days=1)), value(b""), value(True)],
    ]
    return result_stream(["n", "s", "u", "t", "b", "x"], rows, rows_per_frame=1, **kw)


QUERY_ROWS = [
    [1, "ä", str(U1), WHEN_TEXT, base64.b64encode(b"\x00\xffab").decode(), None],
    [-2, "", str(U2), "2024-05-07T07:08:09.123000+00:00", "", True],
]


def data_model_body():
    m = S().GraphDataModel()
    m.data_model_timestamp = int(WHEN.timestamp() * 1000)
    m.identifier_info.identifier_mapping_info.native_identifier.SetInParent()
    m.identifier_info.identifier_generation_info.uuid_method_hint = 2
    nt = m.entity_types.add().named_object_type
    nt.name = "Person"
    nt.properties.add(name="id", field_type=12)  # one more than the enum on the wire
    nt.properties.add(name="born", field_type=6)
    return m.SerializeToString()


def edits_body(failure=False):
    r = E().GraphApplyEditsResult()
    ids = r.entity_add_results["Person"].ids
    ids.uuid_values = U1.bytes + U2.bytes
    if failure:
        err = r.entity_add_results["Person"].errors[1]
        err.error_code, err.error_message = 5, "no room"
    return r.SerializeToString()


SCHEMA_MESSAGES = {
    "named-type-adds-result": "GraphNamedObjectTypeAddsResponse",
    "named-type-update-result": "GraphNamedObjectTypeUpdateResponse",
    "named-type-delete-result": "GraphNamedObjectTypeDeleteResponse",
    "property-adds-result": "GraphPropertyAddsResponse",
    "property-update-result": "GraphPropertyUpdateResponse",
    "property-delete-result": "GraphPropertyDeleteResponse",
}
SCHEMA_KINDS = sorted(SCHEMA_MESSAGES)


def schema_body(kind, error=None, results=True):
    m = getattr(S(), SCHEMA_MESSAGES[kind])()
    if error is not None:
        m.error.error_code, m.error.error_message = error
    if results and kind == "named-type-adds-result":
        m.entity_add_results.add(name="Person")
        bad = m.relationship_add_results.add(name="Knows")
        bad.error.error_code, bad.error.error_message = 9, "exists"
    elif results and kind == "property-adds-result":
        m.property_add_results.add(name="born")
    return m.SerializeToString()


def schema_expected(kind):
    if kind == "named-type-adds-result":
        return {"entityAddResults": [{"name": "Person"}],
                "relationshipAddResults": [{"name": "Knows", "error": {"error_code": 9, "error_message": "exists"}}]}
    if kind == "property-adds-result":
        return {"propertyAddResults": [{"name": "born"}]}
    return {}


def sound_body(kind):
    """A body of each kind that decodes without error; non-empty, ends inside a field when cut."""
    if kind == "query-result":
        return query_body()
    if kind == "data-model":
        return data_model_body()
    if kind == "apply-edits-result":
        return edits_body()
    if kind in ("named-type-adds-result", "property-adds-result"):
        return schema_body(kind)
    # an error record that says nothing failed, so the body is not empty
    m = getattr(S(), SCHEMA_MESSAGES[kind])()
    m.error.SetInParent()
    return m.SerializeToString()


# ------------------------------------------------------------ every kind, sound


def test_kinds_cover_every_response_decoder():
    decoders = {n for n in dir(tk) if n.endswith("Decoder") and n not in ("GraphQueryDecoder", "GraphApplyEditsDecoder")}
    assert set(dump._SCHEMA_DECODERS.values()) == decoders
    assert set(dump.KINDS) == {"query-result", "data-model", "apply-edits-result", *SCHEMA_KINDS}


def test_query_result_readable_forms(dump_body, tz):
    code, out, err = dump_body("query-result", query_body())
    assert (code, err) == (0, "")
    assert out["rows"] == QUERY_ROWS
    if hasattr(tk.GraphQueryDecoder(), "field_names"):
        assert out["field_names"] == ["n", "s", "u", "t", "b", "x"]
    else:
        assert set(out) == {"rows"}


@pytest.mark.parametrize("compression", [None, "gzip", "zlib"])
def test_query_result_compound_values(dump_body, compression):
    from streams import entity, obj

    rows = [[entity("Person", U1, {"since": WHEN, "tags": b"\x01"})], [obj({"k": U2})]]
    code, out, err = dump_body("query-result", result_stream(["v"], rows, compression=compression))
    assert (code, err) == (0, "")
    assert out["rows"] == [
        [{"_objectType": "entity", "_typeName": "Person", "_id": str(U1),
          "_properties": {"since": WHEN_TEXT, "tags": "AQ=="}}],
        [{"_objectType": "object", "_properties": {"k": str(U2)}}],
    ]


def test_query_result_larger_than_one_push(dump_body):
    # pieces of the body meet the decoder at chunk boundaries inside frames
    big = "x" * 700_000
    rows = [[value(i), value(big)] for i in range(4)]
    body = result_stream(["i", "s"], rows, rows_per_frame=1)
    assert len(body) > 2 * dump._CHUNK
    code, out, err = dump_body("query-result", body, "--compact")
    assert (code, err) == (0, "")
    assert [r[0] for r in out["rows"]] == [0, 1, 2, 3]
    assert all(r[1] == big for r in out["rows"])


def test_query_result_without_rows(dump_body):
    code, out, err = dump_body("query-result", result_stream(["a"], []))
    assert (code, err, out["rows"]) == (0, "", [])


def test_data_model(dump_body, tz):
    code, out, err = dump_body("data-model", data_model_body())
    assert (code, err) == (0, "")
    assert out["data_model_timestamp"] == WHEN_TEXT
    assert out["identifier_info"] == {"identifier_mapping_info": {"native_identifier": ""},
                                      "identifier_generation_info": {"uuid_method_hint": "vexoUUIDRFC4122"}}
    person, = out["entity_types"]
    assert person["name"] == "Person"
    assert [(p["name"], p["fieldType"]) for p in person["properties"]] == [
        ("id", "vexoFieldTypeGlobalID"), ("born", "vexoFieldTypeDate")]


def test_apply_edits_result(dump_body):
    code, out, err = dump_body("apply-edits-result", edits_body())
    assert (code, err) == (0, "")
    assert out == {"editsResult": {"Person": {"addResults": [{"id": str(U1)}, {"id": str(U2)}]}},
                   "cascadedDeletes": {}, "relationshipSchemaChanges": {}}


def test_apply_edits_single_object_failure(dump_body):
    code, out, err = dump_body("apply-edits-result", edits_body(failure=True))
    assert code == 1
    assert out["error"] == {"error_code": 0, "error_message": ""}
    assert out["editsResult"]["Person"]["addResults"][1]["error"] == {"error_code": 5, "error_message": "no room"}
    assert "single objects failed" in err


@pytest.mark.parametrize("kind", SCHEMA_KINDS)
def test_schema_results(dump_body, kind):
    code, out, err = dump_body(kind, schema_body(kind))
    if kind == "named-type-adds-result":
        # a type that failed to be added carries an error of its own only
        out = {k: sorted(v, key=lambda d: d["name"]) for k, v in out.items()}
    assert (code, err, out) == (0, "", schema_expected(kind))


@pytest.mark.parametrize("kind", SCHEMA_KINDS)
def test_schema_result_reporting_an_error(dump_body, kind):
    code, out, err = dump_body(kind, schema_body(kind, error=(-7, "denied"), results=False))
    assert code == 1
    assert out["error"] == {"error_code": -7, "error_message": "denied"}
    assert '{"error_code": -7, "error_message": "denied"}' in err


@pytest.mark.parametrize("kind", SCHEMA_KINDS)
def test_schema_empty_body_is_an_empty_answer(dump_body, kind):
    code, out, err = dump_body(kind, b"")
    assert (code, err) == (0, "")
    assert out == {"named-type-adds-result": {"entityAddResults": [], "relationshipAddResults": []},
                   "property-adds-result": {"propertyAddResults": []}}.get(kind, {})


# ------------------------------------------------------------ stdin and options


@pytest.mark.parametrize("kind", dump.KINDS)
def test_stdin_gives_the_same_output_as_a_file(dump_body, kind):
    body = sound_body(kind)
    code, out, _ = dump_body(kind, body)
    r = run_tool("dump", "--kind", kind, "-", stdin=body)
    assert r.returncode == code == 0
    assert json.loads(r.stdout) == out


def test_compact_output_is_one_line(dump_body):
    r = run_tool("dump", "--kind", "apply-edits-result", "--compact", "-", stdin=edits_body())
    assert r.returncode == 0
    assert r.stdout.count(b"\n") == 1
    assert json.loads(r.stdout)["editsResult"]["Person"]["addResults"][0] == {"id": str(U1)}


def test_non_ascii_text_is_written_as_utf8(dump_body):
    r = run_tool("dump", "--kind", "query-result", "-", stdin=query_body())
    assert "\"ä\"".encode("utf-8") in r.stdout


@pytest.mark.parametrize("args", [
    ["dump", "--kind", "query-result"],
    ["dump", "--kind", "no-such-kind", "-"],
    ["dump", "-"],
    ["dump", "--kind", "data-model", "/nonexistent/body.bin"],
    ["frobnicate"],
    [],
])
def test_usage_errors_exit_2(args):
    r = run_tool(*args, stdin=b"")
    assert r.returncode == 2
    assert r.stdout == b""
    assert b"usage:" in r.stderr


def test_help_names_every_kind_and_the_readable_forms():
    r = run_tool("dump", "--help")
    assert r.returncode == 0
    text = r.stdout.decode()
    for kind in dump.KINDS:
        assert kind in text
    for word in ("UUID", "ISO 8601", "base64", "standard input"):
        assert word in text
    top = run_tool("--help")
    assert top.returncode == 0 and b"dump" in top.stdout


# ------------------------------------------------------------ damaged bodies

GARBAGE = [b"\xff" * 12, b"\x07garbage", b"\x0b\x0c\x0d\x0e"]


def damaged(kind):
    """(label, body) pairs that no decoder can take whole. Cutting the last
    byte off a message always leaves its last field unfinished."""
    body = sound_body(kind)
    out = [("truncated", body[:-1])] + [(f"garbage{i}", g) for i, g in enumerate(GARBAGE)]
    if kind == "query-result":
        out.append(("cut inside the header", body[:3]))
    return out


CASES = [(kind, label, body) for kind in dump.KINDS for label, body in damaged(kind)]


@pytest.mark.parametrize("kind,label,body", CASES, ids=[f"{k}-{lab}" for k, lab, _ in CASES])
def test_damaged_body_exits_1_with_the_error_on_stderr(dump_body, kind, label, body):
    code, out, err = dump_body(kind, body)
    assert code == 1, (label, out)
    assert err.startswith(f"tolmirkenvor dump: {kind}: ")
    assert err.endswith("\n") and "Traceback" not in err
    if kind == "data-model":
        assert out is None


@pytest.mark.parametrize("body,message", [
    (delimited(header(["a"])) + delimited(b"\x07garbage"), "Result frame parsing failure!"),
    (delimited(b"\x07garbage"), "Result header parsing failure!"),
    (delimited(header(["a"], transform=False)),
     "Result header did not include the required geometry transformation parameters!"),
    (delimited(header(["a"], error=(42, "server says no"))), "server says no"),
])
def test_query_decoder_errors_are_printed(dump_body, body, message):
    code, out, err = dump_body("query-result", body)
    assert code == 1
    rec = json.loads(err.split(": ", 2)[2])
    assert rec["error_message"] == message
    assert rec["error_code"] == (42 if message == "server says no" else -1)


def test_query_rows_before_the_damage_are_still_printed(dump_body):
    body = result_stream(["n"], [[value(1)], [value(2)]], rows_per_frame=1)
    body += frame_bytes([[value(3)]])[:-2]
    code, out, err = dump_body("query-result", body)
    assert code == 1
    assert out["rows"] == [[1], [2]]
    assert "ends inside the message" in err and "2 of its" in err


def test_query_row_the_module_cannot_convert(dump_body):
    from streams import geometry, primitive

    envelope = primitive(geometry_value=geometry(5, [], [0, 0, 1, 1]))  # has no dictionary form
    body = result_stream(["v"], [[value(1)], [envelope], [value(3)]], rows_per_frame=1)
    code, out, err = dump_body("query-result", body)
    assert code == 1
    assert out["rows"] == [[1]]
    assert "row 1: ValueError: Unknown or unsupported geometry type." in err


def test_query_frame_with_a_server_error(dump_body):
    body = delimited(header(["n"])) + frame_bytes([[value(1)]]) + frame_bytes(error=(-12, "timed out"))
    code, out, err = dump_body("query-result", body)
    assert code == 1
    assert out["rows"] == [[1]]
    assert '{"error_code": -12, "error_message": "timed out"}' in err


def test_query_empty_body(dump_body):
    code, out, err = dump_body("query-result", b"")
    assert code == 1 and "no result header" in err


def test_apply_edits_decoder_error_is_printed(dump_body):
    code, _, err = dump_body("apply-edits-result", b"\xff" * 12)
    assert code == 1
    assert '{"error_code": -3, "error_message": "Error decoding ApplyEdits response!"}' in err


def test_data_model_that_does_not_decode(dump_body):
    m = S().GraphDataModel()
    m.entity_types.add().named_object_type.name = "A"  # no identifier info: refused
    code, out, err = dump_body("data-model", m.SerializeToString())
    assert (code, out) == (1, None)
    assert "does not decode as a data model" in err


@pytest.mark.parametrize("kind", ["property-adds-result", "named-type-adds-result"])
def test_schema_body_with_invalid_utf8_is_damaged(dump_body, kind):
    # the decoder itself ignores such a body silently
    body = b"\x12\x03\x0a\x01\xff"
    code, _, err = dump_body(kind, body)
    assert code == 1 and "UTF-8" in err


# ------------------------------------------------------------ the wire check


def _mutations(body, rng, n):
    for _ in range(n):
        b = bytearray(body)
        op = rng.randrange(4)
        if op == 0:
            b = b[: rng.randrange(len(b))]
        elif op == 1:
            b[rng.randrange(len(b))] = rng.randrange(256)
        elif op == 2:
            i = rng.randrange(len(b) + 1)
            b[i:i] = bytes(rng.randrange(256) for _ in range(rng.randrange(1, 4)))
        else:
            i = rng.randrange(len(b))
            del b[i:i + rng.randrange(1, 4)]
        yield bytes(b)


@pytest.mark.parametrize("kind", SCHEMA_KINDS)
def test_wire_check_agrees_with_the_protobuf_runtime(kind):
    """The schema check must call damaged exactly what a protobuf parser refuses."""
    body = schema_body(kind, error=(3, "über"))
    rng = random.Random(kind)
    cls = getattr(S(), SCHEMA_MESSAGES[kind])
    seen = {True: 0, False: 0}
    for m in _mutations(body, rng, 400):
        try:
            cls.FromString(m)
            parses = True
        except Exception:
            parses = False
        problem = dump._wire_problem(m, dump._SCHEMA_LAYOUTS[kind])
        assert (problem is None) == parses, (m, problem)
        seen[parses] += 1
    assert seen[True] and seen[False]
