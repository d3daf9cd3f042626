// The service's answer to an apply-edits request, per named type.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/error.h"
#include "common/first_met_map.h"
#include "schema/data_model.h"
#include "values/object_values.h"

namespace tk {

// An object's outcome; an empty error is success.
struct edit_object_result {
    value_t id;
    kg_error_t error;
};

struct cascaded_delete_result {
    value_t id;
    value_t origin_id;
    value_t destination_id;
    kg_error_t error;
};

struct named_type_edit_results {
    std::vector<edit_object_result> adds;
    std::vector<edit_object_result> updates;
    std::vector<edit_object_result> deletes;
};

class GraphApplyEditsDecoder {
public:
    // Clears what an earlier decode gathered, then reads one
    // GraphApplyEditsResult. Never throws for bad input: every failure is
    // -3 "Error decoding ApplyEdits response!".
    kg_error_t decode(const char* data, std::size_t size);

    kg_error_t error;            // the response's own error
    bool object_failed = false;  // some object carried an error
    first_met_map<named_type_edit_results> types;
    first_met_map<std::vector<cascaded_delete_result>> cascaded_deletes;
    first_met_map<std::vector<EndPoint>> schema_changes;
    // Calls that are reading the results right now (the bridge counts them
    // so that Python code run meanwhile cannot decode over them).
    int readers = 0;

private:
    void clear();
};

}  // namespace tk
