// Error values shared by every subsystem.
//
// Core code reports every failure it can name as a value: it returns std::expected<T, Error>, and
// the Python shell turns the error into an exception at the edge of the method (python/error.hpp),
// the one place any error becomes one. `Exc` names the Python exception the error becomes; the
// core picks it because the module's interface fixes it per failure (the messages are pinned by
// the Python tests). The lower layers' own error values (StorageError of the files and the log,
// WalOpenError, SqlError of the store) reach Python only as an Error, made by os_failure below.
//
// The one exception core code throws is std::bad_alloc: from allocations, from alloc_count
// (checked.hpp) when a size a caller or a file controls cannot be allocated at all, and from the
// id map (u64_map.hpp) when asked for more room than it can index. It unwinds to the method's
// edge (through a worker pool's loop, which hands it to the thread that started the loop), where
// `py::edge` makes it a MemoryError. The kernels' output buffer catches it earlier, to give its
// own MemoryError text.
#pragma once

#include <expected>
#include <string>
#include <utility>

#include <fmt/format.h>

namespace vse {

enum class Exc {
    Value,     // ValueError: a bad argument value, shape or layout
    Runtime,   // RuntimeError: a state or prerequisite failure
    OS,        // OSError (IOError): a storage failure
    Type,      // TypeError
    Overflow,  // OverflowError
    Memory,    // MemoryError
    Import,    // ImportError
    Pending,   // the interpreter already holds the exception (set by a C-API call)
};

struct Error {
    Exc exc;
    std::string message;
};

template <class T>
using Result = std::expected<T, Error>;

inline std::unexpected<Error> fail(Exc exc, std::string message) {
    return std::unexpected<Error>(Error{exc, std::move(message)});
}

// A failure of a lower layer (a StorageError, a WalOpenError's cause, an SqlError: any value with
// a `message`) as the OSError of the step that met it: `text` with the failure's message in place
// of its "{}", e.g. "WAL write failed: {}".
template <class E>
std::unexpected<Error> os_failure(fmt::format_string<const std::string&> text, const E& e) {
    return fail(Exc::OS, fmt::format(text, e.message));
}

}  // namespace vse

// Propagates the error of an expression that yields a std::expected; binds the value otherwise.
#define VSE_CONCAT_INNER(a, b) a##b
#define VSE_CONCAT(a, b) VSE_CONCAT_INNER(a, b)
#define VSE_TRY_IMPL(tmp, decl, expr)                                  \
    auto tmp = (expr);                                                 \
    if (!tmp) return std::unexpected(std::move(tmp).error());         \
    decl = std::move(*tmp)
#define VSE_TRY(decl, expr) VSE_TRY_IMPL(VSE_CONCAT(vse_try_, __LINE__), decl, expr)
#define VSE_CHECK(expr)                                                           \
    do {                                                                          \
        auto vse_chk_ = (expr);                                                   \
        if (!vse_chk_) return std::unexpected(std::move(vse_chk_).error());      \
    } while (0)
