"""Data-model classes as a Python user meets them: reprs, docstrings and
signatures, and what to_value_object does with the collector."""
import datetime
import gc
import uuid
import weakref

import _tolmirkenvor as tk
import pytest
from pbgen import pb


def S():
    return pb.graph_schema_pb2


def rich_model():
    m = S().GraphDataModel()
    m.identifier_info.identifier_mapping_info.uniform_property.identifier_property_name = "gid"
    m.identifier_info.identifier_generation_info.uuid_method_hint = 2
    for t in range(3):
        nt = m.entity_types.add().named_object_type
        nt.name = "Person%d" % t
        for j in range(t + 1):
            p = nt.properties.add(name="p%d" % j, field_type=5)
            p.default_value.add().string_value = "x"
        nt.properties.add(name="g", field_type=11).default_value.add().uuid_value = uuid.UUID(int=t).bytes
        nt.properties.add(name="d", field_type=6).default_value.add().int64_value = 1000
        nt.field_indexes.add(name="ix", fields="p0,g")
    rt = m.relationship_types.add()
    rt.named_object_type.name = "Knows"
    rt.named_object_type.properties.add(name="since", field_type=6)
    rt.end_points.add(origin_entity_type="Person0", destination_entity_type="Person1")
    si = m.search_indexes.add(name="idx", supported_category=1)
    si.analyzers.add(name="standard")
    si.search_properties["Person0"].property_names.extend(["p0"])
    return tk.decode_data_model_from_protocol_buffer(m.SerializeToString())


def test_reprs():
    dm = rich_model()
    assert repr(dm) == "<DataModel 3 entity types, 1 relationship type, 1 search index>"
    assert repr(dm.query_entity_type("Person2")) == "<EntityType Person2 5 properties>"
    assert repr(dm.query_entity_type("Person0")) == "<EntityType Person0 3 properties>"
    assert repr(dm.query_relationship_type("Knows")) == "<RelationshipType Knows 1 property, 1 end point>"
    assert repr(dm.query_entity_type("Person0").get_property("p0")) == "<GraphProperty p0 vexoFieldTypeString>"
    info = dm.identifier_info
    assert repr(info) == "<IdentifierInfo UniformProperty gid vexoUUIDRFC4122>"
    assert repr(info.identifier_mapping_info) == "<IdentifierMappingInfo UniformProperty gid>"
    assert repr(info.identifier_mapping_info.uniform_property_identifier) == "<UniformPropertyIdentifier gid>"
    assert repr(info.identifier_generation_info) == "<IdentifierGenerationInfo vexoUUIDRFC4122>"
    index = dm.query_search_index("idx")
    assert repr(index) == "<SearchIndex idx Entity 1 analyzer>"
    assert repr(index.analyzers[0]) == "<SearchAnalyzer standard>"
    assert repr(index.query_search_property("Person0")) == "<SearchIndexProperties 1 property>"
    assert repr(tk.FieldIndex()) == "<FieldIndex '' 0 fields>"
    assert repr(tk.DatabaseNativeIdentifier()) == "<DatabaseNativeIdentifier>"
    assert repr(tk.EntityType()) == "<EntityType '' 0 properties>"
    assert repr(tk.IdentifierMappingInfo()) == "<IdentifierMappingInfo UNSPECIFIED>"


def test_equality_and_hashing_stay_by_identity():
    dm = rich_model()
    a = dm.query_entity_type("Person0")
    assert a == a and hash(a) == hash(a)
    assert tk.EntityType() != tk.EntityType()
    assert len({tk.GraphProperty(), tk.GraphProperty()}) == 2


CLASSES = [tk.DataModel, tk.EntityType, tk.RelationshipType, tk.GraphProperty, tk.FieldIndex,
           tk.DatabaseNativeIdentifier, tk.UniformPropertyIdentifier, tk.IdentifierMappingInfo,
           tk.IdentifierGenerationInfo, tk.IdentifierInfo, tk.SearchAnalyzer, tk.SearchIndexProperties,
           tk.SearchIndex]


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_every_member_documented(cls):
    assert cls.__doc__ and cls.__doc__.strip()
    for name, member in vars(cls).items():
        if name.startswith("_") and name not in ("__init__", "__repr__"):
            continue
        assert member.__doc__ and member.__doc__.strip(), name
        if not isinstance(member, property):
            first, _, rest = member.__doc__.partition("\n")
            assert "arg0" not in first and rest.strip(), name


def test_signatures_and_keyword_calls():
    doc = tk.decode_data_model_from_protocol_buffer.__doc__
    assert doc.startswith("decode_data_model_from_protocol_buffer(data: bytes) -> _tolmirkenvor.DataModel | None")
    assert "name: str" in tk.DataModel.query_entity_type.__doc__.splitlines()[0]
    assert "| None" in tk.EntityType.get_property.__doc__.splitlines()[0]
    dm = rich_model()
    assert dm.query_entity_type(name="Person1").name == "Person1"
    assert dm.query_relationship_type(name="nope") is None
    assert dm.query_search_index(name="idx").query_analyzer(name="standard").name == "standard"
    assert dm.query_search_index(name="idx").query_search_property(name="Person0").property_names == ["p0"]
    assert dm.query_relationship_type("Knows").get_end_point(index=0) == {
        "origin_entity_type": "Person0", "dest_entity_type": "Person1"}
    assert dm.query_entity_type("Person0").get_property(name="p0").name == "p0"
    body = b"\x7a\x06\x0a\x02\x0a\x00\x12\x00"  # identifier info: native, no method: None
    assert tk.decode_data_model_from_protocol_buffer(data=body) is None
    assert tk.decode_data_model_from_protocol_buffer(data="") is None  # a str is still taken


def test_optional_identifier_records():
    info = rich_model().identifier_info.identifier_mapping_info
    assert info.database_native_identifier is None
    assert info.uniform_property_identifier.identifier_property_name == "gid"


@pytest.mark.parametrize("enabled", [True, False])
def test_collector_state_is_restored(enabled):
    dm = rich_model()
    was = gc.isenabled()
    try:
        (gc.enable if enabled else gc.disable)()
        dm.to_value_object()
        assert gc.isenabled() is enabled
        # a failing conversion restores it too
        with pytest.raises(ValueError, match="IdentifierMappingInfo must have"):
            tk.DataModel().to_value_object()
        assert gc.isenabled() is enabled
    finally:
        (gc.enable if was else gc.disable)()


class Box:
    pass


def test_output_stays_collectable(tz):
    d = rich_model().to_value_object()
    box = Box()
    props = d["entity_types"][0]["properties"]
    props.append(box)
    box.back = d  # a cycle through the returned dicts and lists
    ref = weakref.ref(box)
    del d, box, props
    gc.collect()
    assert ref() is None


def test_tracking_follows_the_interpreter_rules(tz):
    d = rich_model().to_value_object()
    prop = d["entity_types"][0]["properties"][0]
    # only str and bool values: a dict the interpreter would not track either
    assert prop == {"name": "p0", "alias": "", "fieldType": "vexoFieldTypeString", "hasZ": False, "hasM": False,
                    "defaultValue": "x", "nullable": True, "editable": True, "visible": True, "required": False,
                    "isSystemMaintained": False, "role": "vexoGraphPropertyUNSPECIFIED", "domain": ""}
    assert gc.is_tracked(prop) == gc.is_tracked(dict(prop))
    assert gc.is_tracked(d) and gc.is_tracked(d["entity_types"][0])
    # a property dict later given a container is tracked, as any dict
    prop["x"] = []
    assert gc.is_tracked(prop)
    date = d["entity_types"][0]["properties"][-1]
    assert date["defaultValue"] == datetime.datetime.fromtimestamp(1)
    assert isinstance(d["entity_types"][0]["properties"][-2]["defaultValue"], uuid.UUID)


def test_dictionaries_are_fresh_and_keys_shared():
    dm = rich_model()
    a, b = dm.to_value_object(), dm.to_value_object()
    assert a == b and a is not b
    pa, pb_ = a["entity_types"][0]["properties"][0], b["entity_types"][0]["properties"][0]
    assert pa is not pb_
    pa["name"] = "changed"
    assert pb_["name"] == "p0" and dm.to_value_object()["entity_types"][0]["properties"][0]["name"] == "p0"
    # the same str objects serve as keys in every dict
    ka = next(k for k in pa if k == "fieldType")
    kb = next(k for k in pb_ if k == "fieldType")
    assert ka is kb


@pytest.mark.parametrize("geometry", [False, True])
@pytest.mark.parametrize("default", [False, True])
def test_property_key_order(geometry, default):
    m = S().GraphDataModel()
    m.identifier_info.identifier_mapping_info.native_identifier.SetInParent()
    m.identifier_info.identifier_generation_info.uuid_method_hint = 1
    nt = m.entity_types.add().named_object_type
    nt.name = "T"
    p = nt.properties.add(name="p", field_type=8 if geometry else 2, geometry_type=0)
    if default:
        if geometry:
            g = p.default_value.add().geometry_value
            g.geometry_type = 0  # a point
            g.default_geometry.coords.extend([1, 2])
        else:
            p.default_value.add().int64_value = 5
    dm = tk.decode_data_model_from_protocol_buffer(m.SerializeToString())
    prop = dm.to_value_object()["entity_types"][0]["properties"][0]
    has_default = default
    assert (dm.entity_types[0].properties[0].default_value is not None) is default
    expected = ["name", "alias", "fieldType"] + (["geometryType"] if geometry else []) + ["hasZ", "hasM"] + (
        ["defaultValue"] if has_default else []) + ["nullable", "editable", "visible", "required",
                                                    "isSystemMaintained", "role", "domain"]
    assert list(prop) == expected
    assert None not in prop.values()
