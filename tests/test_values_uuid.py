"""UUIDs both ways: real uuid.UUID objects out, the 16 bytes in RFC 4122
order in, and whatever stands in uuid.UUID's place honoured."""
import pickle
import uuid

import _tolmirkenvor as tk
import pytest

SAMPLES = [uuid.UUID(int=0), uuid.UUID(int=(1 << 128) - 1), uuid.UUID(bytes=bytes(range(16))),
           uuid.UUID(int=0x9F99B2D742914DC3936A7215FF5A9665),  # a version-4 UUID, fixed: test ids must not vary
           uuid.UUID("12345678-1234-5678-1234-567812345678")]


def out_of_module(u):
    """A UUID as the module makes it (through an array's element)."""
    a = tk.ArrayValue()
    a.add_value(u)
    return a.get_value_at(0)


@pytest.mark.parametrize("u", SAMPLES, ids=str)
def test_uuids_come_out_as_real_uuid_objects(u):
    got = out_of_module(u)
    assert type(got) is uuid.UUID
    assert got == u and hash(got) == hash(u) and got.bytes == u.bytes and str(got) == str(u)
    assert got.is_safe is uuid.SafeUUID.unknown
    assert got.version == u.version and got.variant == u.variant
    assert pickle.loads(pickle.dumps(got)) == u
    with pytest.raises(TypeError):
        got.int = 5  # immutable like any UUID
    assert tk.to_value_object(u) == u and type(tk.to_value_object(u)) is uuid.UUID


def test_a_replaced_uuid_class_is_called_with_int(monkeypatch):
    calls = []

    def replacement(**kwargs):
        calls.append(kwargs)
        return ("made", kwargs["int"])

    u = SAMPLES[2]
    monkeypatch.setattr(uuid, "UUID", replacement)
    assert out_of_module(u) == ("made", u.int)
    assert tk.to_value_object(u) == ("made", u.int)
    assert calls == [{"int": u.int}, {"int": u.int}]
    monkeypatch.undo()
    assert type(out_of_module(u)) is uuid.UUID


def test_a_uuid_subclass_in_its_place_is_used(monkeypatch):
    class Mine(uuid.UUID):
        pass

    monkeypatch.setattr(uuid, "UUID", Mine)
    got = out_of_module(SAMPLES[2])
    assert type(got) is Mine and got.int == SAMPLES[2].int


def record_init(monkeypatch):
    """Patches uuid.UUID.__init__ to note the int of every UUID it makes."""
    real_init = uuid.UUID.__init__
    seen = []

    def init(self, *args, **kwargs):
        seen.append(kwargs.get("int"))
        real_init(self, *args, **kwargs)

    monkeypatch.setattr(uuid.UUID, "__init__", init)
    return seen


def test_a_patched_init_is_honoured(monkeypatch):
    seen = record_init(monkeypatch)
    assert out_of_module(SAMPLES[3]) == SAMPLES[3]
    assert seen == [SAMPLES[3].int]


def test_class_changes_after_use_are_seen_and_so_is_their_undoing(monkeypatch):
    # The module remembers that it checked the class; a change to the class
    # must end that, and a change back must work as before.
    def as_loaded(u):
        a = tk.ArrayValue()
        a.add_value(u)
        return tk.to_value_object(a)[0].int

    for u in SAMPLES:
        assert out_of_module(u) == u and as_loaded(u) == u.int
    made = record_init(monkeypatch)
    assert out_of_module(SAMPLES[3]) == SAMPLES[3] and made == [SAMPLES[3].int]
    monkeypatch.undo()
    assert out_of_module(SAMPLES[2]) == SAMPLES[2] and made == [SAMPLES[3].int]
    monkeypatch.setattr(uuid.UUID, "bytes", property(lambda self: b"\x02" * 16))
    assert as_loaded(uuid.UUID(int=9)) == int.from_bytes(b"\x02" * 16, "big")
    monkeypatch.undo()
    for u in SAMPLES:
        got = out_of_module(u)
        assert type(got) is uuid.UUID and got == u and as_loaded(u) == u.int
    assert made == [SAMPLES[3].int]


def test_a_uuid_that_is_not_callable_raises(monkeypatch):
    monkeypatch.setattr(uuid, "UUID", 42)
    with pytest.raises(TypeError):
        out_of_module(SAMPLES[1])


def test_errors_of_the_replacement_propagate(monkeypatch):
    def failing(**kwargs):
        raise LookupError("no UUIDs today")

    monkeypatch.setattr(uuid, "UUID", failing)
    with pytest.raises(LookupError):
        out_of_module(SAMPLES[1])


# --- loading ---------------------------------------------------------------------

class FakeUuid:
    def __init__(self, data):
        self.bytes = data


def loaded_bytes(value):
    a = tk.ArrayValue()
    a.add_value(value)
    return tk.to_value_object(a)[0].bytes


@pytest.mark.parametrize("u", SAMPLES, ids=str)
def test_uuids_load_as_their_bytes(u):
    assert loaded_bytes(u) == u.bytes


def test_objects_with_16_bytes_load_as_uuids():
    assert loaded_bytes(FakeUuid(bytes(range(16, 32)))) == bytes(range(16, 32))

    class Sub(uuid.UUID):
        @property
        def bytes(self):
            return b"\x07" * 16

    assert loaded_bytes(Sub(int=1)) == b"\x07" * 16


def test_a_patched_bytes_property_is_honoured(monkeypatch):
    monkeypatch.setattr(uuid.UUID, "bytes", property(lambda self: b"\x01" * 16))
    assert loaded_bytes(uuid.UUID(int=5)) == b"\x01" * 16


def test_a_uuid_whose_number_was_forced_out_of_range_is_no_uuid():
    u = uuid.UUID(int=1)
    object.__setattr__(u, "int", -1)  # .bytes now raises
    a = tk.ArrayValue()
    a.add_value(u)
    assert a.values == [-1]  # not a UUID; the converting pass takes its __int__
    v = uuid.UUID(int=1)
    object.__setattr__(v, "int", True)  # an int subclass: read through .bytes
    assert loaded_bytes(v) == (1).to_bytes(16, "big")
