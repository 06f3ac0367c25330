// Replies that arrive when no exchange waits for them, and a device that
// stops reading, on a pseudo-terminal whose device side the test plays by
// hand.

#include "link/DeviceLink.h"

#include "Pty.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

const std::string kRejected = MakeRequest("DEV|0|");
const std::string kAccepted = MakeRequest("DEV|A|");
const std::string kLine = MakeRequest("FWDL|00|01|0100|AA|");

class StaleReply : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(device.Ok());
        link.m_strPortPath = device.Path();
    }
    Pty device{true};  // raw: the test answers by hand
    CDeviceLink link;
};

// The device answers a line, and then once more, after the exchange has
// ended: the second copy must not be taken as the answer to the next line.
TEST_F(StaleReply, RepeatedAnswerIsNotTakenByTheNextLine)
{
    ASSERT_TRUE(link.OpenDevicePort());
    std::string first, second;
    std::thread dev([&] {
        first = device.ReceiveRequest();
        device.WriteMaster(kRejected);
        second = device.ReceiveRequest();
        device.WriteMaster(kAccepted);
    });
    EXPECT_EQ(link.TransactOnOpenPort(kLine, 3000), STATUS_REJECTED);
    device.WriteMaster(kRejected);  // the repeat, after the exchange's own clean-up
    const bool arrived = link.m_port.WaitForInput(2000);
    EXPECT_EQ(link.TransactOnOpenPort(kLine, 3000), STATUS_ACCEPTED);
    dev.join();
    EXPECT_TRUE(arrived);
    EXPECT_EQ(first, kLine);
    EXPECT_EQ(second, kLine);
    link.CloseDevicePort();
}

// A reply lying in the input when a request goes out is dropped by all
// three kinds of exchange.
TEST_F(StaleReply, LeftInTheInputIsDroppedByEveryExchange)
{
    const std::string request = MakeRequest(REQUEST_INDEX);
    const std::string stale = MakeRequest("DEV|OLD|");
    const std::string fresh = MakeRequest("DEV|NEW|");
    for (int kind = 0; kind < 3; ++kind) {
        SCOPED_TRACE(kind == 0 ? "TransactOnOpenPort" : kind == 1 ? "Transact" : "QueryField");
        if (kind == 0) {
            ASSERT_TRUE(link.OpenDevicePort());
            device.WriteMaster(stale);
            ASSERT_TRUE(link.m_port.WaitForInput(2000));
        } else {
            device.WriteMaster(stale);
        }
        std::string received;
        std::thread dev([&] {
            received = device.ReceiveRequest();
            device.WriteMaster(fresh);
        });
        if (kind == 0) {
            EXPECT_EQ(link.TransactOnOpenPort(request, 3000), 'N');
            link.CloseDevicePort();
        } else if (kind == 1) {
            EXPECT_EQ(link.Transact(request, 3000), 'N');
        } else {
            EXPECT_EQ(link.QueryField(request), "NEW");
        }
        dev.join();
        EXPECT_EQ(received, request);
    }
}

// The device stops reading: its input fills up and the port's output
// with it. Every kind of exchange gives up as a port error within its own
// time-out, and closing the port does not wait for the line.
using StuckDevice = StaleReply;

TEST_F(StuckDevice, ExchangesFailWithinTheirTimeoutAndCloseAtOnce)
{
    const auto msSince = [](Clock::time_point t) {
        return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
    };
    // Nobody reads the master. A pseudo-terminal takes about 12 KiB before
    // it is full, and opening the port empties what waits in its output;
    // a request longer than that fills it whatever the kernel frees when.
    const std::string longRequest(1 << 16, 'x');
    constexpr double kSlackMs = 400;  // sanitizer builds included

    auto start = Clock::now();
    EXPECT_EQ(link.Transact(longRequest, 300), TRANSACT_FAILED);
    double ms = msSince(start);
    EXPECT_GE(ms, 290);
    EXPECT_LT(ms, 300 + kSlackMs);

    start = Clock::now();
    EXPECT_EQ(link.QueryField(longRequest), "");
    ms = msSince(start);
    EXPECT_GE(ms, QUERY_TIMEOUT_MS - 10);
    EXPECT_LT(ms, QUERY_TIMEOUT_MS + kSlackMs);

    ASSERT_TRUE(link.OpenDevicePort());
    for (int attempt = 0; attempt < 2; ++attempt) {  // the second one on a full line
        start = Clock::now();
        EXPECT_EQ(link.TransactOnOpenPort(longRequest, 300), TRANSACT_FAILED);
        ms = msSince(start);
        EXPECT_GE(ms, 290);
        EXPECT_LT(ms, 300 + kSlackMs);
    }
    EXPECT_TRUE(link.IsPortOpen());
    start = Clock::now();
    link.CloseDevicePort();
    EXPECT_LT(msSince(start), 100);
    EXPECT_FALSE(link.IsPortOpen());
}

}  // namespace
