"""Wire bytes of the schema in proto/, read and written by the Google runtime."""
import struct

import pytest
from google.protobuf.message import DecodeError
from pbgen import pb


def V():
    return pb.graph_values_pb2


def Q():
    return pb.graph_query_pb2


def S():
    return pb.graph_schema_pb2


def E():
    return pb.graph_edits_pb2


def T():
    return pb.vexo_types_pb2.VexoTypes


def _rel_type():
    r = S().RelationshipType()
    r.named_object_type.name = "R"
    ep = r.end_points.add()
    ep.origin_entity_type = "A"
    return r


def _data_model():
    m = S().GraphDataModel(tolmir_managed=True)
    m.search_indexes.add()
    m.identifier_info.SetInParent()
    return m


def _entity_add_frame():
    f = E().GraphApplyEditsFrame()
    f.adds.entities["T"].entity_adds.add().named_object_add.SetInParent()
    return f


def _edit_results():
    r = E().EditResults()
    r.errors[1].error_code = -1
    return r


def _envelope():
    return T().Envelope(xmin=1, xmax=2, ymin=3, ymax=4)


def _dbl(tag, x):
    return bytes([tag]) + struct.pack("<d", x)


# (builder, expected serialisation)
BYTES = {
    # oneof members are written even when they hold their default
    "prim_bool_false": (lambda: V().PrimitiveValue(bool_value=False), "4000"),
    "prim_int64_zero": (lambda: V().PrimitiveValue(int64_value=0), "3800"),
    "prim_null": (lambda: V().PrimitiveValue(null_value=False), "6000"),
    "prim_datetime_neg": (lambda: V().PrimitiveValue(datetime_value=-1), "68" + "ff" * 9 + "01"),
    "prim_float_int_zigzag": (lambda: V().PrimitiveValue(float_int_value=-2), "1803"),
    "vexo_value_bool_false": (lambda: T().Value(bool_value=False), "4800"),
    "empty_array": (lambda: V().ArrayValue(), ""),
    "empty_any_value": (lambda: V().AnyValue(), ""),
    "wrapped_value": (lambda: V().AnyValue(wrapped_value=V().AnyValue()), "a20100"),
    "uuid_array": (lambda: V().ArrayValue(uuid_values=b"\x01" * 16), "5a10" + "01" * 16),
    "datetime_array_neg": (lambda: V().DateTimeArray(values=[-1]), "0a0a" + "ff" * 9 + "01"),
    "int32_array_neg": (lambda: V().Int32Array(values=[-1]), "0a0101"),
    "int64_array": (lambda: V().Int64Array(values=[1, -1]), "0a020201"),
    "null_array": (lambda: V().NullArray(count=3), "0806"),
    "string_array": (lambda: V().StringArray(value=["a", "b"]), "0a01610a0162"),
    "error_code": (lambda: V().Error(error_code=-1, error_message="x"), "08011201" + "78"),
    "default_geometry": (
        lambda: V().GeometryValue(geometry_type=2, default_geometry=V().GeometryValue.VexoDefaultGeometry(
            has_z=True, lengths=[3], coords=[1, -1])),
        "0802120908011a0103220202" + "01"),
    "graph_quant_params": (lambda: V().QuantizationParameters(mode=0, tolerance=0.5), _dbl(0x19, 0.5).hex()),
    "graph_transform": (lambda: V().Transform(translate=T().Translate(mTranslate=1.0)), "1209" + _dbl(0x19, 1.0).hex()),
    "entity_value": (lambda: V().EntityValue(label="a", id=V().AnyValue()), "0a01611a00"),
    "rel_value_props": (
        lambda: V().RelationshipValue(destination_id=V().AnyValue(), properties=[V().KeyValuePair(key="k")]),
        "2a00" + "32030a016b"),
    "graph_property_role0": (lambda: S().GraphProperty(role=0), "800100"),
    "graph_property_name": (lambda: S().GraphProperty(name="a"), "0a0161"),
    "graph_property_has_m": (lambda: S().GraphProperty(has_m=True, domain="d"), "5a01647001"),
    "uuid_hint_zero": (lambda: S().IdentifierGenerationInfo(uuid_method_hint=0), "0800"),
    "native_identifier": (
        lambda: S().IdentifierMappingInfo(native_identifier=S().DatabaseNativeIdentifier()), "0a00"),
    "relationship_type": (_rel_type, "1a030a0152" + "32030a0141"),
    "data_model_managed": (_data_model, "72007a00800101"),
    "property_mask": (lambda: S().GraphPropertyMask(update_has_z=True, update_domain=True), "50016001"),
    "named_type_mask": (lambda: S().NamedObjectTypeMask(update_role=True), "2001"),
    "search_max_results": (lambda: Q().GraphSearchRequest(max_num_results=10), "800114"),
    "search_tail": (
        lambda: Q().GraphSearchRequest(start_index=-1, return_search_context=True, ids_filter=V().ArrayValue()),
        "7801" + "880101" + "920100"),
    "query_minimal": (
        lambda: Q().GraphQueryRequest(open_cypher_query="q", output_geometry_encoding=1, input_transform=V().Transform()),
        "0a0171" + "1801" + "4200"),
    "query_param_empty_value": (
        lambda: Q().GraphQueryRequest(parameters={"p": V().AnyValue()}), "12050a01701200"),
    "result_header": (lambda: Q().GraphQueryResultHeader(field_names=["n"], frames_compressed=True), "22016e2801"),
    "spatial_ref_zero": (lambda: T().SpatialReference(), ""),
    "spatial_ref_latest": (lambda: T().SpatialReference(latestWkid=3857, opaque_id=1), "10911e" + "3001"),
    "envelope": (_envelope, (_dbl(9, 1) + _dbl(17, 2) + _dbl(25, 3) + _dbl(33, 4)).hex()),
    "geometry": (lambda: T().Geometry(lengths=[3], coords=[1, -1]), "120103" + "1a020201"),
    "field_index": (lambda: T().FieldIndex(isAscending=True, fields="a,b"), "1203612c62" + "1801"),
    "geometry_field": (lambda: T().GeometryField(Name="x"), "0a0178"),
    "domain_range": (lambda: T().Domain(rangeDomain=T().RangeDomain()), "2200"),
    "feature_geometry": (lambda: T().Feature(geometry=T().Geometry()), "1200"),
    "edits_empty_header": (lambda: E().GraphApplyEditsHeader(cascade_delete=False), ""),
    "edits_entity_add": (_entity_add_frame, "0a0b" + "0a09" + "0a0154" + "1204" + "0a02" + "0a00"),
    "edit_results_errors": (_edit_results, "1a06" + "0801" + "12020801"),
    "named_object_update_id": (lambda: E().NamedObjectUpdate(id=V().AnyValue()), "2200"),
}


@pytest.mark.parametrize("name", list(BYTES))
def test_serialised_bytes(name):
    build, expected = BYTES[name]
    msg = build()
    assert msg.SerializeToString().hex() == expected
    assert type(msg).FromString(bytes.fromhex(expected)) == msg


@pytest.mark.parametrize("msg, data, field, values", [
    # packed and unpacked forms parse to the same list
    (lambda: T().Geometry, "1a020201", "coords", [1, -1]),
    (lambda: T().Geometry, "18021801", "coords", [1, -1]),
    (lambda: T().Geometry, "10031004", "lengths", [3, 4]),
    (lambda: V().GeometryValue.VexoDefaultGeometry, "18031a0104", "lengths", [3, 4]),
    (lambda: V().Int32Array, "08010803", "values", [-1, -2]),
    (lambda: V().DateTimeArray, "08" + "ff" * 9 + "01", "values", [-1]),
    (lambda: V().BoolArray, "0a0201000801", "values", [True, False, True]),
    (lambda: V().DoubleArray, (_dbl(9, 1.5) + b"\x0a\x08" + struct.pack("<d", 2.0)).hex(), "values", [1.5, 2.0]),
])
def test_packed_and_unpacked_parse(msg, data, field, values):
    assert list(getattr(msg().FromString(bytes.fromhex(data)), field)) == values


@pytest.mark.parametrize("msg, data", [
    (lambda: V().PrimitiveValue, "0a01ff"),
    (lambda: V().KeyValuePair, "0a02c328"),
    (lambda: Q().GraphQueryResultHeader, "2201ff"),
    (lambda: S().GraphProperty, "0a01c0"),
    (lambda: S().GraphDataModel, "3a01ff"),
    (lambda: T().SpatialReference, "2a01ff"),
    (lambda: T().Attachment, "5201ff"),
])
def test_invalid_utf8_string_fails_to_parse(msg, data):
    with pytest.raises(DecodeError):
        msg().FromString(bytes.fromhex(data))


@pytest.mark.parametrize("msg, data", [
    (lambda: V().PrimitiveValue, "4a01ff"),
    (lambda: T().vexoShapeBuffer, "0a01ff"),
    (lambda: V().ArrayValue, "5a01ff"),
])
def test_bytes_fields_are_not_utf8_checked(msg, data):
    assert msg().FromString(bytes.fromhex(data)).SerializeToString().hex() == data


@pytest.mark.parametrize("msg, data, expected", [
    # field 12 is a gap in GraphProperty; unknowns go after the known fields
    (lambda: S().GraphProperty, "6005" + "0a0161", "0a0161" + "6005"),
    (lambda: S().GraphDataModel, "4801" + "800101", "800101" + "4801"),
    (lambda: V().ObjectValue, "0a0178", "0a0178"),
    (lambda: T().SpatialReference, "0801" + "f80107", "0801" + "f80107"),
    (lambda: E().GraphApplyEditsHeader, "1001" + "1801", "1801" + "1001"),
])
def test_unknown_fields_kept(msg, data, expected):
    assert msg().FromString(bytes.fromhex(data)).SerializeToString().hex() == expected


@pytest.mark.parametrize("cls, oneof, field, value", [
    (lambda: V().PrimitiveValue, "value", "string_value", ""),
    (lambda: V().ArrayValue, "array", "uuid_values", b""),
    (lambda: V().AnyValue, "value", "wrapped_value", None),
    (lambda: V().GeometryValue, "geometry", "shape_buffer", b""),
    (lambda: S().GraphProperty, "role_oneof", "role", 0),
    (lambda: S().IdentifierMappingInfo, "mapping", "uniform_property", None),
    (lambda: S().IdentifierGenerationInfo, "generation_method", "uuid_method_hint", 0),
    (lambda: S().GraphNamedObjectTypeUpdateRequest, "update", "meta_entity_type_update", None),
    (lambda: E().NamedObjectUpdate, "identifier", "id", None),
    (lambda: Q().GraphObjectIdentifierSet, "identifier_set", "identifiers", None),
    (lambda: T().Value, "kind", "sint64_value", 0),
    (lambda: T().Domain, "domain_kind", "codedValueDomain", None),
    (lambda: T().Feature, "compressed_geometry", "shapeBuffer", None),
])
def test_oneof_groups(cls, oneof, field, value):
    m = cls()()
    if value is None:
        getattr(m, field).SetInParent()
    else:
        setattr(m, field, value)
    assert m.WhichOneof(oneof) == field
    assert m.SerializeToString() != b""


@pytest.mark.parametrize("cls, full_name", [
    (lambda: S().GraphDataModel, "vexoPBuffer.graph.GraphDataModel"),
    (lambda: V().GeometryValue.VexoDefaultGeometry, "vexoPBuffer.graph.GeometryValue.VexoDefaultGeometry"),
    (lambda: T().SpatialReference, "vexoPBuffer.VexoTypes.SpatialReference"),
    (lambda: Q().GraphQueryRequest.ParametersEntry, "vexoPBuffer.graph.GraphQueryRequest.ParametersEntry"),
    (lambda: E().Adds.EntitiesEntry, "vexoPBuffer.graph.Adds.EntitiesEntry"),
    (lambda: E().EditResults.ErrorsEntry, "vexoPBuffer.graph.EditResults.ErrorsEntry"),
    (lambda: S().SearchIndex.SearchPropertiesEntry, "vexoPBuffer.graph.SearchIndex.SearchPropertiesEntry"),
])
def test_full_names(cls, full_name):
    assert cls().DESCRIPTOR.full_name == full_name


def test_enum_numbers_fixed_by_the_service():
    t = pb.vexo_types_pb2.VexoTypes
    assert (t.sqlTypeGeometry, t.sqlTypeGUID, t.week, t.vexoGeometryTypeEnvelope) == (8, 9, 4, 5)
    assert (t.vexoFieldTypeTimestampOffset, t.vexoDefault, t.lowerLeft, t.edit) == (16, 1, 1, 1)
    s = pb.graph_schema_pb2
    assert (s.PropertyFieldSmallInteger, s.PropertyFieldGeometry, s.PropertyFieldXML) == (1, 8, 13)
    assert (s.Document_FileExtension, s.UUID_RFC_4122, s.vexoGraphNamedObjectDocument) == (9, 2, 2)
    q = pb.graph_query_pb2
    assert (q.vexoTypeBoth, q.vexoSpatialRelWithin) == (3, 7)
