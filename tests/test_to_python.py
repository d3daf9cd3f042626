import datetime
import uuid

import _tolmirkenvor as tk
import pytest

to = tk.to_value_object


@pytest.mark.parametrize("v", [None, True, 0, -(2**63), 2**63 - 1, 1.5, 0.1, "", "héllo\x00x", b"\x00\xff",
                               uuid.UUID(bytes=bytes(range(16)))])
def test_scalars_come_back_equal(v):
    out = to(v)
    assert out == v and type(out) is type(v)


def test_datetime(tz):
    for dt in (datetime.datetime(2020, 1, 1, 12, 0, 0, 123456), datetime.datetime(2021, 7, 1, 8, 30)):
        assert to(dt) == dt


def entity(type_name="", id=None, props=()):
    e = tk.EntityValue()
    e.type_name = type_name
    if id is not None:
        e.set_id(id)
    for k, v in props:
        e.append_key_value(k, v)
    return e


def relationship(type_name="", id=None, origin=None, destination=None):
    r = tk.RelationshipValue()
    r.type_name = type_name
    if id is not None:
        r.set_id(id)
    r.set_related_entity_ids(origin, destination)
    return r


def test_new_compound_values():
    assert to(tk.ObjectValue()) == {"_objectType": "object", "_properties": {}}
    e = to(tk.EntityValue())
    assert e == {"_objectType": "entity", "_typeName": "", "_id": None, "_properties": {}}
    assert list(e) == ["_objectType", "_typeName", "_id", "_properties"]
    r = to(tk.RelationshipValue())
    assert list(r) == ["_objectType", "_typeName", "_id", "_originEntityId", "_destinationEntityId", "_properties"]
    assert to(tk.ArrayValue()) == []


def test_repeated_keys_keep_first_position_last_value():
    e = entity("P", 1, [("k", 1), ("j", 2), ("k", 3)])
    props = to(e)["_properties"]
    assert list(props.items()) == [("k", 3), ("j", 2)]


def test_names_stop_at_nul():
    e = entity("Per\x00son", "id\x00x", [("ke\x00y", "va\x00lue")])
    out = to(e)
    assert out["_typeName"] == "Per"
    assert out["_id"] == "id\x00x"  # values are not names
    assert out["_properties"] == {"ke": "va\x00lue"}


def test_relationship_shape():
    u = uuid.uuid4()
    r = relationship("KNOWS", u, 1, "b")
    r.append_key_value("since", 2001)
    assert to(r) == {"_objectType": "relationship", "_typeName": "KNOWS", "_id": u, "_originEntityId": 1,
                     "_destinationEntityId": "b", "_properties": {"since": 2001}}


def make_path(n_entities, n_relationships):
    # PathValue has no mutators: build one through the decoder
    from streams import path, result_stream
    data = result_stream(["p"], [[path([("E", i, {}) for i in range(n_entities)],
                                       [("R", 100 + i, i, i + 1, {}) for i in range(n_relationships)])]])
    d = tk.GraphQueryDecoder()
    d.push_buffer(data)
    assert d.next_row()
    return d.get_value(0)


def test_path_alternates_entities_and_relationships():
    out = to(make_path(3, 2))
    assert list(out) == ["_objectType", "_path"]
    assert [(x["_objectType"], x["_id"]) for x in out["_path"]] == [
        ("entity", 0), ("relationship", 100), ("entity", 1), ("relationship", 101), ("entity", 2)]


def test_ill_formed_path():
    with pytest.raises(ValueError, match="^Path value had an incorrect number of entities vs number of "
                                         "relationships.$"):
        to(tk.PathValue())


def test_arrays_and_nesting():
    a = tk.ArrayValue()
    o = tk.ObjectValue()
    o.set_key_value("x", 1)
    a.values = [1, "two", o, None]
    assert to(a) == [1, "two", {"_objectType": "object", "_properties": {"x": 1}}, None]

    deep = tk.ArrayValue()
    deep.add_value(7)
    for _ in range(30):
        outer = tk.ArrayValue()
        outer.add_value(deep)
        deep = outer
    out = to(deep)
    for _ in range(30):
        out = out[0]
    assert out == [7]


@pytest.mark.parametrize("kind", ["self", "through object", "through entity id", "through relationship"])
def test_cycles_raise(kind):
    a = tk.ArrayValue()
    if kind == "self":
        a.add_value(a)
    elif kind == "through object":
        o = tk.ObjectValue()
        o.set_key_value("loop", a)
        a.add_value(o)
    elif kind == "through entity id":
        e = tk.EntityValue()
        e.set_id(a)
        a.add_value(e)
    else:
        r = tk.RelationshipValue()
        r.set_related_entity_ids(1, a)
        a.add_value(r)
    with pytest.raises(ValueError):
        to(a)
    # the native references form a cycle the collector cannot see: break it
    a.values = []


def geometry(gtype, lengths, coords, has_z=False, has_m=False):
    g = tk.GeometryValue()
    g.geometry_type = gtype
    g.lengths = lengths
    g.coords = coords
    g.has_z = has_z
    g.has_m = has_m
    return g


def test_geometries():
    out = to(geometry(tk.vexoGeometryPoint, [1], [1.0, 2.0, 3.0], has_m=True))
    assert out == {"x": 1.0, "y": 2.0, "m": 3.0, "_objectType": "geometry"}
    assert list(out)[-1] == "_objectType"
    poly = to(geometry(tk.vexoGeometryPolygon, [2, 1], [0, 0, 1, 1, 5, 5]))
    assert poly == {"rings": [[[0.0, 0.0], [1.0, 1.0]], [[5.0, 5.0]]], "_objectType": "geometry"}
    a = tk.ArrayValue()
    a.add_value(geometry(tk.vexoGeometryMultipoint, [1], [3, 4], has_z=False))
    assert to(a) == [{"points": [[3.0, 4.0]], "_objectType": "geometry"}]


@pytest.mark.parametrize("gtype,lengths,coords,message", [
    (tk.vexoGeometryEnvelope, [], [0, 0, 1, 1], "Unknown or unsupported geometry type."),
    (tk.vexoGeometryNull, [], [], "Unknown or unsupported geometry type."),
    (tk.vexoGeometryPolyline, [3], [0, 0, 1, 1], "Invalid geometry."),
    (tk.vexoGeometryMultipoint, [], [], "Invalid geometry."),
    (tk.vexoGeometryPoint, [1], [1.0], "Invalid geometry."),
])
def test_bad_geometries(gtype, lengths, coords, message):
    e = entity("P", 1, [("shape", geometry(gtype, lengths, coords))])
    with pytest.raises(ValueError, match="^" + message.replace(".", r"\.") + "$"):
        to(e)
