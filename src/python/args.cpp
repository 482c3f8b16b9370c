#include "python/args.hpp"

#include "python/error.hpp"

#include <string>
#include <vector>

#include <fmt/format.h>

namespace vse::py {

namespace {

Result<void> too_many_positional(const char* fn, std::span<const Param> params, Py_ssize_t nargs) {
    std::size_t required = 0;
    for (const Param& p : params) required += p.required ? 1 : 0;
    const std::size_t total = params.size();
    std::string takes = required == total ? fmt::format("{} positional argument{}", total, total == 1 ? "" : "s")
                                          : fmt::format("from {} to {} positional arguments", required, total);
    return fail(Exc::Type,
                fmt::format("{}() takes {} but {} {} given", fn, takes, nargs, nargs == 1 ? "was" : "were"));
}

// Places one keyword argument.
Result<void> place_keyword(const char* fn, std::span<const Param> params, PyObject* name, PyObject* value,
                           PyObject** out) {
    if (!PyUnicode_Check(name)) return fail(Exc::Type, fmt::format("{}() keywords must be strings", fn));
    for (std::size_t i = 0; i < params.size(); ++i) {
        if (PyUnicode_CompareWithASCIIString(name, params[i].name) != 0) continue;
        if (out[i] != nullptr)
            return fail(Exc::Type, fmt::format("{}() got multiple values for argument '{}'", fn, params[i].name));
        out[i] = value;
        return {};
    }
    Py_ssize_t len = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name, &len);
    if (utf8 == nullptr) return pending();
    return fail(Exc::Type,
                fmt::format("{}() got an unexpected keyword argument '{}'", fn, std::string_view(utf8, len)));
}

Result<void> check_missing(const char* fn, std::span<const Param> params, PyObject** out) {
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < params.size(); ++i)
        if (params[i].required && out[i] == nullptr) missing.push_back(params[i].name);
    if (missing.empty()) return {};
    // 'a'; 'a' and 'b'; 'a', 'b', and 'c'
    std::string names;
    for (std::size_t i = 0; i < missing.size(); ++i) {
        if (i > 0) names += missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
        names += fmt::format("'{}'", missing[i]);
    }
    return fail(Exc::Type, fmt::format("{}() missing {} required positional argument{}: {}", fn, missing.size(),
                                       missing.size() == 1 ? "" : "s", names));
}

}  // namespace

Result<void> bind_fastcall(const char* fn, std::span<const Param> params, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames, PyObject** out) {
    nargs = PyVectorcall_NARGS(nargs);
    for (std::size_t i = 0; i < params.size(); ++i) out[i] = nullptr;
    if (static_cast<std::size_t>(nargs) > params.size()) return too_many_positional(fn, params, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k)
            VSE_CHECK(place_keyword(fn, params, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out));
    }
    return check_missing(fn, params, out);
}

Result<void> bind_tuple_dict(const char* fn, std::span<const Param> params, PyObject* args, PyObject* kwargs,
                             PyObject** out) {
    for (std::size_t i = 0; i < params.size(); ++i) out[i] = nullptr;
    const Py_ssize_t nargs = args ? PyTuple_GET_SIZE(args) : 0;
    if (static_cast<std::size_t>(nargs) > params.size()) return too_many_positional(fn, params, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args, i);
    if (kwargs != nullptr) {
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value)) VSE_CHECK(place_keyword(fn, params, key, value, out));
    }
    return check_missing(fn, params, out);
}

}  // namespace vse::py
