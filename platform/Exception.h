#pragma once
// The one exception family of the program: every failure carries a message
// text that the application's error box shows as it stands.
#include <exception>
#include <string>

class Exception : public std::exception {
public:
    explicit Exception(std::string message) : message_(std::move(message)) {}
    const std::string& Message() const noexcept { return message_; }
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

// File could not be opened for reading: "Cannot open file "<path>". <reason>"
class EFOpenError : public Exception {
public:
    using Exception::Exception;
};

// File could not be created or written: "Cannot create file "<path>". <reason>"
class EFCreateError : public Exception {
public:
    using Exception::Exception;
};

// A stream ended before a fixed-size read was satisfied.
class EReadError : public Exception {
public:
    using Exception::Exception;
};

// A stream refused a fixed-size write.
class EWriteError : public Exception {
public:
    using Exception::Exception;
};

// An object cannot be assigned to another of its kind: "Cannot assign a
// <source class> to a <target class>".
class EConvertError : public Exception {
public:
    using Exception::Exception;
};

// printf-style formatting into a std::string, for the message texts.
std::string Format(const char* fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
