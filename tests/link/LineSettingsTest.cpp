// The line settings as termios, without a port.

#include "link/LineSettings.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <utility>

#include <termios.h>

namespace {

// The settings tables as Open composes them: a pseudo-terminal forces 8
// bits and no parity, so only the composed termios shows them whole.
TEST(SerialLineSettings, ChoicesMapOntoTermios)
{
    termios cooked{};
    cooked.c_iflag = ICRNL | IXON | IXANY | IXOFF;
    cooked.c_oflag = OPOST | ONLCR;
    cooked.c_cflag = CS7 | PARENB | CSTOPB | CRTSCTS | HUPCL;
    cooked.c_lflag = ICANON | ECHO | ISIG | IEXTEN;
    cooked.c_cc[VMIN] = 1;
    cooked.c_cc[VTIME] = 5;

    struct Case {
        ParityChoice parity;
        tcflag_t bits;
        StateParity stateParity;
    };
    const Case cases[] = {
        {ParityChoice::Even, PARENB, StateParity::Even},
        {ParityChoice::Mark, PARENB | PARODD | CMSPAR, StateParity::Mark},
        {ParityChoice::None, 0, StateParity::None},
        {ParityChoice::Odd, PARENB | PARODD, StateParity::Odd},
        {ParityChoice::Space, PARENB | CMSPAR, StateParity::Space},
    };
    for (const Case& c : cases) {
        const termios tio = MakeLineSettings(cooked, 57600, c.parity, 8, StopBitsOne, FlowNone);
        EXPECT_EQ(tio.c_cflag & (PARENB | PARODD | CMSPAR), c.bits) << "parity " << int(c.parity);
        EXPECT_EQ(DecodeLineSettings(tio).Parity, c.stateParity) << "parity " << int(c.parity);
    }

    termios tio = MakeLineSettings(cooked, 57600, ParityNone, 8, StopBitsOne, FlowNone);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B57600));
    EXPECT_EQ(cfgetispeed(&tio), static_cast<speed_t>(B57600));
    EXPECT_EQ(tio.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | IXANY | ICRNL), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(tio.c_cc[VMIN], 0);
    EXPECT_EQ(tio.c_cc[VTIME], 0);
    SerialState state = DecodeLineSettings(tio);
    EXPECT_EQ(state.BaudRate, 57600u);
    EXPECT_EQ(state.ByteSize, 8);
    EXPECT_EQ(state.StopBits, StopBitsChoice::One);
    EXPECT_FALSE(state.fOutxCtsFlow || state.fOutX || state.fInX);

    for (auto [bits, flag] : {std::pair<uint8_t, tcflag_t>{5, CS5}, {6, CS6}, {7, CS7}, {8, CS8}}) {
        tio = MakeLineSettings(cooked, 9600, ParityNone, bits, StopBitsChoice::Two, FlowControlChoice::CtsRts);
        EXPECT_EQ(tio.c_cflag & CSIZE, flag);
        EXPECT_EQ(DecodeLineSettings(tio).ByteSize, bits);
    }
    EXPECT_TRUE(tio.c_cflag & CSTOPB);
    EXPECT_TRUE(tio.c_cflag & CRTSCTS);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B9600));

    tio = MakeLineSettings(cooked, 115200, ParityNone, 8, StopBitsChoice::OneAndHalf, FlowControlChoice::XonXoff);
    EXPECT_TRUE(tio.c_cflag & CSTOPB);
    EXPECT_FALSE(tio.c_cflag & CRTSCTS);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | IXANY), static_cast<tcflag_t>(IXON | IXOFF));
    EXPECT_EQ(tio.c_cc[VSTART], 0x11);
    EXPECT_EQ(tio.c_cc[VSTOP], 0x13);

    tio = MakeLineSettings(cooked, 57600, ParityNone, 8, StopBitsOne, FlowControlChoice::DsrRts);
    EXPECT_EQ(tio.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF), 0u);

    // Outside the tables: parity, stop bits and flow control as they were.
    tio = MakeLineSettings(cooked, 57600, static_cast<ParityChoice>(7), 8, static_cast<StopBitsChoice>(3),
                           static_cast<FlowControlChoice>(-1));
    EXPECT_EQ(tio.c_cflag & (PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS),
              static_cast<tcflag_t>(PARENB | CSTOPB | CRTSCTS));
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | IXANY), static_cast<tcflag_t>(IXON | IXOFF));
    EXPECT_EQ(tio.c_lflag & ICANON, 0u);

    for (auto [baud, bits] : {std::pair<uint32_t, uint8_t>{12345, 8}, {0, 8}, {57600, 9}, {57600, 4}}) {
        try {
            MakeLineSettings(cooked, baud, ParityNone, bits, StopBitsOne, FlowNone);
            ADD_FAILURE() << "accepted " << baud << " baud, " << int(bits) << " bits";
        } catch (const CSerialException& e) {
            EXPECT_EQ(e.m_error, EINVAL);
        }
    }
}

}  // namespace
