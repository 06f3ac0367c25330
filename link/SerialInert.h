#pragma once
// The calls of CSerialPort that do nothing, or nothing the tool needs, on
// Linux. They are kept, all here (CSerialPort declares them, SerialInert.cpp
// defines them), so that the port has its whole interface; nothing in the
// tool depends on what they do. What each does here, and what it does not:
//
// - GetState reads the line settings into a SerialState (link/LineSettings.h)
//   and SetState applies one. They do act on the line, but nothing in the
//   tool calls them: Open sets the line.
// - GetTimeouts and SetTimeouts only store a SerialTimeouts. Of its fields
//   only the two write fields act: they bound Write (multiplier x count +
//   constant ms; both 0, as the device link sets them: no limit). The read
//   fields do nothing: Read returns at once whatever they are set to, and
//   WaitForInput takes its own time.
// - SetMask and GetMask only store the event mask: nothing here waits on
//   line events.
// - Purge empties the buffers for PURGE_TXCLEAR and PURGE_RXCLEAR (as
//   ClearWriteBuffer and ClearReadBuffer do). PURGE_TXABORT and
//   PURGE_RXABORT do nothing: all I/O here is synchronous, so nothing is
//   ever in flight to abort.
// - The `overlapped` argument of Open is only stored in m_overlapped: I/O
//   is never overlapped.
// Each of them throws EBADF on a closed port, as every other call does.

#include <cstdint>

inline constexpr uint32_t PURGE_TXABORT = 0x0001;
inline constexpr uint32_t PURGE_RXABORT = 0x0002;
inline constexpr uint32_t PURGE_TXCLEAR = 0x0004;
inline constexpr uint32_t PURGE_RXCLEAR = 0x0008;

struct SerialTimeouts {
    uint32_t ReadIntervalTimeout = 0;
    uint32_t ReadTotalTimeoutMultiplier = 0;
    uint32_t ReadTotalTimeoutConstant = 0;
    uint32_t WriteTotalTimeoutMultiplier = 0;
    uint32_t WriteTotalTimeoutConstant = 0;
};
