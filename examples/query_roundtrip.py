"""The query road: a request with bind parameters and geometry settings, then
the streamed result (examples/data/query_result.bin) read three ways: row by
row as bound values, row by row as plain structures, and in batches.

    python3 examples/query_roundtrip.py
"""
from __future__ import annotations

import datetime
import pathlib
import uuid
from typing import Any

import _tolmirkenvor as tk

DATA = pathlib.Path(__file__).resolve().parent / "data"
# The result is handed over in pieces of this size, as a network read would.
CHUNK = 64


def point(x: float, y: float) -> tk.GeometryValue:
    geometry = tk.GeometryValue()
    geometry.geometry_type = tk.vexoGeometryPoint
    geometry.lengths = [1]
    geometry.coords = [x, y]
    return geometry


def request_body(result: tk.EncodingResult | None) -> bytes:
    """The encoded body, or exit with the error encode() recorded."""
    if result is None:
        raise SystemExit("nothing was encoded")
    if not result.error.empty():
        raise SystemExit(f"encode failed: {result.error.error_code} {result.error.error_message}")
    body: bytes = result.byte_buffer
    return body


def encode_query() -> bytes:
    enc = tk.GraphQueryRequestEncoder()
    enc.open_cypher_query = (
        "MATCH (p:Person) WHERE p.age >= $min_age AND p.born < $before AND distance(p.home, $here) < $km "
        "RETURN p, p.name, p.age, p.born, p.home"
    )
    # Geometries travel on an integer grid; without these settings a geometry
    # parameter fails the encode.
    enc.input_quantization_parameters = tk.InputQuantizationParameters.WGS84_lossless()
    enc.output_spatial_reference = tk.SpatialReference.WGS84()

    enc.set_param_key_value("min_age", 30)
    enc.set_param_key_value("before", datetime.datetime(2000, 1, 1, tzinfo=datetime.timezone.utc))
    enc.set_param_key_value("here", point(-117.1956, 34.0564))
    enc.set_param_key_value("km", 25.5)
    ids = tk.ArrayValue()
    ids.values = [uuid.UUID(int=1), uuid.UUID(int=2)]
    enc.set_param_key_value("ids", ids)
    more: dict[str, Any] = {"label": "Person", "limit": 10}
    if hasattr(enc, "set_params"):
        enc.set_params(more)
    else:
        for name, value in more.items():
            enc.append_param_key_value(name, value)
    enc.encode()
    body = request_body(enc.get_encoding_result())
    print(f"query request: {enc.param_count()} parameters, {len(body)} bytes")
    return body


def describe(value: tk.Value) -> str:
    """A short text for a bound value from get_value()."""
    if isinstance(value, tk.EntityValue):
        return f"{value.type_name}({value.get_id()!s}, {value.key_count()} properties)"
    if isinstance(value, tk.GeometryValue):
        return f"{value.geometry_type.name}{value.coords}"
    if isinstance(value, datetime.datetime):
        return value.isoformat(sep=" ")
    return repr(value)


def read_bound_values(stream: bytes) -> int:
    """Row by row, each cell as a bound value (entities as EntityValue)."""
    dec = tk.GraphQueryDecoder()
    rows = 0
    for start in range(0, len(stream), CHUNK):
        dec.push_buffer(stream[start:start + CHUNK])
        while dec.next_row():
            rows += 1
            cells = [describe(dec.get_value(column)) for column in range(5)]
            print(f"  row {rows}:", ", ".join(cells))
    if dec.has_error():
        raise SystemExit(f"decoding failed: {dec.error.error_code} {dec.error.error_message}")
    return rows


def read_plain_rows(stream: bytes, model: tk.DataModel | None) -> int:
    """Row by row as dicts and lists; the data model gives geometries their
    spatial reference."""
    dec = tk.GraphQueryDecoder()
    if model is not None:
        dec.data_model = model
    rows = 0
    for start in range(0, len(stream), CHUNK):
        dec.push_buffer(stream[start:start + CHUNK])
        while dec.next_row():
            rows += 1
            row: list[Any] = dec.get_current_row()
            person, name, age, born, home = row
            print(f"  row {rows}: {person['_typeName']} {person['_id']} {person['_properties']}")
            print(f"         {name!r} {age} {born:%Y-%m-%d %H:%M} {home}")
    if dec.has_error():
        raise SystemExit(f"decoding failed: {dec.error.error_code} {dec.error.error_message}")
    return rows


def read_in_batches(stream: bytes) -> None:
    dec = tk.GraphQueryDecoder()
    if not hasattr(dec, "get_rows"):
        print("  (this build of the module has no batch reads)")
        return
    for start in range(0, len(stream), CHUNK):
        dec.push_buffer(stream[start:start + CHUNK])
    first: list[list[Any]] = dec.get_rows(1)
    print("  columns:", dec.field_names)
    print("  get_rows(1):", [row[1] for row in first])
    print("  iter(decoder):", [row[1] for row in dec])
    print("  finish():", dec.finish())

    # A body cut short: the rows before the cut are read, then finish() tells.
    cut = tk.GraphQueryDecoder()
    cut.push_buffer(stream[:-10])
    names = [row[1] for row in cut.get_rows(-1)]
    clean = cut.finish()
    print(f"  truncated body: rows {names}, finish() {clean}, error {cut.error.error_code} {cut.error.error_message!r}")


def main() -> None:
    encode_query()
    stream = (DATA / "query_result.bin").read_bytes()
    print(f"query result: {len(stream)} bytes")
    print("as bound values:")
    rows = read_bound_values(stream)
    print("as plain structures, with the data model's spatial reference:")
    model = tk.decode_data_model_from_protocol_buffer((DATA / "data_model.bin").read_bytes())
    read_plain_rows(stream, model)
    print("in batches:")
    read_in_batches(stream)
    print(f"query result: {rows} rows")


if __name__ == "__main__":
    main()
