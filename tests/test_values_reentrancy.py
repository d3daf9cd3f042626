"""Python code that runs in the middle of a conversion (__float__, __iter__,
a replaced uuid.UUID, a garbage-collector callback) and changes the very
containers being converted. None of it may crash the interpreter; each case
also checks what comes out."""
import gc
import uuid

import _tolmirkenvor as tk
import pytest
from pbgen import pb
from streams import read_varint


def E():
    return pb.graph_edits_pb2


class Coordinate:
    """A number whose __float__ runs code first."""

    def __init__(self, value, action):
        self.value, self.action = value, action

    def __float__(self):
        self.action()
        return float(self.value)


class Part:
    """A non-list sequence of points whose __iter__ runs code first."""

    def __init__(self, points, action):
        self.points, self.action = points, action

    def __iter__(self):
        self.action()
        return iter(self.points)

    def __len__(self):
        return len(self.points)


def _frames(body):
    pos, out = 0, []
    while pos < len(body):
        n, pos = read_varint(body, pos)
        out.append(body[pos:pos + n])
        pos += n
    return [E().GraphApplyEditsFrame.FromString(m) for m in out[1:]]


def add_shape(shape):
    """Adds an entity dict whose one property is the geometry dict; returns
    the geometry written (lengths, coords in 1e-9 grid units)."""
    enc = tk.GraphApplyEditsEncoder(tk.SpatialReference.WGS84(), tk.InputQuantizationParameters.WGS84_lossless())
    enc.add({"_objectType": "entity", "_typeName": "T",
             "_properties": {"shape": dict(shape, _objectType="geometry")}})
    enc.encode()
    result = enc.get_encoding_result()
    assert result.error.empty(), result.error.error_message
    add = _frames(result.byte_buffer)[0].adds.entities["T"].entity_adds[0].named_object_add
    g = add.properties[0].value.primitive_value.geometry_value.default_geometry
    return list(g.lengths), list(g.coords)


def G(*values):
    return [round(v * 1e9) for v in values]


def test_coordinate_that_empties_its_point_list():
    point = []
    point.extend([Coordinate(1, point.clear), 2])
    # the point's list is emptied while its first value converts: the rest is
    # gone, which leaves a point of one value, refused as such
    with pytest.raises(ValueError, match="Invalid geometry."):
        add_shape({"points": [point, [3, 4]]})


def test_coordinate_that_empties_the_points_list():
    points = []
    points.extend([[Coordinate(1, points.clear), 2], [3, 4]])
    assert add_shape({"points": points}) == ([1], G(1, 2))


def test_coordinate_that_grows_the_lists():
    points = []
    point = []

    def grow():
        point.extend([9] * 10000)  # moves the list's items elsewhere
        del point[2:]
        points.extend([[5, 6]] * 1000)
        del points[2:]

    point.extend([Coordinate(1, grow), 2])
    points.extend([point, [3, 4]])
    assert add_shape({"points": points}) == ([2], G(1, 2, 2, 2))  # delta-encoded


def test_coordinate_that_empties_the_paths():
    paths = []
    path = [[Coordinate(1, paths.clear), 2], [3, 4]]
    paths.extend([path, [[5, 6], [7, 8]]])
    # the first path is held while it is read; the second is gone
    assert add_shape({"paths": paths}) == ([2], G(1, 2, 2, 2))


def test_part_whose_iter_empties_the_rings():
    rings = []
    ring = Part([[0, 0], [1, 0], [0, 1], [0, 0]], rings.clear)
    rings.extend([ring, [[5, 5], [6, 5], [5, 6], [5, 5]]])
    lengths, coords = add_shape({"rings": rings})
    assert lengths == [4]
    assert coords == G(0, 0, 1, 0, -1, 1, 0, -1)  # delta-encoded


def test_part_whose_iter_replaces_the_parts_with_many():
    paths = []

    def refill():
        paths[:] = [[[float(i), 0.0]] for i in range(5000)]

    paths.extend([Part([[1, 1], [2, 2]], refill), [[3, 3]]])
    lengths, _ = add_shape({"paths": paths})
    # the first part, then whatever the list holds at each later step
    assert lengths[0] == 2 and len(lengths) == 5000 and set(lengths[1:]) == {1}


def test_point_value_conversion_errors_still_propagate():
    class Bad:
        def __float__(self):
            raise ZeroDivisionError("no")

    enc = tk.GraphApplyEditsEncoder(tk.SpatialReference.WGS84(), tk.InputQuantizationParameters.WGS84_lossless())
    with pytest.raises(RuntimeError, match="Unable to cast"):
        enc.add({"_objectType": "entity", "_typeName": "T",
                 "_properties": {"g": {"_objectType": "geometry", "points": [[Bad(), 1]]}}})


# --- a replaced uuid.UUID that changes the values being converted --------------

class Replaced:
    """Puts a function in the place of uuid.UUID that runs action before
    making the UUID. The real class compares through the module's UUID name,
    so results are compared after restore()."""

    def __init__(self, monkeypatch):
        self.monkeypatch = monkeypatch

    def __call__(self, action):
        real = uuid.UUID

        def replaced(*args, **kwargs):
            action()
            return real(*args, **kwargs)

        self.monkeypatch.setattr(uuid, "UUID", replaced)

    def restore(self):
        self.monkeypatch.undo()


@pytest.fixture
def replace_uuid(monkeypatch):
    return Replaced(monkeypatch)


U = uuid.UUID(int=0x1234)


def test_outer_array_grown_while_an_inner_one_converts(replace_uuid):
    inner = tk.ArrayValue()
    inner.add_value(U)
    outer = tk.ArrayValue()
    outer.values = [inner, 7]
    replace_uuid(lambda: outer.values.__len__() < 3 and setattr(outer, "values", outer.values + [1] * 100000))
    out = tk.to_value_object(outer)
    replace_uuid.restore()
    # the list has the size the array had when its conversion began
    assert out == [[U], 7]
    assert outer.count() == 100002


def test_outer_array_emptied_while_an_inner_one_converts(replace_uuid):
    inner = tk.ArrayValue()
    inner.add_value(U)
    outer = tk.ArrayValue()
    outer.values = [inner, 7]
    replace_uuid(lambda: setattr(outer, "values", []))
    del inner  # the outer array held the only reference
    with pytest.raises(RuntimeError, match="Array changed during conversion."):
        tk.to_value_object(outer)


def test_property_list_appended_while_it_converts(replace_uuid):
    e = tk.EntityValue()
    e.type_name = "T"
    e.set_key_value("a", U)
    e.set_key_value("b", 1)
    added = []

    def grow():
        if not added:
            added.append(1)
            for i in range(1000):
                e.append_key_value("k%d" % i, i)

    replace_uuid(grow)
    out = tk.to_value_object(e)
    replace_uuid.restore()
    assert out["_properties"]["a"] == U and out["_properties"]["b"] == 1
    assert len(out["_properties"]) == 1002


def test_entity_dropped_while_its_properties_convert(replace_uuid):
    e = tk.EntityValue()
    e.set_key_value("a", U)
    e.set_key_value("b", "x")
    holder = tk.ArrayValue()
    holder.add_value(e)
    del e
    replace_uuid(lambda: holder.put_value_at(0, None))
    out = tk.to_value_object(holder)
    replace_uuid.restore()
    assert out == [
        {"_objectType": "entity", "_typeName": "", "_id": None, "_properties": {"a": U, "b": "x"}}]


def test_key_value_pairs_while_the_list_grows(replace_uuid):
    o = tk.ObjectValue()
    o.set_key_value("a", U)
    o.set_key_value("b", 2)
    done = []

    def grow():
        if not done:
            done.append(1)
            for i in range(1000):
                o.append_key_value("k%d" % i, i)

    replace_uuid(grow)
    pairs = o.key_value_pairs
    replace_uuid.restore()
    assert pairs[:2] == [("a", U), ("b", 2)] and len(pairs) == 1002


def test_array_values_while_the_array_is_replaced(replace_uuid):
    a = tk.ArrayValue()
    a.values = [U, 1, 2]
    replace_uuid(lambda: setattr(a, "values", []))
    values = a.values
    replace_uuid.restore()
    assert values == [U]


def test_array_values_setter_with_items_that_change_the_list():
    class Shrinking:
        def __init__(self, n):
            self.n = n

        def __index__(self):
            items.clear()
            return self.n

    items = []
    items.extend([1.5, Shrinking(3), 4, 5])
    a = tk.ArrayValue()
    a.values = items
    # the items are read one by one from the list as it stands
    assert a.values == [1.5, 3]


# --- garbage-collector callbacks ------------------------------------------------

@pytest.fixture
def collect_often():
    threshold = gc.get_threshold()
    gc.set_threshold(1, 1, 1)
    yield
    gc.set_threshold(*threshold)
    gc.callbacks.clear()


def test_geometry_changed_by_a_collection_while_it_converts(collect_often):
    g = tk.GeometryValue()
    g.geometry_type = tk.vexoGeometryPolyline
    g.lengths = [500, 500]
    g.coords = [float(i) for i in range(2000)]
    expected_paths = [[[float(2 * i), float(2 * i + 1)] for i in range(p * 500, (p + 1) * 500)] for p in (0, 1)]

    armed = []

    def shrink(phase, info):
        if armed and phase == "start":
            armed.append(True)
            g.coords = []
            g.lengths = []

    gc.callbacks.append(shrink)
    armed.append(True)
    out = tk.to_value_object(g)
    assert len(armed) > 1  # a collection did run meanwhile
    gc.callbacks.clear()
    assert out == {"paths": expected_paths, "_objectType": "geometry"}


def test_array_emptied_by_a_collection_while_it_converts(collect_often):
    a = tk.ArrayValue()
    # enough new lists to use up the interpreter's free list, so that
    # collections start during the conversion
    a.values = [tk.ArrayValue() for _ in range(2000)]

    armed = []

    def empty(phase, info):
        if armed and phase == "start":
            a.values = []

    gc.callbacks.append(empty)
    with pytest.raises(RuntimeError, match="Array changed during conversion."):
        armed.append(True)  # only from here: collections also run before
        tk.to_value_object(a)
