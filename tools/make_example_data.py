"""Writes the bundled example data with the project's test tooling (the
protobuf Python runtime and tests/streams.py), never with the module itself.

    python3 tools/make_example_data.py
"""
import datetime
import pathlib
import sys
import uuid

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))

from pbgen import pb  # noqa: E402
from streams import entity, geometry, primitive, result_stream  # noqa: E402

UTC = datetime.timezone.utc
OUT = ROOT / "examples" / "data"


def query_result():
    # Geometries on a 1e-9 grid with no offset: the header's scale says so.
    def point(x, y):
        return primitive(geometry_value=geometry(0, [1], [round(x * 1e9), round(y * 1e9)]))

    people = [
        ("Ann", 41, datetime.datetime(1985, 5, 17, 8, 30, tzinfo=UTC), (-117.19, 34.05)),
        ("Bo", 29, datetime.datetime(1997, 1, 2, 23, 0, tzinfo=UTC), (13.40, 52.52)),
        ("Cyd", 35, datetime.datetime(1991, 9, 9, 9, 9, 9, tzinfo=UTC), (2.35, 48.86)),
    ]
    rows = []
    for i, (name, age, born, (x, y)) in enumerate(people, start=1):
        person = entity("Person", uuid.UUID(int=i), {"name": name, "age": age})
        rows.append([person, name, age, born, point(x, y)])
    return result_stream(["p", "name", "age", "born", "home"], rows, rows_per_frame=2, compression="gzip",
                         scale=(1e-9, 1e-9, 1e-5, 1e-5))


def apply_edits_result():
    g = pb.graph_edits_pb2
    r = g.GraphApplyEditsResult()
    added = r.entity_add_results["Person"]
    added.ids.any_values.values.add().primitive_value.uuid_value = uuid.UUID(int=7).bytes
    deleted = r.relationship_delete_results["KNOWS"]
    deleted.ids.any_values.values.add().primitive_value.uuid_value = uuid.UUID(int=9).bytes
    deleted.errors[0].error_code = 404
    deleted.errors[0].error_message = "Relationship not found."
    return r.SerializeToString()


if __name__ == "__main__":
    OUT.mkdir(parents=True, exist_ok=True)
    (OUT / "query_result.bin").write_bytes(query_result())
    (OUT / "apply_edits_result.bin").write_bytes(apply_edits_result())
    print("wrote", *(p.name for p in sorted(OUT.iterdir())))
