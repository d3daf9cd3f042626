// Date-times cross the boundary as local civil times. A naive date-time is
// read in the local zone; one whose tzinfo gives an offset denotes one
// instant and is read by that offset.
#include "module/py_value.h"

#include <datetime.h>

#include <ctime>
#include <stdexcept>

namespace tk {

namespace {

void ensure_datetime_api() {
    // Imported once on first use, under the GIL.
    if (!PyDateTimeAPI) {
        PyDateTime_IMPORT;
        if (!PyDateTimeAPI) throw py::error_already_set();
    }
}

constexpr int64_t kSecondsPerDay = 86400;

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
int64_t days_from_civil(int64_t y, int64_t m, int64_t d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

struct Civil {
    int year = 1970, month = 1, day = 1, hour = 0, minute = 0, second = 0;
};

// A civil time read as if it were UTC, in seconds since the epoch.
int64_t civil_seconds(const Civil& c) {
    return days_from_civil(c.year, c.month, c.day) * kSecondsPerDay + c.hour * 3600 + c.minute * 60 + c.second;
}

// The local civil time of instant u, as civil_seconds gives it. False when
// the platform cannot express it.
bool local_civil(int64_t u, int64_t& out) {
    const std::time_t t = static_cast<std::time_t>(u);
    if (static_cast<int64_t>(t) != u) return false;
    std::tm cal{};
    if (!localtime_r(&t, &cal)) return false;
    const int64_t time_of_day = cal.tm_hour * 3600 + cal.tm_min * 60 + cal.tm_sec;
    // Mostly the instant moved by the zone's offset. A zone that counts leap
    // seconds moves it by some seconds more (less than a day), and then the
    // time of day differs: only then is the date read.
    const int64_t moved = u + static_cast<int64_t>(cal.tm_gmtoff);
    const int64_t moved_time = moved % kSecondsPerDay;
    if ((moved_time < 0 ? moved_time + kSecondsPerDay : moved_time) == time_of_day) {
        out = moved;
        return true;
    }
    out = days_from_civil(int64_t{cal.tm_year} + 1900, cal.tm_mon + 1, cal.tm_mday) * kSecondsPerDay + time_of_day;
    return true;
}

// The zone offset of the last conversion: only where the search starts.
// The answer does not depend on it.
thread_local int64_t t_offset_hint = 0;

[[noreturn]] void unrepresentable() { throw std::invalid_argument("Unable to represent the date-time in local time."); }

int64_t local_at(int64_t u) {
    int64_t lt = 0;
    if (!local_civil(u, lt)) unrepresentable();
    return lt;
}

// The instant whose local civil time is t (seconds as civil_seconds gives
// them), resolved as Python's datetime does: a wall time that occurs twice
// gives the earlier instant for fold 0 and the later for fold 1, whatever
// was converted before. A wall time that the clocks skip is read with the
// offset in force before the skip, for either fold (the C library's mktime
// answer).
int64_t local_to_instant(int64_t t, int fold) {
    // A zone's offsets differ by less than a day, so looking one day away
    // from a solution finds the other offset of a repeated hour.
    constexpr int64_t kFoldWindow = kSecondsPerDay;
    int64_t a = t_offset_hint;
    int64_t u1 = t - a;
    int64_t t1 = local_at(u1);
    if (t1 != t) {
        // Start where Python starts: the offset at instant t.
        a = local_at(t) - t;
        u1 = t - a;
        t1 = local_at(u1);
    }
    int64_t b = 0;
    if (t1 == t) {
        // One solution; look for an earlier one (fold 0) or a later one.
        const int64_t u2 = fold ? u1 + kFoldWindow : u1 - kFoldWindow;
        b = local_at(u2) - u2;
        if (a == b) {
            t_offset_hint = a;
            return u1;
        }
    } else {
        b = t1 - u1;
    }
    const int64_t u2 = t - b;
    if (local_at(u2) == t) {
        t_offset_hint = b;
        return u2;
    }
    if (t1 == t) {
        t_offset_hint = a;
        return u1;
    }
    // In the gap: neither offset reproduces t. The offset before the skip is
    // the smaller one, so the later of the two candidates.
    return u1 > u2 ? u1 : u2;
}

// The zone offset of an aware date-time in microseconds; false for a naive
// one (no tzinfo, or utcoffset() None). utcoffset() may run Python code.
bool aware_offset_us(PyObject* obj, int64_t& offset_us) {
    if (!_PyDateTime_HAS_TZINFO(obj)) return false;
    static PyObject* name = intern_string("utcoffset");
    PyObject* delta = PyObject_CallMethodNoArgs(obj, name);
    if (!delta) throw py::error_already_set();
    const py::object held = py::reinterpret_steal<py::object>(delta);
    if (delta == Py_None) return false;
    if (!PyDelta_Check(delta)) throw py::type_error("utcoffset() must return a datetime.timedelta or None");
    offset_us =
        (int64_t{PyDateTime_DELTA_GET_DAYS(delta)} * kSecondsPerDay + PyDateTime_DELTA_GET_SECONDS(delta)) * 1000000 +
        PyDateTime_DELTA_GET_MICROSECONDS(delta);
    return true;
}

time_point_t from_seconds(int64_t seconds, int64_t micro) {
    return time_point_t(ticks_t(seconds * kTicksPerSecond + micro * kTicksPerMicrosecond));
}

}  // namespace

bool is_datetime_like(py::handle src) {
    ensure_datetime_api();
    PyObject* obj = src.ptr();
    return PyDateTime_Check(obj) || PyDate_Check(obj) || PyTime_Check(obj);
}

bool is_exact_datetime_type(PyTypeObject* type) {
    ensure_datetime_api();
    return type == PyDateTimeAPI->DateTimeType || type == PyDateTimeAPI->DateType || type == PyDateTimeAPI->TimeType;
}

time_point_t load_time_point(py::handle src) {
    ensure_datetime_api();
    PyObject* obj = src.ptr();
    Civil c;
    int64_t micro = 0;
    int fold = 0;
    if (PyDateTime_Check(obj)) {
        c.year = PyDateTime_GET_YEAR(obj);
        c.month = PyDateTime_GET_MONTH(obj);
        c.day = PyDateTime_GET_DAY(obj);
        c.hour = PyDateTime_DATE_GET_HOUR(obj);
        c.minute = PyDateTime_DATE_GET_MINUTE(obj);
        c.second = PyDateTime_DATE_GET_SECOND(obj);
        micro = PyDateTime_DATE_GET_MICROSECOND(obj);
        fold = PyDateTime_DATE_GET_FOLD(obj);
        int64_t offset_us = 0;
        if (aware_offset_us(obj, offset_us)) {
            // One instant, whatever the local zone: civil time minus offset.
            const int64_t us = civil_seconds(c) * 1000000 + micro - offset_us;
            return time_point_t(ticks_t(us * kTicksPerMicrosecond));
        }
    } else if (PyDate_Check(obj)) {
        c.year = PyDateTime_GET_YEAR(obj);
        c.month = PyDateTime_GET_MONTH(obj);
        c.day = PyDateTime_GET_DAY(obj);
    } else if (PyTime_Check(obj)) {
        c.hour = PyDateTime_TIME_GET_HOUR(obj);
        c.minute = PyDateTime_TIME_GET_MINUTE(obj);
        c.second = PyDateTime_TIME_GET_SECOND(obj);
        micro = PyDateTime_TIME_GET_MICROSECOND(obj);
        fold = PyDateTime_TIME_GET_FOLD(obj);
    } else {
        throw std::invalid_argument("Expected a datetime, date or time object.");
    }
    return from_seconds(local_to_instant(civil_seconds(c), fold), micro);
}

py::object time_point_to_python(time_point_t tp) {
    ensure_datetime_api();
    const int64_t ticks = tp.time_since_epoch().count();
    int64_t us = (ticks % kTicksPerSecond) / kTicksPerMicrosecond;
    if (us < 0) us += 1000000;
    const int64_t secs = (ticks - us * kTicksPerMicrosecond) / kTicksPerSecond;
    std::time_t t = static_cast<std::time_t>(secs);
    std::tm cal{};
    // Python's datetime stops at years 1 and 9999.
    if (!localtime_r(&t, &cal) || cal.tm_year + 1900 < 1 || cal.tm_year + 1900 > 9999)
        throw py::cast_error("Unable to represent system_clock in local time");
    PyObject* result = PyDateTime_FromDateAndTime(cal.tm_year + 1900, cal.tm_mon + 1, cal.tm_mday, cal.tm_hour,
                                                  cal.tm_min, cal.tm_sec, static_cast<int>(us));
    if (!result) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

}  // namespace tk
