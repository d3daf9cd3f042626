"""Builds query result streams with the protobuf Python runtime.

A stream is one varint-length-prefixed GraphQueryResultHeader followed by
length-prefixed GraphQueryResultFrames whose bytes may be gzip- or
zlib-compressed. Values are AnyValue messages; `value()` makes them from
plain Python data, the other helpers build the compound kinds.

    from streams import result_stream, value
    body = result_stream(["n", "name"], [[value(1), value("a")]])
"""
import datetime
import gzip
import uuid
import zlib

from pbgen import pb


def _values():
    return pb.graph_values_pb2


def _query():
    return pb.graph_query_pb2


def varint(n):
    """Base-128 varint of a non-negative integer."""
    out = bytearray()
    while True:
        b = n & 0x7F
        n >>= 7
        if n:
            out.append(b | 0x80)
        else:
            out.append(b)
            return bytes(out)


def delimited(payload):
    """One message of the stream: its length as a varint, then its bytes."""
    if not isinstance(payload, (bytes, bytearray)):
        payload = payload.SerializeToString()
    return varint(len(payload)) + bytes(payload)


def read_varint(buf, pos):
    """(value, next position) of the base-128 varint at pos."""
    result = shift = 0
    while True:
        b = buf[pos]
        pos += 1
        result |= (b & 0x7F) << shift
        if not b & 0x80:
            return result, pos
        shift += 7


def split_delimited(body):
    """The messages of a varint-length-prefixed body, as byte strings."""
    parts, pos = [], 0
    while pos < len(body):
        n, pos = read_varint(body, pos)
        assert pos + n <= len(body), "length prefix beyond the body"
        parts.append(body[pos:pos + n])
        pos += n
    return parts


def compress(data, fmt="gzip"):
    if fmt == "gzip":
        return gzip.compress(data)
    if fmt == "zlib":
        return zlib.compress(data)
    raise ValueError(fmt)


# --- values -----------------------------------------------------------------

def value(v=None):
    """AnyValue from a Python value: None, bool, int (int64), float (double),
    str, bytes (blob), uuid.UUID, datetime.datetime (aware: milliseconds since
    the epoch) or an AnyValue/compound message passed through."""
    m = _values().AnyValue()
    if v is None:
        return m
    if isinstance(v, _values().AnyValue):
        return v
    p = m.primitive_value
    if isinstance(v, bool):
        p.bool_value = v
    elif isinstance(v, int):
        p.int64_value = v
    elif isinstance(v, float):
        p.double_value = v
    elif isinstance(v, str):
        p.string_value = v
    elif isinstance(v, (bytes, bytearray)):
        p.blob_value = bytes(v)
    elif isinstance(v, uuid.UUID):
        p.uuid_value = v.bytes
    elif isinstance(v, datetime.datetime):
        if v.tzinfo is None:
            raise ValueError("give an aware datetime")
        epoch = datetime.datetime(1970, 1, 1, tzinfo=datetime.timezone.utc)
        p.datetime_value = (v - epoch) // datetime.timedelta(milliseconds=1)
    else:
        raise TypeError(type(v))
    return m


def primitive(**field):
    """AnyValue with one PrimitiveValue field set, e.g. primitive(float_int_value=3)."""
    m = _values().AnyValue()
    (name, v), = field.items()
    if name == "geometry_value":
        m.primitive_value.geometry_value.CopyFrom(v)
    else:
        setattr(m.primitive_value, name, v)
    return m


def _pairs(target, props):
    for k, v in (props.items() if isinstance(props, dict) else props):
        pair = target.add()
        pair.key = k
        pair.value.CopyFrom(value(v))


def obj(props=()):
    m = _values().AnyValue()
    m.object_value.SetInParent()
    _pairs(m.object_value.properties, props)
    return m


def _entity_msg(target, label, id, props):
    target.label = label
    if id is not None:
        target.id.CopyFrom(value(id))
    _pairs(target.properties, props)


def _rel_msg(target, type_name, id, origin, destination, props):
    target.type = type_name
    if id is not None:
        target.id.CopyFrom(value(id))
    if origin is not None:
        target.origin_id.CopyFrom(value(origin))
    if destination is not None:
        target.destination_id.CopyFrom(value(destination))
    _pairs(target.properties, props)


def entity(label, id=None, props=()):
    m = _values().AnyValue()
    m.entity_value.SetInParent()
    _entity_msg(m.entity_value, label, id, props)
    return m


def relationship(type_name, id=None, origin=None, destination=None, props=()):
    m = _values().AnyValue()
    m.relationship_value.SetInParent()
    _rel_msg(m.relationship_value, type_name, id, origin, destination, props)
    return m


def path(entities, relationships):
    """entities: (label, id, props) tuples; relationships: (type, id, origin,
    destination, props) tuples."""
    m = _values().AnyValue()
    m.path_value.SetInParent()
    for e in entities:
        _entity_msg(m.path_value.entities.add(), *e)
    for r in relationships:
        _rel_msg(m.path_value.relationships.add(), *r)
    return m


def array(**field):
    """AnyValue holding an ArrayValue, e.g. array(int64_values=[1, 2]),
    array(null_values=3), array(uuid_values=b"..."), array(any_values=[...]).
    array() is the empty array (no field set)."""
    m = _values().AnyValue()
    m.array_value.SetInParent()
    if not field:
        return m
    (name, v), = field.items()
    a = m.array_value
    if name == "null_values":
        a.null_values.count = v
    elif name == "uuid_values":
        a.uuid_values = v
    elif name == "string_values":
        a.string_values.value.extend(v)
    elif name == "any_values":
        a.any_values.values.extend(value(x) for x in v)
    elif name == "geometry_values":
        a.geometry_values.values.extend(v)
    else:
        getattr(a, name).values.extend(v)
    return m


def wrapped(inner, levels=1):
    m = value(inner)
    for _ in range(levels):
        outer = _values().AnyValue()
        outer.wrapped_value.CopyFrom(m)
        m = outer
    return m


def geometry(wire_type, lengths, coords, has_z=False, has_m=False):
    """GeometryValue message with grid integers (delta-encoded by the caller
    for multi-vertex types)."""
    g = _values().GeometryValue()
    g.geometry_type = wire_type
    d = g.default_geometry
    d.has_z = has_z
    d.has_m = has_m
    d.lengths.extend(lengths)
    d.coords.extend(coords)
    return g


# --- messages and streams ---------------------------------------------------

def header(field_names=(), *, scale=(1.0, 1.0, 1.0, 1.0), translate=(0.0, 0.0, 0.0, 0.0),
           transform=True, compressed=False, error=None):
    """scale/translate are (x, y, z, m); transform=False leaves it out."""
    h = _query().GraphQueryResultHeader()
    h.field_names.extend(field_names)
    if transform:
        h.transform.SetInParent()
        if scale is not None:
            s = h.transform.scale
            s.xScale, s.yScale, s.zScale, s.mScale = scale
        if translate is not None:
            t = h.transform.translate
            t.xTranslate, t.yTranslate, t.zTranslate, t.mTranslate = translate
    if compressed:
        h.frames_compressed = True
    if error is not None:
        h.error.error_code, h.error.error_message = error
    return h


def frame(rows=(), error=None):
    f = _query().GraphQueryResultFrame()
    for row in rows:
        f.rows.add().values.extend(value(v) for v in row)
    if error is not None:
        f.error.error_code, f.error.error_message = error
    return f


def frame_bytes(rows=(), error=None, compression=None):
    """One delimited frame; compression is None, "gzip" or "zlib"."""
    data = frame(rows, error).SerializeToString()
    if compression:
        data = compress(data, compression)
    return delimited(data)


def result_stream(field_names, rows=(), *, rows_per_frame=100, compression=None, **header_args):
    """A whole response body: header, then the rows cut into frames."""
    rows = list(rows)
    out = [delimited(header(field_names, compressed=bool(compression), **header_args))]
    for start in range(0, len(rows), rows_per_frame):
        out.append(frame_bytes(rows[start:start + rows_per_frame], compression=compression))
    return b"".join(out)


def chunks(data, size):
    return [data[i:i + size] for i in range(0, len(data), size)]
