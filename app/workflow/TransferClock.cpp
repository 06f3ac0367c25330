#include "app/workflow/TransferClock.h"

#include "app/workflow/StringIds.h"
#include "app/workflow/StringTable.h"

#include <algorithm>
#include <limits>

CTransferClock::~CTransferClock()
{
    m_stopwatch.Stop();
}

void CTransferClock::Start()
{
    m_startTime = std::time(nullptr);
    m_stopwatch.Start(true);
    LoadUnits();
}

void CTransferClock::LoadUnits()
{
    m_unitHours = Text(IDS_UNIT_HOURS);
    m_unitMinutes = Text(IDS_UNIT_MINUTES);
    m_unitSeconds = Text(IDS_UNIT_SECONDS);
}

std::string CTransferClock::FormatDuration(int32_t r)
{
    m_hours = r / 3600 - (r / 86400) * 24;
    m_minutes = r / 60 - (r / 3600) * 60;
    m_seconds = r % 60;

    std::string text;
    const auto part = [&text](int value, const std::string& unit) {
        if (value > 0)
            text += std::to_string(value) + " " + unit + " ";
    };
    part(m_hours, m_unitHours);
    part(m_minutes, m_unitMinutes);
    part(m_seconds, m_unitSeconds);
    return text;
}

namespace {

int32_t RemainingAfter(int64_t elapsedTicks, int percent)
{
    // Whole seconds, truncated.
    const auto elapsed = static_cast<int64_t>(static_cast<double>(elapsedTicks) /
                                              static_cast<double>(g_counterFrequency));
    const int64_t r = elapsed * (100 - percent) / percent;
    // A remaining time beyond the 32-bit range cannot occur in a transfer;
    // clamp rather than wrap.
    return static_cast<int32_t>(
        std::clamp<int64_t>(r, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()));
}

}  // namespace

std::string CTransferClock::FormatRemainingAfter(int64_t elapsedTicks, int percent)
{
    if (percent <= 0)
        return {};
    return FormatDuration(RemainingAfter(elapsedTicks, percent));
}

int32_t CTransferClock::RemainingSeconds(int percent)
{
    return percent <= 0 ? 0 : RemainingAfter(m_stopwatch.PeekTicks(), percent);
}

int32_t CTransferClock::ElapsedSeconds() const
{
    return static_cast<int32_t>(std::time(nullptr) - m_startTime);
}

std::string DurationText(int32_t seconds)
{
    CTransferClock clock;
    clock.LoadUnits();
    return clock.FormatDuration(seconds);
}

std::string CTransferClock::FormatRemaining(int percent)
{
    if (percent <= 0)
        return {};
    return FormatRemainingAfter(m_stopwatch.PeekTicks(), percent);
}

std::string CTransferClock::FormatElapsedAt(std::time_t now)
{
    return FormatDuration(static_cast<int32_t>(now - m_startTime));
}

std::string CTransferClock::FormatElapsed()
{
    return FormatElapsedAt(std::time(nullptr));
}
