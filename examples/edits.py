"""The edits road: an apply-edits batch built from dictionaries and bound
objects (adds, an update, deletes), its length-prefixed body, and the
service's answer (examples/data/apply_edits_result.bin) read as a dict.

    python3 examples/edits.py
"""
from __future__ import annotations

import datetime
import pathlib
import uuid
from typing import Any

import _tolmirkenvor as tk

DATA = pathlib.Path(__file__).resolve().parent / "data"


def new_encoder() -> tk.GraphApplyEditsEncoder:
    # Geometries in property values are quantized on this grid.
    return tk.GraphApplyEditsEncoder(tk.SpatialReference.WGS84(), tk.InputQuantizationParameters.WGS84_lossless())


def first_row_entity() -> dict[str, Any]:
    """The entity of the first query result row, as the decoder gives it."""
    dec = tk.GraphQueryDecoder()
    dec.push_buffer((DATA / "query_result.bin").read_bytes())
    if not dec.next_row():
        raise SystemExit(f"no row: {dec.error.error_message}")
    row: list[Any] = dec.get_current_row()
    entity: dict[str, Any] = row[0]
    return entity


def read_varint(data: bytes, pos: int) -> tuple[int, int]:
    """(value, position after it) of the base-128 varint at pos."""
    value = shift = 0
    while True:
        byte = data[pos]
        pos += 1
        value |= (byte & 0x7F) << shift
        if not byte & 0x80:
            return value, pos
        shift += 7


def message_sizes(body: bytes) -> list[int]:
    """Sizes of the length-prefixed messages of a body: header, then frames."""
    sizes: list[int] = []
    pos = 0
    while pos < len(body):
        size, pos = read_varint(body, pos)
        sizes.append(size)
        pos += size
    return sizes


def build_batch() -> bytes:
    enc = new_encoder()
    enc.cascade_delete = True

    # An entity as a dictionary: nested geometry dictionaries become geometries.
    enc.add({
        "_objectType": "entity",
        "_typeName": "Person",
        "_id": uuid.UUID(int=7),
        "_properties": {
            "name": "Dee",
            "age": 52,
            "born": datetime.datetime(1972, 3, 4, 5, 6),
            "home": {"_objectType": "geometry", "x": 4.9, "y": 52.37},
        },
    })
    # A relationship as a bound object.
    knows = tk.RelationshipValue()
    knows.type_name = "KNOWS"
    knows.set_id(uuid.UUID(int=20))
    knows.set_related_entity_ids(uuid.UUID(int=7), uuid.UUID(int=1))
    knows.set_key_value("since", datetime.datetime(2019, 6, 1))
    enc.add(knows)

    # A dictionary read from a query result goes back as an update.
    ann = first_row_entity()
    ann["_properties"] = {"age": ann["_properties"]["age"] + 1}
    enc.update(ann)

    enc.delete({"_objectType": "entity", "_typeName": "Person", "_id": uuid.UUID(int=3), "_properties": {}})
    enc.delete_from_ids({"_objectType": "relationship", "_typeName": "KNOWS", "_ids": [uuid.UUID(int=9)]})

    more = [{"_objectType": "entity", "_typeName": "Company", "_id": n, "_properties": {"name": f"Co {n}"}}
            for n in (100, 101)]
    if hasattr(enc, "add_many"):
        enc.add_many(more)
    else:
        for item in more:
            enc.add(item)

    # A rejected edit raises and is left out of the request.
    try:
        enc.add({"_objectType": "relationship", "_typeName": "KNOWS", "_originEntityId": 7,
                 "_destinationEntityId": None, "_properties": {}})
    except ValueError as exc:
        print("rejected:", exc)

    enc.encode()
    result = enc.get_encoding_result()
    if result is None or not result.error.empty():
        raise SystemExit(f"encode failed: {result.error.error_message if result else 'nothing encoded'}")
    body: bytes = result.byte_buffer
    print(f"apply-edits request: {len(body)} bytes, messages of {message_sizes(body)} bytes (header, then frames)")

    # The encoder is single-use.
    try:
        enc.add(knows)
    except RuntimeError as exc:
        print("after encode():", exc)
    enc.encode()
    print("encode() again:", result.error.error_code, result.error.error_message)
    return body


def empty_batch() -> None:
    enc = new_encoder()
    enc.encode()
    result = enc.get_encoding_result()
    if result is not None:
        print("empty batch:", result.error.error_code, result.error.error_message)


def read_results() -> None:
    dec = tk.GraphApplyEditsDecoder()
    err = dec.decode((DATA / "apply_edits_result.bin").read_bytes())
    if not err.empty():
        raise SystemExit(f"decode failed: {err.error_code} {err.error_message}")
    results: dict[str, Any] = dec.get_results()
    if "error" in results:
        print("some edits failed; overall error:", results["error"])
    edits: dict[str, dict[str, list[dict[str, Any]]]] = results["editsResult"]
    for type_name, kinds in edits.items():
        for kind, outcomes in kinds.items():
            for outcome in outcomes:
                failure = outcome.get("error")
                status = "ok" if failure is None else f"failed {failure['error_code']} {failure['error_message']}"
                print(f"  {type_name} {kind} {outcome['id']}: {status}")
    print("cascaded deletes:", results["cascadedDeletes"])
    print("relationship schema changes:", results["relationshipSchemaChanges"])

    broken = tk.GraphApplyEditsDecoder().decode(b"")
    print("empty answer:", broken.error_code, broken.error_message)


def main() -> None:
    build_batch()
    empty_batch()
    read_results()


if __name__ == "__main__":
    main()
