// Every fixed dictionary key and word the bridge reads or writes, interned
// once (the first time keys() is called, under the GIL) and kept for the life
// of the process: a query result or an edit batch goes through thousands of
// these dictionaries.
#pragma once

#include "module/py_objects.h"

namespace tk {

struct Keys {
    // Values as dictionaries.
    PyObject* object_type = intern_string("_objectType");
    PyObject* type_name = intern_string("_typeName");
    PyObject* id = intern_string("_id");
    PyObject* ids = intern_string("_ids");
    PyObject* value_properties = intern_string("_properties");
    PyObject* origin_id = intern_string("_originEntityId");
    PyObject* destination_id = intern_string("_destinationEntityId");
    PyObject* path = intern_string("_path");
    PyObject* word_object = intern_string("object");
    PyObject* word_entity = intern_string("entity");
    PyObject* word_relationship = intern_string("relationship");
    PyObject* word_path = intern_string("path");
    PyObject* word_geometry = intern_string("geometry");

    // Geometries.
    PyObject* x = intern_string("x");
    PyObject* y = intern_string("y");
    PyObject* z = intern_string("z");
    PyObject* m = intern_string("m");
    PyObject* points = intern_string("points");
    PyObject* rings = intern_string("rings");
    PyObject* paths = intern_string("paths");
    PyObject* has_z = intern_string("hasZ");
    PyObject* has_m = intern_string("hasM");
    PyObject* spatial_reference = intern_string("spatialReference");
    PyObject* wkid = intern_string("wkid");
    PyObject* latest_wkid = intern_string("latestWkid");
    PyObject* wkt = intern_string("wkt");

    // Schema edit dictionaries.
    PyObject* name = intern_string("name");
    PyObject* alias = intern_string("alias");
    PyObject* role = intern_string("role");
    PyObject* strict = intern_string("strict");
    PyObject* properties = intern_string("properties");
    PyObject* domain = intern_string("domain");
    PyObject* field_type = intern_string("fieldType");
    PyObject* geometry_type = intern_string("geometryType");
    PyObject* default_value = intern_string("defaultValue");
    PyObject* nullable = intern_string("nullable");
    PyObject* editable = intern_string("editable");
    PyObject* visible = intern_string("visible");
    PyObject* required = intern_string("required");
    PyObject* system_maintained = intern_string("isSystemMaintained");
    PyObject* update_name = intern_string("update_name");
    PyObject* update_alias = intern_string("update_alias");
    PyObject* update_role = intern_string("update_role");
    PyObject* update_strict = intern_string("update_strict");
    PyObject* update_field_type = intern_string("update_field_type");
    PyObject* update_geometry_type = intern_string("update_geometry_type");
    PyObject* update_has_m = intern_string("update_has_m");
    PyObject* update_has_z = intern_string("update_has_z");
    PyObject* update_default_value = intern_string("update_default_value");
    PyObject* update_nullable = intern_string("update_nullable");
    PyObject* update_editable = intern_string("update_editable");
    PyObject* update_visible = intern_string("update_visible");
    PyObject* update_required = intern_string("update_required");
    PyObject* update_domain = intern_string("update_domain");

    // Apply-edits results, and the one property of the wrapper an edit's
    // nested dictionary is read through.
    PyObject* result_id = intern_string("id");
    PyObject* result_origin_id = intern_string("originId");
    PyObject* result_dest_id = intern_string("destId");
    PyObject* error = intern_string("error");
    PyObject* error_code = intern_string("error_code");
    PyObject* error_message = intern_string("error_message");
    PyObject* edits_result = intern_string("editsResult");
    PyObject* add_results = intern_string("addResults");
    PyObject* update_results = intern_string("updateResults");
    PyObject* delete_results = intern_string("deleteResults");
    PyObject* cascaded_deletes = intern_string("cascadedDeletes");
    PyObject* relationship_schema_changes = intern_string("relationshipSchemaChanges");
    PyObject* new_end_points = intern_string("new_end_points");
    PyObject* wrapped_property = intern_string("v");

    // Data model dictionaries (with name, alias, role, strict, properties,
    // the property keys and hasZ/hasM above).
    PyObject* data_model_timestamp = intern_string("data_model_timestamp");
    PyObject* spatial_reference_snake = intern_string("spatial_reference");
    PyObject* entity_types = intern_string("entity_types");
    PyObject* relationship_types = intern_string("relationship_types");
    PyObject* objectid_property = intern_string("objectid_property");
    PyObject* globalid_property = intern_string("globalid_property");
    PyObject* tolmir_managed = intern_string("tolmir_managed");
    PyObject* identifier_info = intern_string("identifier_info");
    PyObject* search_indexes = intern_string("search_indexes");
    PyObject* field_indexes = intern_string("field_indexes");
    PyObject* end_points = intern_string("end_points");
    PyObject* origin_entity_type = intern_string("origin_entity_type");
    PyObject* dest_entity_type = intern_string("dest_entity_type");
    PyObject* fields = intern_string("fields");
    PyObject* is_ascending = intern_string("isAscending");
    PyObject* is_unique = intern_string("isUnique");
    PyObject* description = intern_string("description");
    PyObject* identifier_mapping_info = intern_string("identifier_mapping_info");
    PyObject* identifier_generation_info = intern_string("identifier_generation_info");
    PyObject* uuid_method_hint = intern_string("uuid_method_hint");
    PyObject* native_identifier = intern_string("native_identifier");
    PyObject* uniform_property = intern_string("uniform_property");
    PyObject* identifier_property_name = intern_string("identifier_property_name");
    PyObject* supported_category = intern_string("supported_category");
    PyObject* analyzers = intern_string("analyzers");
    PyObject* search_properties = intern_string("search_properties");
    PyObject* property_names = intern_string("property_names");
};

inline const Keys& keys() {
    static const Keys* k = new Keys;  // never freed: the strings live as long as the process
    return *k;
}

}  // namespace tk
