#include "shard/safetensors.hpp"

#include <bit>
#include <cstring>
#include <sys/stat.h>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "common/checked.hpp"
#include "common/coding.hpp"
#include "common/utf8.hpp"
#include "shard/doc_map.hpp"

namespace vse::shard {

static_assert(std::endian::native == std::endian::little, "shard files are read in host byte order");

namespace {

StorageError invalid_data(std::string msg) { return StorageError{StorageKind::InvalidData, std::move(msg)}; }

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

    std::unordered_map<std::string, TensorInfo> tensors;
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

std::expected<std::unordered_map<std::string, TensorInfo>, StorageError> parse_tensor_table(std::string_view text) {
    TensorTableBuilder builder;
    if (!nlohmann::json::sax_parse(text.data(), text.data() + text.size(), &builder)) {
        if (builder.too_deep) return std::unexpected(invalid_data("recursion limit exceeded"));
        return std::unexpected(invalid_data(std::move(builder.error)));
    }
    return std::move(builder.tensors);
}

}  // namespace

std::string join_path(const std::string& dir, const std::string& name) {
    if (dir.empty() || dir.back() == '/') return dir + name;
    return dir + "/" + name;
}

std::string shard_path(const std::string& base_dir, std::uint32_t id) {
    return join_path(base_dir, fmt::format("shard_{}.safetensors", id));
}

std::expected<std::shared_ptr<const MmapShard>, StorageError> MmapShard::open(const std::string& path) {
    auto mapped = MappedFile::open(path);
    if (!mapped) return std::unexpected(mapped.error());
    const std::uint64_t size = mapped->size();
    if (size < 8) return std::unexpected(invalid_data("file too small for safetensors header"));
    const std::uint64_t header_len = get_u64(mapped->data());
    if (header_len > size - 8) return std::unexpected(invalid_data("safetensors header overflows file"));

    const std::string_view text(reinterpret_cast<const char*>(mapped->data() + 8), header_len);
    if (auto bad = validate_utf8(text)) return std::unexpected(invalid_data(bad->text()));

    // A byte-order mark is not white space to a JSON parser: refuse it as the first bad byte.
    if (text.starts_with("\xEF\xBB\xBF"))
        return std::unexpected(invalid_data("expected value at line 1 column 1"));
    auto tensors = parse_tensor_table(text);
    if (!tensors) return std::unexpected(tensors.error());
    return std::shared_ptr<const MmapShard>(new MmapShard(path, std::move(*mapped), header_len, std::move(*tensors)));
}

const TensorInfo* MmapShard::tensor(const std::string& name) const {
    auto it = tensors_.find(name);
    return it == tensors_.end() ? nullptr : &it->second;
}

std::expected<std::span<const std::uint8_t>, StorageError> MmapShard::tensor_row_bytes(const std::string& name,
                                                                                       std::uint64_t row_start,
                                                                                       std::uint64_t row_end) const {
    const TensorInfo* t = tensor(name);
    if (t == nullptr)
        return std::unexpected(StorageError{StorageKind::NotFound, fmt::format("tensor '{}' not found in {}", name, path_)});
    return tensor_row_bytes(*t, name, row_start, row_end);
}

std::expected<std::span<const std::uint8_t>, StorageError> MmapShard::tensor_row_bytes(const TensorInfo& info,
                                                                                       const std::string& name,
                                                                                       std::uint64_t row_start,
                                                                                       std::uint64_t row_end) const {
    const TensorInfo* t = &info;
    if (t->shape.empty()) return std::unexpected(invalid_data("tensor has empty shape"));
    const std::uint64_t rows = t->shape[0];
    if (rows == 0) return std::unexpected(invalid_data("tensor has 0 rows"));

    // Absolute offsets: data offset + 8 + header_len, none of which may wrap.
    const CheckedSize begin_at = checked_add(t->data_begin, 8 + header_len_);
    const CheckedSize end_at = checked_add(t->data_end, 8 + header_len_);
    if (!begin_at || !end_at)
        return std::unexpected(invalid_data(fmt::format("tensor '{}' data_offsets [{}, {}] overflow the file offset range",
                                                        name, t->data_begin, t->data_end)));
    const std::uint64_t begin = *begin_at, end = *end_at;
    if (end < begin)
        return std::unexpected(
            invalid_data(fmt::format("tensor '{}' data_offsets [{}, {}] are reversed", name, t->data_begin, t->data_end)));

    const std::uint64_t size = end - begin;
    const std::uint64_t row_bytes = size / rows;
    if (row_bytes * rows != size)
        return std::unexpected(invalid_data(fmt::format("data size {} not evenly divisible by {} rows", size, rows)));
    if (row_end > rows || row_start > row_end)
        return std::unexpected(StorageError{
            StorageKind::InvalidInput,
            fmt::format("row range [{}, {}) out of bounds for {} rows", row_start, row_end, rows)});
    // row_end <= rows, so row_end * row_bytes <= size and begin + that <= end: no wrap from here on.
    const std::uint64_t byte_end = begin + row_end * row_bytes;
    if (byte_end > map_.size())
        return std::unexpected(StorageError{StorageKind::UnexpectedEof, "slice extends beyond mmap"});
    const std::uint64_t byte_start = begin + row_start * row_bytes;
    return std::span<const std::uint8_t>(map_.data() + byte_start, static_cast<std::size_t>(byte_end - byte_start));
}

template <class T>
std::expected<std::vector<T>, StorageError> MmapShard::read_selected(const std::string& name, const char* dtype,
                                                                     const char* fn, const char* unit,
                                                                     std::uint64_t row_start,
                                                                     std::uint64_t row_end) const {
    if (const TensorInfo* t = tensor(name); t != nullptr && t->dtype != dtype)
        return std::unexpected(invalid_data(fmt::format("{} requires {} dtype, got '{}'", fn, dtype, t->dtype)));
    auto bytes = tensor_row_bytes(name, row_start, row_end);
    if (!bytes) return std::unexpected(bytes.error());
    if (bytes->size() % sizeof(T) != 0)
        return std::unexpected(invalid_data(fmt::format("raw bytes not aligned to {}", unit)));
    std::vector<T> out(bytes->size() / sizeof(T));
    if (!out.empty()) std::memcpy(out.data(), bytes->data(), bytes->size());
    return out;
}

std::expected<std::vector<float>, StorageError> MmapShard::read_selected_f32(const std::string& name,
                                                                             std::uint64_t row_start,
                                                                             std::uint64_t row_end) const {
    return read_selected<float>(name, "F32", "read_selected_f32", "f32", row_start, row_end);
}

std::expected<std::vector<std::uint16_t>, StorageError> MmapShard::read_selected_u16(std::uint64_t row_start,
                                                                                     std::uint64_t row_end) const {
    return read_selected<std::uint16_t>("centroid_codes", "U16", "read_selected_u16", "u16", row_start, row_end);
}

std::pair<ShardMap, std::uint32_t> discover_shards(const std::string& base_dir) {
    ShardMap shards;
    std::uint32_t id = 0;
    // NO_SHARD is not a shard id; discovery never reaches it in practice.
    for (; id < NO_SHARD; ++id) {
        const std::string path = shard_path(base_dir, id);
        struct stat st;
        if (path.find('\0') != std::string::npos || ::stat(path.c_str(), &st) != 0) break;
        if (auto shard = MmapShard::open(path)) shards.emplace(id, std::move(*shard));
    }
    return {std::move(shards), id};
}

}  // namespace vse::shard
