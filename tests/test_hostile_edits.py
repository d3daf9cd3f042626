"""GraphApplyEditsDecoder.decode on damaged and hostile input.

Valid responses are built with the Google protobuf runtime and then damaged
(flipped, cut, spliced and inserted bytes) with a fixed seed. Whatever comes
in, decode answers an Error (success or -3) and get_results either returns a
dict or raises one of the documented Python errors; the process never dies.
"""
import random
import time

import _tolmirkenvor as tk
from pbgen import pb

DECODE_FAILED = "Error decoding ApplyEdits response!"
HANG_GUARD_S = 300


def E():
    return pb.graph_edits_pb2


def fill_ids(arr, rng):
    kind = rng.randrange(9)
    if kind == 0:
        for _ in range(rng.randrange(1, 4)):
            a = arr.any_values.values.add()
            choice = rng.randrange(5)
            if choice == 0:
                a.primitive_value.string_value = "id%d" % rng.randrange(100)
            elif choice == 1:
                a.primitive_value.uuid_value = bytes(rng.randrange(256) for _ in range(16))
            elif choice == 2:
                a.entity_value.label = "E"
                kv = a.entity_value.properties.add()
                kv.key = "k"
                kv.value.primitive_value.double_value = 0.1
            elif choice == 3:
                g = a.primitive_value.geometry_value
                g.default_geometry.lengths.extend([2])
                g.default_geometry.coords.extend([1, 2, 3, 4])
                g.geometry_type = 2
            else:
                a.wrapped_value.primitive_value.int64_value = -5
    elif kind == 1:
        arr.int64_values.values.extend(rng.randrange(-1000, 1000) for _ in range(rng.randrange(1, 5)))
    elif kind == 2:
        arr.uuid_values = bytes(rng.randrange(256) for _ in range(16 * rng.randrange(1, 3)))
    elif kind == 3:
        arr.null_values.count = rng.randrange(1, 4)
    elif kind == 4:
        arr.string_values.value.extend(["a", "bc"])
    elif kind == 5:
        arr.datetime_values.values.extend([0, 1600000000000, -1])
    elif kind == 6:
        arr.double_values.values.extend([0.5, 1e300])
    elif kind == 7:
        arr.blob_values.values.extend([b"\x00", b"\xff"])
    else:
        arr.bool_values.values.extend([True, False])


def valid_response(rng):
    r = E().GraphApplyEditsResult()
    if rng.random() < 0.3:
        r.error.error_code = rng.randrange(-5, 5)
        r.error.error_message = "msg"
    maps = [r.entity_add_results, r.relationship_add_results, r.entity_update_results,
            r.relationship_update_results, r.entity_delete_results, r.relationship_delete_results]
    for m in rng.sample(maps, rng.randrange(1, len(maps) + 1)):
        for name in rng.sample(["A", "B", "Ü"], rng.randrange(1, 3)):
            er = m[name]
            fill_ids(er.ids, rng)
            if rng.random() < 0.5:
                er.errors[rng.randrange(3)].error_message = "bad"
    if rng.random() < 0.5:
        c = r.cascading_relationship_delete_results["R"]
        n = rng.randrange(1, 4)
        c.results.ids.int64_values.values.extend(range(n))
        c.origin_ids.int64_values.values.extend(range(n))
        c.destination_ids.string_values.value.extend(["d"] * n)
        c.results.errors[0].error_code = 1
    if rng.random() < 0.5:
        ep = r.rel_type_schema_changes["R"].new_end_points.add()
        ep.origin_entity_type = "A"
        ep.destination_entity_type = "B"
    return r.SerializeToString()


def mutate(data, other, rng):
    b = bytearray(data)
    op = rng.randrange(6)
    if op == 0 and b:  # flip bytes
        for _ in range(rng.randrange(1, 5)):
            b[rng.randrange(len(b))] ^= rng.randrange(1, 256)
    elif op == 1:  # cut the tail
        del b[rng.randrange(len(b) + 1):]
    elif op == 2 and b:  # cut a slice out of the middle
        i = rng.randrange(len(b))
        del b[i:i + rng.randrange(1, 8)]
    elif op == 3:  # splice two responses
        b = b[:rng.randrange(len(b) + 1)] + other[rng.randrange(len(other) + 1):]
    elif op == 4:  # insert random bytes
        i = rng.randrange(len(b) + 1)
        b[i:i] = bytes(rng.randrange(256) for _ in range(rng.randrange(1, 6)))
    else:  # make a length or varint huge
        if b:
            i = rng.randrange(len(b))
            b[i:i + 1] = b"\xff\xff\xff\xff\x0f"
    return bytes(b)


def check(dec, data):
    err = dec.decode(data)
    assert isinstance(err, tk.Error)
    assert (err.error_code, err.error_message) in ((0, ""), (-3, DECODE_FAILED))
    try:
        got = dec.get_results()
    except (ValueError, RuntimeError):  # e.g. invalid UTF-8, a nameless end point
        return err
    assert set(got) <= {"error", "editsResult", "cascadedDeletes", "relationshipSchemaChanges"}
    return err


def test_damaged_responses_never_crash():
    rng = random.Random(20240611)
    valid = [valid_response(rng) for _ in range(60)]
    dec = tk.GraphApplyEditsDecoder()
    for data in valid:
        assert check(dec, data).empty()
    start = time.monotonic()
    failures = 0
    for i in range(6000):
        data = valid[i % len(valid)]
        damaged = mutate(data, rng.choice(valid), rng)
        if rng.random() < 0.3:
            damaged = mutate(damaged, rng.choice(valid), rng)
        failures += check(dec, damaged).error_code != 0
    for _ in range(500):
        check(dec, bytes(rng.randrange(256) for _ in range(rng.randrange(1, 64))))
    assert failures > 0  # the damage was noticed at least sometimes
    # A guard against a decoder that hangs on damaged input, not a speed
    # check: the bound holds under the sanitizers on a busy machine too.
    assert time.monotonic() - start < HANG_GUARD_S


def test_crafted_hostile_responses():
    dec = tk.GraphApplyEditsDecoder()

    # Nesting beyond the parser's limit.
    r = E().GraphApplyEditsResult()
    a = r.entity_add_results["T"].ids.any_values.values.add()
    for _ in range(200):
        a = a.wrapped_value
    a.primitive_value.int64_value = 1
    check(dec, r.SerializeToString())

    # Many tiny null arrays that would each expand to a million values.
    r = E().GraphApplyEditsResult()
    for i in range(200):
        r.entity_add_results["T%d" % i].ids.null_values.count = 1 << 20
    assert check(dec, r.SerializeToString()).error_code == -3  # refused, not expanded

    # Counts that are negative or beyond anything sensible.
    for count in (-1, 1 << 62):
        r = E().GraphApplyEditsResult()
        r.entity_add_results["T"].ids.null_values.count = count
        check(dec, r.SerializeToString())

    # A geometry id whose lengths promise more than its coordinates hold.
    r = E().GraphApplyEditsResult()
    g = r.entity_add_results["T"].ids.any_values.values.add().primitive_value.geometry_value
    g.geometry_type = 2
    g.default_geometry.lengths.extend([1000000])
    g.default_geometry.coords.extend([1, 2])
    check(dec, r.SerializeToString())

    # Error keys far beyond the ids, and at the top of the key range.
    r = E().GraphApplyEditsResult()
    r.entity_add_results["T"].ids.int64_values.values.extend([1])
    r.entity_add_results["T"].errors[(1 << 64) - 1].error_code = 1
    assert check(dec, r.SerializeToString()).empty()
    assert "error" not in dec.get_results()


def test_undecodable_identifiers_fail_the_decode():
    # A uuid array whose length is no multiple of 16 cannot be represented:
    # the response fails instead of its results silently vanishing.
    dec = tk.GraphApplyEditsDecoder()
    r = E().GraphApplyEditsResult()
    r.entity_add_results["T"].ids.uuid_values = bytes(33)
    err = dec.decode(r.SerializeToString())
    assert (err.error_code, err.error_message) == (-3, "Error decoding ApplyEdits response!")
