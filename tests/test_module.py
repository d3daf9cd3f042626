"""The module entry: docstring, registration order, enums, shared records."""
import pickle

import _tolmirkenvor as tk
import pytest

TABLE = [
    "vexoGraphNamedObjectTypeRole", "vexoFieldType", "vexoGraphPropertyRole", "vexoGeometryType",
    "GraphProperty", "EntityType", "RelationshipType", "FieldIndex", "SpatialReference",
    "DatabaseNativeIdentifier", "UniformPropertyIdentifier", "vexoIdentifierInfoType",
    "IdentifierMappingInfo", "vexoUUIDMethodHint", "IdentifierGenerationInfo", "IdentifierInfo",
    "SearchAnalyzer", "SearchIndexProperties", "SearchIndex", "DataModel", "GeometryValue",
    "ObjectValueType", "ObjectValue", "EntityValue", "RelationshipValue", "PathValue", "ArrayValue",
    "decode_data_model_from_protocol_buffer", "Error", "GraphQueryDecoder",
    "InputQuantizationParameters", "DatumTransformation", "vexoQuantizeMode", "Envelope",
    "OutputQuantizationParameters", "EncodingResult", "GraphQueryRequestEncoder",
    "vexoSpatialRelation", "vexoNamedTypeCategory", "GraphSearchRequestEncoder", "to_value_object",
    "GraphApplyEditsEncoder", "GraphApplyEditsDecoder",
    "GraphNamedObjectTypeAddsRequestEncoder", "GraphNamedObjectTypeUpdateRequestEncoder",
    "GraphNamedObjectTypeAddsResponseDecoder", "GraphNamedObjectTypeUpdateResponseDecoder",
    "GraphNamedObjectTypeDeleteResponseDecoder", "GraphPropertyAddsRequestEncoder",
    "GraphPropertyUpdateRequestEncoder", "GraphPropertyDeleteRequestEncoder",
    "GraphPropertyAddsResponseDecoder", "GraphPropertyUpdateResponseDecoder",
    "GraphPropertyDeleteResponseDecoder",
]

ENUMS = {
    "vexoGraphNamedObjectTypeRole": [("Regular", 0), ("Provenance", 1), ("Document", 2)],
    "vexoFieldType": [(n, i) for i, n in enumerate([
        "vexoFieldTypeSmallInteger", "vexoFieldTypeInteger", "vexoFieldTypeSingle", "vexoFieldTypeDouble",
        "vexoFieldTypeString", "vexoFieldTypeDate", "vexoFieldTypeOID", "vexoFieldTypeGeometry",
        "vexoFieldTypeBlob", "vexoFieldTypeRaster", "vexoFieldTypeGUID", "vexoFieldTypeGlobalID",
        "vexoFieldTypeXML", "vexoFieldTypeBigInteger"])],
    "vexoGraphPropertyRole": [(n, i) for i, n in enumerate([
        "vexoGraphPropertyUNSPECIFIED", "vexoGraphPropertyRegular", "vexoGraphPropertyDocumentName",
        "vexoGraphPropertyDocumentTitle", "vexoGraphPropertyDocumentUrl", "vexoGraphPropertyDocumentText",
        "vexoGraphPropertyDocumentKeywords", "vexoGraphPropertyDocumentContentType",
        "vexoGraphPropertyDocumentMetadata", "vexoGraphPropertyDocumentFileExtension"])],
    "vexoGeometryType": [("vexoGeometryNull", 0), ("vexoGeometryPoint", 1), ("vexoGeometryMultipoint", 2),
                         ("vexoGeometryPolyline", 3), ("vexoGeometryPolygon", 4), ("vexoGeometryEnvelope", 5),
                         ("vexoGeometryAny", 7), ("vexoGeometryMultiPatch", 9)],
    "vexoIdentifierInfoType": [("vexoIdentifierInfoTypeUNSPECIFIED", 0),
                               ("vexoIdentifierInfoTypeDatabaseNative", 1),
                               ("vexoIdentifierInfoTypeUniformProperty", 2)],
    "vexoUUIDMethodHint": [("vexoMethodHintUNSPECIFIED", 0), ("vexoUUIDVEXO", 1), ("vexoUUIDRFC4122", 2)],
    "ObjectValueType": [("Object", 0), ("Entity", 1), ("Relationship", 2)],
    "vexoQuantizeMode": [("edit", 1), ("view", 0)],
    "vexoSpatialRelation": [("intersects", 0), ("contains", 1), ("crosses", 2), ("envelope-intersects", 3),
                            ("index-intersects", 4), ("overlaps", 5), ("touches", 6), ("within", 7)],
    "vexoNamedTypeCategory": [("entity", 1), ("relationship", 2), ("both", 4)],
}


def test_docstring():
    assert tk.__doc__ == "Tolmir Kenvor client core for Python"


def test_registration_order():
    names = [n for n in vars(tk) if n in set(TABLE)]
    assert names == TABLE


@pytest.mark.parametrize("enum_name", sorted(ENUMS))
def test_enum_values_and_exports(enum_name):
    enum = getattr(tk, enum_name)
    expected = ENUMS[enum_name]
    assert [(n, int(v)) for n, v in enum.__members__.items()] == expected
    for name, value in expected:
        member = getattr(tk, name)  # exported to module scope, hyphenated names too
        assert member is getattr(enum, name)
        assert int(member) == value and member.value == value and member.name == name
        assert repr(member) == f"<{enum_name}.{name}: {value}>"
        assert str(member) == f"{enum_name}.{name}"
        assert pickle.loads(pickle.dumps(member)) == member


def test_hyphenated_and_special_exports():
    assert int(getattr(tk, "envelope-intersects")) == 3
    assert int(tk.both) == 4
    assert (int(tk.view), int(tk.edit)) == (0, 1)


def test_error_record():
    e = tk.Error()
    assert e.empty() and e.error_code == 0 and e.error_message == ""
    with pytest.raises(AttributeError):
        e.error_code = 1


def test_encoding_result_has_no_constructor():
    with pytest.raises(TypeError):
        tk.EncodingResult()


@pytest.mark.parametrize("cls", [n for n in TABLE if n[0].isupper() and n not in ENUMS
                                 and n not in ("EncodingResult", "GraphApplyEditsEncoder")])
def test_classes_construct_without_arguments(cls):
    getattr(tk, cls)()


def test_no_python_base_classes():
    assert tk.EntityType.__mro__[1] is not tk.RelationshipType
    assert not issubclass(tk.RelationshipType, tk.EntityType)
