#!/usr/bin/env python3
"""Fuzz target: data model decoding, its lookups and its dictionaries.

Input: a GraphDataModel body. It is decoded as bytes (and as str when it is
valid UTF-8), every object of the tree is read back through its Python
properties and lookups, the model becomes dictionaries, and it is handed to
a query decoder as the source of the rows' spatial reference.
"""
import os
import time

import _tolmirkenvor as tk

import common

# local-time conversion of the timestamp differs around DST changes
os.environ.setdefault("TZ", "America/New_York")
time.tzset()

# one row holding a point, so the model's spatial reference is used
POINT_STREAM = bytes.fromhex(
    "2d12280a2409000000000000f03f11000000000000f03f19000000000000f03f21000000000000f03f1200220167"
    "11120f0a0d0a0b5a0912071a010122020408")


def read(fn, *args):
    try:
        return fn(*args)
    except common.EXPECTED:
        return None


def walk_property(p):
    for name in ("name", "alias", "domain", "field_type", "geometry_type", "has_m", "has_z", "nullable",
                 "editable", "required", "default_visibility", "system_maintained", "role", "default_value"):
        read(getattr, p, name)


def walk_type(t):
    for name in ("name", "alias", "role", "strict"):
        read(getattr, t, name)
    props = read(getattr, t, "properties") or []
    for p in props:
        walk_property(p)
        n = read(getattr, p, "name")
        if isinstance(n, str):
            assert t.get_property(n) is not None
    read(t.get_property, "")
    if isinstance(t, tk.RelationshipType):
        ends = read(getattr, t, "end_points") or []
        for i in (-1, 0, len(ends) - 1, len(ends), 1 << 40):
            read(t.get_end_point, i)


def walk(dm):
    for name in ("timestamp", "spatial_reference", "strict", "objectid_property", "globalid_property",
                 "tolmir_managed"):
        read(getattr, dm, name)
    sr = dm.spatial_reference
    for name in ("wkid", "latestWkid", "vcsWkid", "latestVcsWkid", "wkt"):
        read(getattr, sr, name)
    info = dm.identifier_info
    mapping = info.identifier_mapping_info
    read(getattr, mapping, "identifier_info_type")
    read(getattr, mapping, "database_native_identifier")
    u = read(getattr, mapping, "uniform_property_identifier")
    if u is not None:
        read(getattr, u, "identifier_property_name")
    read(getattr, info.identifier_generation_info, "uuid_method_hint")
    for et in dm.entity_types:
        walk_type(et)
        n = read(getattr, et, "name")
        if isinstance(n, str):
            assert dm.query_entity_type(n) is not None
    for rt in dm.relationship_types:
        walk_type(rt)
        n = read(getattr, rt, "name")
        if isinstance(n, str):
            assert dm.query_relationship_type(n) is not None
    for si in dm.search_indexes:
        read(getattr, si, "name")
        read(getattr, si, "supported_category")
        for a in read(getattr, si, "analyzers") or []:
            n = read(getattr, a, "name")
            if isinstance(n, str):
                assert si.query_analyzer(n) is not None
        props = read(getattr, si, "search_properties") or {}
        for key, sp in props.items():
            read(getattr, sp, "property_names")
            assert si.query_search_property(key) is not None
        n = read(getattr, si, "name")
        if isinstance(n, str):
            assert dm.query_search_index(n) is not None
    read(dm.query_entity_type, "\x00")


def one_input(data):
    dm = tk.decode_data_model_from_protocol_buffer(data)
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        text = None
    if text is not None:
        again = tk.decode_data_model_from_protocol_buffer(text)
        assert (again is None) == (dm is None)
    if dm is None:
        return
    walk(dm)
    read(dm.to_value_object)
    d = tk.GraphQueryDecoder()
    d.data_model = dm
    if d.push_buffer(POINT_STREAM):
        while d.next_row():
            read(d.get_current_row)
    del d
    # the tree outlives the model that held it
    types = dm.entity_types + dm.relationship_types
    del dm
    for t in types:
        walk_type(t)


if __name__ == "__main__":
    common.main(one_input)
