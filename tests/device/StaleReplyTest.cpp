// Replies that arrive when no exchange waits for them, on a pseudo-terminal
// whose device side the test plays by hand.

#include "link/DeviceLink.h"

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

class CPtyDevice {
public:
    CPtyDevice()
    {
        m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0)
            return;
        char name[128];
        if (ptsname_r(m_master, name, sizeof name) != 0)
            return;
        m_path = name;
        // Held open so the terminal outlives the link's closing of it, and
        // raw from the start, so nothing sent while the link has the port
        // closed is echoed back as if it were a request.
        m_slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios tio{};
        if (m_slave >= 0 && tcgetattr(m_slave, &tio) == 0) {
            cfmakeraw(&tio);
            tcsetattr(m_slave, TCSANOW, &tio);
        }
    }
    ~CPtyDevice()
    {
        if (m_slave >= 0)
            ::close(m_slave);
        if (m_master >= 0)
            ::close(m_master);
    }
    bool Ok() const { return m_master >= 0 && m_slave >= 0; }
    const std::string& Path() const { return m_path; }

    void Send(const std::string& bytes) const
    {
        ASSERT_EQ(::write(m_master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    // The next request up to and including its EOT; what came within
    // `ms` when no EOT came.
    std::string ReceiveRequest(int ms = 3000) const
    {
        std::string got;
        const auto end = Clock::now() + std::chrono::milliseconds(ms);
        while (got.find('\x04') == std::string::npos && Clock::now() < end) {
            pollfd pfd{m_master, POLLIN, 0};
            if (::poll(&pfd, 1, 20) <= 0)
                continue;
            char c;
            if (::read(m_master, &c, 1) == 1)
                got.push_back(c);
        }
        return got;
    }

private:
    int m_master = -1;
    int m_slave = -1;
    std::string m_path;
};

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
    CPtyDevice device;
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
        device.Send(kRejected);
        second = device.ReceiveRequest();
        device.Send(kAccepted);
    });
    EXPECT_EQ(link.TransactOnOpenPort(kLine, 3000), STATUS_REJECTED);
    device.Send(kRejected);  // the repeat, after the exchange's own clean-up
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
            device.Send(stale);
            ASSERT_TRUE(link.m_port.WaitForInput(2000));
        } else {
            device.Send(stale);
        }
        std::string received;
        std::thread dev([&] {
            received = device.ReceiveRequest();
            device.Send(fresh);
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
