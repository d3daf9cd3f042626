// Rows converted ahead of a caller that reads them one at a time: iteration,
// or next_row() then get_current_row(). Making a run of rows in one collector
// pause costs far less than making them between the caller's own
// allocations, where every few hundred containers start a collection.
//
// While rows are held, the core decoder's cursor sits on the last row made
// and the caller's row is the entry at at_. A run never leaves the front
// frame (the decoder decodes nothing for it, so it cannot fail), and every
// other use of the decoder first calls settle(), which puts the cursor back
// on the caller's row. Callers hold the decoder's busy flag around every
// member: dropping rows, or making them, can run Python code.
#pragma once

#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstddef>
#include <exception>
#include <utility>
#include <vector>

#include "module/py_collector.h"
#include "query/query_decoder.h"

namespace tk {

namespace py = pybind11;

class RowsAhead {
public:
    // The longest run, and the rows the caller must have read in a row
    // before runs start. Runs then grow with the streak, so a caller that
    // stops early wastes at most as many rows as it has read.
    static constexpr std::size_t kMaxRun = 1024;
    static constexpr std::size_t kMinStreak = 8;
    static constexpr std::size_t kMaxWait = std::size_t(1) << 16;

    // next_row() from the rows made: false, with nothing held any more, when
    // the caller's row was the last made; the caller then asks the decoder.
    bool step(GraphQueryDecoder& d) {
        if (entries_.empty()) return false;
        if (entries_[at_].row) streak_ = 0;  // a row skipped: the caller does not want them all
        if (at_ + 1 < entries_.size()) {
            ++at_;
            return true;
        }
        drop(d, false);
        return false;
    }

    // The caller's row when it was made and not yet handed out; otherwise
    // (a second request for the same row) nothing is held afterwards and
    // the result is empty. Raises what making the row raised.
    py::object take(GraphQueryDecoder& d) {
        if (entries_.empty()) return py::object();
        Entry& e = entries_[at_];
        if (e.error) {
            const std::exception_ptr error = e.error;
            drop(d, true);
            std::rethrow_exception(error);
        }
        if (!e.row) {
            drop(d, true);
            return py::object();
        }
        ++streak_;
        return std::move(e.row);
    }

    // The current row, converted; when the caller has been reading every
    // row, the rows after it in the front frame too.
    template <class Convert>
    py::object make(GraphQueryDecoder& d, Convert&& convert) {
        drop(d, false);
        if (probe_) {
            // A caller that drops its rows gets short runs only, to see
            // whether it still does, and ever more rarely.
            dropping_ = Py_REFCNT(probe_.ptr()) == 1;
            wait_ = dropping_ ? std::min(2 * wait_, kMaxWait) : kMinStreak;
            if (dropping_) streak_ = 0;
            probe_ = py::object();
        }
        std::size_t run = 0;
        if (streak_ >= wait_ && d.has_current_row() && !d.row_values_decoded())
            run = std::min({dropping_ ? kMinStreak : streak_, kMaxRun - 1, d.rows_ready()});
        if (run == 0) {
            py::object row = convert();
            ++streak_;
            return row;
        }
        CollectorPause pause;
        std::vector<Entry> made;
        made.reserve(run + 1);
        made.push_back(Entry{d.cursor(), convert(), nullptr});
        for (std::size_t i = 0; i < run; ++i) {
            if (!d.next_row()) break;  // not expected: rows_ready() promised the row
            Entry e{d.cursor(), py::object(), nullptr};
            try {
                e.row = convert();
            } catch (...) {
                // Raised when the caller reaches this row, as it would have been.
                e.error = std::current_exception();
                made.push_back(std::move(e));
                break;
            }
            made.push_back(std::move(e));
        }
        entries_ = std::move(made);
        at_ = 0;
        probe_ = entries_[0].row;  // the caller may still hold the latest row
        ++streak_;
        return std::move(entries_[0].row);
    }

    // Before any other use of the decoder: the cursor back on the caller's
    // row, the rows made ahead dropped, and the streak over.
    void settle(GraphQueryDecoder& d) { drop(d, true); }

private:
    struct Entry {
        GraphQueryDecoder::RowCursor cursor;
        py::object row;  // empty once handed out
        std::exception_ptr error;
    };

    void drop(GraphQueryDecoder& d, bool end_streak) {
        if (end_streak) {
            streak_ = 0;
            probe_ = py::object();
        }
        if (entries_.empty()) return;
        if (at_ + 1 < entries_.size()) {
            d.rewind(entries_[at_].cursor);
            streak_ = 0;
        }
        // Emptied before the rows die: their destructors may run Python code.
        std::vector<Entry> dropped = std::move(entries_);
        entries_.clear();
        at_ = 0;
    }

    std::vector<Entry> entries_;
    std::size_t at_ = 0;
    std::size_t streak_ = 0;
    std::size_t wait_ = kMinStreak;  // the streak a run needs
    bool dropping_ = false;          // the last run's rows were dropped
    // A row of the last run, to see whether the caller keeps its rows. A
    // caller that drops each row gains nothing from a run: its rows die
    // young without any collection, while a run's rows, all alive at once,
    // start one.
    py::object probe_;
};

}  // namespace tk
