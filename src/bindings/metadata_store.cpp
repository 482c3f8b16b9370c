// MetadataStore: the Python face of one metadata store (metadata/store.hpp).
//
// Every method binds its arguments, converts them in parameter order, calls the core and builds the
// result. None releases the GIL: the connection is opened without SQLite's own mutex, and the GIL
// is what keeps two threads off it. For the same reason no Python code runs while a statement is
// in use: results come back from the core as plain values before any Python object is made.
#include "bindings/metadata_store.hpp"

#include <array>
#include <memory>
#include <string_view>
#include <vector>

#include "metadata/store.hpp"
#include "python/args.hpp"
#include "python/convert.hpp"
#include "python/error.hpp"
#include "python/method.hpp"

namespace vse::bindings::metadata_store {

namespace {

using metadata::BulkItem;
using metadata::Store;
using py::Ref;

struct MetadataStoreObject {
    PyObject_HEAD
    Store* store;  // owned
};

Store& store_of(PyObject* self) { return *reinterpret_cast<MetadataStoreObject*>(self)->store; }

// ---------------------------------------------------------------------------------------------
// Construction and destruction

constexpr std::array<py::Param, 1> kNewParams{{py::optional("path")}};

PyObject* tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return py::edge([&]() -> Result<Ref> {
        VSE_TRY(auto a, py::bind("MetadataStore.__new__", kNewParams, args, kwargs));
        std::string_view path = ":memory:";
        if (a[0] != nullptr) {
            VSE_TRY(path, py::to_str(a[0], "path"));
        }
        VSE_TRY(std::unique_ptr<Store> store, Store::open(path));
        PyObject* obj = type->tp_alloc(type, 0);
        if (obj == nullptr) return py::pending();  // the store closes its connection as it goes
        reinterpret_cast<MetadataStoreObject*>(obj)->store = store.release();
        return Ref::steal(obj);
    });
}

void tp_dealloc(PyObject* obj) {
    auto* self = reinterpret_cast<MetadataStoreObject*>(obj);
    PyTypeObject* type = Py_TYPE(obj);
    // Finalizes the cached statements, then closes the connection.
    delete self->store;
    self->store = nullptr;
    type->tp_free(obj);
    Py_DECREF(type);  // instances of a heap type hold a reference to it
}

// ---------------------------------------------------------------------------------------------
// Payload operations

constexpr std::array<py::Param, 3> kSetParams{{{"doc_id"}, {"payload_json"}, py::optional("text_content")}};

PyObject* meth_set_payload(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::edge([&]() -> Result<Ref> {
        VSE_TRY(auto a, py::bind("MetadataStore.set_payload", kSetParams, args, nargs, kwnames));
        VSE_TRY(std::uint64_t doc_id, py::to_u64(a[0], "doc_id"));
        VSE_TRY(std::string_view payload, py::to_str(a[1], "payload_json"));
        VSE_TRY(std::optional<std::string_view> text, py::to_opt_str(a[2], "text_content"));
        VSE_CHECK(store_of(obj).set_payload(doc_id, payload, text.value_or(std::string_view())));
        return py::none();
    });
}

constexpr std::array<py::Param, 1> kDocIdParams{{{"doc_id"}}};

PyObject* meth_get_payload(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::edge([&]() -> Result<Ref> {
        VSE_TRY(auto a, py::bind("MetadataStore.get_payload", kDocIdParams, args, nargs, kwnames));
        VSE_TRY(std::uint64_t doc_id, py::to_u64(a[0], "doc_id"));
        VSE_TRY(std::optional<std::string> payload, store_of(obj).get_payload(doc_id));
        if (!payload) return py::none();
        return py::str_from_utf8(*payload);
    });
}

PyObject* meth_delete_payload(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::edge([&]() -> Result<Ref> {
        VSE_TRY(auto a, py::bind("MetadataStore.delete_payload", kDocIdParams, args, nargs, kwnames));
        VSE_TRY(std::uint64_t doc_id, py::to_u64(a[0], "doc_id"));
        VSE_TRY(bool existed, store_of(obj).delete_payload(doc_id));
        return py::boolean(existed);
    });
}

constexpr std::array<py::Param, 1> kItemsParams{{{"items"}}};

PyObject* meth_set_payloads_bulk(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::edge([&]() -> Result<Ref> {
        VSE_TRY(auto a, py::bind("MetadataStore.set_payloads_bulk", kItemsParams, args, nargs, kwnames));
        // All items are converted before anything is written. The texts are bound in place, so
        // each tuple is held until the write is done (the sequence may be changed or dropped by
        // the Python code that converting a later item can run).
        VSE_TRY(py::SequenceItems seq, py::SequenceItems::of(a[0], "items"));
        std::vector<Ref> held;
        std::vector<BulkItem> items;
        held.reserve(seq.size_hint());
        items.reserve(seq.size_hint());
        for (;;) {
            VSE_TRY(Ref tuple, seq.next());
            if (!tuple) break;
            VSE_TRY(PyObject* const* field, py::to_tuple_items(tuple.get(), "items", 3));
            VSE_TRY(std::uint64_t doc_id, py::to_u64(field[0], "items"));
            VSE_TRY(std::string_view payload, py::to_str(field[1], "items"));
            VSE_TRY(std::string_view text, py::to_str(field[2], "items"));
            items.push_back(BulkItem{doc_id, payload, text});
            held.push_back(std::move(tuple));
        }
        VSE_TRY(std::uint64_t written, store_of(obj).set_payloads_bulk(items));
        return py::int_from_u64(written);
    });
}

PyObject* meth_count(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::edge([&]() -> Result<Ref> {
        VSE_CHECK(py::bind("MetadataStore.count", std::array<py::Param, 0>{}, args, nargs, kwnames));
        VSE_TRY(std::uint64_t n, store_of(obj).count());
        return py::int_from_u64(n);
    });
}

PyObject* meth_all_doc_ids(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::edge([&]() -> Result<Ref> {
        VSE_CHECK(py::bind("MetadataStore.all_doc_ids", std::array<py::Param, 0>{}, args, nargs, kwnames));
        VSE_TRY(std::vector<std::uint64_t> ids, store_of(obj).all_doc_ids());
        return py::int_list_from_u64(ids);
    });
}

// ---------------------------------------------------------------------------------------------
// Full-text search and field filters

constexpr std::array<py::Param, 2> kSearchParams{{{"query"}, py::optional("limit")}};

PyObject* meth_search_text(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::edge([&]() -> Result<Ref> {
        VSE_TRY(auto a, py::bind("MetadataStore.search_text", kSearchParams, args, nargs, kwnames));
        VSE_TRY(std::string_view query, py::to_str(a[0], "query"));
        VSE_TRY(std::uint64_t limit, py::to_u64_or(a[1], "limit", 100));
        VSE_TRY(std::vector<std::uint64_t> ids, store_of(obj).search_text(query, limit));
        return py::int_list_from_u64(ids);
    });
}

constexpr std::array<py::Param, 1> kFieldPathParams{{{"field_path"}}};

PyObject* meth_create_field_index(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::edge([&]() -> Result<Ref> {
        VSE_TRY(auto a, py::bind("MetadataStore.create_field_index", kFieldPathParams, args, nargs, kwnames));
        VSE_TRY(std::string_view field_path, py::to_str(a[0], "field_path"));
        VSE_CHECK(store_of(obj).create_field_index(field_path));
        return py::none();
    });
}

constexpr std::array<py::Param, 3> kFilterParams{{{"field_path"}, {"value"}, py::optional("limit")}};

PyObject* meth_filter_by_field(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::edge([&]() -> Result<Ref> {
        VSE_TRY(auto a, py::bind("MetadataStore.filter_by_field", kFilterParams, args, nargs, kwnames));
        VSE_TRY(std::string_view field_path, py::to_str(a[0], "field_path"));
        VSE_TRY(std::string_view value, py::to_str(a[1], "value"));
        VSE_TRY(std::uint64_t limit, py::to_u64_or(a[2], "limit", 10000));
        VSE_TRY(std::vector<std::uint64_t> ids, store_of(obj).filter_by_field(field_path, value, limit));
        return py::int_list_from_u64(ids);
    });
}

// ---------------------------------------------------------------------------------------------
// The type

PyMethodDef kMethods[] = {
    py::fastcall_method("set_payload", meth_set_payload,
                        "set_payload($self, doc_id, payload_json, text_content=None)\n--\n\n"
                        "Set (upsert) the JSON payload for a document.\n"
                        "`text_content` is indexed for FTS if provided."),
    py::fastcall_method("get_payload", meth_get_payload,
                        "get_payload($self, doc_id)\n--\n\n"
                        "Get the JSON payload for a document, or None."),
    py::fastcall_method("delete_payload", meth_delete_payload,
                        "delete_payload($self, doc_id)\n--\n\n"
                        "Delete a document's metadata. Returns True if it existed."),
    py::fastcall_method("set_payloads_bulk", meth_set_payloads_bulk,
                        "set_payloads_bulk($self, items)\n--\n\n"
                        "Bulk set payloads in a single transaction.\n"
                        "`items` is a list of (doc_id, payload_json, text_content) tuples."),
    py::fastcall_method("search_text", meth_search_text,
                        "search_text($self, query, limit=100)\n--\n\n"
                        "Full-text search. Returns doc_ids matching the FTS5 query."),
    py::fastcall_method("create_field_index", meth_create_field_index,
                        "create_field_index($self, field_path)\n--\n\n"
                        "Create an expression index on a JSON field for fast filtering.\n"
                        "`field_path` must be alphanumeric/underscore/dot only (e.g. \"color\", \"nested.field\")."),
    py::fastcall_method("filter_by_field", meth_filter_by_field,
                        "filter_by_field($self, field_path, value, limit=10000)\n--\n\n"
                        "Filter doc_ids by a JSON field equality check.\n"
                        "Uses json_extract \u2014 call `create_field_index` first for fast lookups."),
    py::fastcall_method("count", meth_count, "count($self)\n--\n\nNumber of documents in the store."),
    py::fastcall_method("all_doc_ids", meth_all_doc_ids, "all_doc_ids($self)\n--\n\nGet all doc_ids in the store."),
    {nullptr, nullptr, 0, nullptr},
};

// The text signature alone: the class docstring is empty. A heap type reports that as ""; a
// static type would report None.
const char kClassDoc[] = "MetadataStore(path=\":memory:\")\n--\n\n";

PyType_Slot kSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(tp_dealloc)},
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {Py_tp_methods, kMethods},
    {Py_tp_new, reinterpret_cast<void*>(tp_new)},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "varnelo_shard_engine.MetadataStore",
    sizeof(MetadataStoreObject),
    0,
    // Not subclassable, no __dict__, no weak references, class attributes fixed.
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

}  // namespace

Result<Ref> type_object() {
    // Made once per process, like the module that holds it.
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyType_FromSpec(&kSpec);
        if (type == nullptr) return py::pending();
    }
    return Ref::borrow(type);
}

}  // namespace vse::bindings::metadata_store
