"""Writes the bundled example data with the project's test tooling (the
protobuf Python runtime and tests/streams.py), never with the module itself.

    python3 tools/make_example_data.py             # every file
    python3 tools/make_example_data.py NAME.bin    # only these

Gzip headers carry a time stamp, so rewriting query_result.bin changes its
bytes (not its content); name the files you mean to refresh.
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


def _ms(when):
    return (when - datetime.datetime(1970, 1, 1, tzinfo=UTC)) // datetime.timedelta(milliseconds=1)


def data_model():
    s = pb.graph_schema_pb2
    m = s.GraphDataModel()
    m.data_model_timestamp = _ms(datetime.datetime(2024, 5, 6, 7, 8, 9, 123000, tzinfo=UTC))
    m.spatial_reference.wkid = 4326
    m.spatial_reference.latestWkid = 4326
    m.objectid_property = "objectid"
    m.globalid_property = "globalid"
    m.tolmir_managed = True
    info = m.identifier_info
    info.identifier_mapping_info.uniform_property.identifier_property_name = "globalid"
    info.identifier_generation_info.uuid_method_hint = s.UUID_RFC_4122

    person = m.entity_types.add().named_object_type
    person.name, person.alias = "Person", "People"
    person.properties.add(name="name", alias="Name", field_type=s.PropertyFieldString, not_nullable=True,
                          role=s.Regular)
    age = person.properties.add(name="age", field_type=s.PropertyFieldInteger, role=s.Regular)
    age.default_value.add().int64_value = 0
    person.properties.add(name="born", field_type=s.PropertyFieldDate, role=s.Regular)
    person.properties.add(name="home", field_type=s.PropertyFieldGeometry,
                          geometry_type=pb.vexo_types_pb2.VexoTypes.vexoGeometryTypePoint, role=s.Regular)
    person.field_indexes.add(name="ix_person_name", fields="name", isAscending=True)

    company = m.entity_types.add().named_object_type
    company.name = "Company"
    company.properties.add(name="name", field_type=s.PropertyFieldString, role=s.Regular)

    knows = m.relationship_types.add()
    knows.named_object_type.name = "KNOWS"
    knows.end_points.add(origin_entity_type="Person", destination_entity_type="Person")
    works = m.relationship_types.add()
    works.named_object_type.name = "WORKS_AT"
    works.named_object_type.properties.add(name="since", field_type=s.PropertyFieldDate, role=s.Regular)
    works.end_points.add(origin_entity_type="Person", destination_entity_type="Company")

    index = m.search_indexes.add(name="people", supported_category=pb.graph_query_pb2.vexoTypeEntity)
    index.analyzers.add(name="standard")
    index.search_properties["Person"].property_names.extend(["name"])
    return m.SerializeToString()


def named_type_adds_result():
    r = pb.graph_schema_pb2.GraphNamedObjectTypeAddsResponse()
    r.entity_add_results.add(name="Pet")
    failed = r.relationship_add_results.add(name="OWNS")
    failed.error.error_code = 7
    failed.error.error_message = "Relationship type already exists."
    return r.SerializeToString()


def property_adds_result():
    r = pb.graph_schema_pb2.GraphPropertyAddsResponse()
    r.property_add_results.add(name="nickname")
    return r.SerializeToString()


def property_delete_result():
    r = pb.graph_schema_pb2.GraphPropertyDeleteResponse()
    r.error.error_code = 404
    r.error.error_message = "Property not found."
    return r.SerializeToString()


FILES = {
    "query_result.bin": query_result,
    "apply_edits_result.bin": apply_edits_result,
    "data_model.bin": data_model,
    "named_type_adds_result.bin": named_type_adds_result,
    "property_adds_result.bin": property_adds_result,
    "property_delete_result.bin": property_delete_result,
}


if __name__ == "__main__":
    names = sys.argv[1:] or list(FILES)
    unknown = [n for n in names if n not in FILES]
    if unknown:
        raise SystemExit(f"unknown file(s): {' '.join(unknown)}; choose from {' '.join(FILES)}")
    OUT.mkdir(parents=True, exist_ok=True)
    for name in names:
        (OUT / name).write_bytes(FILES[name]())
    print("wrote", *names)
