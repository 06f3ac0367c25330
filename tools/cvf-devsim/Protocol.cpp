#include "Protocol.h"

#include "link/Frame.h"

#include <cstdio>

namespace {

const char* const kCommands[] = {"ASP", "PSD", "EAE", "RST", "DPZ"};

std::string Frame(const std::string& body)
{
    CFrame frame(body);
    return frame.AppendChecksum();
}

// The command word of a request frame ("ASP|" plus checksum and EOT), or
// empty for anything else.
std::string CommandWord(const std::string& text)
{
    if (text.size() != 7 || text[3] != FRAME_SEPARATOR)
        return {};
    const std::string word = text.substr(0, 3);
    for (const char* command : kCommands) {
        if (word == command)
            return word;
    }
    return {};
}

std::string Counted(unsigned long n, const char* one, const char* many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

std::string StatusReply(char status)
{
    return Frame(std::string("DEV|") + status + "|");
}

Request CDeviceProtocol::Classify(const std::string& text) const
{
    Request r;
    r.text = text;
    const CFrame frame(text);
    if (!frame.HasValidChecksum()) {
        r.kind = Request::Kind::BadChecksum;
        r.verdict = "bad-checksum";
        return r;
    }
    r.word = CommandWord(text);
    if (!r.word.empty()) {
        r.kind = Request::Kind::Command;
        r.verdict = "ok " + r.word;
        return r;
    }
    if (!m_lastAccepted.empty() && text == m_lastAccepted && m_lastReply != ReplyState::Taken) {
        // The host did not get our reply and sent the line again: it is
        // stored already. It keeps its number, and the faults set for it.
        r.kind = Request::Kind::Resend;
        r.line = m_accepted;
        r.verdict = "ok line " + std::to_string(r.line) + " repeated";
        return r;
    }
    r.kind = Request::Kind::Line;
    r.line = m_accepted + 1;
    r.verdict = "ok line " + std::to_string(r.line) +
                (frame.IsBlockMarker() ? " marker" : m_blockStart ? " block-start" : " data");
    return r;
}

Answer CDeviceProtocol::Respond(const Request& request, const Fault* fault)
{
    Answer answer;
    ++m_totals.frames;
    switch (request.kind) {
    case Request::Kind::BadChecksum:
        ++m_totals.badChecksums;
        answer.reply = StatusReply('0');
        break;
    case Request::Kind::Command:
        AnswerCommand(request, fault, answer);
        break;
    case Request::Kind::Line:
        AnswerLine(request, fault, answer);
        break;
    case Request::Kind::Resend:
        AnswerResend(fault, answer);
        break;
    }
    return answer;
}

void CDeviceProtocol::ReplySent(uint64_t replyId)
{
    if (replyId != 0 && replyId == m_lastReplyId && m_lastReply == ReplyState::Unsent)
        m_lastReply = ReplyState::Taken;
}

void CDeviceProtocol::ReplyLost(uint64_t replyId)
{
    if (replyId != 0 && replyId == m_lastReplyId)
        m_lastReply = ReplyState::NotTaken;
}

void CDeviceProtocol::ResetSession()
{
    m_accepted = 0;
    m_blockStart = true;
    m_blockOpen = false;
    m_blockSum = 0;
    m_lastAccepted.clear();
    m_lastStatus = 0;
    m_lastReply = ReplyState::Taken;
    m_lastReplyId = 0;
}

bool CDeviceProtocol::AnswerInsteadOf(const Fault* fault, Answer& answer)
{
    if (fault == nullptr)
        return false;
    switch (fault->kind) {
    case FaultKind::Silence:
        answer.events.push_back("fault silence");
        return true;
    case FaultKind::Reject:
        answer.reply = StatusReply('0');
        return true;
    case FaultKind::Flash:
        answer.reply = StatusReply('2');
        return true;
    case FaultKind::Complete:
        answer.saveImage = true;
        answer.reply = StatusReply('\xCF');
        return true;
    case FaultKind::Stream:
        answer.events.push_back("fault stream");
        answer.stream = true;
        return true;
    case FaultKind::Hangup:
        answer.hangUp = true;
        return true;
    default:
        return false;
    }
}

void CDeviceProtocol::AnswerCommand(const Request& request, const Fault* fault, Answer& answer)
{
    ResetSession();
    answer.saveImage = true;
    const std::string& word = request.word;
    if (word == "ASP" && !m_identity.updateMode) {
        answer.events.push_back("ASP unanswered: not in update mode");
        return;
    }
    if (AnswerInsteadOf(fault, answer))
        return;
    if (word == "ASP") {
        answer.reply = StatusReply(m_identity.aspComplete ? '\xCF' : '0');
    } else if (word == "PSD") {
        std::string index = m_identity.index;
        if (fault != nullptr && fault->kind == FaultKind::WrongIndex)
            index += '#';
        answer.reply = Frame("DEV|" + index + "|");
    } else if (word == "EAE") {
        std::string version = m_identity.version;
        if (fault != nullptr && fault->kind == FaultKind::NoVersion)
            version.clear();
        if (fault != nullptr && fault->kind == FaultKind::FfVersion)
            version += '\xFF';
        answer.reply = Frame("DEV|" + version + "|");
    } else {
        answer.events.push_back(word == "RST" ? "restart" : "abort (DPZ)");
        answer.reply = StatusReply('A');
    }
}

void CDeviceProtocol::AnswerLine(const Request& request, const Fault* fault, Answer& answer)
{
    if (AnswerInsteadOf(fault, answer))
        return;  // the line never reached the device

    const CFrame frame(request.text);
    char status = 'A';
    if (frame.IsBlockMarker()) {
        if (m_blockOpen && m_blockSum != m_blockExpected) {
            ++m_totals.blockErrors;
            char note[96];
            std::snprintf(note, sizeof note, "block-sum-error expected %04X got %04X",
                          m_blockExpected, m_blockSum);
            answer.events.push_back(note);
            status = '2';
        } else {
            status = '3';
        }
        m_blockOpen = false;
        m_blockStart = true;
        answer.saveImage = true;
    } else {
        const bool start = m_blockStart;
        if (start) {
            m_blockExpected = static_cast<uint16_t>(frame.GetBlockSum());
            m_blockSum = 0;
            m_blockOpen = true;
            m_blockStart = false;
        }
        m_blockSum = static_cast<uint16_t>(m_blockSum + frame.GetDataSum(start));
        const std::string data = frame.GetDataText(start);
        answer.address = frame.GetAddress(start);
        for (size_t i = 0; i + 1 < data.size(); i += 2)
            answer.data += static_cast<char>(CFrame::HexValue(data.substr(i, 2)));
    }
    if (status == '2') {
        answer.reply = StatusReply(status);
        return;
    }
    ++m_accepted;
    m_lastAccepted = request.text;
    m_lastStatus = status;
    ReplyToStoredLine(status, fault, answer);
}

void CDeviceProtocol::AnswerResend(const Fault* fault, Answer& answer)
{
    if (AnswerInsteadOf(fault, answer)) {
        // Whatever came instead, the host has still not taken the line's
        // own reply.
        m_lastReply = ReplyState::NotTaken;
        m_lastReplyId = 0;
        return;
    }
    ReplyToStoredLine(m_lastStatus, fault, answer);
}

void CDeviceProtocol::ReplyToStoredLine(char status, const Fault* fault, Answer& answer)
{
    answer.reply = StatusReply(status);
    answer.replyId = ++m_nextReplyId;
    m_lastReplyId = answer.replyId;
    m_lastReply = SpoilsReply(fault) ? ReplyState::NotTaken : ReplyState::Unsent;
}

std::string ReceivedSummary(const DeviceTotals& totals)
{
    if (totals.frames == 0)
        return {};
    std::string text = "the device received " + Counted(totals.frames, "frame", "frames");
    if (totals.badChecksums != 0)
        text += ", " + std::to_string(totals.badChecksums) + " of them with a bad checksum";
    if (totals.blockErrors != 0)
        text += "; " + Counted(totals.blockErrors, "block had", "blocks had") + " a wrong block sum";
    return text + ".";
}
