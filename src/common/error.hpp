// Failures of the Python-free core travel as values of this type; only the module layer turns
// them into Python exceptions (src/python/errors.cpp).
#pragma once

#include <exception>
#include <new>
#include <string>
#include <utility>

namespace pelmora {

enum class ErrorKind {
    Io,          // socket, inflate or fixed-length read: mapped by os_errno (0 means plain OSError)
    Connection,  // ConnectionError ("Not connected", "Connect failed: ...")
    Value,       // ValueError (unparsable address, request too large)
    Os,          // plain OSError whatever the errno (time-out setup, file open and mapping)
    FileNotFound,  // FileNotFoundError with a message of our own
    Runtime,       // RuntimeError ("Malformed ..." responses)
    Type,          // TypeError of our own: arguments that do not bind or convert
    Overflow,      // OverflowError: an integer argument out of its parameter's range
    Import,        // ImportError: the module in a second interpreter
    Key,           // KeyError: a column a batch does not have
    Buffer,        // BufferError: a buffer view a column cannot give
    NoMemory,      // MemoryError: an allocation failed
    Panic,         // PanicException: an internal failure
    PythonRaised,  // a Python exception is already set (a signal handler raised, say)
    // A Python exception was set while converting the argument whose name is the message: a
    // TypeError becomes "argument '<name>': ..." with the original as its __cause__; any other
    // exception passes unchanged.
    Argument,
};

struct Error {
    ErrorKind kind = ErrorKind::Io;
    std::string message;
    int os_errno = 0;
};

// Ok or an error; functions return this and pass their results through out-parameters.
class [[nodiscard]] Status {
public:
    Status() = default;
    Status(Error error) : failed_(true), error_(std::move(error)) {}  // NOLINT: implicit by design

    bool ok() const { return !failed_; }
    explicit operator bool() const { return !failed_; }
    const Error& error() const { return error_; }
    Error&& take_error() { return std::move(error_); }

private:
    bool failed_ = false;
    Error error_;
};

// "{description} (os error {n})", the text every system error is shown with.
std::string system_error_text(int errnum);

inline Error os_error(ErrorKind kind, const std::string& prefix, int errnum) {
    return Error{kind, prefix + system_error_text(errnum), errnum};
}
inline Error io_error(int errnum) {
    return Error{ErrorKind::Io, system_error_text(errnum), errnum};
}
inline Error error(ErrorKind kind, std::string message) {
    return Error{kind, std::move(message), 0};
}
// Fixed-text I/O failures that map to plain OSError.
inline Error io_error(const char* text) {
    return Error{ErrorKind::Io, text, 0};
}

// Runs `body` (returning a Status), turning whatever C++ exception escapes it into an error
// value: for code that runs where no exception may travel, such as an entry point of a module or
// a thread of its own.
template <class F>
Status contained(F&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return Error{ErrorKind::NoMemory, "out of memory", 0};
    } catch (const std::exception& e) {
        return Error{ErrorKind::Panic, e.what(), 0};
    } catch (...) {
        return Error{ErrorKind::Panic, "unknown C++ exception", 0};
    }
}

}  // namespace pelmora
