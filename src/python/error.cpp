#include "python/error.hpp"

namespace vse::py {

void raise(const Error& err) {
    PyObject* type = nullptr;
    switch (err.exc) {
        case Exc::Pending:
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
            return;
        case Exc::Value: type = PyExc_ValueError; break;
        case Exc::Runtime: type = PyExc_RuntimeError; break;
        case Exc::OS: type = PyExc_OSError; break;
        case Exc::Type: type = PyExc_TypeError; break;
        case Exc::Overflow: type = PyExc_OverflowError; break;
        case Exc::Memory: type = PyExc_MemoryError; break;
        case Exc::Import: type = PyExc_ImportError; break;
    }
    PyObject* msg = PyUnicode_DecodeUTF8(err.message.data(), static_cast<Py_ssize_t>(err.message.size()), "replace");
    if (msg == nullptr) return;
    PyErr_SetObject(type, msg);
    Py_DECREF(msg);
}

Result<Ref> int_from_u64(unsigned long long v) { return checked(PyLong_FromUnsignedLongLong(v)); }

Result<Ref> int_list_from_u64(std::span<const std::uint64_t> values) {
    VSE_TRY(Ref list, checked(PyList_New(static_cast<Py_ssize_t>(values.size()))));
    for (std::size_t i = 0; i < values.size(); ++i) {
        VSE_TRY(Ref item, int_from_u64(values[i]));
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
    }
    return list;
}

Result<Ref> str_from_utf8(std::string_view s) {
    return checked(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

}  // namespace vse::py
