// Error values shared by every subsystem.
//
// Core code never raises: it returns std::expected<T, Error>, and the Python shell turns the error
// into an exception at the edge of the method (python/error.hpp). `Exc` names the Python exception
// the error becomes; the core picks it because the documented contract fixes it per failure.
#pragma once

#include <expected>
#include <string>
#include <utility>

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
