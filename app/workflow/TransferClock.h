#pragma once
// Measures one firmware transfer and writes durations as short texts of
// hours, minutes and seconds with the unit words of the current language,
// e.g. "4 min 30 sec " (every part ends in a blank; zero parts are left
// out; whole days are dropped).

#include "link/Stopwatch.h"

#include <cstdint>
#include <ctime>
#include <string>

class CTransferClock {
public:
    CTransferClock() = default;
    ~CTransferClock();
    CTransferClock(const CTransferClock&) = delete;
    CTransferClock& operator=(const CTransferClock&) = delete;

    // Notes the wall-clock time, starts the stopwatch anew and loads the
    // unit words.
    void Start();
    // The time still to go when percent of the work took the time since
    // Start: elapsed x (100 - percent) / percent, in whole seconds. Empty
    // for percent <= 0 (the parts then stay as they were).
    std::string FormatRemaining(int percent);
    // The wall-clock time since Start.
    std::string FormatElapsed();
    // The same as numbers: the seconds FormatRemaining and FormatElapsed
    // would show.
    int32_t RemainingSeconds(int percent);
    int32_t ElapsedSeconds() const;

    // The same for a given elapsed stopwatch time and a given present.
    std::string FormatRemainingAfter(int64_t elapsedTicks, int percent);
    std::string FormatElapsedAt(std::time_t now);
    // Splits seconds into the parts and builds the text.
    std::string FormatDuration(int32_t seconds);
    // Loads the unit words of the current language (Start does too).
    void LoadUnits();

    // The parts of the duration last formatted, and when Start ran.
    struct Parts {
        int hours = 0;
        int minutes = 0;
        int seconds = 0;
    };
    Parts LastParts() const { return {m_hours, m_minutes, m_seconds}; }
    std::time_t StartTime() const { return m_startTime; }

private:
    std::time_t m_startTime = 0;
    int m_hours = 0;
    int m_minutes = 0;
    int m_seconds = 0;
    std::string m_unitHours;
    std::string m_unitMinutes;
    std::string m_unitSeconds;
    CLockedStopwatch m_stopwatch;
};

// A number of seconds as the text of a duration, in the current language
// (as FormatDuration writes it): how a front end shows the seconds a
// device process measured.
std::string DurationText(int32_t seconds);
