#pragma once
// The line settings: rate, data bits, parity, stop bits and flow control,
// as Open is given them (the choices) and as GetState and SetState carry
// them (SerialState), and the termios each becomes. No port is involved:
// a pseudo-terminal forces 8 data bits and no parity, so this is where
// the tables can be seen whole.
//
// Parity is numbered two ways, each with a type of its own so that the
// two never mix: the choice Open takes (ParityChoice) and the field of the
// state (StateParity). Stop bits are numbered alike in both.

#include "link/SerialError.h"

#include <cstdint>

#include <termios.h>

enum class ParityChoice : uint8_t { Even = 0, Mark = 1, None = 2, Odd = 3, Space = 4 };
enum class StateParity : uint8_t { None = 0, Odd = 1, Even = 2, Mark = 3, Space = 4 };
// One and a half means 1.5 with 5 data bits and 2 otherwise, as a UART
// does with CSTOPB.
enum class StopBitsChoice : uint8_t { One = 0, OneAndHalf = 1, Two = 2 };
// DSR flow has no termios counterpart: the two DSR choices leave the line
// without hardware flow control (the port remembers them for GetState).
enum class FlowControlChoice : uint8_t {
    None = 0, CtsRts = 1, CtsDtr = 2, DsrRts = 3, DsrDtr = 4, XonXoff = 5
};

// Short names of the choices the device's line is opened with.
inline constexpr ParityChoice ParityNone = ParityChoice::None;
inline constexpr StopBitsChoice StopBitsOne = StopBitsChoice::One;
inline constexpr FlowControlChoice FlowNone = FlowControlChoice::None;

// The settings in fields, as read from a termios.
struct SerialState {
    uint32_t BaudRate = 0;      // 0: a rate outside the table
    uint8_t ByteSize = 8;       // 5..8
    StateParity Parity = StateParity::None;
    StopBitsChoice StopBits = StopBitsChoice::One;  // read back One or Two
    bool fOutxCtsFlow = false;  // hardware flow control (CRTSCTS)
    bool fOutxDsrFlow = false;  // no termios counterpart; kept by the port
    bool fOutX = false;         // XON/XOFF on output (IXON)
    bool fInX = false;          // XON/XOFF on input (IXOFF)
    char XonChar = 0x11;
    char XoffChar = 0x13;
    termios tio{};              // the full termios the fields were read from
};

// The termios Open applies: `current` in raw mode with the given rate,
// data bits and choices. A choice outside its type's values keeps the
// setting `current` has. Throws CSerialException(EINVAL) for a rate or a
// number of data bits the line cannot have.
termios MakeLineSettings(const termios& current, uint32_t baudRate, ParityChoice parity, uint8_t dataBits,
                         StopBitsChoice stopBits, FlowControlChoice flowControl);
// The fields of tio (fOutxDsrFlow false).
SerialState DecodeLineSettings(const termios& tio);
// `current` with the fields of state applied (not state.tio, nor
// fOutxDsrFlow). Throws CSerialException(EINVAL) for a rate, a number of
// data bits, a parity or stop bits the line cannot have.
termios EncodeLineSettings(const termios& current, const SerialState& state);
