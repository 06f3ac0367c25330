// Replies that arrive when no exchange waits for them, on a pseudo-terminal
// whose device side the test plays by hand.

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

}  // namespace
