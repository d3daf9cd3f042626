"""The module's main job, end to end, on bundled data.

1. Encode an openCypher query with bind parameters (one of them a point).
2. Decode a streamed query result (examples/data/query_result.bin), pushed in
   small chunks the way it would arrive from the network, and print its rows.
3. Encode an edit batch (one entity added, one relationship deleted).
4. Decode the service's answer to it (examples/data/apply_edits_result.bin).

One script per road goes further: query_roundtrip.py, search.py, edits.py,
schema_edits.py and data_model.py.
"""
import datetime
import pathlib
import uuid

import _tolmirkenvor as tk

DATA = pathlib.Path(__file__).resolve().parent / "data"


def encode_query() -> None:
    enc = tk.GraphQueryRequestEncoder()
    enc.open_cypher_query = "MATCH (p:Person) WHERE p.age > $age AND distance(p.home, $here) < 10 RETURN p"
    enc.input_quantization_parameters = tk.InputQuantizationParameters.WGS84_lossless()
    here = tk.GeometryValue()
    here.geometry_type = tk.vexoGeometryPoint
    here.lengths = [1]
    here.coords = [-117.1956, 34.0564]
    enc.set_param_key_value("age", 30)
    enc.set_param_key_value("here", here)
    enc.set_param_key_value("ids", tk.ArrayValue())
    enc.encode()
    result = enc.get_encoding_result()
    assert result is not None
    assert result.error.empty(), result.error.error_message
    print(f"query request: {len(result.byte_buffer)} bytes: {result.byte_buffer[:24].hex()}...")


def decode_result() -> None:
    stream = (DATA / "query_result.bin").read_bytes()
    dec = tk.GraphQueryDecoder()
    rows = 0
    for start in range(0, len(stream), 64):
        dec.push_buffer(stream[start:start + 64])
        while dec.next_row():
            rows += 1
            print("row", rows, dec.get_current_row())
    if dec.has_error():
        raise SystemExit(f"decoding failed: {dec.error.error_code} {dec.error.error_message}")
    print(f"query result: {rows} rows from {len(stream)} bytes")


def encode_edits() -> None:
    enc = tk.GraphApplyEditsEncoder(tk.SpatialReference.WGS84(), tk.InputQuantizationParameters.WGS84_lossless())
    enc.add({
        "_objectType": "entity",
        "_typeName": "Person",
        "_id": uuid.UUID(int=7),
        "_properties": {
            "name": "Ann",
            "age": 41,
            "born": datetime.datetime(1985, 5, 17, 8, 30),
            "home": {"_objectType": "geometry", "x": -117.19, "y": 34.05},
        },
    })
    enc.delete_from_ids({"_objectType": "relationship", "_typeName": "KNOWS", "_ids": [uuid.UUID(int=9)]})
    enc.encode()
    result = enc.get_encoding_result()
    assert result is not None
    assert result.error.empty(), result.error.error_message
    print(f"apply-edits request: {len(result.byte_buffer)} bytes")


def decode_edit_results() -> None:
    dec = tk.GraphApplyEditsDecoder()
    err = dec.decode((DATA / "apply_edits_result.bin").read_bytes())
    assert err.empty(), err.error_message
    print("apply-edits result:", dec.get_results())


if __name__ == "__main__":
    encode_query()
    decode_result()
    encode_edits()
    decode_edit_results()
