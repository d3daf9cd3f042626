"""Date-times loaded in several local time zones: aware ones by their own
offset, naive ones as local civil time resolved as Python resolves them
(fold), whatever was converted before."""
import contextlib
import datetime as dt
import gc
import os
import time
import weakref

import _tolmirkenvor as tk
import pytest
from pbgen import pb

try:
    from zoneinfo import ZoneInfo
except ImportError:  # Python 3.8
    ZoneInfo = None


def millis(value):
    """The milliseconds the module writes for one bind parameter."""
    enc = tk.GraphQueryRequestEncoder()
    enc.open_cypher_query = "RETURN $p"
    enc.set_param_key_value("p", value)
    enc.encode()
    r = enc.get_encoding_result()
    assert r.error.empty(), r.error.error_message
    p = pb.graph_query_pb2.GraphQueryRequest.FromString(r.byte_buffer).parameters["p"].primitive_value
    assert p.WhichOneof("value") == "datetime_value"
    return p.datetime_value


def python_millis(value):
    """Python's own reading of the date-time, in whole milliseconds toward zero."""
    us = (value - dt.datetime(1970, 1, 1, tzinfo=dt.timezone.utc)) // dt.timedelta(microseconds=1) \
        if value.tzinfo else round(value.timestamp() * 1e6)
    return int(us / 1000)


UTC = dt.timezone.utc


class NoOffset(dt.tzinfo):
    def utcoffset(self, d):
        return None


class Failing(dt.tzinfo):
    def utcoffset(self, d):
        raise ZeroDivisionError("no offset today")


@pytest.mark.parametrize("value,expected", [
    (dt.datetime(2020, 1, 1, tzinfo=UTC), 1577836800000),
    (dt.datetime(2020, 7, 1, 12, 30, tzinfo=UTC), 1593606600000),
    (dt.datetime(2020, 1, 1, 5, 30, tzinfo=dt.timezone(dt.timedelta(hours=5, minutes=30))), 1577836800000),
    (dt.datetime(2019, 12, 31, 19, tzinfo=dt.timezone(dt.timedelta(hours=-5))), 1577836800000),
    (dt.datetime(2020, 1, 1, 0, 0, 30, 250000, tzinfo=dt.timezone(dt.timedelta(seconds=30))), 1577836800250),
    (dt.datetime(1969, 12, 31, 23, 59, 59, 999000, tzinfo=UTC), -1),
    (dt.datetime(1, 1, 1, tzinfo=UTC), -62135596800000),
    (dt.datetime(9999, 12, 31, 23, 59, 59, 999999, tzinfo=UTC), 253402300799999),
])
def test_aware_datetimes_denote_one_instant(tz, value, expected):
    assert millis(value) == expected


@pytest.mark.skipif(ZoneInfo is None, reason="zoneinfo needs Python 3.9")
@pytest.mark.parametrize("zone,wall", [
    ("Europe/Berlin", dt.datetime(2021, 10, 31, 2, 30)),
    ("America/New_York", dt.datetime(2021, 11, 7, 1, 30)),
    ("Europe/Berlin", dt.datetime(2021, 3, 28, 12, 0)),
])
def test_zoneinfo_datetimes_use_their_own_zone(tz, zone, wall):
    for fold in (0, 1):
        value = wall.replace(tzinfo=ZoneInfo(zone), fold=fold)
        assert millis(value) == int(value.timestamp() * 1000)


def test_tzinfo_without_offset_is_naive(tz):
    naive = dt.datetime(2020, 6, 1, 12)
    assert millis(naive.replace(tzinfo=NoOffset())) == millis(naive) == python_millis(naive)


def test_failing_utcoffset_propagates(tz):
    enc = tk.GraphQueryRequestEncoder()
    with pytest.raises(ZeroDivisionError):
        enc.set_param_key_value("p", dt.datetime(2020, 1, 1, tzinfo=Failing()))


class Watched(dt.tzinfo):
    """A zone whose offset is fixed, or whose utcoffset() raises."""

    def __init__(self, fail=False):
        self.fail = fail

    def utcoffset(self, d):
        if self.fail:
            raise ZeroDivisionError("no offset today")
        return dt.timedelta(hours=2)


def _edit(value):
    enc = tk.GraphApplyEditsEncoder(tk.SpatialReference(), tk.InputQuantizationParameters.WGS84_lossless())
    enc.add({"_objectType": "entity", "_typeName": "T", "_properties": {"when": value, "also": [value]}})


def _param(value):
    tk.GraphQueryRequestEncoder().set_params({"q": 1, "p": value})


def _array(value):
    a = tk.ArrayValue()
    a.add_value(value)
    tk.to_value_object(a)


@pytest.mark.parametrize("road", [_edit, _param, _array])
@pytest.mark.parametrize("fail", [False, True])
def test_no_reference_to_a_date_time_outlives_the_call(tz, road, fail):
    # A date-time is invisible to the cyclic collector, so a reference the
    # module kept to one would keep its zone, and all the zone holds, for
    # good. The zone must die with the caller's last reference.
    zone = Watched(fail)
    gone = weakref.ref(zone)
    value = dt.datetime(2020, 1, 1, 12, tzinfo=zone)
    del zone
    try:
        road(value)
    except (ZeroDivisionError, ValueError):
        assert fail
    del value
    gc.collect()
    assert gone() is None


def test_aware_datetime_reads_back_as_local_time(tz):
    aware = dt.datetime(2020, 7, 1, 12, tzinfo=UTC)
    assert tk.to_value_object(aware) == dt.datetime.fromtimestamp(aware.timestamp())


# --- naive date-times at daylight-saving edges -----------------------------------

@contextlib.contextmanager
def local_zone(name):
    old = os.environ.get("TZ")
    os.environ["TZ"] = name
    time.tzset()
    try:
        yield name
    finally:
        if old is None:
            del os.environ["TZ"]
        else:
            os.environ["TZ"] = old
        time.tzset()


@pytest.fixture(params=["Europe/Berlin", "America/New_York"])
def dst_zone(request):
    with local_zone(request.param):
        yield request.param


# wall times that occur twice (clocks go back), and ones that never occur
REPEATED = {
    "Europe/Berlin": [dt.datetime(2021, 10, 31, 2, 0), dt.datetime(2021, 10, 31, 2, 30, 15, 500),
                      dt.datetime(2021, 10, 31, 2, 59, 59), dt.datetime(1995, 9, 24, 2, 15)],
    "America/New_York": [dt.datetime(2021, 11, 7, 1, 0), dt.datetime(2021, 11, 7, 1, 30, 0, 250000),
                         dt.datetime(2021, 11, 7, 1, 59, 59), dt.datetime(1999, 10, 31, 1, 45)],
}
SKIPPED = {
    "Europe/Berlin": [dt.datetime(2021, 3, 28, 2, 0), dt.datetime(2021, 3, 28, 2, 30), dt.datetime(2021, 3, 28, 2, 59)],
    "America/New_York": [dt.datetime(2021, 3, 14, 2, 0), dt.datetime(2021, 3, 14, 2, 30),
                         dt.datetime(2021, 3, 14, 2, 59)],
}
WINTER = dt.datetime(2021, 1, 15, 12)
SUMMER = dt.datetime(2021, 7, 15, 12)


def test_repeated_wall_times_follow_fold_in_either_order(dst_zone):
    for wall in REPEATED[dst_zone]:
        early, late = wall, wall.replace(fold=1)
        expected = {0: python_millis(early), 1: python_millis(late)}
        assert expected[1] - expected[0] == 3600 * 1000
        # in both orders, after winter and after summer values, and after the
        # C library's mktime has been asked about either season
        for before in (WINTER, SUMMER):
            for order in ((early, late), (late, early)):
                for prime in (before, None):
                    if prime is not None:
                        millis(prime)
                    else:
                        time.mktime(before.timetuple())
                    assert [millis(v) for v in order] == [expected[v.fold] for v in order]


def test_skipped_wall_times_keep_the_mktime_answer(dst_zone):
    for wall in SKIPPED[dst_zone]:
        # mktime with daylight saving unknown reads a skipped time with the
        # offset before the change
        expected = int(time.mktime(wall.timetuple())) * 1000
        assert expected == python_millis(wall)
        for before in (WINTER, SUMMER):
            millis(before)
            assert millis(wall) == millis(wall.replace(fold=1)) == expected


@pytest.mark.parametrize("value", [
    dt.datetime(2021, 1, 1), dt.datetime(2021, 3, 27, 23, 59, 59), dt.datetime(2021, 3, 28, 4),
    dt.datetime(2021, 6, 30, 23, 0, 0, 1), dt.datetime(2021, 10, 30, 2, 30), dt.datetime(2021, 11, 1, 3, 30),
    dt.datetime(1970, 1, 1), dt.datetime(1969, 12, 31, 23, 59, 59), dt.datetime(1916, 6, 1),
    dt.datetime(2040, 7, 1, 8), dt.datetime(2100, 3, 20, 2, 30), dt.datetime(1, 1, 2), dt.datetime(9999, 12, 30),
])
def test_ordinary_wall_times_match_python(tz, value):
    assert millis(value) == python_millis(value)
    assert tk.to_value_object(value) == value


def test_dates_and_times_are_local_midnight_and_epoch_day(tz):
    assert millis(dt.date(2021, 10, 31)) == python_millis(dt.datetime(2021, 10, 31))
    assert millis(dt.time(12, 30, 1, 5000)) == python_millis(dt.datetime(1970, 1, 1, 12, 30, 1, 5000))


@pytest.mark.skipif(not os.path.exists("/usr/share/zoneinfo/right/UTC"), reason="no leap-second zones here")
@pytest.mark.parametrize("wall", [
    dt.datetime(1970, 1, 1), dt.datetime(1972, 7, 1, 0, 0, 5), dt.datetime(1999, 12, 31, 23, 59, 59),
    dt.datetime(2016, 12, 31, 23, 59, 59, 999000), dt.datetime(2017, 1, 1), dt.datetime(2024, 2, 29, 12, 30),
    dt.datetime(1960, 5, 5, 5, 5, 5),
])
def test_naive_datetimes_in_a_zone_that_counts_leap_seconds(wall):
    # There the local time is not the instant moved by the zone's offset:
    # it is read as the C library gives it, as Python reads it too.
    with local_zone("right/UTC"):
        assert millis(wall) == python_millis(wall)
