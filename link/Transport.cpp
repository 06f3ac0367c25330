#include "link/Transport.h"

#include "link/DeviceLink.h"
#include "link/SerialPort.h"
#include "link/Stopwatch.h"

#include <chrono>
#include <thread>

#include <sys/prctl.h>

double CTransport::NowMs()
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void CTransport::Pause(double ms)
{
    // The pause and the reply waits after it set the pace of a transfer:
    // wake up when asked rather than up to 50 us later (the default slack
    // for timers of this thread).
    thread_local const bool tightened = prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL) == 0;
    (void)tightened;
    CStopwatch stopwatch(true);
    for (;;) {
        const double elapsed = stopwatch.PeekMilliseconds();
        if (elapsed > ms)
            break;
        // Sleep the rest and a hair more, so that one sleep usually does;
        // with the timer slack taken off it wakes within a few microseconds.
        std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(ms - elapsed + 0.002));
    }
}

void CSerialTransport::Open(const std::string& path)
{
    m_port.Open(path, DEVICE_BAUD_RATE, ParityNone, DEVICE_DATA_BITS, StopBitsOne, FlowNone, false);
    // Reads return at once with what has arrived; WaitForInput waits. The
    // event mask is set as the device wants it and waited on by nobody.
    SerialTimeouts timeouts;
    m_port.GetTimeouts(timeouts);
    timeouts.ReadIntervalTimeout = 0xFFFFFFFFu;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0;
    m_port.SetTimeouts(timeouts);
    m_port.SetMask(DEVICE_EVENT_MASK);
}

void CSerialTransport::Close()
{
    m_port.Close();
}

bool CSerialTransport::IsOpen() const
{
    return m_port.IsOpen();
}

void CSerialTransport::ClearInput()
{
    m_port.ClearReadBuffer();
}

void CSerialTransport::ClearOutput()
{
    m_port.ClearWriteBuffer();
}

size_t CSerialTransport::Write(const char* data, size_t count, double ms)
{
    return m_port.Write(data, count, ms);
}

bool CSerialTransport::WaitForInput(double ms)
{
    return m_port.WaitForInput(ms);
}

size_t CSerialTransport::Read(char* buffer, size_t count)
{
    return m_port.Read(buffer, count);
}

void CSerialTransport::Flush(double ms)
{
    m_port.Flush(ms);
}
