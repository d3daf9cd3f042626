"""The value union's Python conversions and the compound value classes."""
import datetime as dt
import decimal
import uuid

import _tolmirkenvor as tk
import numpy as np
import pytest


def roundtrip(value):
    arr = tk.ArrayValue()
    arr.add_value(value)
    return arr.get_value_at(0)


class IntOnly:
    def __int__(self):
        return 7


class BoolOnly:
    def __bool__(self):
        return True


class FakeUuid:
    def __init__(self, raw):
        self.bytes = raw


@pytest.mark.parametrize("value,expected,typ", [
    (None, None, type(None)),
    (True, True, bool),
    (False, False, bool),
    (1, 1, int),
    (2**63 - 1, 2**63 - 1, int),
    (-2**63, -2**63, int),
    (np.int64(-5), -5, int),
    (1.5, 1.5, float),
    (0.1, 0.1, float),
    (float("inf"), float("inf"), float),
    (1e300, 1e300, float),
    ("", "", str),
    ("h\u00e9llo\x00w\u00f6rld", "h\u00e9llo\x00w\u00f6rld", str),
    (b"\xff\x00", b"\xff\x00", bytes),
    (np.bool_(False), False, bool),
    (np.bool_(True), True, bool),
    (np.float32(1.5), 1.5, float),        # a float-like stays a number, not a bool
    (np.float64(0.1), 0.1, float),
    (decimal.Decimal("2.5"), 2.5, float),
    (IntOnly(), 7, int),
    (BoolOnly(), True, bool),
])
def test_loading_and_casting(value, expected, typ):
    got = roundtrip(value)
    assert type(got) is typ
    assert got == expected


def test_nan_loads_as_double():
    got = roundtrip(float("nan"))
    assert got != got


def test_float32_value_widens_exactly():
    # 0.1 read back as single precision is the widened single, not 0.1.
    single = float(np.float32(0.1))
    assert single == 0.10000000149011612
    assert roundtrip(single) == 0.10000000149011612


@pytest.mark.parametrize("value", [2**63, -2**63 - 1, 2**100, np.uint64(2**64 - 1)])
def test_int_outside_int64_raises(value):
    with pytest.raises((OverflowError, TypeError)):
        roundtrip(value)


@pytest.mark.parametrize("value", [[1, 2], {"a": 1}, bytearray(b"x"), {1}, object(), "\ud800"])
def test_unloadable_objects_raise_type_error(value):
    with pytest.raises(TypeError):
        roundtrip(value)


def test_uuid_bytes_in_rfc_order():
    u = uuid.UUID(bytes=bytes(range(16)))
    got = roundtrip(u)
    assert isinstance(got, uuid.UUID) and got == u and got.bytes == bytes(range(16))
    assert roundtrip(FakeUuid(bytes(range(16)))) == u
    with pytest.raises(TypeError):
        roundtrip(FakeUuid(bytes(15)))


@pytest.mark.parametrize("value,expected", [
    (dt.datetime(2020, 1, 1, 12, 0, 0, 123456), dt.datetime(2020, 1, 1, 12, 0, 0, 123456)),
    (dt.datetime(2020, 7, 1, 23, 59, 59, 999999), dt.datetime(2020, 7, 1, 23, 59, 59, 999999)),
    (dt.datetime(1969, 12, 31, 23, 59, 59), dt.datetime(1969, 12, 31, 23, 59, 59)),
    (dt.datetime(1900, 3, 4, 5, 6, 7, 8), dt.datetime(1900, 3, 4, 5, 6, 7, 8)),
    # aware: the instant its offset gives, shown as naive local time
    (dt.datetime(2020, 1, 1, 12, tzinfo=dt.timezone.utc), None),
    (dt.date(2020, 1, 1), dt.datetime(2020, 1, 1)),
    (dt.time(12, 30), dt.datetime(1970, 1, 1, 12, 30)),
    (dt.time(0, 0, 1, 5), dt.datetime(1970, 1, 1, 0, 0, 1, 5)),
])
def test_datetimes_round_trip_in_local_time(tz, value, expected):
    if expected is None:
        expected = dt.datetime.fromtimestamp(value.timestamp())
    got = roundtrip(value)
    assert type(got) is dt.datetime and got.tzinfo is None
    assert got == expected


def test_entity_identity_is_shared():
    e = tk.EntityValue()
    arr = tk.ArrayValue()
    arr.add_value(e)
    assert arr.get_value_at(0) is e
    arr.get_value_at(0).set_key_value("k", 1)
    assert e.query_value("k") == 1
    holder = tk.ObjectValue()
    holder.set_key_value("e", e)
    assert holder.query_value("e") is e
    assert holder.key_value_pairs[0][1] is e


@pytest.mark.parametrize("cls", [tk.ObjectValue, tk.EntityValue, tk.RelationshipValue])
def test_key_value_operations(cls):
    o = cls()
    assert o.key_count() == 0 and o.key_value_pairs == []
    assert o.set_key_value("", 1) is False and o.append_key_value("", 1) is False
    assert o.key_count() == 0
    assert o.append_key_value("k", 1) and o.append_key_value("k", 1)
    assert o.set_key_value("k", 2)
    assert o.key_value_pairs == [("k", 2), ("k", 1)]
    assert o.query_value("k") == 2 and o.key_count() == 2
    assert o.query_value("") is None and o.query_value("K") is None
    assert o.set_key_value("j", None) and o.query_value("j") is None
    assert o.set_key_value("a", "x") and [k for k, _ in o.key_value_pairs] == ["k", "k", "j", "a"]
    assert o.get_value_at(-1) is None and o.get_value_at(4) is None and o.get_value_at(3) == "x"
    assert o.put_value_at(4, 1) is False and o.put_value_at(-1, 1) is False
    assert o.put_value_at(1, 5) and o.key_value_pairs[1] == ("k", 5)
    with pytest.raises(TypeError):
        o.get_value_at(2**31)
    o.clear()
    assert o.key_count() == 0


def test_object_value_types():
    assert tk.ObjectValue().object_value_type == tk.Object
    assert tk.EntityValue().object_value_type == tk.ObjectValueType.Entity
    assert tk.RelationshipValue().object_value_type == tk.Relationship


def test_entity_and_relationship_identity_fields():
    e = tk.EntityValue()
    assert e.type_name == "" and e.get_id() is None
    e.type_name = "Person"
    e.set_id(42)
    e.set_key_value("a", 1)
    e.clear()
    assert (e.type_name, e.get_id(), e.key_count()) == ("Person", 42, 0)
    r = tk.RelationshipValue()
    assert r.get_origin_entity_id() is None and r.get_destination_entity_id() is None
    r.set_related_entity_ids(1, "two")
    r.set_id(uuid.UUID(int=3))
    r.clear()
    assert (r.get_origin_entity_id(), r.get_destination_entity_id()) == (1, "two")
    assert r.get_id() == uuid.UUID(int=3)


def test_array_put_value_at_resizes():
    a = tk.ArrayValue()
    a.values = [1, 2, 3]
    assert a.put_value_at(5, "x")
    assert a.values == [1, 2, 3, None, None, "x"] and a.count() == 6
    assert a.put_value_at(0, 9) and a.values == [9]
    assert a.put_value_at(-1, 0) is False
    assert a.get_value_at(-1) is None and a.get_value_at(1) is None


def test_array_values_property_copies():
    a = tk.ArrayValue()
    lst = a.values
    lst.append(1)
    assert a.count() == 0
    a.values = (1, "a", None)
    assert a.values == [1, "a", None]


def test_empty_path():
    p = tk.PathValue()
    assert p.entity_count() == 0 and p.relationship_count() == 0
    assert p.get_entity_at(-1) is None and p.get_entity_at(0) is None
    assert p.get_relationship_at(0) is None
    assert p.entities == [] and p.relationships == []


def test_array_can_contain_itself():
    a = tk.ArrayValue()
    a.add_value(a)
    assert a.get_value_at(0) is a
    a.values = []  # breaks the cycle so it can be freed


def test_geometry_value_defaults_and_copies():
    g = tk.GeometryValue()
    assert g.geometry_type == tk.vexoGeometryNull and not g.has_z and not g.has_m
    assert g.lengths == [] and g.coords == []
    g.lengths = [1]
    g.coords = [1.0, 2.0]
    g.lengths.append(5)
    assert g.lengths == [1]
    g.geometry_type = tk.vexoGeometryPoint
    assert roundtrip(g) is g
