"""Text the value codec writes into proto3 string fields (type names,
property keys, string values) must be valid UTF-8 (a str always is, bytes
given as a type name or key need not be); otherwise encode()
records -1 "Invalid argument." and writes nothing."""
import _tolmirkenvor as tk
import pytest
from pbgen import pb

BAD = [b"\xff", b"ab\xc0\xafcd", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"x\xe2\x82"]


def query(value):
    enc = tk.GraphQueryRequestEncoder()
    enc.open_cypher_query = "RETURN $p"
    enc.set_param_key_value("p", value)
    enc.encode()
    r = enc.get_encoding_result()
    return r.error.error_code, r.error.error_message, r.byte_buffer


def entity(type_name=b"T", key=b"k", v=1):
    e = tk.EntityValue()
    e.type_name = type_name
    e.set_key_value(key, v)
    return e


def relationship(type_name=b"R", key=b"k"):
    r = tk.RelationshipValue()
    r.type_name = type_name
    r.set_key_value(key, 1)
    return r


def in_array(v):
    a = tk.ArrayValue()
    a.values = [1, v]
    return a


def in_object(key=b"k", v=1):
    o = tk.ObjectValue()
    o.set_key_value(key, v)
    return o


MAKERS = {
    "entity type name": lambda bad: entity(type_name=bad),
    "relationship type name": lambda bad: relationship(type_name=bad),
    "entity key": lambda bad: entity(key=bad),
    "relationship key": lambda bad: relationship(key=bad),
    "object key": lambda bad: in_object(key=bad),
    "nested type name": lambda bad: in_array(in_object(v=entity(type_name=bad))),
    "nested key": lambda bad: in_object(v=in_array(entity(key=bad))),
}


@pytest.mark.parametrize("bad", BAD)
@pytest.mark.parametrize("make", MAKERS.values(), ids=list(MAKERS))
def test_invalid_utf8_is_refused(make, bad):
    assert query(make(bad)) == (-1, "Invalid argument.", b"")


@pytest.mark.parametrize("make", MAKERS.values(), ids=list(MAKERS))
def test_valid_utf8_passes(make):
    code, message, body = query(make("Straße 日本 🙂".encode()))
    assert code == 0, message
    pb.graph_query_pb2.GraphQueryRequest.FromString(body)  # a conforming reader parses it
