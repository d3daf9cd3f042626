"""Schema edit encoders and response decoders, checked with the protobuf runtime."""
import datetime
import types

import _tolmirkenvor as tk
import pytest
from encoding import encode_error as failure
from encoding import encode_ok as encoded
from pbgen import pb

CAST_ERROR = "Unable to cast Python instance to C++ type (compile in debug mode for details)"

FIELD_TYPES = [
    "vexoFieldTypeSmallInteger", "vexoFieldTypeInteger", "vexoFieldTypeSingle", "vexoFieldTypeDouble",
    "vexoFieldTypeString", "vexoFieldTypeDate", "vexoFieldTypeOID", "vexoFieldTypeGeometry",
    "vexoFieldTypeBlob", "vexoFieldTypeRaster", "vexoFieldTypeGUID", "vexoFieldTypeGlobalID",
    "vexoFieldTypeXML",
]
PROPERTY_ROLES = [
    "vexoGraphPropertyRegular", "vexoGraphPropertyDocumentName", "vexoGraphPropertyDocumentTitle",
    "vexoGraphPropertyDocumentUrl", "vexoGraphPropertyDocumentText", "vexoGraphPropertyDocumentKeywords",
    "vexoGraphPropertyDocumentContentType", "vexoGraphPropertyDocumentMetadata",
    "vexoGraphPropertyDocumentFileExtension",
]
PROPERTY_MASK_KEYS = [
    "update_name", "update_alias", "update_field_type", "update_geometry_type", "update_default_value",
    "update_nullable", "update_editable", "update_visible", "update_required", "update_domain",
    "update_has_z", "update_has_m",
]


def schema():
    return pb.graph_schema_pb2


def wire_property(prop):
    """The GraphProperty message the adds encoder writes for one dict."""
    enc = tk.GraphPropertyAddsRequestEncoder()
    enc.add_property(prop)
    request = schema().GraphPropertyAddsRequest.FromString(encoded(enc))
    assert len(request.properties) == 1
    return request.properties[0]


def property_failure(prop):
    enc = tk.GraphPropertyAddsRequestEncoder()
    enc.add_property(prop)
    return failure(enc)


# ---- property conversion ----

def test_property_flags_travel_inverted_and_role_is_always_written():
    visible = {"name": "a", "nullable": True, "editable": True, "visible": True}
    # name "a", field type 1 (small integer), role 0 present through the oneof
    enc = tk.GraphPropertyAddsRequestEncoder()
    enc.add_property(visible)
    assert encoded(enc) == b"\x0a\x08" + b"\x0a\x01\x61\x18\x01\x80\x01\x00"
    hidden = wire_property({"name": "n", "alias": "Ä", "domain": "dom", "isSystemMaintained": True, "required": True})
    assert (hidden.name, hidden.alias, hidden.domain) == ("n", "Ä", "dom")
    assert (hidden.not_nullable, hidden.not_editable, hidden.hidden, hidden.required) == (True, True, True, True)
    assert not hidden.system_maintained  # never written
    assert hidden.WhichOneof("role_oneof") == "role"


@pytest.mark.parametrize("index,name", list(enumerate(FIELD_TYPES)))
def test_field_type_is_one_more_on_the_wire(index, name):
    assert wire_property({"fieldType": name, "geometryType": "vexoGeometryPoint"}).field_type == index + 1


@pytest.mark.parametrize("index,name", [(i + 1, n) for i, n in enumerate(PROPERTY_ROLES)])
def test_property_roles(index, name):
    assert wire_property({"role": name}).role == index


@pytest.mark.parametrize(
    "name,wire",
    [("vexoGeometryPoint", 0), ("vexoGeometryMultipoint", 1), ("vexoGeometryPolyline", 2),
     ("vexoGeometryPolygon", 3), ("vexoGeometryEnvelope", 5)],
)
def test_geometry_property(name, wire):
    msg = wire_property({"fieldType": "vexoFieldTypeGeometry", "geometryType": name, "hasZ": True, "hasM": False})
    assert (msg.field_type, msg.geometry_type, msg.has_z, msg.has_m) == (8, wire, True, False)


def test_geometry_settings_only_for_geometry_properties():
    msg = wire_property({"fieldType": "vexoFieldTypeString", "geometryType": "vexoGeometryPolygon",
                         "hasZ": True, "hasM": True})
    assert (msg.geometry_type, msg.has_z, msg.has_m) == (0, False, False)


@pytest.mark.parametrize(
    "prop,error",
    [
        ({"fieldType": "vexoFieldTypeBigInteger"}, (-1, "Invalid argument.")),
        ({"fieldType": "vexoFieldTypeGeometry"}, (-1, "unsupported geometry type")),
        # objects and arrays have no single primitive form
        ({"defaultValue": {"_objectType": "entity", "_typeName": "T", "_properties": {}}}, (-1, "Invalid argument.")),
    ],
)
def test_property_conversion_failures(prop, error):
    assert property_failure(prop) == error


@pytest.mark.parametrize(
    "prop,message",
    [
        ({"fieldType": "vexoFieldTypeText"}, "Unexpected field type."),
        ({"geometryType": "vexoGeometryMultiPatch"}, "Unexpected geometry type."),
        ({"geometryType": "vexoGeometryNull"}, "Unexpected geometry type."),
        ({"role": "vexoGraphPropertyUNSPECIFIED"}, "Unexpected graph property role."),
    ],
)
def test_property_dict_unknown_names(prop, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        tk.GraphPropertyAddsRequestEncoder().add_property(prop)


@pytest.mark.parametrize("prop", [{"nullable": "yes"}, {"name": 5}, {"fieldType": 3}])
def test_property_dict_cast_errors(prop):
    with pytest.raises(RuntimeError) as info:
        tk.GraphPropertyAddsRequestEncoder().add_property(prop)
    assert str(info.value) == CAST_ERROR


@pytest.mark.parametrize(
    "value,field,expected",
    [
        (5, "int64_value", 5),
        ("abc", "string_value", "abc"),
        (True, "bool_value", True),
        (0.5, "float_value", 0.5),
        (0.1, "double_value", 0.1),
        (3.0, "float_int_value", 3),
        (b"\x00\x01", "blob_value", b"\x00\x01"),
    ],
)
def test_default_value(value, field, expected):
    defaults = wire_property({"defaultValue": value}).default_value
    assert len(defaults) == 1
    assert defaults[0].WhichOneof("value") == field
    assert getattr(defaults[0], field) == expected


@pytest.mark.parametrize("value", [None, [1, 2]])
def test_null_default_is_not_sent(value):
    assert len(wire_property({"defaultValue": value}).default_value) == 0


def test_date_default_value(tz):
    when = datetime.datetime(2021, 7, 1, 12, 30, 15, 250000)  # summer time where the zone has it
    defaults = wire_property({"fieldType": "vexoFieldTypeDate", "defaultValue": when}).default_value
    assert defaults[0].datetime_value == int(when.timestamp() * 1000)


def test_default_value_out_of_int64_range():
    with pytest.raises(OverflowError):
        tk.GraphPropertyAddsRequestEncoder().add_property({"defaultValue": 2**63})


# ---- property encoders ----

def test_property_adds_encoder():
    enc = tk.GraphPropertyAddsRequestEncoder()
    assert enc.get_encoding_result() is None
    assert failure(enc) == (-999, "Unexpected failure.")

    view = enc.get_encoding_result()
    enc.add_property({"name": "first"})
    enc.add_property(types.MappingProxyType({"name": "second", "fieldType": "vexoFieldTypeDouble"}))  # not a dict
    body = encoded(enc)
    assert view.error.error_code == 0 and view.byte_buffer == body  # the old view shows the new result
    request = schema().GraphPropertyAddsRequest.FromString(body)
    assert [(p.name, p.field_type) for p in request.properties] == [("first", 1), ("second", 4)]


def test_property_adds_encoder_rejects_none():
    with pytest.raises(ValueError, match="^Argument must be valid graph property!$"):
        tk.GraphPropertyAddsRequestEncoder().add_property(None)


def test_property_update_encoder_without_property():
    enc = tk.GraphPropertyUpdateRequestEncoder()
    enc.name = "old"
    assert failure(enc) == (-1, "UpdateField must be passed a valid graph property!")


@pytest.mark.parametrize(
    "args,message",
    [
        (([], {}), "Argument must be a dictionary representing a graph property!"),
        (({}, []), "Argument must be a dictionary representing a graph property mask!"),
    ],
)
def test_property_update_argument_checks(args, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        tk.GraphPropertyUpdateRequestEncoder().update_property(*args)


@pytest.mark.parametrize("key", PROPERTY_MASK_KEYS)
def test_property_mask_key_sets_its_field(key):
    enc = tk.GraphPropertyUpdateRequestEncoder()
    enc.update_property({"name": "b"}, {key: True})
    mask = schema().GraphPropertyUpdateRequest.FromString(encoded(enc)).mask
    assert [f.name for f, _ in mask.ListFields()] == [key]


def test_property_update_encoder():
    enc = tk.GraphPropertyUpdateRequestEncoder()
    enc.name = "old"
    enc.update_property({"name": "new", "fieldType": "vexoFieldTypeString"}, {"update_has_z": True})
    request = schema().GraphPropertyUpdateRequest.FromString(encoded(enc))
    assert request.mask.SerializeToString() == b"\x60\x01"  # field 12 only
    assert (request.property_name, request.property.name, request.property.field_type) == ("old", "new", 5)

    # an empty mask keeps the flags; the property is replaced
    enc.update_property({"name": "newer"}, {"update_name": 1})
    request = schema().GraphPropertyUpdateRequest.FromString(encoded(enc))
    assert (request.mask.update_has_z, request.mask.update_name) == (True, True)
    assert request.property.name == "newer"

    # a failing call changes nothing, not even the flags it read first
    with pytest.raises(RuntimeError):
        enc.update_property({"name": "x"}, {"update_alias": True, "update_visible": "no"})
    with pytest.raises(ValueError):
        enc.update_property({"role": "bogus"}, {"update_alias": True})
    request = schema().GraphPropertyUpdateRequest.FromString(encoded(enc))
    assert (request.mask.update_alias, request.property.name) == (False, "newer")

    enc.update_property({"fieldType": "vexoFieldTypeBigInteger"}, {})
    assert failure(enc) == (-1, "Invalid argument.")


def test_property_delete_encoder():
    enc = tk.GraphPropertyDeleteRequestEncoder()
    assert failure(enc) == (-999, "Unexpected failure.")
    enc.name = "p"
    assert encoded(enc) == b"\x0a\x01\x70"
    assert enc.name == "p"


# ---- named-type encoders ----

def test_named_type_adds_encoder():
    enc = tk.GraphNamedObjectTypeAddsRequestEncoder()
    assert failure(enc) == (-999, "Unexpected failure.")
    enc.add_entity_type({
        "name": "Person", "alias": "P", "role": "vexoGraphNamedObjectProvenance", "strict": True,
        "properties": {"ignored": {"name": "age", "fieldType": "vexoFieldTypeInteger"},
                       "also ignored": {"name": "nick", "fieldType": "vexoFieldTypeString"}},
    })
    enc.add_entity_type([("name", "Doc"), ("role", "vexoGraphNamedObjectDocument")])  # dict() of pairs
    enc.add_relationship_type({"name": "Knows", "properties": [("k", {"name": "since"})]})
    request = schema().GraphNamedObjectTypeAddsRequest.FromString(encoded(enc))
    person, doc = (e.named_object_type for e in request.entity_types)
    assert (person.name, person.alias, person.role, person.strict) == ("Person", "P", 1, True)
    assert [(p.name, p.field_type) for p in person.properties] == [("age", 2), ("nick", 5)]
    assert (doc.name, doc.role, len(doc.properties), len(doc.field_indexes)) == ("Doc", 2, 0, 0)
    (knows,) = request.relationship_types
    assert knows.named_object_type.name == "Knows"
    assert [p.name for p in knows.named_object_type.properties] == ["since"]
    assert len(knows.end_points) == 0


@pytest.mark.parametrize(
    "method,arg,exc,message",
    [
        ("add_entity_type", {"role": "Provenance"}, ValueError, "Unexpected named object type role."),
        ("add_relationship_type", {"strict": "yes"}, RuntimeError, CAST_ERROR),
        ("add_entity_type", {"properties": {"a": None}}, ValueError, "Argument must be valid graph property!"),
        ("add_entity_type", 5, TypeError, None),
        ("add_relationship_type", {"properties": 5}, TypeError, None),
    ],
)
def test_named_type_dict_errors(method, arg, exc, message):
    with pytest.raises(exc) as info:
        getattr(tk.GraphNamedObjectTypeAddsRequestEncoder(), method)(arg)
    if message is not None:
        assert str(info.value) == message


def test_named_type_property_failure_fails_encode():
    enc = tk.GraphNamedObjectTypeAddsRequestEncoder()
    enc.add_relationship_type({"properties": {"g": {"fieldType": "vexoFieldTypeGeometry"}}})
    assert failure(enc) == (-1, "unsupported geometry type")


def test_named_type_update_encoder():
    enc = tk.GraphNamedObjectTypeUpdateRequestEncoder()
    assert enc.get_encoding_result() is None
    assert failure(enc) == (-1, "UpdateNamedType must be passed a single entity type or relationship type!")

    enc.update_entity_type({"name": "E", "alias": "e"}, {"update_alias": True})
    request = schema().GraphNamedObjectTypeUpdateRequest.FromString(encoded(enc))
    assert request.WhichOneof("update") == "entity_type_update"
    update = request.entity_type_update
    assert update.mask.SerializeToString() == b"\x10\x01"  # update_alias only
    assert update.entity_type.named_object_type.alias == "e"

    enc.update_relationship_type({"name": "R", "role": "vexoGraphNamedObjectDocument"}, {"update_role": True})
    request = schema().GraphNamedObjectTypeUpdateRequest.FromString(encoded(enc))
    assert request.WhichOneof("update") == "relationship_type_update"
    update = request.relationship_type_update
    assert (update.relationship_type.named_object_type.name, update.relationship_type.named_object_type.role) == ("R", 2)
    mask = update.mask.named_type_mask
    assert (mask.update_alias, mask.update_role, mask.update_name, mask.update_strict) == (True, True, False, False)


@pytest.mark.parametrize(
    "method,args,message",
    [
        ("update_entity_type", ([], {}), "Argument must be a dictionary representing an entity type!"),
        ("update_entity_type", ({}, None), "Argument must be a dictionary representing an entity type mask!"),
        ("update_relationship_type", ("R", {}), "Argument must be a dictionary representing a relationship type!"),
        ("update_relationship_type", ({}, 1), "Argument must be a dictionary representing an entity type mask!"),
    ],
)
def test_named_type_update_argument_checks(method, args, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        getattr(tk.GraphNamedObjectTypeUpdateRequestEncoder(), method)(*args)


# ---- response decoders ----

DECODE_FAILED = {"error_code": -3, "error_message": "Error decoding response!"}


def set_error(message, code, text=""):
    message.error.error_code = code
    message.error.error_message = text


def add_result(results, name, code=None, text=""):
    r = results.add()
    r.name = name
    if code is not None:
        set_error(r, code, text)


def test_named_type_adds_response():
    resp = schema().GraphNamedObjectTypeAddsResponse()
    set_error(resp, -4, "partly failed")
    add_result(resp.entity_add_results, "B")
    add_result(resp.entity_add_results, "A", 7, "taken")
    add_result(resp.entity_add_results, "A", 0)
    add_result(resp.entity_add_results, "C", 0, "note")
    add_result(resp.relationship_add_results, "A", 0)
    dec = tk.GraphNamedObjectTypeAddsResponseDecoder()
    assert dec.get_results() == {"entityAddResults": [], "relationshipAddResults": []}
    dec.decode(resp.SerializeToString())
    expected = {
        "error": {"error_code": -4, "error_message": "partly failed"},
        "entityAddResults": [
            {"name": "B"},
            {"name": "A", "error": {"error_code": 7, "error_message": "taken"}},
            {"name": "C", "error": {"error_code": 0, "error_message": "note"}},
        ],
        "relationshipAddResults": [{"name": "A"}],
    }
    assert dec.get_results() == expected
    assert list(dec.get_results()) == ["error", "entityAddResults", "relationshipAddResults"]

    # every decode starts afresh: bad input replaces the results by the error
    for bad in [b"\xff\xff", b"\x12\x05\x0a\x01"]:
        dec.decode(resp.SerializeToString())
        dec.decode(bad)
        assert dec.get_results() == {
            "error": DECODE_FAILED, "entityAddResults": [], "relationshipAddResults": []}

    # an empty body is a valid, empty response
    dec.decode(resp.SerializeToString())
    dec.decode(b"")
    assert dec.get_results() == {"entityAddResults": [], "relationshipAddResults": []}

    # a later response replaces everything decoded before
    later = schema().GraphNamedObjectTypeAddsResponse()
    add_result(later.entity_add_results, "A", 0)
    add_result(later.entity_add_results, "D", 2**62, "big")
    dec.decode(resp.SerializeToString())
    dec.decode(later.SerializeToString())
    assert dec.get_results() == {
        "entityAddResults": [{"name": "A"}, {"name": "D", "error": {"error_code": 2**62, "error_message": "big"}}],
        "relationshipAddResults": [],
    }


def test_property_adds_response():
    resp = schema().GraphPropertyAddsResponse()
    add_result(resp.property_add_results, "x", -1, "nope")
    add_result(resp.property_add_results, "y")
    add_result(resp.property_add_results, "x")
    dec = tk.GraphPropertyAddsResponseDecoder()
    dec.decode(resp.SerializeToString())
    assert dec.get_results() == {
        "propertyAddResults": [{"name": "x", "error": {"error_code": -1, "error_message": "nope"}}, {"name": "y"}]
    }


def test_response_with_invalid_utf8_does_not_parse():
    # GraphPropertyAddsResponse{property_add_results: [{name: b"\xff"}]}
    dec = tk.GraphPropertyAddsResponseDecoder()
    dec.decode(b"\x12\x03\x0a\x01\xff")
    assert dec.get_results() == {"error": DECODE_FAILED, "propertyAddResults": []}


ERROR_ONLY = [
    (tk.GraphNamedObjectTypeUpdateResponseDecoder, "GraphNamedObjectTypeUpdateResponse"),
    (tk.GraphNamedObjectTypeDeleteResponseDecoder, "GraphNamedObjectTypeDeleteResponse"),
    (tk.GraphPropertyUpdateResponseDecoder, "GraphPropertyUpdateResponse"),
    (tk.GraphPropertyDeleteResponseDecoder, "GraphPropertyDeleteResponse"),
]


@pytest.mark.parametrize("decoder,message", ERROR_ONLY)
def test_error_only_responses(decoder, message):
    dec = decoder()
    resp = getattr(schema(), message)()
    set_error(resp, 3, "x")
    body = resp.SerializeToString()
    assert body.isascii()
    dec.decode(body.decode("ascii"))  # a str is taken as its UTF-8 bytes
    assert dec.get_results() == {"error": {"error_code": 3, "error_message": "x"}}
    dec.decode(b"\x0a\x03\x08")  # truncated: the decode error replaces the earlier one
    assert dec.get_results() == {"error": DECODE_FAILED}
    resp = getattr(schema(), message)()
    resp.error.error_code = 0
    resp.error.error_message = ""
    dec.decode(resp.SerializeToString() + b"\x50\x01")  # unknown field 10 makes it non-empty; skipped
    assert dec.get_results() == {}
