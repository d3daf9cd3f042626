#include "schema/schema_names.h"

#include <iterator>

namespace tk {

namespace {

constexpr const char* kFieldTypeNames[] = {
    "vexoFieldTypeSmallInteger", "vexoFieldTypeInteger",    "vexoFieldTypeSingle", "vexoFieldTypeDouble",
    "vexoFieldTypeString",       "vexoFieldTypeDate",       "vexoFieldTypeOID",    "vexoFieldTypeGeometry",
    "vexoFieldTypeBlob",         "vexoFieldTypeRaster",     "vexoFieldTypeGUID",   "vexoFieldTypeGlobalID",
    "vexoFieldTypeXML",          "vexoFieldTypeBigInteger",
};

// Index = geometry type - 1; only these five have a dictionary name.
constexpr const char* kGeometryTypeNames[] = {
    "vexoGeometryPoint",   "vexoGeometryMultipoint", "vexoGeometryPolyline",
    "vexoGeometryPolygon", "vexoGeometryEnvelope",
};

constexpr const char* kPropertyRoleNames[] = {
    "vexoGraphPropertyUNSPECIFIED",      "vexoGraphPropertyRegular",
    "vexoGraphPropertyDocumentName",     "vexoGraphPropertyDocumentTitle",
    "vexoGraphPropertyDocumentUrl",      "vexoGraphPropertyDocumentText",
    "vexoGraphPropertyDocumentKeywords", "vexoGraphPropertyDocumentContentType",
    "vexoGraphPropertyDocumentMetadata", "vexoGraphPropertyDocumentFileExtension",
};

constexpr const char* kNamedObjectRoleNames[] = {"vexoGraphNamedObjectRegular", "vexoGraphNamedObjectProvenance",
                                                 "vexoGraphNamedObjectDocument"};

template <std::size_t N>
int index_of(const char* const (&names)[N], std::string_view name, int first = 0) {
    for (std::size_t i = static_cast<std::size_t>(first); i < N; ++i)
        if (name == names[i]) return static_cast<int>(i);
    return -1;
}

}  // namespace

const char* field_type_name(vexoFieldType type) {
    const int i = static_cast<int>(type);
    return i >= 0 && i < static_cast<int>(std::size(kFieldTypeNames)) ? kFieldTypeNames[i] : nullptr;
}

bool field_type_from_name(std::string_view name, vexoFieldType& out) {
    const int i = index_of(kFieldTypeNames, name);
    if (i < 0) return false;
    out = static_cast<vexoFieldType>(i);
    return true;
}

const char* geometry_type_name(vexoGeometryType type) {
    const int i = static_cast<int>(type);
    return i >= 1 && i <= static_cast<int>(std::size(kGeometryTypeNames)) ? kGeometryTypeNames[i - 1] : nullptr;
}

bool geometry_type_from_name(std::string_view name, vexoGeometryType& out) {
    const int i = index_of(kGeometryTypeNames, name);
    if (i < 0) return false;
    out = static_cast<vexoGeometryType>(i + 1);
    return true;
}

const char* property_role_name(vexoGraphPropertyRole role) {
    const int i = static_cast<int>(role);
    return i >= 0 && i < static_cast<int>(std::size(kPropertyRoleNames)) ? kPropertyRoleNames[i]
                                                                         : kPropertyRoleNames[0];
}

bool property_role_from_name(std::string_view name, vexoGraphPropertyRole& out) {
    const int i = index_of(kPropertyRoleNames, name, 1);
    if (i < 0) return false;
    out = static_cast<vexoGraphPropertyRole>(i);
    return true;
}

const char* named_object_role_name(vexoGraphNamedObjectTypeRole role) {
    const int i = static_cast<int>(role);
    return i >= 0 && i < static_cast<int>(std::size(kNamedObjectRoleNames)) ? kNamedObjectRoleNames[i] : nullptr;
}

bool named_object_role_from_name(std::string_view name, vexoGraphNamedObjectTypeRole& out) {
    const int i = index_of(kNamedObjectRoleNames, name);
    if (i < 0) return false;
    out = static_cast<vexoGraphNamedObjectTypeRole>(i);
    return true;
}

const char* uuid_method_hint_name(vexoUUIDMethodHint hint) {
    switch (hint) {
        case vexoUUIDVEXO:
            return "vexoUUIDVEXO";
        case vexoUUIDRFC4122:
            return "vexoUUIDRFC4122";
        default:
            return "vexoMethodHintUNSPECIFIED";
    }
}

const char* search_category_name(int32_t category) {
    switch (category) {
        case static_cast<int32_t>(vexoNamedTypeCategory::entity):
            return "Entity";
        case static_cast<int32_t>(vexoNamedTypeCategory::relationship):
            return "Relationship";
        case static_cast<int32_t>(vexoNamedTypeCategory::both):
            return "Both";
        default:
            return "UNSPECIFIED";
    }
}

}  // namespace tk
