#include "shard/safetensors_header.hpp"

#include <nlohmann/json.hpp>

#include "common/utf8.hpp"

namespace vse::shard {

namespace {

// Containers nested deeper than this are refused: the header is untrusted.
constexpr int kMaxHeaderDepth = 128;

// Builds the tensor table straight from the JSON parser's events, in one pass and without a
// document tree (a tree built through the parser's callback costs time quadratic in the number of
// members). Depths count open containers: the header object's members are values at depth 1, a
// tensor's keys at depth 2, the elements of its "shape" and "data_offsets" at depth 3; anything
// deeper is only counted. A name or key that occurs twice counts with its last value, so a later
// member that is not a tensor removes an earlier one of the same name.
class TensorTableBuilder {
public:
    using json = nlohmann::json;
    using string_t = json::string_t;

    TensorTable tensors;
    bool too_deep = false;
    std::string error;

    bool null() { return value(Kind::Other); }
    bool boolean(bool) { return value(Kind::Other); }
    bool number_integer(json::number_integer_t) { return value(Kind::Other); }
    bool number_unsigned(json::number_unsigned_t v) { return value(Kind::Unsigned, v); }
    bool number_float(json::number_float_t, const string_t&) { return value(Kind::Other); }
    bool string(string_t& s) { return value(Kind::String, 0, &s); }
    bool binary(json::binary_t&) { return value(Kind::Other); }
    bool start_object(std::size_t) { return open(Kind::Object); }
    bool start_array(std::size_t) { return open(Kind::Array); }
    bool end_object() { return close(); }
    bool end_array() { return close(); }
    bool key(string_t& k) {
        if (depth_ == 1 && top_is_object_) {
            name_ = std::move(k);
        } else if (depth_ == 2 && in_tensor_) {
            field_ = k == "dtype" ? Field::Dtype : k == "shape" ? Field::Shape : k == "data_offsets" ? Field::Offsets
                                                                                                     : Field::Other;
        }
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& e) {
        error = e.what();
        return false;
    }

private:
    enum class Kind { Object, Array, String, Unsigned, Other };
    enum class Field { Dtype, Shape, Offsets, Other };

    bool open(Kind kind) {
        if (depth_ >= kMaxHeaderDepth) {
            too_deep = true;
            return false;
        }
        value(kind);
        ++depth_;
        return true;
    }

    bool close() {
        --depth_;
        if (depth_ == 2 && in_tensor_ && field_ == Field::Offsets && in_list_) have_offsets_ = n_offsets_ == 2;
        if (depth_ == 2) in_list_ = false;
        if (depth_ == 1 && in_tensor_) finish_member(true);
        return true;
    }

    // One value (a scalar, or the start of a container) at the current depth.
    bool value(Kind kind, std::uint64_t number = 0, string_t* text = nullptr) {
        switch (depth_) {
            case 0:
                top_is_object_ = kind == Kind::Object;
                break;
            case 1:
                if (!top_is_object_) break;
                if (kind == Kind::Object) {
                    in_tensor_ = true;
                    tensor_ = TensorInfo{"F32", {}, 0, 0};
                    have_offsets_ = false;
                    field_ = Field::Other;
                } else {
                    finish_member(false);
                }
                break;
            case 2:
                if (!in_tensor_) break;
                in_list_ = kind == Kind::Array;
                if (field_ == Field::Dtype) {
                    tensor_.dtype = kind == Kind::String ? std::move(*text) : "F32";
                } else if (field_ == Field::Shape) {
                    tensor_.shape.clear();
                } else if (field_ == Field::Offsets) {
                    have_offsets_ = false;
                    n_offsets_ = 0;
                }
                break;
            case 3:
                if (!in_tensor_ || !in_list_) break;
                if (field_ == Field::Shape && kind == Kind::Unsigned) {
                    tensor_.shape.push_back(number);
                } else if (field_ == Field::Offsets) {
                    const std::uint64_t v = kind == Kind::Unsigned ? number : 0;
                    if (n_offsets_ == 0) tensor_.data_begin = v;
                    if (n_offsets_ == 1) tensor_.data_end = v;
                    ++n_offsets_;
                }
                break;
            default:
                break;
        }
        return true;
    }

    // The end of a header member: a tensor when its value was an object with a two-element
    // "data_offsets"; otherwise no tensor of that name.
    void finish_member(bool was_object) {
        in_tensor_ = false;
        if (name_ == "__metadata__") return;
        if (was_object && have_offsets_) {
            tensors.insert_or_assign(std::move(name_), std::move(tensor_));
        } else {
            tensors.erase(name_);
        }
    }

    int depth_ = 0;
    bool top_is_object_ = false;
    std::string name_;
    bool in_tensor_ = false;
    Field field_ = Field::Other;
    bool in_list_ = false;  // the current field's value is an array
    TensorInfo tensor_;
    bool have_offsets_ = false;
    std::size_t n_offsets_ = 0;
};

}  // namespace

std::expected<TensorTable, StorageError> parse_tensor_table(std::string_view text) {
    if (auto bad = validate_utf8(text)) return std::unexpected(StorageError{StorageKind::InvalidData, bad->text()});
    // A byte-order mark is not white space to a JSON parser: refuse it as the first bad byte.
    if (text.starts_with("\xEF\xBB\xBF"))
        return std::unexpected(StorageError{StorageKind::InvalidData, "expected value at line 1 column 1"});
    TensorTableBuilder builder;
    if (!nlohmann::json::sax_parse(text.data(), text.data() + text.size(), &builder)) {
        if (builder.too_deep) return std::unexpected(StorageError{StorageKind::InvalidData, "recursion limit exceeded"});
        return std::unexpected(StorageError{StorageKind::InvalidData, std::move(builder.error)});
    }
    return std::move(builder.tensors);
}

}  // namespace vse::shard
