// The simulated device's protocol, request by request, without a terminal.

#include "Protocol.h"

#include "link/Frame.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string F(const std::string& body)
{
    CFrame frame(body);
    return frame.AppendChecksum();
}

// One block of three data lines, the last two alike (same address, same
// bytes), and its marker; the block sum counts every line.
const std::string kStart = F("FWBS|00|02|0009|0100|0102|");  // sum 01+02 + 03+03
const std::string kData = F("FWDL|00|01|0102|03|");
const std::string kMarker = F("FWXXX|00|");

struct Exchange {
    Request request;
    Answer answer;
};

// Classifies and answers text, the reply taken by the host unless told.
Exchange Send(CDeviceProtocol& device, const std::string& text, const Fault* fault = nullptr,
              bool sent = true)
{
    Exchange e;
    e.request = device.Classify(text);
    e.answer = device.Respond(e.request, fault);
    if (sent)
        device.ReplySent(e.answer.replyId);
    return e;
}

TEST(DeviceProtocol, AnswersTheCommands)
{
    CDeviceProtocol device(DeviceIdentity{"IDX", "V1V2", false, true});
    EXPECT_EQ(Send(device, F("ASP|")).answer.reply, StatusReply('0'));
    EXPECT_EQ(Send(device, F("PSD|")).answer.reply, F("DEV|IDX|"));
    EXPECT_EQ(Send(device, F("EAE|")).answer.reply, F("DEV|V1V2|"));
    const Exchange rst = Send(device, F("RST|"));
    EXPECT_EQ(rst.answer.reply, StatusReply('A'));
    EXPECT_EQ(rst.answer.events, std::vector<std::string>{"restart"});
    const Exchange bad = Send(device, "ASP|61\x04");
    EXPECT_EQ(bad.request.verdict, "bad-checksum");
    EXPECT_EQ(bad.answer.reply, StatusReply('0'));

    CDeviceProtocol asleep(DeviceIdentity{"IDX", "V", true, false});
    EXPECT_EQ(Send(asleep, F("ASP|")).answer.reply, "");
    EXPECT_EQ(Send(asleep, F("PSD|")).answer.reply, F("DEV|IDX|"));
    CDeviceProtocol complete(DeviceIdentity{"IDX", "V", true, true});
    EXPECT_EQ(Send(complete, F("ASP|")).answer.reply, StatusReply('\xCF'));
}

TEST(DeviceProtocol, EqualLinesWhoseRepliesWereTakenAreNewLines)
{
    CDeviceProtocol device{DeviceIdentity{}};
    std::string statuses;
    std::vector<std::string> verdicts;
    for (const std::string& line : {kStart, kData, kData, kMarker}) {
        const Exchange e = Send(device, line);
        statuses += e.answer.reply.substr(4, 1);
        verdicts.push_back(e.request.verdict);
    }
    EXPECT_EQ(statuses, "AAA3");
    EXPECT_EQ(verdicts, (std::vector<std::string>{"ok line 1 block-start", "ok line 2 data",
                                                  "ok line 3 data", "ok line 4 marker"}));
    EXPECT_EQ(device.Totals().blockErrors, 0u);
}

// The same line again while the host has not taken the reply to it: sent
// again, answered as before, neither stored nor summed twice.
TEST(DeviceProtocol, SameLineBeforeTheReplyWasTakenIsAResend)
{
    enum class Missed { Spoiled, Lost, Unsent };
    for (const Missed missed : {Missed::Spoiled, Missed::Lost, Missed::Unsent}) {
        SCOPED_TRACE(static_cast<int>(missed));
        const std::string start = F("FWBS|00|02|0006|0100|0102|");  // 01+02 + 03
        CDeviceProtocol device{DeviceIdentity{}};
        Send(device, F("ASP|"));
        Send(device, start);
        const Fault badsum{FaultKind::BadSum, "", 2, 1};
        const Exchange first = Send(device, kData, missed == Missed::Spoiled ? &badsum : nullptr, false);
        EXPECT_EQ(first.answer.data, "\x03");
        if (missed == Missed::Spoiled)
            device.ReplySent(first.answer.replyId);  // sent, but with a wrong checksum
        if (missed == Missed::Lost)
            device.ReplyLost(first.answer.replyId);

        const Exchange again = Send(device, kData);
        EXPECT_EQ(again.request.kind, Request::Kind::Resend);
        EXPECT_EQ(again.request.line, 2);
        EXPECT_EQ(again.request.verdict, "ok line 2 repeated");
        EXPECT_EQ(again.answer.reply, StatusReply('A'));
        EXPECT_TRUE(again.answer.data.empty());
        EXPECT_EQ(Send(device, kMarker).answer.reply, StatusReply('3'));
    }

    // Once the reply to the resend went out, the same line is the next line.
    CDeviceProtocol device{DeviceIdentity{}};
    Send(device, kStart);
    Send(device, kData, nullptr, false);
    EXPECT_EQ(Send(device, kData).request.kind, Request::Kind::Resend);
    EXPECT_EQ(Send(device, kData).request.line, 3);
    // A command starts the transfer afresh.
    Send(device, F("DPZ|"));
    EXPECT_EQ(Send(device, kData).request.verdict, "ok line 1 block-start");
}

TEST(DeviceProtocol, SummarySaysWhatCameOrNothing)
{
    EXPECT_EQ(ReceivedSummary(DeviceTotals{}), "");
    EXPECT_EQ(ReceivedSummary(DeviceTotals{1, 0, 0}), "the device received 1 frame.");
    EXPECT_EQ(ReceivedSummary(DeviceTotals{812, 3, 1}),
              "the device received 812 frames, 3 of them with a bad checksum; 1 block had a wrong block sum.");
}

}  // namespace
