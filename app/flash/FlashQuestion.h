#pragma once
// The question before a device is written: which devices it is about, when
// it is asked, and what counts as yes. In watch mode devices come and go
// at any time, so each is asked about on its own, named, one after the
// other; otherwise one question covers every device found, asked once no
// search runs any more.

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

// "y", "yes", "j", "ja" in any letter case, blanks around them allowed.
bool IsYes(std::string answer);

// The devices (in the order they came to wait) the next question is about;
// none when it is not time to ask.
std::vector<uint64_t> DevicesToAsk(const std::deque<uint64_t>& waiting, bool perDevice, bool searchesRunning);

// The question, with the device's port in front when it is about one port
// of several.
std::string QuestionText(const std::string& port);
