// Date-times cross the boundary as naive local civil times.
#include "module/py_value.h"

#include <datetime.h>

#include <cerrno>
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

bool same_civil_time(const std::tm& a, const std::tm& b) {
    return a.tm_year == b.tm_year && a.tm_mon == b.tm_mon && a.tm_mday == b.tm_mday && a.tm_hour == b.tm_hour &&
           a.tm_min == b.tm_min && a.tm_sec == b.tm_sec;
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
    std::tm cal{};
    int64_t micro = 0;
    if (PyDateTime_Check(obj)) {
        cal.tm_year = PyDateTime_GET_YEAR(obj) - 1900;
        cal.tm_mon = PyDateTime_GET_MONTH(obj) - 1;
        cal.tm_mday = PyDateTime_GET_DAY(obj);
        cal.tm_hour = PyDateTime_DATE_GET_HOUR(obj);
        cal.tm_min = PyDateTime_DATE_GET_MINUTE(obj);
        cal.tm_sec = PyDateTime_DATE_GET_SECOND(obj);
        micro = PyDateTime_DATE_GET_MICROSECOND(obj);
    } else if (PyDate_Check(obj)) {
        cal.tm_year = PyDateTime_GET_YEAR(obj) - 1900;
        cal.tm_mon = PyDateTime_GET_MONTH(obj) - 1;
        cal.tm_mday = PyDateTime_GET_DAY(obj);
    } else if (PyTime_Check(obj)) {
        cal.tm_year = 70;
        cal.tm_mon = 0;
        cal.tm_mday = 1;
        cal.tm_hour = PyDateTime_TIME_GET_HOUR(obj);
        cal.tm_min = PyDateTime_TIME_GET_MINUTE(obj);
        cal.tm_sec = PyDateTime_TIME_GET_SECOND(obj);
        micro = PyDateTime_TIME_GET_MICROSECOND(obj);
    } else {
        throw std::invalid_argument("Expected a datetime, date or time object.");
    }
    cal.tm_isdst = -1;
    std::tm wanted = cal;
    errno = 0;
    std::time_t seconds = std::mktime(&cal);
    if (seconds == static_cast<std::time_t>(-1)) {
        // -1 is also the valid instant one second before the epoch: accept it
        // only when it really is the local time that was asked for.
        std::tm back{};
        std::time_t minus_one = -1;
        if (!localtime_r(&minus_one, &back) || !same_civil_time(back, wanted))
            throw std::invalid_argument("Unable to represent the date-time in local time.");
    }
    return time_point_t(ticks_t(static_cast<int64_t>(seconds) * kTicksPerSecond + micro * kTicksPerMicrosecond));
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
