#include "Faults.h"

#include "Protocol.h"

#include "link/Frame.h"

namespace {

struct KindName {
    const char* name;
    FaultKind kind;
};

constexpr KindName kKinds[] = {
    {"silence", FaultKind::Silence},     {"badsum", FaultKind::BadSum},
    {"reject", FaultKind::Reject},       {"flash", FaultKind::Flash},
    {"cf", FaultKind::Complete},         {"bytewise", FaultKind::Bytewise},
    {"garbage", FaultKind::Garbage},     {"eot", FaultKind::StrayEot},
    {"trailing", FaultKind::Trailing},   {"stream", FaultKind::Stream},
    {"hangup", FaultKind::Hangup},       {"wrongindex", FaultKind::WrongIndex},
    {"noversion", FaultKind::NoVersion}, {"ffversion", FaultKind::FfVersion},
};

bool ParseCount(const std::string& text, int& value)
{
    if (text.empty() || text.size() > 9)
        return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
    }
    return true;
}

}  // namespace

bool ParseFault(const std::string& text, Fault& fault, std::string& error)
{
    const size_t first = text.find(':');
    if (first == std::string::npos) {
        error = "fault '" + text + "': expected KIND:WHERE[:COUNT]";
        return false;
    }
    const std::string kind = text.substr(0, first);
    const size_t second = text.find(':', first + 1);
    const std::string where = text.substr(first + 1, second == std::string::npos
                                                         ? std::string::npos
                                                         : second - first - 1);
    const std::string count = second == std::string::npos ? "1" : text.substr(second + 1);

    bool known = false;
    for (const KindName& k : kKinds) {
        if (kind == k.name) {
            fault.kind = k.kind;
            known = true;
        }
    }
    if (!known) {
        error = "fault '" + text + "': unknown kind '" + kind + "'";
        return false;
    }

    fault.command.clear();
    fault.line = 0;
    if (where == "ASP" || where == "PSD" || where == "EAE" || where == "RST" || where == "DPZ" ||
        where == "any") {
        fault.command = where;
    } else if (!ParseCount(where, fault.line) || fault.line == 0) {
        error = "fault '" + text + "': WHERE must be a line number from 1, a command word or 'any'";
        return false;
    }

    if (count == "always") {
        fault.remaining = -1;
    } else if (ParseCount(count, fault.remaining)) {
        if (fault.remaining == 0)
            fault.remaining = -1;
    } else {
        error = "fault '" + text + "': COUNT must be a number or 'always'";
        return false;
    }
    return true;
}

const Fault* CFaultTable::Fire(const std::string& word, int line)
{
    for (Fault& fault : m_faults) {
        if (fault.remaining == 0)
            continue;
        const bool matches = fault.command.empty() ? (word.empty() && fault.line == line)
                                                   : (fault.command == "any" || fault.command == word);
        if (!matches)
            continue;
        if (fault.kind == FaultKind::WrongIndex && word != "PSD")
            continue;
        if ((fault.kind == FaultKind::NoVersion || fault.kind == FaultKind::FfVersion) &&
            word != "EAE")
            continue;
        if (fault.remaining > 0)
            --fault.remaining;
        return &fault;
    }
    return nullptr;
}

bool SpoilsReply(const Fault* fault)
{
    return fault != nullptr && (fault->kind == FaultKind::BadSum || fault->kind == FaultKind::Garbage ||
                                fault->kind == FaultKind::StrayEot);
}

Delivery Deliver(const std::string& reply, const Fault* fault)
{
    Delivery d;
    d.bytes = reply;
    if (fault == nullptr)
        return d;
    switch (fault->kind) {
    case FaultKind::BadSum: {
        // Keep the layout, spoil the sum.
        const std::string body = reply.substr(0, reply.size() - 3);
        d.bytes = body + CFrame::ChecksumText(body + "\x01") + FRAME_TERMINATOR;
        d.event = "fault badsum";
        break;
    }
    case FaultKind::Garbage:
        d.lead = "#GARBAGE#";
        d.event = "fault garbage";
        break;
    case FaultKind::StrayEot:
        d.lead = std::string(1, FRAME_TERMINATOR);
        d.event = "fault eot";
        break;
    case FaultKind::Trailing:
        d.bytes += CFrame(std::string("DEV|2|")).AppendChecksum();
        d.event = "fault trailing";
        break;
    case FaultKind::Bytewise:
        d.bytewise = true;
        d.event = "fault bytewise";
        break;
    default:
        break;
    }
    return d;
}

const Fault* FireOn(CFaultTable& faults, const Request& request)
{
    switch (request.kind) {
    case Request::Kind::Command:
        return faults.Fire(request.word, 0);
    case Request::Kind::Line:
    case Request::Kind::Resend:
        return faults.Fire({}, request.line);
    case Request::Kind::BadChecksum:
        break;
    }
    return nullptr;
}
