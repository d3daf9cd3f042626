// Edits read from Python objects straight into the encoder's wire bytes, and
// edit results as Python dictionaries.
#pragma once

#include <pybind11/pybind11.h>

#include "edits/apply_edits_decoder.h"
#include "edits/apply_edits_encoder.h"

namespace tk {

namespace py = pybind11;

// Stages op of one argument into lease.staging exactly as op applied to
// value_from_object(object) would run it: the same Python errors in the
// same order, the same refusals (returned), the same bytes. Entity and
// relationship dictionaries are read without building the value first;
// their scalar properties go to the wire directly.
edit_status stage_object(GraphApplyEditsEncoder& encoder, EditOp op, py::handle object,
                         GraphApplyEditsEncoder::Lease& lease);

// The results dictionary of a decoder (see GraphApplyEditsDecoder). The
// collector is paused while it is built; Python code run meanwhile (a
// replaced uuid.UUID) cannot decode into the same decoder (RuntimeError
// "Decoder is busy.").
py::object results_dict(GraphApplyEditsDecoder& decoder);

// Raises RuntimeError "Decoder is busy." while results_dict runs on decoder.
void ensure_idle(const GraphApplyEditsDecoder& decoder);

}  // namespace tk
