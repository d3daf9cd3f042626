#!/usr/bin/env python3
"""Writes the starting corpus of every fuzz target: valid bodies built with
the Google protobuf runtime (classes generated from proto/ by tests/pbgen.py),
so the fuzzer starts from inputs that reach deep into each decoder.

    python3 fuzz/make_seeds.py OUT_DIR     # OUT_DIR/<target>/<name>
"""
import datetime
import hashlib
import os
import random
import sys
import uuid

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))

from pbgen import pb  # noqa: E402
from streams import (  # noqa: E402
    array,
    delimited,
    entity,
    frame_bytes,
    geometry,
    header,
    obj,
    path,
    primitive,
    relationship,
    result_stream,
    value,
    varint,
    wrapped,
)


def rows():
    dt = datetime.datetime(2021, 5, 6, 7, 8, 9, tzinfo=datetime.timezone.utc)
    return [
        [1, "text", 2.5, value(dt)],
        [entity("P", 7, {"a": 1, "b": "x", "c": obj({"d": b"\x01"})}),
         relationship("R", 8, 7, 9, {"w": 0.5}),
         path([("A", 1, {}), ("B", 2, {"k": 1})], [("R", 3, 1, 2, {})]),
         wrapped(uuid.UUID(int=5), levels=2)],
        [array(null_values=4), array(uuid_values=bytes(32)), array(datetime_values=[0, -1, 10**12]),
         array(any_values=[1, "two", None])],
        [primitive(geometry_value=geometry(2, [3, 2], [1, 1, 2, 2, -1, -1, 5, 5, 1, 1])),
         primitive(geometry_value=geometry(0, [1], [3, 4, 5], has_z=True)),
         array(geometry_values=[geometry(1, [2], [1, 2, 3, 4]), geometry(3, [4], [0, 0, 1, 0, 0, 1, -1, -1])]),
         primitive(float_int_value=-3)],
        [array(float_values=[0.5]), array(double_int_values=[2**40]), array(string_values=["s", "t"]),
         array(blob_values=[b"", b"\xff"])],
        [primitive(double_float_value=0.25), array(bool_values=[True]), array(int64_values=[-(2**63)]),
         array(float_int_values=[7])],
    ]


def query_stream():
    names = ["a", "b", "c", "d"]
    some = rows()
    plain = result_stream(names, some, rows_per_frame=2, scale=(0.5, 0.5, 2.0, 1.0), translate=(-10.0, 20.0, 0, 1))
    # the harness compresses the frames itself under flag 0x10, so such seeds
    # carry a header that announces compression over plain frames
    announced = (delimited(header(names, compressed=True)) +
                 b"".join(frame_bytes(some[i:i + 2]) for i in range(0, len(some), 2)))
    def q(flags, param, body, hook=0):
        return bytes([flags, param, hook]) + body

    uuids = result_stream(["u", "a", "g"],
                          [[uuid.UUID(int=i), array(any_values=[uuid.UUID(int=i), uuid.UUID(int=i + 1)]),
                            primitive(geometry_value=geometry(0, [1], [i, i]))] for i in range(7)],
                          rows_per_frame=3)
    out = {
        "plain_whole": q(0x00, 0, plain),
        "plain_bytes": q(0x01, 0, plain),
        "plain_cuts": q(0x06, 0x2A, plain),
        "plain_fixed_model": q(0x0B, 0x06, plain),
        "plain_memoryview": q(0x42, 0x11, plain),
        "gzip_in_body": q(0x00, 0, result_stream(names, some, rows_per_frame=3, compression="gzip")),
        "zlib_in_body": q(0x02, 7, result_stream(names, some, rows_per_frame=1, compression="zlib")),
        "reframed_zlib": q(0x10, 0x06, announced),
        "reframed_gzip": q(0x38, 0x09, announced),
        "zero_frame": q(0x00, 0, delimited(header(["x"])) + varint(0) + frame_bytes([[1]])),
        "frame_error": q(0x00, 0, delimited(header(["x"])) + frame_bytes([[1]]) + frame_bytes(error=(5, "bad"))),
        "header_error": q(0x00, 0, delimited(header(["x"], error=(7, "no")))),
        "no_transform": q(0x00, 0, delimited(header(["x"], transform=False))),
        "short_row": q(0x80, 0, delimited(header(["x", "y"])) + frame_bytes([[1, 2], [3]]) + frame_bytes([[4, 5]])),
        "nulls": q(0x00, 0, result_stream(["n"], [[array(null_values=1000)]] * 4)),
    }
    for hook in range(1, 8):
        out["uuid_hook%d" % hook] = q(0x08, 0, uuids, hook)
    # long frames, read kept, so that rows are made ahead in runs
    long = result_stream(names, some * 12, rows_per_frame=40)
    out["runs_rows"] = q(0x00, 0, long, 0x08)
    out["runs_iter_cuts"] = q(0x02, 0x80, long, 0x18)
    out["runs_model"] = q(0x0C, 0, long, 0x08)
    return out


def data_models():
    s = pb.graph_schema_pb2
    out = {}
    for variant in range(6):
        m = s.GraphDataModel()
        m.data_model_timestamp = [1700000000000, 0, 253402300799999, 1][variant % 4]
        m.spatial_reference.wkid = 4326
        if variant % 2:
            m.spatial_reference.wkt = "GEOGCS[]"
            m.spatial_reference.latestWkid = 4326
        m.strict = bool(variant % 2)
        m.objectid_property = "objectid"
        m.globalid_property = "globalid"
        m.tolmir_managed = variant == 3
        info = m.identifier_info
        if variant % 2:
            info.identifier_mapping_info.uniform_property.identifier_property_name = "gid"
        else:
            info.identifier_mapping_info.native_identifier.SetInParent()
        info.identifier_generation_info.uuid_method_hint = variant % 3
        et = m.entity_types.add().named_object_type
        et.name = "Person"
        et.alias = "P"
        et.role = variant % 3
        defaults = [("int64_value", 3), ("double_value", 2.75), ("string_value", "12abc"), ("float_value", 1.5),
                    ("datetime_value", 1000), ("int64_value", 1000), ("bool_value", True), ("uuid_value", bytes(16))]
        for ft in range(0, 14):
            p = et.properties.add()
            p.name = "p%d" % ft
            p.field_type = ft
            p.role = (ft + variant) % 10
            p.not_nullable = bool(ft % 2)
            p.hidden = bool(ft % 3 == 0)
            if ft == 8:
                p.geometry_type = variant % 6
                p.has_z = True
                p.has_m = bool(variant % 2)
            field, v = defaults[(ft + variant) % len(defaults)]
            setattr(p.default_value.add(), field, v)
        fi = et.field_indexes.add()
        fi.name = "idx"
        fi.fields = "a,,b" if variant % 2 else ""
        fi.isUnique = True
        rt = m.relationship_types.add()
        rt.named_object_type.name = "Knows"
        rt.named_object_type.properties.add(name="since", field_type=6)
        ep = rt.end_points.add()
        ep.origin_entity_type = "Person"
        ep.destination_entity_type = "Person" if variant != 4 else ""
        si = m.search_indexes.add()
        si.name = "search"
        si.supported_category = 1 + variant % 3
        si.analyzers.add().name = "std"
        si.search_properties["Person"].property_names.extend(["p4"])
        si.search_properties["Knows"].property_names.extend(["since"])
        out["model%d" % variant] = m.SerializeToString()
    return out


def fill_ids(arr, kind):
    if kind == 0:
        arr.any_values.values.add().primitive_value.string_value = "id1"
        arr.any_values.values.add().primitive_value.uuid_value = bytes(range(16))
        g = arr.any_values.values.add().primitive_value.geometry_value
        g.geometry_type = 2
        g.default_geometry.lengths.extend([2])
        g.default_geometry.coords.extend([1, 2, 3, 4])
    elif kind == 1:
        arr.int64_values.values.extend([1, -2, 3])
    elif kind == 2:
        arr.uuid_values = bytes(32)
    elif kind == 3:
        arr.null_values.count = 2
    elif kind == 4:
        arr.string_values.value.extend(["a", "bc"])
    else:
        arr.datetime_values.values.extend([0, 1600000000000])


def apply_edits_results():
    E = pb.graph_edits_pb2
    out = {}
    for variant in range(6):
        r = E.GraphApplyEditsResult()
        if variant % 2:
            r.error.error_code = -5
            r.error.error_message = "msg"
        maps = [r.entity_add_results, r.relationship_add_results, r.entity_update_results,
                r.relationship_update_results, r.entity_delete_results, r.relationship_delete_results]
        for i, m in enumerate(maps):
            er = m["T%d" % ((i + variant) % 3)]
            fill_ids(er.ids, (i + variant) % 6)
            er.errors[1].error_code = i
            er.errors[1].error_message = "bad"
        c = r.cascading_relationship_delete_results["R"]
        c.results.ids.int64_values.values.extend(range(3))
        c.origin_ids.int64_values.values.extend(range(3 if variant != 5 else 2))
        c.destination_ids.string_values.value.extend(["d"] * 3)
        c.results.errors[0].error_code = 1
        ep = r.rel_type_schema_changes["R"].new_end_points.add()
        ep.origin_entity_type = "A"
        ep.destination_entity_type = "B" if variant != 3 else ""
        out["result%d" % variant] = r.SerializeToString()
    out["empty_message"] = b""
    return out


def schema_responses():
    s = pb.graph_schema_pb2
    kinds = ["GraphNamedObjectTypeAddsResponse", "GraphNamedObjectTypeUpdateResponse",
             "GraphNamedObjectTypeDeleteResponse", "GraphPropertyAddsResponse", "GraphPropertyUpdateResponse",
             "GraphPropertyDeleteResponse"]
    out = {}
    for index, kind in enumerate(kinds):
        msg = getattr(s, kind)()
        msg.error.error_code = -(index + 1)
        msg.error.error_message = "failed é"
        for field in ("entity_add_results", "relationship_add_results", "property_add_results"):
            if hasattr(msg, field):
                for name, code in (("a", 0), ("b", 7), ("a", 3)):
                    res = getattr(msg, field).add()
                    res.name = name
                    res.error.error_code = code
                    res.error.error_message = "m" if code else ""
        out[kind] = bytes([index]) + msg.SerializeToString()
    return out


def dict_readers():
    rng = random.Random(20240611)
    out = {}
    for i, size in enumerate([8, 16, 32, 64, 128, 256, 512, 1024]):
        out["random%d" % i] = bytes(rng.randrange(256) for _ in range(size))
    return out


TARGETS = {
    "query_stream": query_stream,
    "data_model": data_models,
    "apply_edits_result": apply_edits_results,
    "schema_responses": schema_responses,
    "dict_readers": dict_readers,
}


def main(out_dir):
    for target, make in TARGETS.items():
        d = os.path.join(out_dir, target)
        os.makedirs(d, exist_ok=True)
        for name, data in make().items():
            digest = hashlib.sha1(data).hexdigest()[:12]
            with open(os.path.join(d, "%s-%s" % (name, digest)), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    main(sys.argv[1])
