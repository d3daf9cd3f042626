"""Data model decoding, lookups and dictionaries.

Models are built with the Google protobuf runtime from proto/, never with the
module under test.
"""
import datetime
import math
import struct

import _tolmirkenvor as tk
import pytest
from pbgen import pb


def S():
    return pb.graph_schema_pb2


def model_message(mapping="native", hint=1):
    m = S().GraphDataModel()
    info = m.identifier_info
    if mapping == "native":
        info.identifier_mapping_info.native_identifier.SetInParent()
    elif mapping == "uniform":
        info.identifier_mapping_info.uniform_property.identifier_property_name = "gid"
    if hint is not None:
        info.identifier_generation_info.uuid_method_hint = hint
    return m


def decode(message):
    return tk.decode_data_model_from_protocol_buffer(message.SerializeToString())


def add_entity(m, name="Person", **kw):
    et = m.entity_types.add()
    et.named_object_type.name = name
    for k, v in kw.items():
        setattr(et.named_object_type, k, v)
    return et.named_object_type


def add_property(nt, name, field_type=5, **kw):
    p = nt.properties.add(name=name, field_type=field_type)
    for k, v in kw.items():
        setattr(p, k, v)
    return p


def decode_property(field_type, setup=None, **kw):
    m = model_message()
    p = add_property(add_entity(m), "p", field_type, **kw)
    if setup:
        setup(p)
    dm = decode(m)
    assert dm is not None
    return dm.query_entity_type("Person").get_property("p")


def full_model():
    m = model_message("uniform", 2)
    m.data_model_timestamp = 1000
    m.strict = True
    m.objectid_property = "objectid"
    m.globalid_property = "globalid"
    m.tolmir_managed = True
    m.spatial_reference.wkid = 4326
    m.spatial_reference.vcsWkid = 5773
    person = add_entity(m, "Person", alias="People", role=2, strict=True)
    add_property(person, "name", 5, alias="Name", not_nullable=True, hidden=True, required=True, domain="d")
    add_property(person, "shape", 8, geometry_type=0, has_z=True, has_m=True, not_editable=True,
                 system_maintained=True)
    person.field_indexes.add(name="ix", fields="name,shape", isAscending=True, isUnique=True, description="x")
    rt = m.relationship_types.add()
    rt.named_object_type.name = "Knows"
    rt.named_object_type.role = 1
    rt.end_points.add(origin_entity_type="Person", destination_entity_type="Company")
    rt.end_points.add(origin_entity_type="Person", destination_entity_type="Person")
    si = m.search_indexes.add(name="idx", supported_category=3)
    si.analyzers.add(name="standard")
    si.analyzers.add(name="en")
    si.search_properties["B"].property_names.extend(["b1"])
    si.search_properties["A"].property_names.extend(["a1", "a2"])
    return m


# ---- the decoded tree ----

def test_tree_of_full_model(tz):
    dm = decode(full_model())
    assert dm.timestamp == datetime.datetime.fromtimestamp(1)
    assert dm.spatial_reference.wkid == 4326 and dm.spatial_reference.vcsWkid == 5773
    assert (dm.strict, dm.objectid_property, dm.globalid_property, dm.tolmir_managed) == (
        True, "objectid", "globalid", True)

    info = dm.identifier_info
    mapping = info.identifier_mapping_info
    assert mapping.identifier_info_type == tk.vexoIdentifierInfoTypeUniformProperty
    assert mapping.database_native_identifier is None
    assert mapping.uniform_property_identifier.identifier_property_name == "gid"
    assert info.identifier_generation_info.uuid_method_hint == tk.vexoUUIDRFC4122

    (person,) = dm.entity_types
    assert (person.name, person.alias, person.role, person.strict) == ("Person", "People", tk.Document, True)
    name, shape = person.properties
    assert (name.name, name.alias, name.domain, name.field_type) == ("name", "Name", "d", tk.vexoFieldTypeString)
    # not_nullable, not_editable and hidden travel inverted.
    assert (name.nullable, name.editable, name.default_visibility, name.required, name.system_maintained) == (
        False, True, False, True, False)
    assert (name.geometry_type, name.has_z, name.has_m, name.role) == (
        tk.vexoGeometryNull, False, False, tk.vexoGraphPropertyUNSPECIFIED)
    assert name.default_value is None
    assert (shape.field_type, shape.geometry_type, shape.has_z, shape.has_m) == (
        tk.vexoFieldTypeGeometry, tk.vexoGeometryPoint, True, True)
    assert (shape.nullable, shape.editable, shape.default_visibility, shape.system_maintained) == (
        True, False, True, True)

    (knows,) = dm.relationship_types
    assert (knows.name, knows.role) == ("Knows", tk.Provenance)
    assert knows.end_points == [
        {"origin_entity_type": "Person", "dest_entity_type": "Company"},
        {"origin_entity_type": "Person", "dest_entity_type": "Person"},
    ]
    assert knows.get_end_point(1) == {"origin_entity_type": "Person", "dest_entity_type": "Person"}

    (si,) = dm.search_indexes
    assert si.name == "idx"
    assert si.supported_category == tk.both and int(si.supported_category) == 4
    assert [a.name for a in si.analyzers] == ["standard", "en"]
    assert si.query_analyzer("en").name == "en" and si.query_analyzer("EN") is None
    assert list(si.search_properties) == ["A", "B"]
    assert si.search_properties["A"].property_names == ["a1", "a2"]
    assert si.query_search_property("B").property_names == ["b1"]
    assert si.query_search_property("C") is None


def test_lookups_are_exact_and_first_duplicate_wins():
    m = model_message()
    add_entity(m, "Person", alias="first")
    add_entity(m, "Person", alias="second")
    a = add_entity(m, "Other")
    add_property(a, "x", 2, alias="1")
    add_property(a, "x", 2, alias="2")
    m.relationship_types.add().named_object_type.name = "R"
    m.search_indexes.add(name="s", supported_category=1)
    dm = decode(m)
    assert [t.alias for t in dm.entity_types] == ["first", "second", ""]
    assert dm.query_entity_type("Person").alias == "first"
    assert dm.query_entity_type("person") is None
    assert dm.query_entity_type("R") is None
    assert dm.query_relationship_type("R").name == "R"
    assert dm.query_relationship_type("Person") is None
    assert dm.query_search_index("s").supported_category == tk.entity
    assert dm.query_search_index("S") is None
    other = dm.query_entity_type("Other")
    assert [p.alias for p in other.properties] == ["1", "2"]
    assert other.get_property("x").alias == "1"
    assert other.get_property("X") is None


def test_absent_named_type_message_decodes_empty():
    m = model_message()
    m.entity_types.add()
    m.relationship_types.add()
    dm = decode(m)
    assert dm.entity_types[0].name == "" and dm.entity_types[0].properties == []
    assert dm.relationship_types[0].end_points == []


@pytest.mark.parametrize("index", [-1, 2, 1 << 40])
def test_get_end_point_out_of_range_raises_index_error(index):
    dm = decode(full_model())
    with pytest.raises(IndexError):
        dm.relationship_types[0].get_end_point(index)


@pytest.mark.parametrize("wire,expected", [(1, tk.Provenance), (2, tk.Document), (0, tk.Regular), (7, tk.Regular)])
def test_named_type_role(wire, expected):
    m = model_message()
    add_entity(m, role=wire)
    assert decode(m).entity_types[0].role == expected


@pytest.mark.parametrize("hint,expected", [(0, tk.vexoMethodHintUNSPECIFIED), (1, tk.vexoUUIDVEXO),
                                           (2, tk.vexoUUIDRFC4122), (9, tk.vexoMethodHintUNSPECIFIED)])
def test_uuid_method_hint(hint, expected):
    dm = decode(model_message("native", hint))
    assert dm.identifier_info.identifier_generation_info.uuid_method_hint == expected
    mapping = dm.identifier_info.identifier_mapping_info
    assert mapping.identifier_info_type == tk.vexoIdentifierInfoTypeDatabaseNative
    assert isinstance(mapping.database_native_identifier, tk.DatabaseNativeIdentifier)
    assert mapping.uniform_property_identifier is None


@pytest.mark.parametrize("wire,expected", [(None, tk.vexoGraphPropertyUNSPECIFIED),
                                           (0, tk.vexoGraphPropertyUNSPECIFIED),
                                           (3, tk.vexoGraphPropertyDocumentTitle),
                                           (9, tk.vexoGraphPropertyDocumentFileExtension),
                                           (10, tk.vexoGraphPropertyUNSPECIFIED)])
def test_property_role(wire, expected):
    kw = {} if wire is None else {"role": wire}
    assert decode_property(5, **kw).role == expected


@pytest.mark.parametrize("wire", list(range(1, 14)))
def test_field_types_are_one_less_than_wire(wire):
    assert int(decode_property(wire).field_type) == wire - 1


@pytest.mark.parametrize("wire_geometry,expected", [(0, tk.vexoGeometryPoint), (3, tk.vexoGeometryPolygon),
                                                    (4, tk.vexoGeometryMultiPatch), (5, tk.vexoGeometryEnvelope),
                                                    (17, tk.vexoGeometryNull)])
def test_geometry_type_of_geometry_property(wire_geometry, expected):
    assert decode_property(8, geometry_type=wire_geometry).geometry_type == expected


def test_geometry_settings_ignored_for_other_field_types():
    p = decode_property(5, geometry_type=3, has_z=True, has_m=True)
    assert (p.geometry_type, p.has_z, p.has_m) == (tk.vexoGeometryNull, False, False)


# ---- drop rules ----

@pytest.mark.parametrize("wire", [0, 14, 99])
def test_property_with_unknown_field_type_is_dropped(wire):
    m = model_message()
    nt = add_entity(m)
    add_property(nt, "a", 2)
    add_property(nt, "bad", wire)
    add_property(nt, "c", 4)
    person = decode(m).query_entity_type("Person")
    assert [p.name for p in person.properties] == ["a", "c"]
    assert person.get_property("bad") is None


@pytest.mark.parametrize("text,fields", [("a,,b", ["a", "b"]), (",a,", ["a"]), ("a, b", ["a", " b"]),
                                         ("", None), (",,", None)])
def test_field_index_fields(text, fields):
    m = model_message()
    add_entity(m).field_indexes.add(name="ix", fields=text)
    add_entity(m, name="B").field_indexes.add(name="iy", fields=text, description="d")
    types = decode(m).to_value_object()["entity_types"]
    if fields is None:
        assert types[0]["field_indexes"] == [] and types[1]["field_indexes"] == []
    else:
        assert types[0]["field_indexes"] == [{"name": "ix", "fields": fields, "isAscending": False, "isUnique": False}]
        # the service's description is kept
        assert types[1]["field_indexes"] == [{"name": "iy", "fields": fields, "isAscending": False,
                                              "isUnique": False, "description": "d"}]


def test_strict_flags_come_from_messages():
    m = model_message()
    m.strict = True
    add_entity(m, strict=True)
    rt = m.relationship_types.add()
    rt.named_object_type.strict = True
    dm = decode(m)
    assert dm.strict and dm.entity_types[0].strict and dm.relationship_types[0].strict
    assert decode(model_message()).strict is False


# ---- fail rules ----

def _no_identifier_info():
    m = model_message()
    m.ClearField("identifier_info")
    return m.SerializeToString()


def _bad_category(category):
    m = model_message()
    m.search_indexes.add(name="s", supported_category=category)
    return m.SerializeToString()


def _bad_utf8():
    good = model_message()
    add_entity(good, "PXX")
    return good.SerializeToString().replace(b"PXX", b"P\xff\xfe")


@pytest.mark.parametrize("data", [
    b"",
    _no_identifier_info(),
    model_message(mapping=None).SerializeToString(),
    model_message(hint=None).SerializeToString(),
    _bad_category(0),
    _bad_category(4),
    b"\xff\xff\xff",
    b"\x0a\x05ab",  # truncated length-delimited field
    _bad_utf8(),
    S().GraphDataModel(data_model_timestamp=(1 << 64) - 1).SerializeToString() + model_message().SerializeToString(),
], ids=["empty", "no-identifier-info", "no-mapping", "no-generation", "category-0", "category-4", "garbage",
        "truncated", "bad-utf8", "timestamp-overflow"])
def test_failed_decode_gives_none(data):
    assert tk.decode_data_model_from_protocol_buffer(data) is None


def test_str_input_is_taken_as_utf8_bytes():
    m = model_message()
    add_entity(m, "Person")
    data = m.SerializeToString()
    assert max(data) < 0x80
    dm = tk.decode_data_model_from_protocol_buffer(data.decode("ascii"))
    assert dm.entity_types[0].name == "Person"


def test_mutated_models_never_crash():
    data = bytearray(full_model().SerializeToString())
    for i in range(len(data)):
        for b in (0x00, 0xff, data[i] ^ 0x08):
            mutated = bytes(data[:i]) + bytes([b]) + bytes(data[i + 1:])
            dm = tk.decode_data_model_from_protocol_buffer(mutated)
            if dm is not None:
                try:
                    dm.to_value_object()
                except (ValueError, UnicodeDecodeError, OverflowError, RuntimeError):
                    pass
        tk.decode_data_model_from_protocol_buffer(bytes(data[:i]))


# ---- default values ----

def f32(x):
    return struct.unpack("f", struct.pack("f", x))[0]


def prim(**kw):
    def setup(p):
        p.default_value.add(**kw)
    return setup


@pytest.mark.parametrize("wire,value,expected", [
    (2, {"double_value": 2.7}, 2),
    (2, {"double_value": -2.7}, -2),
    (1, {"float_value": 3.5}, 3),
    (7, {"double_int_value": 5}, 5),
    (2, {"string_value": "42abc"}, 42),
    (2, {"string_value": " -7"}, -7),
    (2, {"string_value": "abc"}, 0),
    (2, {"string_value": "99999999999999999999"}, (1 << 63) - 1),
    (2, {"bool_value": True}, True),
    (3, {"int64_value": 7}, 7.0),
    (3, {"double_value": 0.1}, f32(0.1)),
    (3, {"string_value": "1.5"}, 1.5),
    (3, {"double_value": 1e300}, math.inf),
    (4, {"int64_value": -3}, -3.0),
    (4, {"float_value": 0.5}, 0.5),
    (4, {"string_value": " 2.5e1x"}, 25.0),
    (4, {"string_value": "x"}, 0.0),
    (5, {"int64_value": -12}, "-12"),
    (5, {"string_value": "s"}, "s"),
    (5, {"double_value": 1.5}, 1.5),
    (9, {"blob_value": b"\x00\x01"}, b"\x00\x01"),
    (6, {"int64_value": 1 << 62}, 1 << 62),  # beyond the date-time range: kept
], ids=lambda v: repr(v) if not isinstance(v, dict) else "-".join(f"{k}={w!r}" for k, w in v.items()))
def test_default_value_coercion(wire, value, expected):
    got = decode_property(wire, prim(**value)).default_value
    assert got == expected and type(got) is type(expected)


@pytest.mark.parametrize("value", [math.nan, math.inf, 1e19])
def test_integer_default_that_no_int64_holds_is_kept(value):
    got = decode_property(2, prim(double_value=value)).default_value
    assert isinstance(got, float) and (got == value or (math.isnan(got) and math.isnan(value)))


@pytest.mark.parametrize("value", [{"int64_value": 1000}, {"datetime_value": 1000}])
def test_date_default_from_milliseconds(tz, value):
    p = decode_property(6, prim(**value))
    assert p.default_value == datetime.datetime.fromtimestamp(1)
    m = model_message()
    add_property(add_entity(m), "p", 6).default_value.add(**value)
    d = decode(m).to_value_object()["entity_types"][0]["properties"][0]
    assert d["defaultValue"] == datetime.datetime.fromtimestamp(1)


def test_more_than_one_default_element_gives_null():
    def setup(p):
        p.default_value.add(int64_value=1)
        p.default_value.add(int64_value=2)
    assert decode_property(2, setup).default_value is None


def test_undecodable_geometry_default_is_null_and_model_survives():
    def setup(p):
        g = p.default_value.add().geometry_value
        g.geometry_type = 2  # polyline
        g.default_geometry.lengths.extend([5])
        g.default_geometry.coords.extend([1, 2])
    p = decode_property(8, setup, geometry_type=2)
    assert p.name == "p" and p.default_value is None


def test_geometry_default_decodes_with_plain_coordinates():
    def setup(p):
        g = p.default_value.add().geometry_value
        g.geometry_type = 0
        g.default_geometry.lengths.extend([1])
        g.default_geometry.coords.extend([3, 4])
    g = decode_property(8, setup).default_value
    assert g.geometry_type == tk.vexoGeometryPoint and list(g.coords) == [3.0, 4.0]


# ---- dictionaries ----

def test_data_model_dict_shape(tz):
    d = decode(full_model()).to_value_object()
    assert list(d) == ["data_model_timestamp", "spatial_reference", "entity_types", "relationship_types", "strict",
                       "objectid_property", "globalid_property", "tolmir_managed", "identifier_info",
                       "search_indexes"]
    assert d["data_model_timestamp"] == datetime.datetime.fromtimestamp(1)
    assert d["spatial_reference"] == {"wkid": 4326}
    assert (d["strict"], d["objectid_property"], d["globalid_property"], d["tolmir_managed"]) == (
        True, "objectid", "globalid", True)
    assert d["identifier_info"] == {"identifier_mapping_info": {"uniform_property": {"identifier_property_name": "gid"}},
                                    "identifier_generation_info": {"uuid_method_hint": "vexoUUIDRFC4122"}}

    (person,) = d["entity_types"]
    assert list(person) == ["name", "alias", "role", "strict", "properties", "field_indexes"]
    assert (person["name"], person["alias"], person["role"], person["strict"]) == (
        "Person", "People", "vexoGraphNamedObjectDocument", True)
    name, shape = person["properties"]
    assert list(name.items()) == [
        ("name", "name"), ("alias", "Name"), ("fieldType", "vexoFieldTypeString"), ("hasZ", False), ("hasM", False),
        ("nullable", False), ("editable", True), ("visible", False), ("required", True),
        ("isSystemMaintained", False), ("role", "vexoGraphPropertyUNSPECIFIED"), ("domain", "d")]
    assert list(shape) == ["name", "alias", "fieldType", "geometryType", "hasZ", "hasM", "nullable", "editable",
                           "visible", "required", "isSystemMaintained", "role", "domain"]
    assert (shape["fieldType"], shape["geometryType"], shape["hasZ"], shape["hasM"]) == (
        "vexoFieldTypeGeometry", "vexoGeometryPoint", True, True)
    assert person["field_indexes"] == [{"name": "ix", "fields": ["name", "shape"], "isAscending": True,
                                        "isUnique": True, "description": "x"}]

    (knows,) = d["relationship_types"]
    assert list(knows) == ["name", "alias", "role", "strict", "properties", "field_indexes", "end_points"]
    assert knows["role"] == "vexoGraphNamedObjectProvenance"
    assert knows["end_points"][0] == {"origin_entity_type": "Person", "dest_entity_type": "Company"}
    assert list(knows["end_points"][0]) == ["origin_entity_type", "dest_entity_type"]

    (si,) = d["search_indexes"]
    assert list(si) == ["name", "supported_category", "analyzers", "search_properties"]
    assert si["supported_category"] == "Both"
    assert si["analyzers"] == [{"name": "standard"}, {"name": "en"}]
    assert list(si["search_properties"].items()) == [("A", {"property_names": ["a1", "a2"]}),
                                                     ("B", {"property_names": ["b1"]})]


def test_default_value_key_position():
    m = model_message()
    add_property(add_entity(m), "n", 2).default_value.add(int64_value=5)
    p = decode(m).to_value_object()["entity_types"][0]["properties"][0]
    assert list(p)[5:7] == ["defaultValue", "nullable"] and p["defaultValue"] == 5


@pytest.mark.parametrize("category,name", [(1, "Entity"), (2, "Relationship"), (3, "Both")])
def test_search_category_names(category, name):
    m = model_message()
    m.search_indexes.add(name="s", supported_category=category)
    assert decode(m).to_value_object()["search_indexes"][0]["supported_category"] == name


def test_native_mapping_and_spatial_reference_dicts():
    m = model_message("native", 0)
    m.spatial_reference.vcsWkid = 5773
    d = decode(m).to_value_object()
    assert d["identifier_info"] == {"identifier_mapping_info": {"native_identifier": ""},
                                    "identifier_generation_info": {"uuid_method_hint": "vexoMethodHintUNSPECIFIED"}}
    assert d["spatial_reference"] == {}
    m.spatial_reference.wkid = 3857
    m.spatial_reference.latestWkid = 3857
    m.spatial_reference.wkt = "PROJCS"
    sr = decode(m).to_value_object()["spatial_reference"]
    assert list(sr.items()) == [("wkid", 3857), ("latestWkid", 3857), ("wkt", "PROJCS")]


@pytest.mark.parametrize("role,name", [(1, "vexoGraphPropertyRegular"), (2, "vexoGraphPropertyDocumentName"),
                                       (7, "vexoGraphPropertyDocumentContentType"),
                                       (9, "vexoGraphPropertyDocumentFileExtension")])
def test_property_role_names(role, name):
    m = model_message()
    add_property(add_entity(m), "p", 5, role=role)
    assert decode(m).to_value_object()["entity_types"][0]["properties"][0]["role"] == name


@pytest.mark.parametrize("wire", range(1, 14))
def test_field_type_names_match_enum(wire):
    m = model_message()
    add_property(add_entity(m), "p", wire, geometry_type=1)
    p = decode(m).to_value_object()["entity_types"][0]["properties"][0]
    assert p["fieldType"] == tk.vexoFieldType(wire - 1).name


@pytest.mark.parametrize("wire_geometry", [4, 17])
def test_unnamed_geometry_type_fails_dict(wire_geometry):
    m = model_message()
    add_property(add_entity(m), "shape", 8, geometry_type=wire_geometry)
    dm = decode(m)
    with pytest.raises(ValueError, match=r"^Unexpected geometry type\.$"):
        dm.to_value_object()


@pytest.mark.parametrize("origin,dest", [("", "B"), ("A", ""), ("", "")])
def test_end_point_without_names_fails(origin, dest):
    m = model_message()
    rt = m.relationship_types.add()
    rt.end_points.add(origin_entity_type=origin, destination_entity_type=dest)
    dm = decode(m)
    msg = r"^EndPoint must include both origin and destination entity type\.$"
    with pytest.raises(ValueError, match=msg):
        dm.to_value_object()
    with pytest.raises(ValueError, match=msg):
        _ = dm.relationship_types[0].end_points
    with pytest.raises(ValueError, match=msg):
        dm.relationship_types[0].get_end_point(0)


def test_python_built_model_has_no_identifier_mapping():
    with pytest.raises(ValueError, match=r"^IdentifierMappingInfo must have either DatabaseNativeIdentifier or "
                                         r"UniformPropertyIdentifier\.$"):
        tk.DataModel().to_value_object()


# ---- the Python surface ----

@pytest.mark.parametrize("cls", ["GraphProperty", "EntityType", "RelationshipType", "FieldIndex",
                                 "DatabaseNativeIdentifier", "UniformPropertyIdentifier", "IdentifierMappingInfo",
                                 "IdentifierGenerationInfo", "IdentifierInfo", "SearchAnalyzer",
                                 "SearchIndexProperties", "SearchIndex", "DataModel"])
def test_no_argument_constructors(cls):
    getattr(tk, cls)()


def test_new_objects_are_empty(tz):
    p = tk.GraphProperty()
    assert (p.name, p.field_type, p.geometry_type, p.nullable, p.role, p.default_value) == (
        "", tk.vexoFieldTypeSmallInteger, tk.vexoGeometryNull, False, tk.vexoGraphPropertyUNSPECIFIED, None)
    dm = tk.DataModel()
    assert dm.entity_types == [] and dm.search_indexes == [] and dm.query_entity_type("x") is None
    assert dm.timestamp == datetime.datetime.fromtimestamp(0)
    assert tk.RelationshipType().end_points == []
    assert int(tk.SearchIndex().supported_category) == 0


def test_entity_and_relationship_types_are_unrelated():
    assert not issubclass(tk.RelationshipType, tk.EntityType)
    assert not issubclass(tk.EntityType, tk.RelationshipType)


@pytest.mark.parametrize("obj,attr", [("GraphProperty", "name"), ("EntityType", "name"), ("DataModel", "strict"),
                                      ("FieldIndex", "fields"), ("SearchIndex", "name")])
def test_tree_properties_are_read_only(obj, attr):
    with pytest.raises(AttributeError):
        setattr(getattr(tk, obj)(), attr, "x")


def test_search_records_are_writable_copies():
    a = tk.SearchAnalyzer()
    a.name = "n"
    p = tk.SearchIndexProperties()
    p.property_names = ["a", "b"]
    assert (a.name, p.property_names) == ("n", ["a", "b"])
    dm = decode(full_model())
    si = dm.search_indexes[0]
    si.analyzers[0].name = "changed"
    si.search_properties["A"].property_names = []
    assert si.analyzers[0].name == "standard"
    assert si.query_search_property("A").property_names == ["a1", "a2"]


@pytest.mark.parametrize("enum,names", [
    ("vexoGraphNamedObjectTypeRole", ["Regular", "Provenance", "Document"]),
    ("vexoIdentifierInfoType", ["vexoIdentifierInfoTypeUNSPECIFIED", "vexoIdentifierInfoTypeDatabaseNative",
                                "vexoIdentifierInfoTypeUniformProperty"]),
    ("vexoUUIDMethodHint", ["vexoMethodHintUNSPECIFIED", "vexoUUIDVEXO", "vexoUUIDRFC4122"]),
    ("vexoGraphPropertyRole", ["vexoGraphPropertyUNSPECIFIED", "vexoGraphPropertyRegular",
                               "vexoGraphPropertyDocumentName", "vexoGraphPropertyDocumentTitle",
                               "vexoGraphPropertyDocumentUrl", "vexoGraphPropertyDocumentText",
                               "vexoGraphPropertyDocumentKeywords", "vexoGraphPropertyDocumentContentType",
                               "vexoGraphPropertyDocumentMetadata", "vexoGraphPropertyDocumentFileExtension"]),
])
def test_enum_values_exported(enum, names):
    e = getattr(tk, enum)
    assert [(n, int(v)) for n, v in e.__members__.items()] == [(n, i) for i, n in enumerate(names)]
    for n in names:
        assert getattr(tk, n) == e.__members__[n]
    assert int(tk.vexoFieldTypeBigInteger) == 13 and len(tk.vexoFieldType.__members__) == 14
