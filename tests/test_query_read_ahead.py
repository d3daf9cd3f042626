"""Rows read one at a time (iteration, or next_row() then get_current_row())
are made ahead in runs; whatever the caller does between them, every call
answers as if each row were made when asked for.

The model: the reference rows (get_rows(-1) on a second decoder, which makes
nothing ahead) and the caller's position in them.
"""
import gc
import random
import uuid
import weakref

import _tolmirkenvor as tk
import pytest
from streams import chunks, geometry, primitive, result_stream
from test_query_decoder import data_model_with_wkid
from test_rows_speed_paths import CELLS, INT, entity, ld, prim, stream, vi

WIDTH = 3
NONE_ROW = [None] * WIDTH
FAILS = (ValueError, RuntimeError, OverflowError)


def cells_stream(rows, rows_per_frame, seed=7):
    rng = random.Random(seed)
    cells = [CELLS[k][0] for k in sorted(CELLS)]
    table = [[rng.choice(cells) for _ in range(WIDTH - 1)] + [prim(vi(7, 2 * r))] for r in range(rows)]
    return stream(WIDTH, table, rows_per_frame=rows_per_frame)


def pushed(body, chunk=4096):
    d = tk.GraphQueryDecoder()
    for c in chunks(body, chunk):
        d.push_buffer(c)
    return d


class Model:
    """Where the caller stands, and what each call must answer."""

    def __init__(self, rows):
        self.rows, self.p = rows, -1

    def current(self):
        return self.rows[self.p] if 0 <= self.p < len(self.rows) else NONE_ROW

    def next_row(self):
        self.p = min(self.p + 1, len(self.rows))
        return self.p < len(self.rows)

    def get_rows(self, k):
        out = self.rows[self.p + 1:self.p + 1 + k]
        self.p = self.p + k if self.p + 1 + k <= len(self.rows) else len(self.rows)
        return out


def run_script(d, m, rng, steps):
    for _ in range(steps):
        op = rng.choices(["rows", "iter", "twice", "value", "skip", "batch", "model", "finish"],
                         [40, 30, 4, 6, 6, 5, 3, 2])[0]
        if op == "rows":  # a streak of next_row() + get_current_row()
            for _ in range(rng.randint(1, 80)):
                assert d.next_row() is m.next_row()
                assert d.get_current_row() == m.current()
        elif op == "iter":
            it = iter(d)
            for _ in range(rng.randint(1, 80)):
                if m.next_row():
                    assert next(it) == m.current()
                else:
                    with pytest.raises(StopIteration):
                        next(it)
        elif op == "twice":
            first = d.get_current_row()
            first.append("changed")
            assert d.get_current_row() == m.current()
        elif op == "value":
            j = rng.randrange(WIDTH)
            assert tk.to_value_object(d.get_value(j)) == m.current()[j]
        elif op == "skip":
            for _ in range(rng.randint(1, 5)):
                assert d.next_row() is m.next_row()
        elif op == "batch":
            k = rng.randint(0, 30)
            assert d.get_rows(k) == m.get_rows(k)
        elif op == "model":
            d.data_model = None
            assert d.get_current_row() == m.current()
        else:
            assert d.finish() is True
            assert d.get_current_row() == m.current()
        assert not d.has_error()


@pytest.mark.parametrize("seed", range(12))
@pytest.mark.parametrize("rows_per_frame", [1, 37, 400])
def test_any_mix_of_calls_answers_as_row_by_row(seed, rows_per_frame):
    body = cells_stream(600, rows_per_frame)
    rows = pushed(body).get_rows(-1)
    assert len(rows) == 600
    d, m = pushed(body), Model(rows)
    rng = random.Random(seed)
    assert d.next_row() is m.next_row()  # the header, for get_current_row()
    run_script(d, m, rng, 60)
    # and to the end, every row exactly once
    rest = list(d) if seed % 2 else d.get_rows(-1)
    assert rest == rows[m.p + 1:]
    assert d.next_row() is False


def test_rows_pushed_while_reading_come_in_order():
    body = cells_stream(900, 150)
    rows = pushed(body).get_rows(-1)
    d, got = tk.GraphQueryDecoder(), []
    for c in chunks(body, 1000):
        d.push_buffer(c)
        while d.next_row():
            got.append(d.get_current_row())
    assert got == rows


def bad_at(positions, rows=120):
    # A date-time that fits the tick range but no Python year.
    bad = prim(vi(13, 20_000 * 365 * 86_400_000))
    return stream(1, [[bad] if r in positions else [prim(vi(7, 2 * r))] for r in range(rows)], rows_per_frame=120)


@pytest.mark.parametrize("how", ["row", "iter"])
def test_a_row_that_fails_fails_when_reached_and_only_then(how):
    positions = {40, 41, 90}
    d = pushed(bad_at(positions))
    it = iter(d)
    for r in range(120):
        if r in positions:
            with pytest.raises(FAILS):
                if how == "row":
                    assert d.next_row()
                    d.get_current_row()
                else:
                    next(it)
            continue
        if how == "row":
            assert d.next_row()
            assert d.get_current_row() == [r]
        else:
            assert next(it) == [r]
    assert d.next_row() is False


def test_a_failed_row_read_again_fails_again():
    d = pushed(bad_at({50}))
    for r in range(50):
        assert d.next_row() and d.get_current_row() == [r]
    assert d.next_row()
    for _ in range(2):
        with pytest.raises(FAILS):
            d.get_current_row()
    assert d.next_row() and d.get_current_row() == [51]


def test_get_value_sees_the_callers_row_and_its_changes_reach_get_current_row():
    body = stream(1, [[entity("P", prim(vi(7, 2 * r)), [("k", INT)])] for r in range(300)], rows_per_frame=300)
    d = pushed(body)
    for _ in range(100):
        assert d.next_row()
        d.get_current_row()
    e = d.get_value(0)
    assert e.get_id() == 99
    e.set_key_value("k", "new")
    assert d.get_current_row()[0]["_properties"] == {"k": "new"}
    assert d.next_row() and d.get_current_row()[0]["_id"] == 100


def test_a_data_model_set_between_rows_reaches_every_later_row():
    dm = data_model_with_wkid(4326)
    point = primitive(geometry_value=geometry(0, [1], [1, 2]))
    body = result_stream(["p"], [[point]] * 200, rows_per_frame=200)
    d = pushed(body)
    for _ in range(50):
        assert d.next_row()
        assert "spatialReference" not in d.get_current_row()[0]
    d.data_model = dm
    for _ in range(150):
        assert d.next_row()
        assert d.get_current_row()[0]["spatialReference"] == {"wkid": 4326, "latestWkid": 4326}


def uuid_stream(rows, step=1):
    """One UUID column, every row in one frame: UUID(int=(r + 1) * step)."""
    ids = [uuid.UUID(int=(r + 1) * step) for r in range(rows)]
    return ids, stream(1, [[prim(ld(9, u.bytes))] for u in ids], rows_per_frame=rows)


def test_uuids_made_ahead_call_the_replaced_class_once_a_row(monkeypatch):
    ids, body = uuid_stream(300, step=7919)
    seen = []

    def counting(*args, **kwargs):
        seen.append(kwargs["int"])
        return kwargs["int"]

    monkeypatch.setattr(uuid, "UUID", counting)
    d = pushed(body)
    got = []
    while d.next_row():
        got.append(d.get_current_row()[0])
    assert got == seen == [u.int for u in ids]


@pytest.mark.parametrize("how", ["row", "iter"])
def test_what_python_code_raises_for_a_row_made_ahead_is_raised_at_that_row(monkeypatch, how):
    # Raised once only: a row made again would not fail, so the error must be kept.
    _, body = uuid_stream(200)
    failed = []

    def once(**kwargs):
        if kwargs["int"] == 151 and not failed:
            failed.append(True)
            raise KeyError("hook")
        return kwargs["int"]

    monkeypatch.setattr(uuid, "UUID", once)
    d = pushed(body)
    it = iter(d)
    for r in range(200):
        if r == 150:
            with pytest.raises(KeyError, match="hook"):
                if how == "row":
                    d.next_row()
                    d.get_current_row()
                else:
                    next(it)
            continue
        assert (next(it) if how == "iter" else d.next_row() and d.get_current_row()) == [r + 1]


class Tracked:
    def __init__(self, **kwargs):
        self.int = kwargs["int"]


@pytest.mark.parametrize("then", ["get_value", "del"])
def test_rows_made_ahead_die_once_the_caller_moves_on(monkeypatch, then):
    _, body = uuid_stream(300)
    refs = []

    def tracked(**kwargs):
        t = Tracked(**kwargs)
        refs.append(weakref.ref(t))
        return t

    monkeypatch.setattr(uuid, "UUID", tracked)
    d = pushed(body)
    kept = []  # kept rows, so that runs are made
    for r in range(100):
        assert d.next_row()
        kept.append(d.get_current_row())
        assert kept[-1][0].int == r + 1
    assert len(refs) > 100  # made ahead
    del kept
    if then == "get_value":
        assert d.get_value(0).int == 100
    else:
        del d
    gc.collect()
    assert sum(r() is not None for r in refs) == 0
