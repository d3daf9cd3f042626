"""Python values built from fuzz bytes, hostile ones among them.

`Gen` draws nested values from an atheris FuzzedDataProvider: entity,
relationship and geometry dictionaries, named-type, property and mask
dictionaries, bound values and plain scalars. Hostile objects hook
__float__, __index__, __bool__, __len__, __iter__, __getitem__,
__contains__, __eq__, __del__, a UUID's bytes and a time zone's offset:
when a hook runs it changes one of the containers around it (clears,
shrinks, grows it, replaces its items), runs the garbage collector, raises,
or returns an object of an odd type. `Program` turns the same bytes into a
short series of calls on every encoder that reads such values.

Hazards that TK_FUZZ_SKIP can leave out: "geometry_mutation" (hooks inside
geometry dictionaries), "mutation" (every container-changing hook),
"deep_nesting" (chains of up to 200,000 nested values), "gc_hooks" (garbage
collector callbacks).
"""
import datetime
import gc
import sys
import uuid
import warnings

import _tolmirkenvor as tk

import common

warnings.simplefilter("ignore")

EXPECTED = common.EXPECTED + (MemoryError,)


class Hostile(Exception):
    """Raised by hostile hooks; the calls must pass it on untouched."""


EXPECTED_HERE = EXPECTED + (Hostile,)

OBJECT_TYPES = ["entity", "relationship", "geometry", "object", "path", "Entity", "", "entity\x00"]
TYPE_NAMES = ["T", "Person", "", "Ü", "a" * 300, "\x00"]
FIELD_TYPES = list(tk.vexoFieldType.__members__) + ["vexoFieldTypeDateOnly", "", "x"]
GEOMETRY_TYPES = ["vexoGeometryPoint", "vexoGeometryMultipoint", "vexoGeometryPolyline", "vexoGeometryPolygon",
                  "vexoGeometryEnvelope", "vexoGeometryMultiPatch", "vexoGeometryNull", ""]
PROPERTY_ROLES = ["vexoGraphPropertyRegular", "vexoGraphPropertyDocumentName", "vexoGraphPropertyDocumentTitle",
                  "vexoGraphPropertyDocumentUrl", "vexoGraphPropertyDocumentText",
                  "vexoGraphPropertyDocumentKeywords", "vexoGraphPropertyDocumentContentType",
                  "vexoGraphPropertyDocumentMetadata", "vexoGraphPropertyDocumentFileExtension",
                  "vexoGraphPropertyUNSPECIFIED", ""]
TYPE_ROLES = ["vexoGraphNamedObjectRegular", "vexoGraphNamedObjectProvenance", "vexoGraphNamedObjectDocument",
              "Regular", ""]
PROPERTY_KEYS = ["name", "alias", "domain", "fieldType", "geometryType", "hasZ", "hasM", "defaultValue", "nullable",
                 "editable", "visible", "required", "isSystemMaintained", "role"]
TYPE_KEYS = ["name", "alias", "role", "strict", "properties"]
TYPE_MASK_KEYS = ["update_name", "update_alias", "update_role", "update_strict"]
PROPERTY_MASK_KEYS = ["update_name", "update_alias", "update_field_type", "update_geometry_type", "update_has_m",
                      "update_has_z", "update_default_value", "update_nullable", "update_editable",
                      "update_visible", "update_required", "update_domain"]
GEOMETRY_KEYS = ["x", "y", "z", "m", "points", "paths", "rings", "hasZ", "hasM", "spatialReference"]
OBJECT_KEYS = ["_objectType", "_typeName", "_id", "_properties", "_originEntityId", "_destinationEntityId", "_ids"]
ALL_KEYS = sorted(set(PROPERTY_KEYS + TYPE_KEYS + TYPE_MASK_KEYS + PROPERTY_MASK_KEYS + GEOMETRY_KEYS + OBJECT_KEYS))

INTS = [0, 1, -1, 2, 255, 2**31 - 1, 2**31, -2**31 - 1, 2**63 - 1, -2**63, 2**63, 2**64, -2**64 - 1, 10**40]
FLOATS = [0.0, -0.0, 0.5, 0.1, 1.0, -2.5, 1e300, -1e300, 5e-324, float("inf"), float("-inf"), float("nan"),
          3.4028234663852886e38, 3.5e38, 2.0**63, 2.0**64, 1e-45, 16777217.0]
DATES = [datetime.datetime(1970, 1, 1), datetime.datetime(1, 1, 1), datetime.datetime(9999, 12, 31, 23, 59, 59, 999999),
         datetime.datetime(2021, 3, 28, 2, 30), datetime.datetime(1969, 12, 31, 23, 59, 59, 999999),
         datetime.datetime(2020, 1, 1, tzinfo=datetime.timezone.utc),
         datetime.datetime(1, 1, 1, tzinfo=datetime.timezone(datetime.timedelta(hours=23, minutes=59))),
         datetime.datetime(9999, 12, 31, 23, 0, tzinfo=datetime.timezone(-datetime.timedelta(hours=23)))]
GEOMETRY_KINDS = list(tk.vexoGeometryType.__members__.values())


class Gen:
    def __init__(self, fdp):
        self.fdp = fdp
        # per input: how often a leaf value is hostile (0, 1/8, 1/3, 2/3)
        self.hostility = fdp.ConsumeIntInRange(0, 3)
        self.budget = 600
        self.open = []  # containers being filled: the ancestors of what is made now
        self.containers = []
        self.hooks = []
        self.in_geometry = 0
        self.deep_made = False

    # --- primitives of choice -------------------------------------------------
    def n(self, lo, hi):
        return self.fdp.ConsumeIntInRange(lo, hi)

    def flag(self):
        return self.fdp.ConsumeBool()

    def pick(self, seq):
        return seq[self.n(0, len(seq) - 1)]

    def spend(self):
        self.budget -= 1
        return self.budget > 0

    def text(self):
        k = self.n(0, 4)
        if k == 0:
            return self.pick(TYPE_NAMES)
        if k == 1:
            return self.fdp.ConsumeUnicodeNoSurrogates(self.n(0, 12))
        if k == 2:
            return self.fdp.ConsumeUnicode(self.n(0, 6))  # may hold lone surrogates
        if k == 3:
            return self.pick(ALL_KEYS)
        return self.pick(OBJECT_TYPES)

    def key(self, vocabulary):
        k = self.n(0, 9)
        if k <= 6:
            return self.pick(vocabulary)
        if k == 7:
            return self.text()
        if k == 8:
            return self.hostile_key(self.pick(vocabulary))
        return self.pick([b"name", 1, None, 2.5, (1,), b"\xff"])

    def release(self):
        """Forget every container, in the hooks too. A hooked time zone sits in
        a cycle through its date-time, and date-times are invisible to the
        cyclic collector: left alone, each input would keep everything it
        built, deep chains included, alive for good."""
        for h in self.hooks:
            h.target = None
            h.late = None
        self.containers.clear()
        self.open.clear()

    # --- containers -----------------------------------------------------------
    def new_list(self):
        c = []
        self.containers.append(c)
        return c

    def new_dict(self, kind=dict):
        c = kind()
        self.containers.append(c)
        return c

    def fill(self, c, items):
        """items: a function that appends to c; c is open while it runs."""
        self.open.append(c)
        try:
            items(c)
        finally:
            self.open.pop()
        return c

    def seq_of(self, make, lo=0, hi=6):
        count = self.n(lo, hi)
        form = self.n(0, 9)
        if form == 7 and count:
            # a dict subclass or lying sequence standing in for the list
            return self.hostile_seq([make() for _ in range(count) if self.spend()])
        lst = self.new_list()

        def items(c):
            for _ in range(count):
                if not self.spend():
                    break
                c.append(make())

        self.fill(lst, items)
        if form == 8:
            return tuple(lst)
        if form == 9:
            return iter(lst) if self.flag() else "ab"  # a str is a sequence of str
        return lst

    # --- values ---------------------------------------------------------------
    def hostile_now(self):
        return self.hostility and self.n(0, 23) < (0, 3, 8, 16)[self.hostility]

    def hostile_leaf(self):
        k = self.n(0, 6)
        if k <= 3:
            return self.hostile_number()
        if k == 4:
            return self.hostile_del()
        if k == 5:
            return self.hostile_uuid()
        return self.hostile_bool()

    def value(self, depth=0):
        if not self.spend() or depth > 12:
            return None
        if self.hostile_now():
            return self.hostile_leaf()
        k = self.n(0, 21)
        if k == 0:
            return None
        if k == 1:
            return self.flag()
        if k == 2:
            return self.pick(INTS) if self.flag() else self.fdp.ConsumeInt(self.n(1, 9))
        if k == 3:
            return self.pick(FLOATS) if self.flag() else self.fdp.ConsumeFloat()
        if k == 4:
            return self.text()
        if k == 5:
            return self.fdp.ConsumeBytes(self.n(0, 20))
        if k == 6:
            return uuid.UUID(bytes=self.fdp.ConsumeBytes(16).ljust(16, b"\0"))
        if k == 7:
            return self.date()
        if k == 8:
            return self.entity_dict(depth)
        if k == 9:
            return self.relationship_dict(depth)
        if k == 10:
            return self.geometry_dict()
        if k == 11:
            return self.seq_of(lambda: self.value(depth + 1))
        if k == 12:
            return self.plain_dict(depth)
        if k == 13:
            return self.hostile_number()
        if k == 14:
            return self.bound_value(depth)
        if k == 15:
            return self.pick([bytearray(b"ab"), memoryview(b"cd"), {1, 2}, object(), frozenset(), Ellipsis,
                              complex(1, 2), type, print])
        if k == 16:
            return self.deep_chain()
        if k == 17:
            return self.odd_subclass()
        if k == 18:
            return self.hostile_del()
        if k == 19:
            return self.hostile_uuid()
        if k == 20:
            return self.bound_geometry()
        return self.hostile_dict(lambda d: self.entity_items(d, depth), "entity")

    def date(self):
        d = self.pick(DATES)
        if self.flag():
            d = d.replace(tzinfo=HostileZone(self, self.hook()))
        return d

    def objtype(self):
        return self.pick(OBJECT_TYPES) if self.n(0, 5) else self.key(OBJECT_TYPES)

    def entity_items(self, d, depth, kind="entity"):
        for key in OBJECT_KEYS[:4] + (OBJECT_KEYS[4:6] if kind == "relationship" else []):
            if self.n(0, 7) == 0:
                continue  # a required key left out
            if key == "_objectType":
                d[key] = kind if self.n(0, 4) else self.objtype()
            elif key == "_typeName":
                d[key] = self.pick(TYPE_NAMES) if self.n(0, 3) else self.key(TYPE_NAMES)
            elif key == "_properties":
                d[key] = self.properties(depth)
            else:
                d[key] = self.value(depth + 1)
        if self.n(0, 7) == 0:
            d[self.key(ALL_KEYS)] = self.value(depth + 1)

    def entity_dict(self, depth, kind="entity"):
        return self.fill(self.new_dict(), lambda d: self.entity_items(d, depth, kind))

    def relationship_dict(self, depth):
        return self.entity_dict(depth, "relationship")

    def properties(self, depth):
        form = self.n(0, 6)
        if form <= 3:
            return self.plain_dict(depth)
        if form == 4:  # key/value pairs for dict() to read
            return self.seq_of(lambda: (self.key(ALL_KEYS), self.value(depth + 1)))
        if form == 5:
            return self.hostile_dict(lambda d: self.plain_items(d, depth), "properties")
        return self.pick([None, 5, "ab", [1, 2], [(1,)], HostileIter(self, self.hook(), [("a", 1)] * 3)])

    def plain_items(self, d, depth):
        for _ in range(self.n(0, 5)):
            if not self.spend():
                break
            d[self.key(ALL_KEYS)] = self.value(depth + 1)

    def plain_dict(self, depth):
        return self.fill(self.new_dict(), lambda d: self.plain_items(d, depth))

    # --- geometries -----------------------------------------------------------
    def coord(self):
        if self.hostile_now():
            return self.hostile_number()
        k = self.n(0, 7)
        if k <= 4:
            return self.pick(FLOATS + INTS[:6])
        if k == 5:
            return self.pick(["1", None, b"2", [1.0], True])
        return self.hostile_number()

    def point(self):
        return self.seq_of(self.coord, 0, 5)

    def geometry_items(self, d):
        shape = self.n(0, 4)
        if self.flag():
            d["_objectType"] = "geometry"
        if shape == 0:
            d["x"] = self.coord()
            d["y"] = self.coord()
            if self.flag():
                d["z"] = self.coord()
            if self.flag():
                d["m"] = self.coord()
        elif shape == 1:
            d["points"] = self.seq_of(self.point)
        elif shape == 2:
            d["paths"] = self.seq_of(lambda: self.seq_of(self.point))
        elif shape == 3:
            d["rings"] = self.seq_of(lambda: self.seq_of(self.point))
            if self.flag():
                d["paths"] = self.seq_of(lambda: self.seq_of(self.point))
        else:
            for k in ("xmin", "ymin", "xmax", "ymax"):
                d[k] = self.coord()
        for flag_key in ("hasZ", "hasM"):
            if self.n(0, 2) == 0:
                d[flag_key] = self.pick([True, False, 1, 0, None, "yes"]) if self.flag() else self.hostile_bool()
        if self.n(0, 5) == 0:
            d["spatialReference"] = {"wkid": self.pick(INTS)}

    def geometry_dict(self):
        self.in_geometry += 1
        try:
            if self.n(0, 5) == 0:
                d = self.hostile_dict(self.geometry_items, "geometry")
            else:
                d = self.fill(self.new_dict(), self.geometry_items)
            d["_objectType"] = "geometry"
            return d
        finally:
            self.in_geometry -= 1

    def bound_geometry(self):
        g = tk.GeometryValue()
        g.geometry_type = self.pick(GEOMETRY_KINDS)
        g.has_z = self.flag()
        g.has_m = self.flag()
        try:
            g.lengths = [self.pick([0, 1, 2, 3, 4, -1, 2**31 - 1, -2**31]) for _ in range(self.n(0, 4))]
        except EXPECTED:
            pass
        g.coords = [self.pick(FLOATS) for _ in range(self.n(0, 12))]
        return g

    # --- bound values ---------------------------------------------------------
    def bound_value(self, depth):
        k = self.n(0, 4)
        if k == 0:
            v = tk.EntityValue()
            v.type_name = self.pick(TYPE_NAMES)
        elif k == 1:
            v = tk.RelationshipValue()
            v.type_name = self.pick(TYPE_NAMES)
        elif k == 2:
            v = tk.ObjectValue()
        elif k == 3:
            v = tk.ArrayValue()
            for _ in range(self.n(0, 4)):
                try:
                    v.add_value(self.value(depth + 1))
                except EXPECTED_HERE:
                    pass
            return v
        else:
            v = tk.PathValue()
            return v
        if k in (0, 1) and self.flag():
            try:
                v.set_id(self.value(depth + 1))
            except EXPECTED_HERE:
                pass
        if k == 1 and self.flag():
            try:
                v.set_related_entity_ids(self.value(depth + 1), self.value(depth + 1))
            except EXPECTED_HERE:
                pass
        for _ in range(self.n(0, 3)):
            try:
                v.set_key_value(self.pick(TYPE_NAMES + ALL_KEYS), self.value(depth + 1))
            except EXPECTED_HERE:
                pass
        return v

    def deep_chain(self):
        # one per input: building 200,000 values takes a while
        if not common.allowed("deep_nesting") or self.deep_made:
            return None
        self.deep_made = True
        depth = self.pick([100, 1000, 20000, 200000])
        return common.nested_chain(tk, self.n(0, 3), depth)

    # --- hostile objects ------------------------------------------------------
    def hook(self):
        """What a hostile object does when its hook runs: an action on one of
        the containers around it (or any container), on which call."""
        h = Hook(self)
        self.hooks.append(h)
        return h

    def hostile_number(self):
        h = self.hook()
        k = self.n(0, 3)
        if k == 0:
            return HostileFloat(h)
        if k == 1:
            return HostileIndex(h)
        if k == 2:
            return HostileBoth(h)
        return HostileFloatSub(1.5).arm(h)

    def hostile_bool(self):
        return HostileBool(self.hook())

    def hostile_key(self, like):
        return HostileKey(like).arm(self.hook())

    def hostile_seq(self, items):
        k = self.n(0, 2)
        h = self.hook()
        if k == 0:
            return HostileSeq(self, h, items)
        if k == 1:
            return HostileIter(self, h, items)
        s = HostileList(items).arm(h)
        self.containers.append(s)
        return s

    def hostile_dict(self, items, role):
        d = self.new_dict(HostileDict)
        d.arm(self.hook())
        self.fill(d, items)
        return d

    def hostile_del(self):
        return HostileDel(self.hook())

    def hostile_uuid(self):
        return HostileUUID(bytes=bytes(16)).arm(self.hook())

    def odd_subclass(self):
        k = self.n(0, 4)
        if k == 0:
            return OddInt(self.pick(INTS))
        if k == 1:
            return OddFloat(self.pick(FLOATS))
        if k == 2:
            return OddStr(self.pick(TYPE_NAMES + OBJECT_TYPES))
        if k == 3:
            return OddBytes(b"\x01\x02")
        return OddBool()


class Hook:
    # weights by repetition: shrinking the container being read is what
    # catches a held pointer, so it comes up most
    ACTIONS = ["clear", "clear", "clear", "shrink", "shrink", "drop_first", "grow", "grow", "replace", "replace",
               "gc", "raise", "none"]

    def __init__(self, g):
        self.action = g.pick(self.ACTIONS)
        self.on_call = g.pick([0, 0, 0, 1, 2, 5])
        self.result = g.n(0, 7)
        self.calls = 0
        mutation_ok = common.allowed("mutation") and (g.in_geometry == 0 or common.allowed("geometry_mutation"))
        if not mutation_ok and self.action not in ("gc", "raise", "none"):
            self.action = "none"
        if self.action == "gc" and not common.allowed("gc_hooks"):
            self.action = "none"
        # the container: mostly the innermost one being filled, else an outer
        # one, else any made so far
        up = g.pick([0, 0, 0, 1, 2, -1])
        if g.open and up >= 0:
            self.target = g.open[-1 - min(up, len(g.open) - 1)]
        elif g.containers:
            self.target = g.pick(g.containers)
        else:
            self.target = None
        # a hook made before any container (the garbage collector's) picks
        # its container when it runs, from those made by then
        self.late = (g, g.n(0, 255)) if self.target is None else None
        self.fill = g.pick(FLOATS)

    def fire(self):
        """Runs the action on the chosen call; True when the hook raises."""
        self.calls += 1
        if self.calls - 1 != self.on_call:
            return False
        t, a = self.target, self.action
        if t is None and self.late is not None and self.late[0].containers:
            made = self.late[0].containers
            t = made[self.late[1] % len(made)]
        if a == "raise":
            return True
        if t is None or a == "none":
            return False
        if a == "gc":
            gc.collect()
            return False
        if isinstance(t, dict):
            keys = list(dict.keys(t))
            if a == "clear":
                dict.clear(t)
            elif a in ("shrink", "drop_first"):
                for k in keys[:max(1, len(keys) // 2)]:
                    dict.__delitem__(t, k)
            elif a == "grow":
                for i in range(64):  # the table moves
                    dict.__setitem__(t, "k%d" % i, self.fill)
            else:
                for k in keys:  # the values read so far lose their last reference
                    dict.__setitem__(t, k, [self.fill] * 3)
        elif isinstance(t, list):
            if a == "clear":
                list.clear(t)
            elif a == "shrink":
                del t[len(t) // 2:]
            elif a == "drop_first":
                del t[:1]
            elif a == "grow":
                list.extend(t, [self.fill] * 256)  # the item array moves
            else:
                for i in range(len(t)):
                    t[i] = [self.fill] * 2
        return False

    def number(self, default):
        """A result for __float__/__index__ style hooks."""
        r = self.result
        if r == 0:
            return default
        if r == 1:
            return default
        if r == 2:
            return OddFloat(2.5) if isinstance(default, float) else OddInt(7)
        if r == 3:
            return "1.0"
        if r == 4:
            return None
        if r == 5:
            return 10**30 if isinstance(default, int) else float("nan")
        if r == 6:
            return -1 if isinstance(default, int) else float("inf")
        return default


class HostileFloat:
    def __init__(self, hook):
        self.hook = hook

    def __float__(self):
        if self.hook.fire():
            raise Hostile("__float__")
        return self.hook.number(1.25)


class HostileIndex:
    def __init__(self, hook):
        self.hook = hook

    def __index__(self):
        if self.hook.fire():
            raise Hostile("__index__")
        return self.hook.number(3)

    __int__ = __index__


class HostileBoth(HostileFloat, HostileIndex):
    def __bool__(self):
        if self.hook.fire():
            raise Hostile("__bool__")
        return True


class HostileFloatSub(float):
    def arm(self, hook):
        self.hook = hook
        return self

    def __float__(self):
        if self.hook.fire():
            raise Hostile("__float__")
        return self.hook.number(2.5)


class HostileBool:
    def __init__(self, hook):
        self.hook = hook

    def __bool__(self):
        if self.hook.fire():
            raise Hostile("__bool__")
        r = self.hook.result
        return r % 2 == 0 if r < 6 else "yes"  # a non-bool result makes bool() raise


class HostileKey(str):
    def arm(self, hook):
        self.hook = hook
        return self

    def __hash__(self):
        return str.__hash__(self)

    def __eq__(self, other):
        if self.hook.fire():
            raise Hostile("__eq__")
        return str.__eq__(self, other)


class HostileSeq:
    """A sequence by __len__ and __getitem__ that lies about its length."""

    def __init__(self, g, hook, items):
        self.hook = hook
        self.items = list(items)
        self.lie = g.pick([None, 0, 1, 2**20, sys.maxsize, -1])

    def __len__(self):
        if self.hook.fire():
            raise Hostile("__len__")
        return len(self.items) if self.lie is None else self.lie

    def __getitem__(self, i):
        if self.hook.fire():
            raise Hostile("__getitem__")
        return self.items[i]


class HostileIter(HostileSeq):
    def __iter__(self):
        for item in list(self.items):
            if self.hook.fire():
                raise Hostile("__iter__")
            yield item
        if self.hook.result == 7:
            yield HostileDel(self.hook)


class HostileList(list):
    def arm(self, hook):
        self.hook = hook
        return self

    def __iter__(self):
        if self.hook.fire():
            raise Hostile("__iter__")
        return list.__iter__(self)

    def __len__(self):
        if self.hook.fire():
            raise Hostile("__len__")
        return list.__len__(self)

    def __getitem__(self, i):
        if self.hook.fire():
            raise Hostile("__getitem__")
        return list.__getitem__(self, i)


class HostileDict(dict):
    def arm(self, hook):
        self.hook = hook
        return self

    def __contains__(self, key):
        if self.hook.fire():
            raise Hostile("__contains__")
        return dict.__contains__(self, key)

    def __getitem__(self, key):
        if self.hook.fire():
            raise Hostile("__getitem__")
        return dict.__getitem__(self, key)

    def keys(self):
        if self.hook.fire():
            raise Hostile("keys")
        return dict.keys(self)

    def items(self):
        if self.hook.fire():
            raise Hostile("items")
        return dict.items(self)

    def __iter__(self):
        if self.hook.fire():
            raise Hostile("__iter__")
        return dict.__iter__(self)


class HostileDel:
    def __init__(self, hook):
        self.hook = hook

    def __del__(self):
        try:
            self.hook.fire()
        except Exception:
            pass


class HostileUUID(uuid.UUID):
    def arm(self, hook):
        object.__setattr__(self, "hook", hook)
        return self

    @property
    def bytes(self):
        if self.hook.fire():
            raise Hostile("bytes")
        return b"\x01" * (16 if self.hook.result < 5 else self.hook.result)


class HostileZone(datetime.tzinfo):
    def __init__(self, g, hook):
        self.hook = hook

    def utcoffset(self, dt):
        if self.hook.fire():
            raise Hostile("utcoffset")
        r = self.hook.result
        if r == 3:
            return "odd"
        if r == 4:
            return datetime.timedelta(days=2)  # out of the allowed range
        return datetime.timedelta(hours=r)

    def dst(self, dt):
        return None


class OddInt(int):
    def __index__(self):
        return 5


class OddFloat(float):
    def __float__(self):
        return 0.75


class OddStr(str):
    pass


class OddBytes(bytes):
    pass


class OddBool(int):
    def __bool__(self):
        raise Hostile("__bool__")


# --- the program -----------------------------------------------------------------

def named_type_dict(g):
    def items(d):
        for key in TYPE_KEYS:
            if g.n(0, 2) == 0:
                continue
            if key == "role":
                d[key] = g.pick(TYPE_ROLES) if g.n(0, 3) else g.value()
            elif key == "strict":
                d[key] = g.flag() if g.n(0, 3) else g.pick([None, 1, "x", g.hostile_bool()])
            elif key == "properties":
                d[key] = property_map(g)
            else:
                d[key] = g.text() if g.n(0, 3) else g.value()
    form = g.n(0, 7)
    if form == 6:
        return g.hostile_dict(items, "named_type")
    if form == 7:
        return g.pick([None, [("name", "T")], 5, [1]])
    return g.fill(g.new_dict(), items)


def property_map(g):
    def items(d):
        for i in range(g.n(0, 3)):
            d["p%d" % i if g.n(0, 3) else g.key(ALL_KEYS)] = property_dict(g)
    form = g.n(0, 5)
    if form == 4:
        return g.seq_of(lambda: ("p", property_dict(g)))
    if form == 5:
        return g.hostile_dict(items, "property_map")
    return g.fill(g.new_dict(), items)


def property_dict(g):
    def items(d):
        for key in PROPERTY_KEYS:
            if g.n(0, 2) == 0:
                continue
            if key == "fieldType":
                d[key] = g.pick(FIELD_TYPES) if g.n(0, 5) else g.value()
            elif key == "geometryType":
                d[key] = g.pick(GEOMETRY_TYPES) if g.n(0, 5) else g.value()
            elif key == "role":
                d[key] = g.pick(PROPERTY_ROLES) if g.n(0, 5) else g.value()
            elif key == "defaultValue":
                d[key] = g.value()
            elif key in ("name", "alias", "domain"):
                d[key] = g.text() if g.n(0, 5) else g.value()
            else:
                d[key] = g.flag() if g.n(0, 3) else g.pick([None, 2, "x", g.hostile_bool(), g.hostile_number()])
    form = g.n(0, 9)
    if form == 8:
        return g.hostile_dict(items, "property")
    if form == 9:
        return g.pick([None, 3, [("name", "p")], "name"])
    return g.fill(g.new_dict(), items)


def mask_dict(g, keys):
    def items(d):
        for key in keys:
            if g.flag():
                d[key] = g.flag() if g.n(0, 4) else g.pick([None, 1, "x", g.hostile_bool(), []])
    form = g.n(0, 7)
    if form == 6:
        return g.hostile_dict(items, "mask")
    if form == 7:
        return g.pick([None, [], "update_name"])
    return g.fill(g.new_dict(), items)


def ids_dict(g):
    def items(d):
        for key in ("_objectType", "_typeName", "_ids"):
            if g.n(0, 7) == 0:
                continue
            if key == "_objectType":
                d[key] = g.objtype()
            elif key == "_typeName":
                d[key] = g.pick(TYPE_NAMES) if g.n(0, 3) else g.value()
            else:
                d[key] = g.seq_of(g.value, 0, 8) if g.n(0, 4) else g.value()
    form = g.n(0, 7)
    if form == 6:
        return g.hostile_dict(items, "ids")
    if form == 7:
        return g.pick([None, [], ("_ids",)])
    return g.fill(g.new_dict(), items)


def edit_value(g):
    k = g.n(0, 3)
    if k == 0:
        return g.entity_dict(0)
    if k == 1:
        return g.relationship_dict(0)
    return g.value()


class Program:
    def __init__(self, g):
        self.g = g
        sr = tk.SpatialReference()
        sr.wkid = g.pick([0, 4326, 3857])
        p = tk.InputQuantizationParameters()
        p.xy_resolution = g.pick([1.0, 0.0, 1e-9, 1e9, float("nan"), -1.0])
        p.x_false_origin = g.pick([0.0, -400.0, 1e300])
        p.y_false_origin = g.pick([0.0, -400.0])
        p.z_resolution = g.pick([1.0, 0.0, 1e-3])
        p.m_resolution = g.pick([1.0, 0.0])
        try:
            self.edits = tk.GraphApplyEditsEncoder(sr, p)
        except EXPECTED:  # a resolution the quantizer refuses
            self.edits = tk.GraphApplyEditsEncoder(sr, tk.InputQuantizationParameters())
        self.type_adds = tk.GraphNamedObjectTypeAddsRequestEncoder()
        self.type_update = tk.GraphNamedObjectTypeUpdateRequestEncoder()
        self.prop_adds = tk.GraphPropertyAddsRequestEncoder()
        self.prop_update = tk.GraphPropertyUpdateRequestEncoder()
        self.prop_delete = tk.GraphPropertyDeleteRequestEncoder()
        self.query = tk.GraphQueryRequestEncoder()
        self.encoders = [self.edits, self.type_adds, self.type_update, self.prop_adds, self.prop_update,
                         self.prop_delete, self.query]

    def step(self):
        g = self.g
        op = g.n(0, 13)
        if op == 0:
            self.edits.add(edit_value(g))
        elif op == 1:
            self.edits.update(edit_value(g))
        elif op == 2:
            self.edits.delete(edit_value(g))
        elif op == 3:
            self.edits.delete_from_ids(ids_dict(g))
        elif op == 4:
            self.edits.cascade_delete = g.flag() if g.n(0, 3) else g.hostile_bool()
        elif op == 5:
            self.type_adds.add_entity_type(named_type_dict(g))
        elif op == 6:
            self.type_adds.add_relationship_type(named_type_dict(g))
        elif op == 7:
            self.type_update.update_entity_type(named_type_dict(g), mask_dict(g, TYPE_MASK_KEYS))
        elif op == 8:
            self.type_update.update_relationship_type(named_type_dict(g), mask_dict(g, TYPE_MASK_KEYS))
        elif op == 9:
            self.prop_adds.add_property(property_dict(g))
        elif op == 10:
            self.prop_update.update_property(property_dict(g), mask_dict(g, PROPERTY_MASK_KEYS))
        elif op == 11:
            name = g.text()
            self.prop_update.name = name
            self.prop_delete.name = name
        elif op == 12:
            self.query.set_param_key_value(g.text(), g.value())
        else:
            self.edits.encode()  # every later edit must be refused

    def finish(self):
        for enc in self.encoders:
            try:
                enc.encode()
            except EXPECTED_HERE:
                pass
            r = enc.get_encoding_result()
            if r is not None:
                assert isinstance(r.byte_buffer, bytes)
                assert isinstance(r.error.error_code, int)
                assert isinstance(r.error.error_message, str)
