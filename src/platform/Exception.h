#pragma once
#include <exception>
#include <string>
#include <string_view>

namespace rivalon {

// Root of the system's exceptions. The message is held as UTF-16, as the system holds its texts;
// what() gives the same text as UTF-8 for the standard library's handlers.
class Exception : public std::exception {
public:
    explicit Exception(std::u16string message);
    explicit Exception(std::string_view utf8Message);
    ~Exception() override = default;

    const std::u16string& Message() const noexcept { return FMessage; }
    void SetMessage(std::u16string message);
    const char* what() const noexcept override { return FWhat.c_str(); }

private:
    std::u16string FMessage;
    std::string FWhat;
};

// A caller passed a value the operation cannot accept (an invalid index, a corrupt length prefix).
class EArgumentException : public Exception {
public:
    using Exception::Exception;
};

// An operating-system call failed: the platform's error code and its text.
class EOSError : public Exception {
public:
    EOSError(int errorCode, std::u16string message)
        : Exception(std::move(message)), FErrorCode(errorCode) {}
    int ErrorCode() const noexcept { return FErrorCode; }

    int FErrorCode;
};

} // namespace rivalon
