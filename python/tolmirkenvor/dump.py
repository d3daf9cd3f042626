"""``dump``: print a captured response body as JSON.

The body is decoded by the extension module's own decoders, so the output is
what a client would see. Only what JSON cannot hold is rewritten (UUIDs,
date-times, bytes). Exit status 0 means the body decoded and reports no
error; 1 means it is damaged or reports an error (the error goes to standard
error, whatever could be decoded is still printed); 2 is a usage error.
"""
from __future__ import annotations

import argparse
import base64
import datetime
import json
import os
import sys
import time
import uuid
from typing import Any, Union

import _tolmirkenvor as _tk

# Bodies are pushed to the query decoder in pieces of this size, the way they
# arrive from the network.
_CHUNK = 1 << 20
_MAX_MESSAGE = 2147483647

_SCHEMA_DECODERS = {
    "named-type-adds-result": "GraphNamedObjectTypeAddsResponseDecoder",
    "named-type-update-result": "GraphNamedObjectTypeUpdateResponseDecoder",
    "named-type-delete-result": "GraphNamedObjectTypeDeleteResponseDecoder",
    "property-adds-result": "GraphPropertyAddsResponseDecoder",
    "property-update-result": "GraphPropertyUpdateResponseDecoder",
    "property-delete-result": "GraphPropertyDeleteResponseDecoder",
}

KINDS = ("query-result", "data-model", "apply-edits-result") + tuple(_SCHEMA_DECODERS)

_HELP = """\
kinds:
  query-result              a streamed query result (header, then frames)
  data-model                the service's data model
  apply-edits-result        the answer to an apply-edits request
  named-type-adds-result    the answer to adding named types
  named-type-update-result  the answer to updating a named type
  named-type-delete-result  the answer to deleting a named type
  property-adds-result      the answer to adding properties
  property-update-result    the answer to updating a property
  property-delete-result    the answer to deleting a property

output:
  A query result prints {"field_names": [...], "rows": [[...], ...]}; the
  other kinds print the dictionary their decoder returns. Values JSON cannot
  hold are written as strings: UUIDs in canonical form
  ("12345678-1234-5678-1234-567812345678"), date-times in ISO 8601 in UTC
  ("2024-05-06T07:08:09.123000+00:00"), bytes in base64 (RFC 4648, padded).

exit status:
  0  the body decoded and reports no error
  1  the body is damaged or reports an error: the error is printed on
     standard error, whatever could be decoded still on standard output
  2  usage error, or FILE cannot be read
"""


class _RawEpilogFormatter(argparse.RawDescriptionHelpFormatter):
    """Keeps the epilog's layout; wraps the option help as usual."""


def add_parser(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> argparse.ArgumentParser:
    p = commands.add_parser(
        "dump",
        help="print a captured response body as JSON",
        description="Decodes a captured response body with the client core and prints it as JSON.",
        epilog=_HELP,
        formatter_class=_RawEpilogFormatter,
    )
    p.add_argument("--kind", required=True, choices=KINDS, metavar="KIND",
                   help="what the body is (see kinds below)")
    p.add_argument("--compact", action="store_true", help="print the JSON on one line")
    p.add_argument("file", metavar="FILE", help='the body; "-" reads standard input')
    p.set_defaults(run=run)
    return p


class _Outcome:
    """What a decoder produced and what went wrong, if anything."""

    def __init__(self) -> None:
        self.result: Any = None  # None: nothing to print
        self.errors: list[str] = []  # lines for standard error

    def error_record(self, code: int, message: str) -> None:
        self.problem(json.dumps({"error_code": int(code), "error_message": str(message)}, ensure_ascii=False))

    def problem(self, text: str) -> None:
        if text not in self.errors:
            self.errors.append(text)


def run(parser: argparse.ArgumentParser, args: argparse.Namespace) -> int:
    try:
        if args.file == "-":
            data = sys.stdin.buffer.read()
        else:
            with open(args.file, "rb") as f:
                data = f.read()
    except OSError as e:
        parser.error(f"cannot read {args.file}: {e.strerror or e}")

    # Date-times come back from the module as naive local times; in UTC they
    # are unambiguous (no repeated hour at the end of daylight saving time).
    old_tz = os.environ.get("TZ")
    os.environ["TZ"] = "UTC"
    time.tzset()
    try:
        outcome = decode(args.kind, data)
        text = None
        if outcome.result is not None:
            text = to_json(outcome.result, compact=args.compact)
    except Exception as e:  # a conversion the module refused, for example
        outcome = _Outcome()
        outcome.problem(f"{type(e).__name__}: {e}")
        text = None
    finally:
        if old_tz is None:
            del os.environ["TZ"]
        else:
            os.environ["TZ"] = old_tz
        time.tzset()

    if text is not None:
        out = sys.stdout.buffer
        out.write(text.encode("utf-8") + b"\n")
        out.flush()
    for line in outcome.errors:
        sys.stderr.write(f"tolmirkenvor dump: {args.kind}: {line}\n")
    return 1 if outcome.errors else 0


def decode(kind: str, data: bytes) -> _Outcome:
    """Decodes `data` as `kind`; returns an _Outcome."""
    if kind == "query-result":
        return _query_result(data)
    if kind == "data-model":
        return _data_model(data)
    if kind == "apply-edits-result":
        return _apply_edits_result(data)
    return _schema_result(kind, data)


# --------------------------------------------------------------- decoders


def _query_result(data: bytes) -> _Outcome:
    out = _Outcome()
    dec = _tk.GraphQueryDecoder()
    rows: list[list[Any]] = []
    refused: list[str] = []  # a row the module could not turn into Python values

    def drain() -> None:
        while not refused and dec.next_row():
            try:
                rows.append(dec.get_current_row())
            except Exception as e:
                refused.append(f"row {len(rows)}: {type(e).__name__}: {e}")

    for start in range(0, len(data), _CHUNK):
        if refused or not dec.push_buffer(data[start:start + _CHUNK]):
            break  # refused after an error; the error is reported below
        drain()
    if not refused:
        dec.finish()  # records a stream that stops inside a message
        drain()

    result = {"field_names": list(dec.field_names), "rows": rows}
    out.result = result

    if refused:
        out.problem(refused[0])
    elif dec.has_error():
        out.error_record(dec.error.error_code, dec.error.error_message)
    if not refused:
        # The decoder's record says what failed; the framing walk says where.
        problem = _framing_problem(data)
        if problem:
            out.problem(problem)
    return out


def _data_model(data: bytes) -> _Outcome:
    out = _Outcome()
    try:
        model = _tk.decode_data_model_from_protocol_buffer(data)
    except Exception as e:
        out.problem(f"the body does not decode as a data model ({type(e).__name__}: {e})")
        return out
    if model is None:
        out.problem("the body does not decode as a data model")
        return out
    out.result = model.to_value_object()
    return out


def _apply_edits_result(data: bytes) -> _Outcome:
    out = _Outcome()
    dec = _tk.GraphApplyEditsDecoder()
    err = dec.decode(data)
    out.result = dec.get_results()
    if err.error_code != 0 or err.error_message:
        out.error_record(err.error_code, err.error_message)
    _report_result_error(out)
    return out


def _schema_result(kind: str, data: bytes) -> _Outcome:
    out = _Outcome()
    dec = getattr(_tk, _SCHEMA_DECODERS[kind])()
    # These decoders ignore a body that does not parse, so its shape is
    # checked here to tell a damaged body from an empty answer.
    problem = _wire_problem(data, _SCHEMA_LAYOUTS[kind])
    answer = dec.decode(data)
    out.result = dec.get_results()
    if problem:
        out.problem(problem)
    elif answer is False:
        out.problem("the decoder refused the body")
    elif answer is not None and hasattr(answer, "error_code"):
        if answer.error_code != 0 or answer.error_message:
            out.error_record(answer.error_code, answer.error_message)
    _report_result_error(out)
    return out


def _report_result_error(out: _Outcome) -> None:
    err = out.result.get("error") if isinstance(out.result, dict) else None
    if err is None:
        return
    code, message = err.get("error_code", 0), err.get("error_message", "")
    if code == 0 and not message:
        out.problem('single objects failed (see their "error" entries)')
    else:
        out.error_record(code, message)


# ----------------------------------------------------------------- output


def _readable(o: object) -> str:
    if isinstance(o, uuid.UUID):
        return str(o)
    if isinstance(o, datetime.datetime):
        if o.tzinfo is None:
            o = o.replace(tzinfo=datetime.timezone.utc)  # see the TZ note in run()
        return o.isoformat()
    if isinstance(o, datetime.date):
        return o.isoformat()
    if isinstance(o, (bytes, bytearray, memoryview)):
        return base64.b64encode(bytes(o)).decode("ascii")
    return repr(o)


def to_json(value: Any, compact: bool = False) -> str:
    if compact:
        return json.dumps(value, default=_readable, ensure_ascii=False, separators=(",", ":"))
    return json.dumps(value, default=_readable, ensure_ascii=False, indent=2)


# ------------------------------------------------------------ wire checks


class _Malformed(Exception):
    pass


def _varint(data: bytes, pos: int, end: int, what: str) -> tuple[int, int]:
    result = shift = 0
    for _ in range(10):
        if pos >= end:
            raise _Malformed(f"the body ends inside a {what} at byte {pos}")
        b = data[pos]
        pos += 1
        result |= (b & 0x7F) << shift
        if not b & 0x80:
            return result, pos
        shift += 7
    raise _Malformed(f"a {what} longer than ten bytes at byte {pos - 10}")


def _framing_problem(data: bytes) -> str | None:
    """Why `data` is not a whole sequence of length-prefixed messages, or None."""
    pos, count = 0, 0
    while pos < len(data):
        start = pos
        try:
            n, pos = _varint(data, pos, len(data), "length prefix")
        except _Malformed as e:
            return str(e)
        if n > _MAX_MESSAGE:
            return f"the length prefix at byte {start} is out of range ({n})"
        if pos + n > len(data):
            return (f"the body ends inside the message at byte {start}: "
                    f"{pos + n - len(data)} of its {n} bytes are missing")
        pos += n
        count += 1
    if count == 0:
        return "the body is empty: no result header"
    return None


# Field number -> "varint", "string" or a nested layout.
_Layout = dict[int, Union[str, "_Layout"]]

_STRING = "string"
_ERROR: _Layout = {1: "varint", 2: _STRING}
_ADD_RESULT: _Layout = {1: _STRING, 2: _ERROR}
_ERROR_ONLY: _Layout = {1: _ERROR}
_SCHEMA_LAYOUTS: dict[str, _Layout] = {
    "named-type-adds-result": {1: _ERROR, 2: _ADD_RESULT, 3: _ADD_RESULT},
    "named-type-update-result": _ERROR_ONLY,
    "named-type-delete-result": _ERROR_ONLY,
    "property-adds-result": {1: _ERROR, 2: _ADD_RESULT},
    "property-update-result": _ERROR_ONLY,
    "property-delete-result": _ERROR_ONLY,
}
_MAX_DEPTH = 100


def _wire_problem(data: bytes, layout: _Layout) -> str | None:
    """Why `data` would not parse as a message laid out as `layout`, or None.

    `layout` maps field numbers to "varint", "string" (UTF-8 checked, as a
    proto3 parser does) or a nested layout; other fields are skipped by their
    wire type, as unknown fields are.
    """
    try:
        _walk(data, 0, len(data), layout, None, 0)
    except _Malformed as e:
        return str(e)
    return None


def _walk(data: bytes, pos: int, end: int, layout: _Layout, group: int | None, depth: int) -> int:
    if depth > _MAX_DEPTH:
        raise _Malformed(f"messages nested too deeply at byte {pos}")
    while pos < end:
        start = pos
        tag, pos = _varint(data, pos, end, "field tag")
        number, wire = tag >> 3, tag & 7
        if number == 0 or tag > 0xFFFFFFFF:
            raise _Malformed(f"an invalid field tag at byte {start}")
        if wire == 0:
            _, pos = _varint(data, pos, end, "varint")
        elif wire in (1, 5):
            pos += 8 if wire == 1 else 4
            if pos > end:
                raise _Malformed(f"the body ends inside the field at byte {start}")
        elif wire == 2:
            n, pos = _varint(data, pos, end, "length")
            if n > _MAX_MESSAGE or pos + n > end:
                raise _Malformed(f"the body ends inside the field at byte {start}")
            kind = layout.get(number)
            if kind == _STRING:
                try:
                    bytes(data[pos:pos + n]).decode("utf-8")
                except UnicodeDecodeError:
                    raise _Malformed(f"the text at byte {pos} is not valid UTF-8") from None
            elif isinstance(kind, dict):
                _walk(data, pos, pos + n, kind, None, depth + 1)
            pos += n
        elif wire == 3:
            pos = _walk(data, pos, end, {}, number, depth + 1)
        elif wire == 4:
            if group == number:
                return pos
            raise _Malformed(f"an unmatched end of group at byte {start}")
        else:
            raise _Malformed(f"an invalid wire type at byte {start}")
    if group is not None:
        raise _Malformed("the body ends inside a group")
    return pos


__all__ = ["KINDS", "add_parser", "decode", "run", "to_json"]
