"""Geometries as JSON dictionaries: the exact shape, key order and types, and
the output stays an ordinary collectable Python structure."""
import gc
import weakref

import _tolmirkenvor as tk
import pytest


def G(kind, lengths, coords, has_z=False, has_m=False):
    g = tk.GeometryValue()
    g.geometry_type = kind
    g.lengths = lengths
    g.coords = coords
    g.has_z, g.has_m = has_z, has_m
    return g


CASES = [
    (G(tk.vexoGeometryPoint, [1], [1, 2]), {"x": 1.0, "y": 2.0, "_objectType": "geometry"}),
    (G(tk.vexoGeometryPoint, [1], [1, 2, 3, 4], True, True),
     {"x": 1.0, "y": 2.0, "z": 3.0, "m": 4.0, "_objectType": "geometry"}),
    (G(tk.vexoGeometryPoint, [1], [1, 2, 4], False, True), {"x": 1.0, "y": 2.0, "m": 4.0, "_objectType": "geometry"}),
    (G(tk.vexoGeometryMultipoint, [2], [1, 2, 3, 4]), {"points": [[1.0, 2.0], [3.0, 4.0]], "_objectType": "geometry"}),
    (G(tk.vexoGeometryMultipoint, [0], []), {"points": [], "_objectType": "geometry"}),
    (G(tk.vexoGeometryPolyline, [2, 1], [0, 1, 2, 3, 4, 5, 6, 7, 8], has_z=True),
     {"hasZ": True, "paths": [[[0.0, 1.0, 2.0], [3.0, 4.0, 5.0]], [[6.0, 7.0, 8.0]]], "_objectType": "geometry"}),
    (G(tk.vexoGeometryPolygon, [3, 0], [0, 0, 0, 1, 0, 2, 1, 1, 1], has_m=True),
     {"hasM": True, "rings": [[[0.0, 0.0, 0.0], [1.0, 0.0, 2.0], [1.0, 1.0, 1.0]], []], "_objectType": "geometry"}),
]


@pytest.mark.parametrize("g,expected", CASES, ids=[str(i) for i in range(len(CASES))])
def test_json_form(g, expected):
    out = tk.to_value_object(g)
    assert out == expected and list(out) == list(expected)
    floats = [c for part in out.get("paths", out.get("rings", [out.get("points", [])])) for p in part for c in p]
    assert all(type(c) is float for c in floats)


def test_inconsistent_geometries_are_refused():
    with pytest.raises(ValueError, match="Invalid geometry."):
        tk.to_value_object(G(tk.vexoGeometryPolyline, [3], [0, 0, 1, 1]))
    with pytest.raises(ValueError, match="Unknown or unsupported geometry type."):
        tk.to_value_object(G(tk.vexoGeometryEnvelope, [], [0, 0, 1, 1]))


def test_outputs_stay_collectable():
    class Marker:
        pass

    out = tk.to_value_object(G(tk.vexoGeometryPolyline, [2], [0, 1, 2, 3]))
    marker = Marker()
    ref = weakref.ref(marker)
    out["paths"][0][1].append([out, marker])  # a cycle through the returned lists and dict
    del out, marker
    gc.collect()
    assert ref() is None


def test_the_converted_geometry_is_unchanged():
    g = G(tk.vexoGeometryPolyline, [2], [0.5, 1, 2, 3])
    tk.to_value_object(g)
    assert (g.lengths, g.coords) == ([2], [0.5, 1.0, 2.0, 3.0])
