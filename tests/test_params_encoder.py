"""Bind parameters of GraphQueryRequestEncoder: the name index, set_params,
and the request bytes, read back with the protobuf runtime."""
import collections
import datetime
import gc
import random
import uuid

import _tolmirkenvor as tk
import pytest
from encoding import encode_error, encode_ok
from pbgen import pb

QUERY = "RETURN $p"


def new_encoder():
    enc = tk.GraphQueryRequestEncoder()
    enc.open_cypher_query = QUERY
    return enc


def parse(raw):
    return pb.graph_query_pb2.GraphQueryRequest.FromString(raw)


def rand_name(rng):
    alphabet = "abcXYZ_09é€\U0001f600\x00"
    return "".join(rng.choice(alphabet) for _ in range(rng.randrange(1, 14)))


# ---- the expected AnyValue of a Python scalar, from the wire rules ----

FLOAT_INT_MIN, FLOAT_INT_MAX = -1048576, 1048575


def float_exact(x):
    import struct

    if x != x:
        return False
    if x in (float("inf"), float("-inf")):
        return True
    try:
        return struct.unpack("<f", struct.pack("<f", x))[0] == x
    except OverflowError:
        return False


def expected_any(value):
    any_value = pb.graph_values_pb2.AnyValue()
    p = any_value.primitive_value
    if value is None:
        p.null_value = False
    elif isinstance(value, bool):
        p.bool_value = value
    elif isinstance(value, int):
        p.int64_value = value
    elif isinstance(value, float):
        if float_exact(value):  # held as a float
            if value == value and FLOAT_INT_MIN <= value <= FLOAT_INT_MAX and value == int(value):
                p.float_int_value = int(value)
            else:
                p.float_value = value
        else:  # held as a double
            integral = -(2**48) <= value <= 2**48 - 1 and value == int(value)
            if integral:
                p.double_int_value = int(value)
            else:
                p.double_value = value
    elif isinstance(value, str):
        p.string_value = value
    elif isinstance(value, bytes):
        p.blob_value = value
    elif isinstance(value, uuid.UUID):
        p.uuid_value = value.bytes
    else:
        raise TypeError(value)
    return any_value


SCALARS = [
    None, True, False, 0, 1, -1, 2**63 - 1, -(2**63), 300, -300,
    0.0, -0.0, 1.5, 3.0, -7.0, 1048575.0, 1048576.0, -1048576.0, -1048577.0, 0.1, 1e300, -1e-300,
    float(2**40), float(2**40 + 1), float(2**48 - 1), float(2**48 + 2), float(-(2**48)),
    float("inf"), float("-inf"),
    "", "a", "é€\U0001f600", "x" * 200, b"", b"\x00\xff" * 3, uuid.UUID(int=0), uuid.UUID(int=2**128 - 1),
]


def request_bytes(items, query=QUERY):
    """The body a conforming serialiser writes for these parameters (one
    name, or names none of which is a prefix of another)."""
    req = pb.graph_query_pb2.GraphQueryRequest(open_cypher_query=query, output_geometry_encoding=1)
    req.input_transform.SetInParent()
    for name, value in items:
        req.parameters[name].CopyFrom(expected_any(value))
    return req.SerializeToString(deterministic=True)


@pytest.mark.parametrize("value", SCALARS, ids=repr)
def test_scalar_parameter_bytes(value):
    enc = new_encoder()
    enc.append_param_key_value("p", value)
    assert encode_ok(enc) == request_bytes([("p", value)])


def test_nan_parameter():
    enc = new_encoder()
    enc.append_param_key_value("p", float("nan"))
    p = parse(encode_ok(enc)).parameters["p"].primitive_value
    assert p.WhichOneof("value") == "double_value" and p.double_value != p.double_value


def test_scalars_match_the_value_codec(tz):
    # The same values as object properties go through the value codec's
    # messages: each parameter's AnyValue must equal the property's.
    values = SCALARS + [float("nan"), datetime.datetime(1969, 12, 31, 23, 59, 59, 999000),
                        datetime.datetime(2021, 3, 28, 2, 30), datetime.datetime(2040, 1, 1)]
    enc = new_encoder()
    obj = tk.ObjectValue()
    for i, v in enumerate(values):
        assert enc.append_param_key_value("p%03d" % i, v)
        assert obj.append_key_value("k%03d" % i, v)
    enc.append_param_key_value("obj", obj)
    req = parse(encode_ok(enc))
    props = req.parameters["obj"].object_value.properties
    for i, prop in enumerate(props):
        got = req.parameters["p%03d" % i]
        assert got.SerializeToString() == prop.value.SerializeToString(), values[i]


def wire_keys(raw):
    """The parameter names in the order the body holds them."""
    def varint(i):
        shift = result = 0
        while True:
            b = raw[i]
            i += 1
            result |= (b & 0x7F) << shift
            shift += 7
            if b < 0x80:
                return result, i

    keys, i = [], 0
    while i < len(raw):
        tag, i = varint(i)
        if tag & 7 == 0:
            _, i = varint(i)
            continue
        assert tag & 7 == 2
        size, i = varint(i)
        if tag >> 3 == 2:
            entry = raw[i:i + size]
            assert entry[0] == 0x0A
            key_size, j = _entry_varint(entry, 1)
            keys.append(entry[j:j + key_size])
        i += size
    return keys


def _entry_varint(data, i):
    shift = result = 0
    while True:
        b = data[i]
        i += 1
        result |= (b & 0x7F) << shift
        shift += 7
        if b < 0x80:
            return result, i


def many_names(with_zero_bytes):
    rng = random.Random(11)
    names = set()
    while len(names) < 3000:
        names.add(rand_name(rng).replace("\x00", "" if not with_zero_bytes else "\x00") or "z")
    # names that share more than the first eight bytes, and prefixes of each other
    names |= {"common_prefix_" + s for s in ("a", "b", "ab", "", "é")} | {"n", "nn", "nnn"}
    if with_zero_bytes:
        names |= {"n\x00", "n\x00\x00", "common_prefix_\x00"}
    names = sorted(names)  # independent of the hash seed
    rng.shuffle(names)
    return [(n, rng.choice([None, 1, 2.5, "s", b"b", True])) for n in names]


@pytest.mark.parametrize("with_zero_bytes", [False, True])
def test_many_names_in_byte_order(with_zero_bytes):
    items = many_names(with_zero_bytes)
    enc = new_encoder()
    for n, v in items:
        assert enc.append_param_key_value(n, v)
    raw = encode_ok(enc)
    req = parse(raw)
    assert dict(req.parameters) == {n: expected_any(v) for n, v in items}
    # byte order of the names, as the C++ runtime's deterministic serialiser
    # writes a map (the Python runtime's own deterministic order differs
    # where one name is a prefix of another, so it is no oracle here)
    assert wire_keys(raw) == sorted(n.encode() for n, _ in items)


def test_entries_of_every_length_size_are_reordered_whole():
    # Entry bodies just below and above one-, two- and three-byte lengths,
    # given out of name order, so that every one is moved whole.
    lengths = [n - d for n in (120, 16375, 2097140) for d in range(-12, 12, 3)] + [0, 1]
    rng = random.Random(7)
    items = [("n%03d" % i, "x" * length) for i, length in enumerate(lengths)]
    rng.shuffle(items)
    enc = new_encoder()
    for name, value in items:
        enc.append_param_key_value(name, value)
    assert encode_ok(enc) == request_bytes(items)


def test_compound_and_scalar_parameters_mixed():
    arr = tk.ArrayValue()
    arr.values = [1.5, 2.5, 3.25]
    ent = tk.EntityValue()
    ent.type_name = "Person"
    ent.set_key_value("name", "Ann")
    enc = new_encoder()
    for name, value in [("z", 1), ("arr", arr), ("m", "x"), ("ent", ent), ("b", None)]:
        enc.append_param_key_value(name, value)
    raw = encode_ok(enc)
    req = parse(raw)
    assert list(req.parameters["arr"].array_value.float_values.values) == [1.5, 2.5, 3.25]
    assert req.parameters["ent"].entity_value.label == "Person"
    assert req.parameters["z"].primitive_value.int64_value == 1
    # the whole body is what a deterministic serialiser writes for it (no
    # name is a prefix of another: see test_many_names_in_byte_order)
    assert req.SerializeToString(deterministic=True) == raw
    assert encode_ok(enc) == raw  # encoding leaves the parameters as they were


# ---- set / append / put with the name index ----

def test_set_after_repeats_replaces_the_first():
    enc = new_encoder()
    assert enc.append_param_key_value("k", 1)
    assert enc.append_param_key_value("k", 1)
    assert enc.set_param_key_value("k", 2)
    assert enc.param_count() == 2
    # the repeat is still there: encode refuses it
    assert encode_error(enc) == (-1, "Encountered duplicate bind parameter names.")
    assert enc.put_param_value_at(1, 9)
    enc2 = new_encoder()
    enc2.set_param_key_value("k", 2)
    enc2.append_param_key_value("other", 9)
    enc.clear_params()
    enc.set_param_key_value("k", 2)
    enc.append_param_key_value("other", 9)
    assert encode_ok(enc) == encode_ok(enc2)


def test_index_survives_growth_clear_and_reuse():
    enc = new_encoder()
    n = 5000
    for i in range(n):
        assert enc.set_param_key_value("n%d" % i, i)
    for i in range(0, n, 7):  # replace in place, no growth
        assert enc.set_param_key_value("n%d" % i, -i)
    assert enc.param_count() == n
    req = parse(encode_ok(enc))
    assert len(req.parameters) == n
    for i in (0, 1, 7, 4998, 4999):
        assert req.parameters["n%d" % i].primitive_value.int64_value == (-i if i % 7 == 0 else i)
    enc.clear_params()
    assert enc.param_count() == 0
    assert enc.set_param_key_value("n1", 5) and enc.param_count() == 1


def test_set_of_a_hundred_thousand_distinct_names():
    # Hash-indexed: a linear search per call would take many seconds here.
    enc = new_encoder()
    for i in range(100_000):
        enc.set_param_key_value("p%d" % i, i)
    assert enc.param_count() == 100_000
    assert len(parse(encode_ok(enc)).parameters) == 100_000


@pytest.mark.parametrize("method", ["set_param_key_value", "append_param_key_value"])
def test_empty_name_refused(method):
    enc = new_encoder()
    assert getattr(enc, method)("", 1) is False
    assert getattr(enc, method)(b"", 1) is False
    assert enc.param_count() == 0


def test_keyword_arguments():
    enc = new_encoder()
    assert enc.append_param_key_value(name="a", value=1)
    assert enc.set_param_key_value(name="a", value=2)
    assert enc.put_param_value_at(index=0, value=3)
    assert enc.set_params(mapping={"b": 4}) == 1
    req = parse(encode_ok(enc))
    assert req.parameters["a"].primitive_value.int64_value == 3


class Index:
    def __init__(self, n):
        self.n = n

    def __index__(self):
        return self.n


class Name(str):
    pass


class SubEncoder(tk.GraphQueryRequestEncoder):
    pass


CALL_VALUES = [("i", 7), ("f", 0.1), ("s", "t"), ("n", None), ("u", uuid.UUID(int=5)), ("x", Index(9)),
               ("b", True)]


def call_param(enc, how, method, name, value):
    if how == "keyword":
        return getattr(enc, method)(name=name, value=value)
    if how == "unbound":
        return getattr(tk.GraphQueryRequestEncoder, method)(enc, name, value)
    if how == "str subclass":
        name = Name(name)
    elif how == "bytes":
        name = name.encode()
    return getattr(enc, method)(name, value)


@pytest.mark.parametrize("how", ["plain", "keyword", "unbound", "subclass", "str subclass", "bytes"])
@pytest.mark.parametrize("method", ["append_param_key_value", "set_param_key_value"])
def test_every_way_of_calling_gives_the_same_parameters(method, how):
    enc = SubEncoder() if how == "subclass" else tk.GraphQueryRequestEncoder()
    enc.open_cypher_query = QUERY
    for name, value in CALL_VALUES:
        assert call_param(enc, how, method, name, value) is True
    req = parse(encode_ok(enc))
    assert set(req.parameters) == {name for name, _ in CALL_VALUES}
    assert req.parameters["x"].primitive_value.int64_value == 9
    for name, value in CALL_VALUES:
        if name != "x":
            assert req.parameters[name] == expected_any(value), name


@pytest.mark.parametrize("method", ["append_param_key_value", "set_param_key_value"])
@pytest.mark.parametrize("args, exc", [
    (("\ud800", 1), TypeError),
    ((1, 1), TypeError),
    (("a", object()), TypeError),
    (("a", 2**64), OverflowError),
    (("a",), TypeError),
    (("a", 1, 2), TypeError),
])
def test_bad_calls_raise_and_append_nothing(method, args, exc):
    enc = new_encoder()
    with pytest.raises(exc):
        getattr(enc, method)(*args)
    assert enc.param_count() == 0


# ---- failures: first bad parameter in list order decides ----

NOT_UTF8 = b"\xff\xfe"


@pytest.mark.parametrize(
    "items,error",
    [
        ([("a", 1), ("a", 2), ("p", tk.PathValue())], "Encountered duplicate bind parameter names."),
        ([("p", tk.PathValue()), ("a", 1), ("a", 2)], "Not implemented."),
        ([("a", 1), ("a", tk.PathValue())], "Encountered duplicate bind parameter names."),
        ([(NOT_UTF8, 1), ("a", 1), ("a", 2)], "Invalid argument."),
        ([("a", 1), ("a", 2), (NOT_UTF8, 1)], "Encountered duplicate bind parameter names."),
        ([("a", 1), (b"ok\xc3", 1)], "Invalid argument."),  # truncated sequence
        ([("a", 1), (b"\xed\xa0\x80", 1)], "Invalid argument."),  # an encoded surrogate
        ([("a", 1), (b"\xc0\xaf", 1)], "Invalid argument."),  # overlong form
    ],
)
def test_first_bad_parameter_decides(items, error):
    enc = new_encoder()
    for name, value in items:
        enc.append_param_key_value(name, value)
    assert encode_error(enc) == (-1, error)
    assert enc.param_count() == len(items)


def test_valid_utf8_bytes_names_and_query_are_accepted():
    enc = tk.GraphQueryRequestEncoder()
    enc.open_cypher_query = "RETURN 'é'".encode()
    enc.append_param_key_value("naïve".encode(), 1)
    req = parse(encode_ok(enc))
    assert req.open_cypher_query == "RETURN 'é'" and "naïve" in req.parameters


@pytest.mark.parametrize("query", [b"RETURN \xff", b"\x80", b"MATCH (n) RETURN n \xe2\x82"])
def test_query_text_not_utf8_is_refused(query):
    enc = tk.GraphQueryRequestEncoder()
    enc.open_cypher_query = query
    enc.append_param_key_value("p", 1)
    assert encode_error(enc) == (-1, "Invalid argument.")
    # the encoder is as it was: a valid text makes it work
    enc.open_cypher_query = "RETURN $p"
    assert parse(encode_ok(enc)).parameters["p"].primitive_value.int64_value == 1


def test_string_value_not_utf8_goes_to_the_value_codec():
    # Python cannot make such a str; an entity property key read back from a
    # decode could. Whatever the codec does with it, the parameter does too.
    enc = new_encoder()
    enc.append_param_key_value("p", "fine")
    assert parse(encode_ok(enc)).parameters["p"].primitive_value.string_value == "fine"


# ---- set_params ----

def one_at_a_time(items):
    enc = new_encoder()
    for name, value in items:
        enc.append_param_key_value(name, value)
    return enc


def mixed_items(n, seed=3):
    rng = random.Random(seed)
    out = []
    for i in range(n):
        kind = rng.randrange(7)
        v = [None, rng.randrange(-2**63, 2**63), rng.random() * 1e6, "s%d" % i, b"b", rng.random() < 0.5,
             uuid.UUID(int=rng.getrandbits(128))][kind]
        out.append(("%s_%d" % (rand_name(rng), i), v))
    return out


class PlainMapping(collections.abc.Mapping):
    def __init__(self, items):
        self._items = list(items)

    def __getitem__(self, key):
        return dict(self._items)[key]

    def __iter__(self):
        return iter(k for k, _ in self._items)

    def __len__(self):
        return len(self._items)


class DictSubclass(dict):
    pass


@pytest.mark.parametrize("make", [dict, collections.OrderedDict, PlainMapping, DictSubclass],
                         ids=["dict", "OrderedDict", "Mapping", "dict-subclass"])
def test_set_params_equals_one_at_a_time(make):
    items = mixed_items(2000)
    enc = new_encoder()
    assert enc.set_params(make(items)) == len(items)
    assert enc.param_count() == len(items)
    assert encode_ok(enc) == encode_ok(one_at_a_time(items))


def test_set_params_appends_in_mapping_order_after_existing():
    enc = new_encoder()
    enc.append_param_key_value("a", 1)
    assert enc.set_params({"b": 2, "a": 3}) == 2  # appended as a repeat, as append would
    assert enc.param_count() == 3
    assert encode_error(enc) == (-1, "Encountered duplicate bind parameter names.")
    assert enc.put_param_value_at(2, 5)
    # the appended pairs sit where append would have put them
    ref = one_at_a_time([("a", 1), ("b", 2), ("a", 3)])
    ref.put_param_value_at(2, 5)
    assert encode_error(ref) == encode_error(enc)
    assert enc.set_param_key_value("b", 7) and enc.param_count() == 3


def test_set_params_skips_empty_names():
    enc = new_encoder()
    assert enc.set_params({"": 1, "x": 2, b"": 3}) == 1
    assert enc.param_count() == 1
    assert encode_ok(enc) == encode_ok(one_at_a_time([("x", 2)]))


def test_set_params_bytes_names():
    enc = new_encoder()
    assert enc.set_params({b"raw": 1, "text": 2}) == 2
    assert set(parse(encode_ok(enc)).parameters) == {"raw", "text"}


class Unconvertible:
    pass


@pytest.mark.parametrize(
    "mapping,exc",
    [
        ({"a": 1, "b": Unconvertible(), "c": 3}, TypeError),
        ({"a": 1, 5: 2}, TypeError),
        ({"a": 1, "big": 2**64}, OverflowError),
        ([("a", 1)], TypeError),
        (PlainMapping([("a", 1), ("b", Unconvertible())]), TypeError),
    ],
)
def test_set_params_is_all_or_nothing(mapping, exc):
    enc = new_encoder()
    enc.set_param_key_value("keep", 1)
    before = encode_ok(enc)
    with pytest.raises(exc):
        enc.set_params(mapping)
    assert enc.param_count() == 1
    assert encode_ok(enc) == before
    # the index is still right after the rollback
    assert enc.set_param_key_value("keep", 2) and enc.param_count() == 1
    assert enc.set_param_key_value("a", 1) and enc.param_count() == 2


class Shrinker:
    """An int-like value whose conversion empties the dict being read."""

    def __init__(self, target):
        self.target = target

    def __index__(self):
        self.target.clear()
        gc.collect()
        return 7


def test_set_params_dict_changed_while_read():
    d = {"a": 1}
    d["b"] = Shrinker(d)
    d["c"] = 3
    enc = new_encoder()
    with pytest.raises(RuntimeError, match="changed size"):
        enc.set_params(d)
    assert enc.param_count() == 0


class Reentrant:
    """A value whose conversion changes the encoder it is being added to."""

    def __init__(self, enc):
        self.enc = enc

    def __index__(self):
        self.enc.clear_params()
        for i in range(100):
            self.enc.append_param_key_value("r%d" % i, i)
        return 1


def test_set_params_reentrant_value_is_safe():
    enc = new_encoder()
    enc.set_params({"a": 1, "b": Reentrant(enc), "c": 2})
    # whatever the outcome, the list is consistent and encodes
    assert enc.param_count() >= 1
    parse(encode_ok(enc))
    assert enc.set_param_key_value("z", 1)
