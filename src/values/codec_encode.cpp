// Values to wire messages: numbers in their narrowest exact form, homogeneous
// arrays as packed typed arrays.
#include <cstdint>
#include <limits>
#include <string>
#include <variant>
#include <vector>

#include "common/utf8.h"
#include "graph_values.pb.h"
#include "values/codec.h"

namespace tk {

namespace {

namespace wire = vexoPBuffer::graph;

constexpr int32_t kFloatIntMin = -1048576;
constexpr int32_t kFloatIntMax = 1048575;
// Doubles count as integral only within [-2^48, 2^48 - 1].
constexpr double kIntegralMin = -281474976710656.0;
constexpr double kIntegralMax = 281474976710655.0;

// A float that is a whole number in [-1048576, 1048575] travels as a zigzag
// int. The range test comes first so NaN and huge values never reach the cast.
inline bool float_as_int(float f, int32_t& out) {
    if (!(f >= static_cast<float>(kFloatIntMin) && f <= static_cast<float>(kFloatIntMax))) return false;
    const int32_t i = static_cast<int32_t>(f);
    if (static_cast<float>(i) != f) return false;
    out = i;
    return true;
}

enum class DoubleForm { kInt, kFloat, kDouble };

struct DoubleClass {
    DoubleForm form;
    int64_t as_int;  // meaningful for kInt only
};

inline DoubleClass classify_double(double x) {
    int64_t t = 0;
    bool integral = false;
    if (x >= kIntegralMin && x <= kIntegralMax) {  // false for NaN
        t = static_cast<int64_t>(x);
        integral = static_cast<double>(t) == x;
    }
    if (integral && t >= kFloatIntMin && t <= kFloatIntMax) return {DoubleForm::kInt, t};
    if (float_exact(x)) return {DoubleForm::kFloat, 0};
    if (!integral) return {DoubleForm::kDouble, 0};
    return {DoubleForm::kInt, t};
}

inline int64_t to_millis(time_point_t tp) { return millis_from_time_point(tp); }

template <class T>
inline const T& as(const value_t& v) {
    return *std::get_if<T>(&v);
}

class Encoder {
public:
    explicit Encoder(const QuantizationTransform& transform) : transform_(transform) {}

    // depth counts the compound values around this one; a cycle shows as
    // unbounded depth and ends at kMaxEncodedValueDepth. Strings go into
    // proto3 string fields, which a conforming reader refuses unless they
    // are valid UTF-8.
    int value(const value_t& v, wire::AnyValue* target, int depth) const {
        switch (v.index()) {
            case kNullIndex:
                target->mutable_primitive_value()->set_null_value(false);
                return status::kOk;
            case kBoolIndex:
                target->mutable_primitive_value()->set_bool_value(as<bool>(v));
                return status::kOk;
            case kInt64Index:
                target->mutable_primitive_value()->set_int64_value(as<int64_t>(v));
                return status::kOk;
            case kFloatIndex: {
                const float f = as<float>(v);
                int32_t i = 0;
                if (float_as_int(f, i))
                    target->mutable_primitive_value()->set_float_int_value(i);
                else
                    target->mutable_primitive_value()->set_float_value(f);
                return status::kOk;
            }
            case kDoubleIndex: {
                const double x = as<double>(v);
                const DoubleClass c = classify_double(x);
                auto* p = target->mutable_primitive_value();
                switch (c.form) {
                    case DoubleForm::kInt:
                        p->set_double_int_value(c.as_int);
                        break;
                    case DoubleForm::kFloat:
                        p->set_double_float_value(static_cast<float>(x));
                        break;
                    case DoubleForm::kDouble:
                        p->set_double_value(x);
                        break;
                }
                return status::kOk;
            }
            case kUuidIndex: {
                const auto& bytes = as<uuid_t>(v).bytes;
                target->mutable_primitive_value()->set_uuid_value(reinterpret_cast<const char*>(bytes.data()),
                                                                  bytes.size());
                return status::kOk;
            }
            case kDateTimeIndex:
                target->mutable_primitive_value()->set_datetime_value(to_millis(as<time_point_t>(v)));
                return status::kOk;
            case kStringIndex: {
                const auto& text = as<std::string>(v);
                if (!utf8_valid(text)) return status::kInvalidArgument;
                target->mutable_primitive_value()->set_string_value(text);
                return status::kOk;
            }
            case kBlobIndex:
                target->mutable_primitive_value()->set_blob_value(as<blob_t>(v).bytes);
                return status::kOk;
            case kGeometryIndex:
                return encode_geometry(as<std::shared_ptr<geometry_t>>(v), transform_,
                                       target->mutable_primitive_value()->mutable_geometry_value());
            case kObjectIndex: {
                const auto& object = as<std::shared_ptr<ObjectValue>>(v);
                if (!object || depth >= kMaxEncodedValueDepth) return status::kInvalidArgument;
                return properties(object->properties, target->mutable_object_value()->mutable_properties(), depth + 1);
            }
            case kEntityIndex: {
                const auto& entity = as<std::shared_ptr<EntityValue>>(v);
                if (!entity || depth >= kMaxEncodedValueDepth || !utf8_valid(entity->type_name))
                    return status::kInvalidArgument;
                auto* message = target->mutable_entity_value();
                message->set_label(entity->type_name);
                return properties(entity->properties, message->mutable_properties(), depth + 1);
            }
            case kRelationshipIndex: {
                const auto& relationship = as<std::shared_ptr<RelationshipValue>>(v);
                if (!relationship || depth >= kMaxEncodedValueDepth || !utf8_valid(relationship->type_name))
                    return status::kInvalidArgument;
                auto* message = target->mutable_relationship_value();
                message->set_type(relationship->type_name);
                return properties(relationship->properties, message->mutable_properties(), depth + 1);
            }
            case kPathIndex:
                return status::kNotImplemented;
            case kArrayIndex: {
                const auto& array = as<std::shared_ptr<ArrayValue>>(v);
                if (!array) return status::kNotImplemented;
                if (depth >= kMaxEncodedValueDepth) return status::kInvalidArgument;
                if (array->values.packed())
                    return packed(array->values.packed_doubles(), target->mutable_array_value(), depth + 1);
                return this->array(array->values.elements(), target->mutable_array_value(), depth + 1);
            }
            default:
                return status::kInvalidArgument;
        }
    }

    int properties(const KeyValueList& source, google::protobuf::RepeatedPtrField<wire::KeyValuePair>* target,
                   int depth) const {
        target->Reserve(target->size() + static_cast<int>(source.pairs.size()));
        for (const auto& [key, v] : source.pairs) {
            if (!utf8_valid(key)) return status::kInvalidArgument;
            auto* pair = target->Add();
            pair->set_key(key);
            const int rc = value(v, pair->mutable_value(), depth);
            if (rc < 0) return rc;
        }
        return status::kOk;
    }

private:
    int array(const std::vector<value_t>& values, wire::ArrayValue* target, int depth) const {
        if (values.empty()) return status::kNothingToDo;  // no member set: the empty array
        // Repeated fields are int-sized; such a message could not be serialised anyway.
        if (values.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) return status::kInvalidArgument;
        const std::size_t kind = values.front().index();
        bool uniform = true;
        for (const auto& v : values) {
            if (v.index() != kind) {
                uniform = false;
                break;
            }
        }
        if (uniform) {
            switch (kind) {
                case kNullIndex:
                    target->mutable_null_values()->set_count(static_cast<int64_t>(values.size()));
                    return status::kOk;
                case kInt64Index: {
                    auto* out = target->mutable_int64_values()->mutable_values();
                    out->Reserve(checked_size(values));
                    for (const auto& v : values) out->AddAlreadyReserved(as<int64_t>(v));
                    return status::kOk;
                }
                case kFloatIndex:
                    return floats(values, target);
                case kDoubleIndex:
                    return doubles(values, target);
                case kUuidIndex: {
                    std::string* out = target->mutable_uuid_values();
                    out->reserve(values.size() * 16);
                    for (const auto& v : values) {
                        const auto& bytes = as<uuid_t>(v).bytes;
                        out->append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
                    }
                    return status::kOk;
                }
                case kDateTimeIndex: {
                    auto* out = target->mutable_datetime_values()->mutable_values();
                    out->Reserve(checked_size(values));
                    for (const auto& v : values) out->AddAlreadyReserved(to_millis(as<time_point_t>(v)));
                    return status::kOk;
                }
                case kBlobIndex: {
                    auto* out = target->mutable_blob_values()->mutable_values();
                    out->Reserve(checked_size(values));
                    for (const auto& v : values) out->Add()->assign(as<blob_t>(v).bytes);
                    return status::kOk;
                }
                case kGeometryIndex: {
                    auto* out = target->mutable_geometry_values()->mutable_values();
                    out->Reserve(checked_size(values));
                    for (const auto& v : values) {
                        const int rc = encode_geometry(as<std::shared_ptr<geometry_t>>(v), transform_, out->Add());
                        if (rc < 0) return rc;
                    }
                    return status::kOk;
                }
                default:
                    break;  // bools, strings and compound values go element by element
            }
        }
        auto* out = target->mutable_any_values()->mutable_values();
        out->Reserve(checked_size(values));
        for (const auto& v : values) {
            const int rc = value(v, out->Add(), depth);
            if (rc < 0) return rc;
        }
        return status::kOk;
    }

    static int floats(const std::vector<value_t>& values, wire::ArrayValue* target) {
        bool all_int = true;
        int32_t ignored = 0;
        for (const auto& v : values) {
            if (!float_as_int(as<float>(v), ignored)) {
                all_int = false;
                break;
            }
        }
        if (all_int) {
            auto* out = target->mutable_float_int_values()->mutable_values();
            out->Reserve(checked_size(values));
            for (const auto& v : values) out->AddAlreadyReserved(static_cast<int32_t>(as<float>(v)));
        } else {
            auto* out = target->mutable_float_values()->mutable_values();
            out->Reserve(checked_size(values));
            for (const auto& v : values) out->AddAlreadyReserved(as<float>(v));
        }
        return status::kOk;
    }

    static int doubles(const std::vector<value_t>& values, wire::ArrayValue* target) {
        bool any_double = false;
        bool all_int = true;
        bool all_float_exact = true;
        for (const auto& v : values) {
            const double x = as<double>(v);
            const DoubleClass c = classify_double(x);
            if (c.form == DoubleForm::kDouble) {
                any_double = true;
                break;
            }
            if (c.form != DoubleForm::kInt) all_int = false;
            if (all_float_exact && !float_exact(x)) all_float_exact = false;
        }
        const int n = checked_size(values);
        if (!any_double && all_int) {
            auto* out = target->mutable_double_int_values()->mutable_values();
            out->Reserve(n);
            for (const auto& v : values) out->AddAlreadyReserved(classify_double(as<double>(v)).as_int);
        } else if (!any_double && all_float_exact) {
            // Also taken when ints and floats mix: every element is float-exact.
            auto* out = target->mutable_double_float_values()->mutable_values();
            out->Reserve(n);
            for (const auto& v : values) out->AddAlreadyReserved(static_cast<float>(as<double>(v)));
        } else {
            auto* out = target->mutable_double_values()->mutable_values();
            out->Reserve(n);
            for (const auto& v : values) out->AddAlreadyReserved(as<double>(v));
        }
        return status::kOk;
    }

    // An array kept as doubles: element i is narrowest_float(d[i]), a float
    // when d[i] is float-exact and a double otherwise. The wire form is the
    // one its value_t elements would get, read straight from the doubles.
    int packed(const std::vector<double>& d, wire::ArrayValue* target, int depth) const {
        if (d.empty()) return status::kNothingToDo;
        if (d.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) return status::kInvalidArgument;
        const int n = static_cast<int>(d.size());
        bool any_exact = false;
        bool all_exact = true;
        for (const double x : d) {
            const bool exact = float_exact(x);
            any_exact |= exact;
            all_exact &= exact;
            if (any_exact && !all_exact) break;
        }
        if (all_exact) {
            // Every element is the float alternative.
            bool all_int = true;
            int32_t ignored = 0;
            for (const double x : d) {
                if (!float_as_int(static_cast<float>(x), ignored)) {
                    all_int = false;
                    break;
                }
            }
            if (all_int) {
                auto* out = target->mutable_float_int_values()->mutable_values();
                out->Reserve(n);
                for (const double x : d) out->AddAlreadyReserved(static_cast<int32_t>(static_cast<float>(x)));
            } else {
                auto* out = target->mutable_float_values()->mutable_values();
                out->Reserve(n);
                for (const double x : d) out->AddAlreadyReserved(static_cast<float>(x));
            }
            return status::kOk;
        }
        if (!any_exact) {
            // Every element is the double alternative, none float-exact: each
            // classifies as int (a large whole number) or double.
            bool any_double = false;
            for (const double x : d) {
                if (classify_double(x).form == DoubleForm::kDouble) {
                    any_double = true;
                    break;
                }
            }
            if (any_double) {
                target->mutable_double_values()->mutable_values()->Add(d.begin(), d.end());
            } else {
                auto* out = target->mutable_double_int_values()->mutable_values();
                out->Reserve(n);
                for (const double x : d) out->AddAlreadyReserved(classify_double(x).as_int);
            }
            return status::kOk;
        }
        // Floats and doubles mixed: element by element.
        auto* out = target->mutable_any_values()->mutable_values();
        out->Reserve(n);
        for (const double x : d) {
            const int rc = value(narrowest_float(x), out->Add(), depth);
            if (rc < 0) return rc;
        }
        return status::kOk;
    }

    // The caller has checked that the size fits an int.
    static int checked_size(const std::vector<value_t>& values) { return static_cast<int>(values.size()); }

    const QuantizationTransform& transform_;
};

}  // namespace

int encode_any_value(const QuantizationTransform& transform, const value_t& value, wire::AnyValue* target) {
    if (!target) return status::kNoTarget;
    return Encoder(transform).value(value, target, 0);
}

int encode_properties(const QuantizationTransform& transform, const KeyValueList& source,
                      google::protobuf::RepeatedPtrField<wire::KeyValuePair>* target) {
    if (!target) return status::kNoTarget;
    // The owner of the list is one level up.
    return Encoder(transform).properties(source, target, 1);
}

}  // namespace tk
