"""Inputs for the benchmarks: seeded random data, distinct in every row.

Everything here runs before timing. Wire bodies are built with the Google
protobuf runtime (classes generated from proto/), Python inputs with plain
Python. Every string is made fresh from random characters, so neither side
can profit from a repeated or interned value.
"""
import datetime
import os
import random
import struct
import sys
import uuid
import zlib

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests"))

from pbgen import pb  # noqa: E402
from streams import delimited  # noqa: E402

CHUNK = 64 * 1024
ROWS_PER_FRAME = 1000
FRAME_EDITS = 2049

ASCII = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 -_."
# A fifth of the strings mix in two- to four-byte UTF-8 characters.
WIDE = ASCII + "äöüßéèñçøåłžšœ€ёжфыλΩ中文日本語한국🙂🚀"

EPOCH = datetime.datetime(1970, 1, 1)
QUERY_FIELDS = ["n", "score", "name", "born", "person"]
ARROW_FIELDS = ["n", "score", "name", "born", "uid", "loc"]

# Result grid for geometries: one unit is 1e-9 degrees from (-400, -400).
GRID_SCALE = 1e-9
GRID_ORIGIN = -400.0


def V():
    return pb.graph_values_pb2


def Q():
    return pb.graph_query_pb2


_ASCII_TABLE = bytes(ord(ASCII[i % len(ASCII)]) for i in range(256))
_WIDE_TABLE = {i: WIDE[i % len(WIDE)] for i in range(256)}


def rand_str(rng, lo=5, hi=24):
    """A new str of lo..hi random characters (random bytes mapped through a
    table, which is much faster than picking characters one by one)."""
    raw = rng.randbytes(lo + rng.getrandbits(8) % (hi - lo + 1))
    if rng.random() < 0.2:
        return raw.decode("latin-1").translate(_WIDE_TABLE)
    return raw.translate(_ASCII_TABLE).decode("ascii")


def rand_ms(rng):
    """Milliseconds between 1950 and 2040, before the epoch included."""
    return rng.randrange(-631152000000, 2208988800000)


def rand_datetime(rng):
    """Naive datetime with microseconds, 1971 to 2040."""
    return EPOCH + datetime.timedelta(microseconds=rng.randrange(31536000 * 10**6, 2208988800 * 10**6))


def rand_double(rng):
    """Mostly full-precision doubles, some integral, some float-exact."""
    r = rng.random()
    if r < 0.1:
        return float(rng.randrange(-100000, 100000))
    if r < 0.2:
        return rng.randrange(-2**20, 2**20) / 64.0
    return rng.uniform(-1e6, 1e6)


# ---------------------------------------------------------------- wire helpers

_F = struct.Struct("<f")


def float_exact(x):
    try:
        return _F.unpack(_F.pack(x))[0] == x
    except OverflowError:
        return False


def set_double(p, x):
    """A double in the narrowest exact wire form (what a server sends)."""
    integral = False
    if x == x and x not in (float("inf"), float("-inf")):
        t = int(x)
        integral = float(t) == x and -(2**48) <= t <= 2**48 - 1
    if integral and -1048576 <= t <= 1048575:
        p.double_int_value = t
    elif float_exact(x):
        p.double_float_value = x
    elif not integral:
        p.double_value = x
    else:
        p.double_int_value = t


def result_header(fields, compressed=False, scale=1.0, translate=0.0):
    h = Q().GraphQueryResultHeader()
    h.field_names.extend(fields)
    s = h.transform.scale
    s.xScale = s.yScale = scale
    s.zScale = s.mScale = 1.0
    t = h.transform.translate
    t.xTranslate = t.yTranslate = translate
    t.zTranslate = t.mTranslate = 0.0
    h.frames_compressed = compressed
    return h.SerializeToString()


def cut(body, size=CHUNK):
    """The body as the network hands it over: bytes chunks of `size`."""
    return [body[i:i + size] for i in range(0, len(body), size)]


def grid(rng):
    """A random grid coordinate (lon/lat range)."""
    return rng.randrange(int(220 * 1e9), int(580 * 1e9))


# ---------------------------------------------------------------- query results

def fill_query_row(row, rng):
    vals = row.values
    vals.add().primitive_value.int64_value = rng.randrange(-2**62, 2**62)
    set_double(vals.add().primitive_value, rand_double(rng))
    vals.add().primitive_value.string_value = rand_str(rng)
    vals.add().primitive_value.datetime_value = rand_ms(rng)
    e = vals.add().entity_value
    e.label = "Person"
    e.id.primitive_value.int64_value = rng.randrange(2**40)
    kv = e.properties.add()
    kv.key = "age"
    kv.value.primitive_value.int64_value = rng.randrange(100)
    kv = e.properties.add()
    kv.key = "city"
    kv.value.primitive_value.string_value = rand_str(rng)
    kv = e.properties.add()
    kv.key = "height"
    set_double(kv.value.primitive_value, rng.uniform(1.2, 2.1))


def fill_arrow_row(row, rng):
    vals = row.values
    vals.add().primitive_value.int64_value = rng.randrange(-2**62, 2**62)
    set_double(vals.add().primitive_value, rand_double(rng))
    vals.add().primitive_value.string_value = rand_str(rng)
    vals.add().primitive_value.datetime_value = rand_ms(rng)
    vals.add().primitive_value.uuid_value = rng.getrandbits(128).to_bytes(16, "big")
    g = vals.add().primitive_value.geometry_value
    g.geometry_type = 0  # point
    g.default_geometry.lengths.append(1)
    g.default_geometry.coords.extend((grid(rng), grid(rng)))


def fill_polyline_row(row, rng, vertices=50):
    g = row.values.add().primitive_value.geometry_value
    g.geometry_type = 2  # polyline
    d = g.default_geometry
    d.lengths.append(vertices)
    coords = [grid(rng), grid(rng)]
    for _ in range(vertices - 1):  # a random walk, delta-encoded
        coords.append(rng.randrange(-5 * 10**6, 5 * 10**6))
        coords.append(rng.randrange(-5 * 10**6, 5 * 10**6))
    d.coords.extend(coords)


def frames(fill, rows, seed, rows_per_frame=ROWS_PER_FRAME):
    """Serialised frames (not delimited), one generator step per frame."""
    rng = random.Random(seed)
    Frame = Q().GraphQueryResultFrame
    for start in range(0, rows, rows_per_frame):
        f = Frame()
        for _ in range(min(rows_per_frame, rows - start)):
            fill(f.rows.add(), rng)
        yield f.SerializeToString()


def stream(fields, frame_list, compressed=False, **header):
    head = delimited(result_header(fields, compressed, **header))
    if compressed:
        frame_list = [zlib.compress(f) for f in frame_list]
    return head + b"".join(delimited(f) for f in frame_list)


def query_frames(rows, seed=101):
    return list(frames(fill_query_row, rows, seed))


def polyline_frames(rows, seed=202):
    return list(frames(fill_polyline_row, rows, seed))


def arrow_frames(rows, seed=303):
    return list(frames(fill_arrow_row, rows, seed))


GRID_HEADER = {"scale": GRID_SCALE, "translate": GRID_ORIGIN}


# ---------------------------------------------------------------- edits and parameters

EDIT_TYPES = ["Place", "Station", "Depot", "Harbour", "Airfield"]


def edit_rows(count, seed=404):
    """(type name, name, count, score, when, x, y) per entity."""
    rng = random.Random(seed)
    return [(rng.choice(EDIT_TYPES), rand_str(rng), rng.randrange(-10**12, 10**12), rand_double(rng),
             rand_datetime(rng), rng.uniform(-180, 180), rng.uniform(-90, 90)) for _ in range(count)]


def edit_dicts(rows):
    return [{"_objectType": "entity", "_typeName": t, "_id": None,
             "_properties": {"name": name, "count": n, "score": d, "when": when,
                             "location": {"x": x, "y": y, "_objectType": "geometry"}}}
            for t, name, n, d, when, x, y in rows]


def edit_entities(tk, rows):
    out = []
    for t, name, n, d, when, x, y in rows:
        g = tk.GeometryValue()
        g.geometry_type = tk.vexoGeometryPoint
        g.lengths = [1]
        g.coords = [x, y]
        e = tk.EntityValue()
        e.type_name = t
        e.append_key_value("name", name)
        e.append_key_value("count", n)
        e.append_key_value("score", d)
        e.append_key_value("when", when)
        e.append_key_value("location", g)
        out.append(e)
    return out


def param_items(count, seed=505):
    """(name, value) pairs of mixed kinds; names are distinct."""
    rng = random.Random(seed)
    out = []
    for i in range(count):
        k = rng.randrange(6)
        if k == 0:
            v = rng.randrange(-2**63, 2**63)
        elif k == 1:
            v = rand_double(rng)
        elif k == 2:
            v = rand_str(rng)
        elif k == 3:
            v = rng.random() < 0.5
        elif k == 4:
            v = rand_datetime(rng)
        else:
            v = uuid.UUID(int=rng.getrandbits(128))
        out.append(("%s_%d" % (rand_str(rng, 3, 10), i), v))
    return out


def doubles(count, seed=606):
    rng = random.Random(seed)
    return [rng.uniform(-1e9, 1e9) for _ in range(count)]


# ---------------------------------------------------------------- data model

def data_model_body(entity_types=200, props=30, rel_types=40, rel_props=10, seed=707):
    S = pb.graph_schema_pb2
    rng = random.Random(seed)
    m = S.GraphDataModel()
    m.data_model_timestamp = rng.randrange(10**12, 2 * 10**12)
    m.spatial_reference.wkid = 4326
    m.spatial_reference.latestWkid = 4326
    m.objectid_property = "objectid"
    m.globalid_property = "globalid"
    m.tolmir_managed = True
    m.identifier_info.identifier_mapping_info.uniform_property.identifier_property_name = "globalid"
    m.identifier_info.identifier_generation_info.uuid_method_hint = 2
    names = []

    def fill(nt, nprops):
        nt.name = "%s_%d" % (rand_str(rng, 4, 16), len(names))
        names.append(nt.name)
        nt.alias = rand_str(rng)
        nt.role = rng.choice((0, 0, 0, 1, 2))
        pnames = []
        for j in range(nprops):
            p = nt.properties.add()
            p.name = "%s_%d" % (rand_str(rng, 3, 14), j)
            pnames.append(p.name)
            p.alias = rand_str(rng)
            ft = rng.choice((2, 2, 4, 5, 5, 5, 6, 8, 11, 12, 1, 3, 9))
            p.field_type = ft
            r = rng.random()
            if ft == 8:
                p.geometry_type = rng.choice((0, 1, 2, 3))
                p.has_z = rng.random() < 0.3
                p.has_m = rng.random() < 0.1
            elif r < 0.3 and ft == 5:
                p.default_value.add().string_value = rand_str(rng)
            elif r < 0.3 and ft == 2:
                p.default_value.add().int64_value = rng.randrange(-10**6, 10**6)
            elif r < 0.3 and ft == 4:
                p.default_value.add().double_value = rng.uniform(-1e3, 1e3)
            elif r < 0.3 and ft == 6:
                p.default_value.add().int64_value = rand_ms(rng)
            p.not_nullable = rng.random() < 0.2
            p.not_editable = rng.random() < 0.1
            p.hidden = rng.random() < 0.05
            p.required = rng.random() < 0.1
            p.system_maintained = rng.random() < 0.05
            if rng.random() < 0.2:
                p.domain = rand_str(rng)
            if rng.random() < 0.9:
                p.role = rng.choice((1, 1, 1, 2, 3, 5))
        for k in range(2):
            fi = nt.field_indexes.add()
            fi.name = "ix_%s_%d" % (rand_str(rng, 3, 8), k)
            fi.fields = ",".join(rng.sample(pnames, min(2, len(pnames))))
            fi.isAscending = rng.random() < 0.5
            fi.isUnique = k == 0

    for _ in range(entity_types):
        fill(m.entity_types.add().named_object_type, props)
    entity_names = list(names)
    for _ in range(rel_types):
        rt = m.relationship_types.add()
        fill(rt.named_object_type, rel_props)
        for _ in range(2):
            ep = rt.end_points.add()
            ep.origin_entity_type = rng.choice(entity_names)
            ep.destination_entity_type = rng.choice(entity_names)
    for i, cat in enumerate((1, 2, 3)):
        si = m.search_indexes.add()
        si.name = "search_%s_%d" % (rand_str(rng, 3, 8), i)
        si.supported_category = cat
        si.analyzers.add().name = rand_str(rng)
        si.analyzers.add().name = rand_str(rng)
        for tn in rng.sample(names, min(50, len(names))):
            si.search_properties[tn].property_names.extend(rand_str(rng) for _ in range(3))
    return m.SerializeToString()


# ---------------------------------------------------------------- apply-edits results

def edits_result_body(ids=100000, seed=808):
    """Adds with UUID ids, updates with integer ids, deletes with UUID ids
    over several types; about one object in 200 carries an error."""
    E = pb.graph_edits_pb2
    rng = random.Random(seed)
    r = E.GraphApplyEditsResult()
    adds = int(ids * 0.6)
    updates = int(ids * 0.3)
    deletes = ids - adds - updates

    def fill(results, types, n, kind):
        per = [n // len(types)] * len(types)
        per[0] += n - sum(per)
        for t, k in zip(types, per):
            er = results[t]
            if kind == "uuid":
                er.ids.uuid_values = b"".join(rng.getrandbits(128).to_bytes(16, "big") for _ in range(k))
            else:
                er.ids.int64_values.values.extend(rng.randrange(2**40) for _ in range(k))
            for pos in rng.sample(range(k), k // 200):
                e = er.errors[pos]
                e.error_code = rng.randrange(1, 100)
                e.error_message = rand_str(rng, 10, 40)

    fill(r.entity_add_results, ["Place", "Station", "Depot", "Harbour"], adds, "uuid")
    fill(r.entity_update_results, ["Place", "Station"], updates, "int")
    fill(r.entity_delete_results, ["Depot", "Airfield"], deletes, "uuid")
    return r.SerializeToString()
