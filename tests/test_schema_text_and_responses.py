"""Schema edit encoders refuse text a conforming reader would refuse; every
response decode starts afresh and reports bodies that do not parse."""
import _tolmirkenvor as tk
import pytest
from encoding import encode_error, encode_ok
from pbgen import pb

NOT_UTF8 = [b"\xff", b"ab\xe2\x82", b"\xed\xb0\x80", b"\xe0\x80\x80"]
DECODE_FAILED = {"error_code": -3, "error_message": "Error decoding response!"}


def schema():
    return pb.graph_schema_pb2


def adds_property(prop):
    enc = tk.GraphPropertyAddsRequestEncoder()
    enc.add_property(prop)
    return enc


@pytest.mark.parametrize("key", ["name", "alias", "domain"])
@pytest.mark.parametrize("text", NOT_UTF8)
def test_property_text_not_utf8(key, text):
    enc = adds_property({"name": "p", "fieldType": "vexoFieldTypeString", key: text})
    assert encode_error(enc) == (-1, "Invalid argument.")


@pytest.mark.parametrize("key", ["name", "alias", "domain"])
def test_property_text_as_utf8_bytes(key):
    enc = adds_property({"name": "p", "fieldType": "vexoFieldTypeString", key: "Grüße €".encode()})
    prop = schema().GraphPropertyAddsRequest.FromString(encode_ok(enc)).properties[0]
    assert getattr(prop, key) == "Grüße €"


@pytest.mark.parametrize("key", ["name", "alias"])
@pytest.mark.parametrize("method", ["add_entity_type", "add_relationship_type"])
def test_named_type_text_not_utf8(key, method):
    enc = tk.GraphNamedObjectTypeAddsRequestEncoder()
    getattr(enc, method)({"name": "T", key: b"\xc3("})
    assert encode_error(enc) == (-1, "Invalid argument.")


def test_named_type_property_not_utf8():
    enc = tk.GraphNamedObjectTypeAddsRequestEncoder()
    enc.add_entity_type({"name": "T", "properties": {"p": {"name": b"\xff", "fieldType": "vexoFieldTypeString"}}})
    assert encode_error(enc) == (-1, "Invalid argument.")


@pytest.mark.parametrize("method", ["update_entity_type", "update_relationship_type"])
def test_named_type_update_not_utf8(method):
    enc = tk.GraphNamedObjectTypeUpdateRequestEncoder()
    getattr(enc, method)({"name": b"\x80"}, {"update_name": True})
    assert encode_error(enc) == (-1, "Invalid argument.")
    getattr(enc, method)({"name": "ok"}, {})
    encode_ok(enc)


def test_property_update_name_not_utf8():
    enc = tk.GraphPropertyUpdateRequestEncoder()
    enc.update_property({"name": "p", "fieldType": "vexoFieldTypeInteger"}, {"update_name": True})
    enc.name = b"old\xff"
    assert encode_error(enc) == (-1, "Invalid argument.")
    enc.name = "old"
    assert schema().GraphPropertyUpdateRequest.FromString(encode_ok(enc)).property_name == "old"


def test_property_delete_name_not_utf8():
    enc = tk.GraphPropertyDeleteRequestEncoder()
    enc.name = b"\xfe"
    assert encode_error(enc) == (-1, "Invalid argument.")
    enc.name = ""
    assert encode_error(enc) == (-999, "Unexpected failure.")
    enc.name = "p"
    assert encode_ok(enc) == b"\x0a\x01\x70"


DECODERS = [
    (tk.GraphNamedObjectTypeAddsResponseDecoder, "GraphNamedObjectTypeAddsResponse",
     {"entityAddResults": [], "relationshipAddResults": []}),
    (tk.GraphNamedObjectTypeUpdateResponseDecoder, "GraphNamedObjectTypeUpdateResponse", {}),
    (tk.GraphNamedObjectTypeDeleteResponseDecoder, "GraphNamedObjectTypeDeleteResponse", {}),
    (tk.GraphPropertyAddsResponseDecoder, "GraphPropertyAddsResponse", {"propertyAddResults": []}),
    (tk.GraphPropertyUpdateResponseDecoder, "GraphPropertyUpdateResponse", {}),
    (tk.GraphPropertyDeleteResponseDecoder, "GraphPropertyDeleteResponse", {}),
]
IDS = [d[1] for d in DECODERS]


def failing_response(kind):
    resp = getattr(schema(), kind)()
    resp.error.error_code = 12
    resp.error.error_message = "no"
    if kind == "GraphNamedObjectTypeAddsResponse":
        r = resp.entity_add_results.add()
        r.name = "E"
    elif kind == "GraphPropertyAddsResponse":
        r = resp.property_add_results.add()
        r.name = "p"
    return resp.SerializeToString()


@pytest.mark.parametrize("decoder,kind,empty", DECODERS, ids=IDS)
def test_each_decode_starts_afresh(decoder, kind, empty):
    dec = decoder()
    assert dec.get_results() == empty
    dec.decode(failing_response(kind))
    assert dec.get_results()["error"] == {"error_code": 12, "error_message": "no"}
    # garbage: the decode error alone, nothing of before
    dec.decode(b"\x0a\x05\x08")
    assert dec.get_results() == dict(empty, error=DECODE_FAILED)
    dec.decode(failing_response(kind))
    # an empty body is a valid, empty response: success
    dec.decode(b"")
    assert dec.get_results() == empty
    # a success after a failure leaves no error behind
    dec.decode(b"\x0a\x00")  # an error message with code 0 and no text
    assert dec.get_results() == empty


@pytest.mark.parametrize("decoder,kind,empty", DECODERS, ids=IDS)
def test_decode_signature_and_argument_kinds(decoder, kind, empty):
    doc = decoder.decode.__doc__
    assert doc.startswith("decode(self: _tolmirkenvor.%s, data: bytes) -> None" % decoder.__name__)
    body = failing_response(kind)
    for arg in (body, bytearray(body), body.decode("latin-1").encode("utf-8")):
        decoder().decode(arg)
    dec = decoder()
    dec.decode(data=body)  # keyword call
    assert dec.get_results()["error"]["error_code"] == 12
    dec.decode(body.decode("ascii"))  # a str is taken as its UTF-8 bytes
    assert dec.get_results()["error"]["error_code"] == 12
    with pytest.raises(TypeError):
        dec.decode(12)


@pytest.mark.parametrize("decoder,kind,empty", DECODERS, ids=IDS)
def test_invalid_utf8_in_a_response_is_a_decode_error(decoder, kind, empty):
    # an Error whose message is b"\xff"
    dec = decoder()
    dec.decode(b"\x0a\x03\x12\x01\xff")
    assert dec.get_results() == dict(empty, error=DECODE_FAILED)


SCHEMA_CLASSES = [
    tk.GraphNamedObjectTypeAddsRequestEncoder, tk.GraphNamedObjectTypeUpdateRequestEncoder,
    tk.GraphPropertyAddsRequestEncoder, tk.GraphPropertyUpdateRequestEncoder, tk.GraphPropertyDeleteRequestEncoder,
] + [d[0] for d in DECODERS] + [tk.GraphQueryRequestEncoder, tk.GraphSearchRequestEncoder]


@pytest.mark.parametrize("cls", SCHEMA_CLASSES, ids=lambda c: c.__name__)
def test_every_member_documented_and_named(cls):
    assert cls.__doc__ and cls.__doc__.strip()
    for name, member in vars(cls).items():
        if name.startswith("_") and name != "__init__":
            continue  # pybind11's own members
        assert member.__doc__ and member.__doc__.strip(), name
        if not isinstance(member, property):
            first, _, text = member.__doc__.partition("\n")
            assert "arg0" not in first and "arg1" not in first, first
            assert text.strip(), name  # more than the signature


def test_dict_arguments_keyword_calls():
    enc = tk.GraphNamedObjectTypeUpdateRequestEncoder()
    enc.update_entity_type(entity_type={"name": "T"}, mask={"update_alias": True})
    enc2 = tk.GraphPropertyUpdateRequestEncoder()
    enc2.update_property(property={"name": "p", "fieldType": "vexoFieldTypeInteger"}, mask={})
    enc3 = tk.GraphPropertyAddsRequestEncoder()
    enc3.add_property(property={"name": "p", "fieldType": "vexoFieldTypeInteger"})
    enc4 = tk.GraphNamedObjectTypeAddsRequestEncoder()
    enc4.add_entity_type(entity_type={"name": "E"})
    enc4.add_relationship_type(relationship_type={"name": "R"})
    for e in (enc, enc2, enc3, enc4):
        encode_ok(e)
    assert "entity_type: dict, mask: dict" in tk.GraphNamedObjectTypeUpdateRequestEncoder.update_entity_type.__doc__
