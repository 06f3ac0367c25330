#include "link/LineSettings.h"

#include <cerrno>
#include <optional>

namespace {

// Baud rates the termios interface can express.
struct BaudEntry {
    uint32_t rate;
    speed_t code;
};

constexpr BaudEntry kBaudTable[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},
    {150, B150},       {200, B200},       {300, B300},       {600, B600},
    {1200, B1200},     {1800, B1800},     {2400, B2400},     {4800, B4800},
    {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
    {115200, B115200}, {230400, B230400},
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B500000
    {500000, B500000},
#endif
#ifdef B576000
    {576000, B576000},
#endif
#ifdef B921600
    {921600, B921600},
#endif
#ifdef B1000000
    {1000000, B1000000},
#endif
#ifdef B1152000
    {1152000, B1152000},
#endif
#ifdef B1500000
    {1500000, B1500000},
#endif
#ifdef B2000000
    {2000000, B2000000},
#endif
#ifdef B2500000
    {2500000, B2500000},
#endif
#ifdef B3000000
    {3000000, B3000000},
#endif
#ifdef B3500000
    {3500000, B3500000},
#endif
#ifdef B4000000
    {4000000, B4000000},
#endif
};

bool BaudToSpeed(uint32_t rate, speed_t& code)
{
    for (const auto& e : kBaudTable) {
        if (e.rate == rate) {
            code = e.code;
            return true;
        }
    }
    return false;
}

uint32_t SpeedToBaud(speed_t code)
{
    for (const auto& e : kBaudTable) {
        if (e.code == code)
            return e.rate;
    }
    return 0;
}

bool DataBitsToFlag(unsigned bits, tcflag_t& flag)
{
    switch (bits) {
    case 5: flag = CS5; return true;
    case 6: flag = CS6; return true;
    case 7: flag = CS7; return true;
    case 8: flag = CS8; return true;
    default: return false;
    }
}

void SetSpeed(termios& tio, uint32_t baudRate)
{
    speed_t code;
    if (!BaudToSpeed(baudRate, code))
        ThrowSerialException(EINVAL);
    if (cfsetispeed(&tio, code) != 0 || cfsetospeed(&tio, code) != 0)
        ThrowSerialException();
}

void SetDataBits(termios& tio, unsigned bits)
{
    tcflag_t flag;
    if (!DataBitsToFlag(bits, flag))
        ThrowSerialException(EINVAL);
    tio.c_cflag = (tio.c_cflag & ~CSIZE) | flag;
}

constexpr tcflag_t kParityBits = PARENB | PARODD | CMSPAR;

constexpr StateParity kStateParities[] = {StateParity::None, StateParity::Odd, StateParity::Even,
                                          StateParity::Mark, StateParity::Space};

// The termios parity flags of each state parity; nothing for a value
// outside the type's.
std::optional<tcflag_t> ParityFlags(StateParity parity)
{
    switch (parity) {
    case StateParity::None: return 0;
    case StateParity::Odd: return PARENB | PARODD;
    case StateParity::Even: return PARENB;
    case StateParity::Mark: return PARENB | CMSPAR | PARODD;
    case StateParity::Space: return PARENB | CMSPAR;
    }
    return std::nullopt;
}

// Where the two numberings meet: the state parity of each choice.
std::optional<StateParity> StateParityOf(ParityChoice choice)
{
    switch (choice) {
    case ParityChoice::Even: return StateParity::Even;
    case ParityChoice::Mark: return StateParity::Mark;
    case ParityChoice::None: return StateParity::None;
    case ParityChoice::Odd: return StateParity::Odd;
    case ParityChoice::Space: return StateParity::Space;
    }
    return std::nullopt;
}

void SetParityFlags(termios& tio, tcflag_t flags)
{
    tio.c_cflag = (tio.c_cflag & ~kParityBits) | flags;
}

}  // namespace

termios MakeLineSettings(const termios& current, uint32_t baudRate, ParityChoice parity, uint8_t dataBits,
                         StopBitsChoice stopBits, FlowControlChoice flowControl)
{
    termios tio = current;
    cfmakeraw(&tio);
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    tio.c_cflag &= ~(CRTSCTS | CSTOPB);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;

    SetSpeed(tio, baudRate);
    SetDataBits(tio, dataBits);

    if (const std::optional<StateParity> state = StateParityOf(parity))
        SetParityFlags(tio, *ParityFlags(*state));
    else
        SetParityFlags(tio, current.c_cflag & kParityBits);

    switch (stopBits) {
    case StopBitsChoice::One: tio.c_cflag &= ~CSTOPB; break;
    case StopBitsChoice::OneAndHalf:
    case StopBitsChoice::Two: tio.c_cflag |= CSTOPB; break;
    default: tio.c_cflag = (tio.c_cflag & ~CSTOPB) | (current.c_cflag & CSTOPB); break;
    }

    switch (flowControl) {
    case FlowControlChoice::None:
    case FlowControlChoice::DsrRts:
    case FlowControlChoice::DsrDtr:
        tio.c_cflag &= ~CRTSCTS;
        tio.c_iflag &= ~(IXON | IXOFF);
        break;
    case FlowControlChoice::CtsRts:
    case FlowControlChoice::CtsDtr:
        tio.c_cflag |= CRTSCTS;
        tio.c_iflag &= ~(IXON | IXOFF);
        break;
    case FlowControlChoice::XonXoff:
        tio.c_cflag &= ~CRTSCTS;
        tio.c_iflag |= IXON | IXOFF;
        tio.c_cc[VSTART] = 0x11;
        tio.c_cc[VSTOP] = 0x13;
        break;
    default:
        tio.c_cflag = (tio.c_cflag & ~CRTSCTS) | (current.c_cflag & CRTSCTS);
        tio.c_iflag = (tio.c_iflag & ~(IXON | IXOFF)) | (current.c_iflag & (IXON | IXOFF));
        break;
    }
    return tio;
}

SerialState DecodeLineSettings(const termios& tio)
{
    SerialState state;
    state.tio = tio;
    state.BaudRate = SpeedToBaud(cfgetospeed(&tio));
    switch (tio.c_cflag & CSIZE) {
    case CS5: state.ByteSize = 5; break;
    case CS6: state.ByteSize = 6; break;
    case CS7: state.ByteSize = 7; break;
    default: state.ByteSize = 8; break;
    }
    state.Parity = StateParity::None;  // without PARENB the other parity bits mean nothing
    if (tio.c_cflag & PARENB) {
        for (const StateParity parity : kStateParities)
            if ((tio.c_cflag & kParityBits) == *ParityFlags(parity))
                state.Parity = parity;
    }
    state.StopBits = (tio.c_cflag & CSTOPB) ? StopBitsChoice::Two : StopBitsChoice::One;
    state.fOutxCtsFlow = (tio.c_cflag & CRTSCTS) != 0;
    state.fOutxDsrFlow = false;  // not kept by termios
    state.fOutX = (tio.c_iflag & IXON) != 0;
    state.fInX = (tio.c_iflag & IXOFF) != 0;
    state.XonChar = static_cast<char>(tio.c_cc[VSTART]);
    state.XoffChar = static_cast<char>(tio.c_cc[VSTOP]);
    return state;
}

termios EncodeLineSettings(const termios& current, const SerialState& state)
{
    termios tio = current;
    SetSpeed(tio, state.BaudRate);
    SetDataBits(tio, state.ByteSize);
    const std::optional<tcflag_t> parity = ParityFlags(state.Parity);
    if (!parity)
        ThrowSerialException(EINVAL);
    SetParityFlags(tio, *parity);
    switch (state.StopBits) {
    case StopBitsChoice::One: tio.c_cflag &= ~CSTOPB; break;
    case StopBitsChoice::OneAndHalf:
    case StopBitsChoice::Two: tio.c_cflag |= CSTOPB; break;
    default: ThrowSerialException(EINVAL);
    }
    if (state.fOutxCtsFlow)
        tio.c_cflag |= CRTSCTS;
    else
        tio.c_cflag &= ~CRTSCTS;
    tio.c_iflag = (tio.c_iflag & ~(IXON | IXOFF)) | (state.fOutX ? IXON : 0) | (state.fInX ? IXOFF : 0);
    tio.c_cc[VSTART] = static_cast<cc_t>(state.XonChar);
    tio.c_cc[VSTOP] = static_cast<cc_t>(state.XoffChar);
    return tio;
}
