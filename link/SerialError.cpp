#include "link/SerialError.h"

#include <cerrno>
#include <system_error>

CSerialException::CSerialException(int error)
    : m_error(error), m_message(std::generic_category().message(error))
{
}

std::string CSerialException::GetErrorMessage() const
{
    return std::generic_category().message(m_error);
}

void ThrowSerialException(int code)
{
    if (code == 0)
        code = errno != 0 ? errno : EIO;
    throw CSerialException(code);
}
