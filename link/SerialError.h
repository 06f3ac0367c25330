#pragma once
// The one error of the serial port and the parts beside it (line settings,
// probing): CSerialException carries the errno of the call that failed.

#include <exception>
#include <string>

class CSerialException : public std::exception {
public:
    explicit CSerialException(int error);
    // The system's text for m_error.
    std::string GetErrorMessage() const;
    const char* what() const noexcept override { return m_message.c_str(); }

    int m_error;

private:
    std::string m_message;
};

// Throws CSerialException with code, or with errno when code is 0.
[[noreturn]] void ThrowSerialException(int code = 0);
