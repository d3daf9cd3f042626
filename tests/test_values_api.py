"""What a Python user sees of the value and geometry classes: docstrings,
argument names, Python type names in signatures, and short reprs."""
import inspect
import uuid

import _tolmirkenvor as tk
import pytest

CLASSES = [tk.ObjectValue, tk.EntityValue, tk.RelationshipValue, tk.PathValue, tk.ArrayValue, tk.GeometryValue,
           tk.SpatialReference, tk.InputQuantizationParameters, tk.DatumTransformation, tk.Envelope,
           tk.OutputQuantizationParameters, tk.Error, tk.EncodingResult]
ENUMS = [tk.ObjectValueType, tk.vexoGeometryType, tk.vexoQuantizeMode]
UNION = ("None | bool | int | float | uuid.UUID | datetime.datetime | str | bytes | GeometryValue | ObjectValue | "
         "EntityValue | RelationshipValue | PathValue | ArrayValue")


def members(cls):
    for name, member in vars(cls).items():
        if name.startswith("__") and name not in ("__init__", "__repr__"):
            continue
        if name.startswith("_pybind11"):
            continue
        yield name, member


def doc_of(member):
    # a property shows its own docstring (its getter's only names the types)
    if isinstance(member, staticmethod):
        member = member.__func__
    return getattr(member, "__doc__", None)


@pytest.mark.parametrize("cls", CLASSES + ENUMS, ids=lambda c: c.__name__)
def test_every_class_has_a_docstring(cls):
    assert cls.__doc__ and cls.__doc__.strip()


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_every_member_is_documented_with_named_arguments(cls):
    for name, member in members(cls):
        doc = doc_of(member)
        assert doc, "%s.%s has no docstring" % (cls.__name__, name)
        if name in ("__repr__",):
            continue
        lines = [line for line in doc.splitlines() if line.strip()]
        if not isinstance(member, property):
            # pybind11 puts the signature first; the text follows it
            assert len(lines) >= 2 or name == "__init__", (cls.__name__, name, doc)
        for bad in ("arg0", "arg1", "null_t", "uuid_t", "blob_t", "float, float", "tk::", "Union["):
            assert bad not in doc, (cls.__name__, name, doc)


def test_the_value_union_shows_python_type_names():
    assert tk.ArrayValue.add_value.__doc__.startswith(
        "add_value(self: _tolmirkenvor.ArrayValue, value: %s) -> None" % UNION)
    assert "key: str, value: %s) -> bool" % UNION in tk.ObjectValue.set_key_value.__doc__
    assert "to_value_object(value: %s) -> object" % UNION in tk.to_value_object.__doc__
    # no class is named in C++ terms, whatever the registration order
    assert "value: %s" % UNION in tk.ObjectValue.append_key_value.__doc__
    assert "collections.abc.Sequence[%s]" % UNION in tk.ArrayValue.values.fset.__doc__


def test_bytes_show_as_bytes():
    assert "-> bytes" in tk.EncodingResult.byte_buffer.fget.__doc__


def test_keyword_calls():
    o = tk.ObjectValue()
    assert o.set_key_value(key="a", value=1) and o.append_key_value(key="a", value=2)
    assert o.query_value(key="a") == 1 and o.get_value_at(index=1) == 2
    assert o.put_value_at(index=0, value="x") and o.key_value_pairs == [("a", "x"), ("a", 2)]
    e = tk.EntityValue()
    e.set_id(value=7)
    assert e.get_id() == 7
    r = tk.RelationshipValue()
    r.set_related_entity_ids(origin=1, destination=2)
    assert (r.get_origin_entity_id(), r.get_destination_entity_id()) == (1, 2)
    a = tk.ArrayValue()
    a.add_value(value=1)
    assert a.put_value_at(index=2, value=3) and a.values == [1, None, 3]
    assert a.get_value_at(index=2) == 3
    p = tk.PathValue()
    assert p.get_entity_at(index=0) is None and p.get_relationship_at(index=0) is None
    assert tk.to_value_object(value=[1][0]) == 1


def test_signatures_are_introspectable():
    sig = tk.ArrayValue.put_value_at.__doc__.splitlines()[0]
    assert sig.startswith("put_value_at(self: _tolmirkenvor.ArrayValue, index: ") and ", value: None | " in sig
    assert inspect.isbuiltin(tk.to_value_object) or callable(tk.to_value_object)


def _entity():
    e = tk.EntityValue()
    e.type_name = "Person"
    e.set_id(42)
    for k in "abc":
        e.set_key_value(k, 1)
    return e


def _relationship():
    r = tk.RelationshipValue()
    r.type_name = "KNOWS"
    r.set_id(uuid.UUID(int=1))
    r.set_related_entity_ids(1, 2)
    r.set_key_value("since", 2020)
    return r


def _geometry():
    g = tk.GeometryValue()
    g.geometry_type = tk.vexoGeometryPolyline
    g.has_z = True
    g.lengths = [2, 1]
    g.coords = [0.0] * 9
    return g


def _sr():
    sr = tk.SpatialReference.WGS84()
    sr.latestWkid = 4326
    return sr


def _dt():
    dt = tk.DatumTransformation()
    dt.wkid = 1241
    dt.from_spatial_reference = tk.SpatialReference.WGS84()
    return dt


def _envelope():
    e = tk.Envelope()
    e.xmin, e.ymin, e.xmax, e.ymax = 0, 1, 2.5, 3
    return e


def _encoding_result(ok):
    enc = tk.GraphQueryRequestEncoder()
    enc.open_cypher_query = "RETURN 1" if ok else ""
    enc.encode()
    return enc.get_encoding_result()


REPRS = [
    (tk.Error, "<Error 0 ''>"),
    (_entity, "<EntityValue Person id=42 3 properties>"),
    (tk.EntityValue, "<EntityValue '' id=None 0 properties>"),
    (_relationship, "<RelationshipValue KNOWS id=UUID('00000000-0000-0000-0000-000000000001') origin=1 "
                    "destination=2 1 property>"),
    (tk.ObjectValue, "<ObjectValue 0 properties>"),
    (tk.PathValue, "<PathValue 0 entities 0 relationships>"),
    (lambda: tk.ArrayValue(), "<ArrayValue 0 values>"),
    (_geometry, "<GeometryValue Polyline Z 2 parts 3 vertices>"),
    (tk.GeometryValue, "<GeometryValue Null 0 parts 0 vertices>"),
    (_sr, "<SpatialReference wkid=4326 latestWkid=4326>"),
    (tk.SpatialReference, "<SpatialReference unset>"),
    (_dt, "<DatumTransformation wkid=1241 from <wkid=4326> to <unset>>"),
    (_envelope, "<Envelope xmin=0.0 ymin=1.0 xmax=2.5 ymax=3.0>"),
    (tk.InputQuantizationParameters.WGS84_lossless,
     "<InputQuantizationParameters xy_resolution=1e-09 x_false_origin=0.0 y_false_origin=0.0>"),
    (tk.OutputQuantizationParameters,
     "<OutputQuantizationParameters edit xmin=nan ymin=nan xmax=nan ymax=nan tolerance=0.0>"),
    (lambda: _encoding_result(False), "<EncodingResult error -1 'Empty openCypher query.'>"),
]


@pytest.mark.parametrize("make,text", REPRS, ids=[t for _, t in REPRS])
def test_reprs_are_short_and_identifying(make, text):
    assert repr(make()) == text


def test_repr_of_an_encoded_result_counts_its_bytes():
    r = _encoding_result(True)
    assert repr(r) == "<EncodingResult %d bytes>" % len(r.byte_buffer)


def test_odd_type_names_and_texts_are_quoted():
    e = tk.EntityValue()
    e.type_name = b"a b\xff"
    assert repr(e) == "<EntityValue 'a b\\\\xff' id=None 0 properties>"
    sr = tk.SpatialReference()
    sr.wkt = 'GEOGCS["GCS_WGS_1984",DATUM["D_WGS_1984"]]'
    assert repr(sr) == "<SpatialReference wkt='GEOGCS[\"GCS_WGS_1984\",DA'...>"


def test_equality_and_hashing_stay_identity_based():
    a, b = tk.ArrayValue(), tk.ArrayValue()
    assert a == a and a != b and hash(a) != hash(b)
    e = tk.Error()
    assert e == e and e != tk.Error()
