// CSerialPort's calls that the tool does not need (see SerialInert.h).

#include "link/SerialInert.h"

#include "link/SerialPort.h"

#include <termios.h>

void CSerialPort::GetState(SerialState& state)
{
    CheckOpen();
    termios tio{};
    if (tcgetattr(m_handle, &tio) != 0)
        ThrowSerialException();
    state = DecodeLineSettings(tio);
    state.fOutxDsrFlow = m_dsrFlow;
}

void CSerialPort::SetState(const SerialState& state)
{
    CheckOpen();
    // The fields are applied to the port's current settings; state.tio is
    // what GetState read and is not written back as a whole.
    termios tio{};
    if (tcgetattr(m_handle, &tio) != 0)
        ThrowSerialException();
    tio = EncodeLineSettings(tio, state);
    if (tcsetattr(m_handle, TCSANOW, &tio) != 0)
        ThrowSerialException();
    m_dsrFlow = state.fOutxDsrFlow;
}

void CSerialPort::GetTimeouts(SerialTimeouts& timeouts)
{
    CheckOpen();
    timeouts = m_timeouts;
}

void CSerialPort::SetTimeouts(const SerialTimeouts& timeouts)
{
    CheckOpen();
    m_timeouts = timeouts;
}

void CSerialPort::SetMask(uint32_t mask)
{
    CheckOpen();
    m_mask = mask;
}

void CSerialPort::Purge(uint32_t flags)
{
    CheckOpen();
    const bool tx = (flags & PURGE_TXCLEAR) != 0;
    const bool rx = (flags & PURGE_RXCLEAR) != 0;
    if (tx && rx)
        FlushBuffers(TCIOFLUSH);
    else if (tx)
        FlushBuffers(TCOFLUSH);
    else if (rx)
        FlushBuffers(TCIFLUSH);
    // The ABORT flags: nothing is ever in flight to abort.
}
