"""The baselines: what a user without the module writes, with the Google
protobuf runtime (classes generated from proto/) and plain Python.

Each function gives the same Python structures, or the same bytes, that the
module gives for the same input, so the benchmark can check both sides
against each other before it times them. Date-times are converted as local
time; run.py pins the process to UTC, where that is plain arithmetic.
"""
import datetime
import uuid
import zlib

from google.protobuf.internal.decoder import _DecodeVarint
from google.protobuf.internal.encoder import _VarintBytes
from workloads import float_exact, pb, set_double

_fromts = datetime.datetime.fromtimestamp
_UUID = uuid.UUID


# ---------------------------------------------------------------- values to Python

def _datetime(ms):
    return _fromts(ms // 1000).replace(microsecond=ms % 1000 * 1000)


def _uuid(b):
    return _UUID(bytes=b) if len(b) == 16 else None


class Converter:
    """AnyValue -> the structures the module's rows hold. The result
    transform (scale, translate) dequantizes geometries."""

    def __init__(self, sx=1.0, sy=1.0, tx=0.0, ty=0.0):
        self.sx, self.sy, self.tx, self.ty = sx, sy, tx, ty
        self.identity = sx == 1.0 and sy == 1.0 and tx == 0.0 and ty == 0.0
        self.prim = {
            "string_value": lambda p: p.string_value,
            "int64_value": lambda p: p.int64_value,
            "double_value": lambda p: p.double_value,
            "double_float_value": lambda p: p.double_float_value,
            "double_int_value": lambda p: float(p.double_int_value),
            "float_value": lambda p: p.float_value,
            "float_int_value": lambda p: float(p.float_int_value),
            "bool_value": lambda p: p.bool_value,
            "datetime_value": lambda p: _datetime(p.datetime_value),
            "uuid_value": lambda p: _uuid(p.uuid_value),
            "blob_value": lambda p: p.blob_value,
            "geometry_value": lambda p: self.geometry(p.geometry_value),
            "null_value": lambda p: None,
            None: lambda p: None,
        }

    def value(self, v):
        kind = v.WhichOneof("value")
        if kind == "primitive_value":
            p = v.primitive_value
            return self.prim[p.WhichOneof("value")](p)
        if kind == "entity_value":
            e = v.entity_value
            return {"_objectType": "entity", "_typeName": e.label,
                    "_id": self.value(e.id) if e.HasField("id") else None,
                    "_properties": self.properties(e.properties)}
        if kind is None:
            return None
        if kind == "wrapped_value":
            return self.value(v.wrapped_value)
        raise NotImplementedError(kind)  # not used by the workloads

    def properties(self, pairs):
        conv = self.value
        return {kv.key: conv(kv.value) for kv in pairs}

    def geometry(self, g):
        d = g.default_geometry
        coords = list(d.coords)
        sx, sy, tx, ty = self.sx, self.sy, self.tx, self.ty
        ident = self.identity
        if g.geometry_type == 0:  # point
            x, y = float(coords[0]), float(coords[1])
            if not ident:
                x, y = sx * x + tx, sy * y + ty
            return {"x": x, "y": y, "_objectType": "geometry"}
        if g.geometry_type != 2 or d.has_z or d.has_m:
            raise NotImplementedError("only 2D points and polylines are benchmarked")
        paths = []
        pos = 0
        for n in d.lengths:
            path = []
            x = y = 0
            for i in range(pos, pos + 2 * n, 2):
                x += coords[i]
                y += coords[i + 1]
                path.append([sx * x + tx, sy * y + ty] if not ident else [float(x), float(y)])
            paths.append(path)
            pos += 2 * n
        return {"paths": paths, "_objectType": "geometry"}


# ---------------------------------------------------------------- query result stream

def query_rows(chunks, keep=True):
    """Reads a result stream chunk by chunk; returns the rows (lists of
    values), or their count when keep is false."""
    Q = pb.graph_query_pb2
    Header, Frame = Q.GraphQueryResultHeader, Q.GraphQueryResultFrame
    buf = b""
    header = None
    conv = None
    compressed = False
    out = []
    count = 0
    for chunk in chunks:
        buf = buf + chunk if buf else chunk
        pos, end = 0, len(buf)
        while pos < end:
            try:
                length, start = _DecodeVarint(buf, pos)
            except IndexError:
                break
            stop = start + length
            if stop > end:
                break
            payload = buf[start:stop]
            pos = stop
            if header is None:
                header = Header.FromString(payload)
                if header.HasField("error"):
                    raise RuntimeError(header.error.error_message)
                s, t = header.transform.scale, header.transform.translate
                conv = Converter(s.xScale, s.yScale, t.xTranslate, t.yTranslate)
                compressed = header.frames_compressed
                value = conv.value
                continue
            if not length:
                continue
            frame = Frame.FromString(zlib.decompress(payload) if compressed else payload)
            if frame.HasField("error"):
                raise RuntimeError(frame.error.error_message)
            if keep:
                out.extend([value(v) for v in r.values] for r in frame.rows)
            else:
                for r in frame.rows:
                    row = [value(v) for v in r.values]  # noqa: F841 (dropped)
                    count += 1
        buf = buf[pos:]
    return out if keep else count


# ---------------------------------------------------------------- values to the wire

def _ticks(dt, _epoch=datetime.datetime(1970, 1, 1)):
    d = dt - _epoch  # the process runs in UTC: local time is UTC
    return (d.days * 86400 + d.seconds) * 10**7 + d.microseconds * 10


def _ms(dt):
    t = _ticks(dt)
    return t // 10000 if t >= 0 else -(-t // 10000)


def set_float(p, x):
    """Any Python float: single precision when that is exact."""
    if float_exact(x):
        if x == int(x) and -1048576 <= x <= 1048575:
            p.float_int_value = int(x)
        else:
            p.float_value = x
    else:
        set_double(p, x)


def set_value(p, v):
    """A Python scalar into a PrimitiveValue (the kinds the workloads use)."""
    t = type(v)
    if t is int:
        p.int64_value = v
    elif t is float:
        set_float(p, v)
    elif t is str:
        p.string_value = v
    elif t is bool:
        p.bool_value = v
    elif t is datetime.datetime:
        p.datetime_value = _ms(v)
    elif t is _UUID:
        p.uuid_value = v.bytes
    else:
        raise TypeError(t)


def query_request(query, items):
    Q = pb.graph_query_pb2
    req = Q.GraphQueryRequest(open_cypher_query=query, output_geometry_encoding=1)
    req.input_transform.SetInParent()
    params = req.parameters
    for name, v in items:
        set_value(params[name].primitive_value, v)
    return req.SerializeToString(deterministic=True)


def doubles_request(query, name, values):
    Q = pb.graph_query_pb2
    req = Q.GraphQueryRequest(open_cypher_query=query, output_geometry_encoding=1)
    req.input_transform.SetInParent()
    req.parameters[name].array_value.double_values.values.extend(values)
    return req.SerializeToString(deterministic=True)


def edits_request(rows):
    """The apply-edits body for edit rows (type, name, count, score, when,
    x, y) with WGS84 lossless quantization: 1e-9 grid units, origin 0."""
    E = pb.graph_edits_pb2
    h = E.GraphApplyEditsHeader()
    sc = h.transform.scale
    sc.xScale = sc.yScale = 1e-9
    sc.zScale = sc.mScale = 1e-5
    h.transform.translate.SetInParent()  # every origin is 0
    head = h.SerializeToString()
    out = [_VarintBytes(len(head)), head]
    for start in range(0, len(rows), 2049):
        frame = E.GraphApplyEditsFrame()
        entities = frame.adds.entities
        for tn, name, n, d, when, x, y in rows[start:start + 2049]:
            props = entities[tn].entity_adds.add().named_object_add.properties
            kv = props.add()
            kv.key = "name"
            kv.value.primitive_value.string_value = name
            kv = props.add()
            kv.key = "count"
            kv.value.primitive_value.int64_value = n
            kv = props.add()
            kv.key = "score"
            set_float(kv.value.primitive_value, d)
            kv = props.add()
            kv.key = "when"
            kv.value.primitive_value.datetime_value = _ms(when)
            kv = props.add()
            kv.key = "location"
            g = kv.value.primitive_value.geometry_value
            g.geometry_type = 0  # point
            dg = g.default_geometry
            dg.lengths.append(1)
            dg.coords.extend((round(x * 1e9), round(y * 1e9)))  # ties to even, as the module
        data = frame.SerializeToString(deterministic=True)
        out.append(_VarintBytes(len(data)))
        out.append(data)
    return b"".join(out)


# ---------------------------------------------------------------- data model to dictionaries

FIELD_TYPES = ["vexoFieldTypeSmallInteger", "vexoFieldTypeInteger", "vexoFieldTypeSingle",
               "vexoFieldTypeDouble", "vexoFieldTypeString", "vexoFieldTypeDate", "vexoFieldTypeOID",
               "vexoFieldTypeGeometry", "vexoFieldTypeBlob", "vexoFieldTypeRaster", "vexoFieldTypeGUID",
               "vexoFieldTypeGlobalID", "vexoFieldTypeXML", "vexoFieldTypeBigInteger"]
# wire geometry type -> name of the in-memory type (multipatch has none)
GEOMETRY_TYPES = {0: "vexoGeometryPoint", 1: "vexoGeometryMultipoint", 2: "vexoGeometryPolyline",
                  3: "vexoGeometryPolygon", 5: "vexoGeometryEnvelope"}
PROPERTY_ROLES = ["vexoGraphPropertyUNSPECIFIED", "vexoGraphPropertyRegular", "vexoGraphPropertyDocumentName",
                  "vexoGraphPropertyDocumentTitle", "vexoGraphPropertyDocumentUrl",
                  "vexoGraphPropertyDocumentText", "vexoGraphPropertyDocumentKeywords",
                  "vexoGraphPropertyDocumentContentType", "vexoGraphPropertyDocumentMetadata",
                  "vexoGraphPropertyDocumentFileExtension"]
TYPE_ROLES = {1: "vexoGraphNamedObjectProvenance", 2: "vexoGraphNamedObjectDocument"}
CATEGORIES = {1: "Entity", 2: "Relationship", 3: "Both"}
HINTS = {1: "vexoUUIDVEXO", 2: "vexoUUIDRFC4122"}


def _default(p, ft):
    """The coerced default value, for the kinds the workload writes."""
    if len(p.default_value) != 1:
        return None
    d = p.default_value[0]
    kind = d.WhichOneof("value")
    if kind is None or kind == "null_value":
        return None
    if kind == "int64_value":
        n = d.int64_value
        if ft == 4:
            return str(n)
        if ft in (2, 3):
            return float(n)
        if ft == 5:
            return _datetime(n)
        return n
    if kind == "double_value":
        x = d.double_value
        return int(x) if ft in (0, 1, 6) else x
    if kind == "string_value":
        return d.string_value
    raise NotImplementedError(kind)


def _property(p):
    ft = p.field_type - 1
    out = {"name": p.name, "alias": p.alias, "fieldType": FIELD_TYPES[ft]}
    geo = ft == 7
    if geo:
        out["geometryType"] = GEOMETRY_TYPES[p.geometry_type]
    out["hasZ"] = geo and p.has_z
    out["hasM"] = geo and p.has_m
    default = _default(p, ft)
    if default is not None:
        out["defaultValue"] = default
    out["nullable"] = not p.not_nullable
    out["editable"] = not p.not_editable
    out["visible"] = not p.hidden
    out["required"] = p.required
    out["isSystemMaintained"] = p.system_maintained
    role = p.role if p.WhichOneof("role_oneof") else 0
    out["role"] = PROPERTY_ROLES[role] if 1 <= role <= 9 else PROPERTY_ROLES[0]
    out["domain"] = p.domain
    return out


def _named_type(nt):
    indexes = []
    for fi in nt.field_indexes:
        fields = [f for f in fi.fields.split(",") if f]
        if fields:
            indexes.append({"name": fi.name, "fields": fields, "isAscending": fi.isAscending,
                            "isUnique": fi.isUnique})
    return {"name": nt.name, "alias": nt.alias, "role": TYPE_ROLES.get(nt.role, "vexoGraphNamedObjectRegular"),
            "strict": False,  # not taken from the message
            "properties": [_property(p) for p in nt.properties if 1 <= p.field_type <= 13],
            "field_indexes": indexes}


def _spatial_reference(sr):
    out = {}
    if sr.wkid:
        out["wkid"] = sr.wkid
    if sr.latestWkid:
        out["latestWkid"] = sr.latestWkid
    if sr.wkt:
        out["wkt"] = sr.wkt
    return out


def data_model(body):
    m = pb.graph_schema_pb2.GraphDataModel.FromString(body)
    rels = []
    for rt in m.relationship_types:
        d = _named_type(rt.named_object_type)
        d["end_points"] = [{"origin_entity_type": e.origin_entity_type,
                            "dest_entity_type": e.destination_entity_type} for e in rt.end_points]
        rels.append(d)
    mapping = m.identifier_info.identifier_mapping_info
    if mapping.WhichOneof("mapping") == "uniform_property":
        mapping_d = {"uniform_property": {"identifier_property_name":
                                          mapping.uniform_property.identifier_property_name}}
    else:
        mapping_d = {"native_identifier": ""}
    gen = m.identifier_info.identifier_generation_info
    ts = m.data_model_timestamp
    return {
        "data_model_timestamp": _datetime(ts),
        "spatial_reference": _spatial_reference(m.spatial_reference),
        "entity_types": [_named_type(et.named_object_type) for et in m.entity_types],
        "relationship_types": rels,
        "strict": False,  # not taken from the message
        "objectid_property": m.objectid_property,
        "globalid_property": m.globalid_property,
        "tolmir_managed": m.tolmir_managed,
        "identifier_info": {"identifier_mapping_info": mapping_d,
                            "identifier_generation_info": {
                                "uuid_method_hint": HINTS.get(gen.uuid_method_hint, "vexoMethodHintUNSPECIFIED")}},
        "search_indexes": [{"name": si.name,
                            "supported_category": CATEGORIES.get(si.supported_category, "UNSPECIFIED"),
                            "analyzers": [{"name": a.name} for a in si.analyzers],
                            "search_properties": {k: {"property_names": list(si.search_properties[k].property_names)}
                                                  for k in sorted(si.search_properties)}}
                           for si in m.search_indexes],
    }


# ---------------------------------------------------------------- apply-edits results

def _ids(arr):
    kind = arr.WhichOneof("array")
    if kind == "uuid_values":
        b = arr.uuid_values
        return [_UUID(bytes=b[i:i + 16]) for i in range(0, len(b), 16)]
    if kind == "int64_values":
        return list(arr.int64_values.values)
    raise NotImplementedError(kind)


def edits_result(body):
    r = pb.graph_edits_pb2.GraphApplyEditsResult.FromString(body)
    types = {}
    failed = False
    for field, key in (("entity_add_results", "addResults"), ("relationship_add_results", "addResults"),
                       ("entity_update_results", "updateResults"),
                       ("relationship_update_results", "updateResults"),
                       ("entity_delete_results", "deleteResults"),
                       ("relationship_delete_results", "deleteResults")):
        for name, er in getattr(r, field).items():
            if not er.HasField("ids"):
                continue
            rec = types.setdefault(name, {})
            errors = er.errors
            results = [{"id": v} for v in _ids(er.ids)]
            for pos, e in errors.items():
                if pos < len(results):
                    failed = True
                    if e.error_code or e.error_message:
                        results[pos]["error"] = {"error_code": e.error_code, "error_message": e.error_message}
            rec.setdefault(key, []).extend(results)
    out = {}
    if failed or r.error.error_code or r.error.error_message:
        out["error"] = {"error_code": r.error.error_code, "error_message": r.error.error_message}
    # keys of each type record in the fixed order add, update, delete
    order = ("addResults", "updateResults", "deleteResults")
    out["editsResult"] = {t: {k: rec[k] for k in order if k in rec} for t, rec in types.items()}
    out["cascadedDeletes"] = {}
    out["relationshipSchemaChanges"] = {}
    return out
