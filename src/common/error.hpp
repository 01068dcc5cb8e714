// Failures of the Python-free core travel as values of this type; only the module layer turns
// them into Python exceptions (src/module/errors.cpp).
#pragma once

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

}  // namespace pelmora
