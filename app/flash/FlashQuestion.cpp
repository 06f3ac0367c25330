#include "app/flash/FlashQuestion.h"

#include "app/workflow/StringIds.h"
#include "app/workflow/StringTable.h"

#include <algorithm>
#include <cctype>

bool IsYes(std::string answer)
{
    while (!answer.empty() && (answer.back() == ' ' || answer.back() == '\r' || answer.back() == '\t'))
        answer.pop_back();
    while (!answer.empty() && (answer.front() == ' ' || answer.front() == '\t'))
        answer.erase(0, 1);
    std::transform(answer.begin(), answer.end(), answer.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return answer == "y" || answer == "yes" || answer == "j" || answer == "ja";
}

std::vector<uint64_t> DevicesToAsk(const std::deque<uint64_t>& waiting, bool perDevice, bool searchesRunning)
{
    if (waiting.empty())
        return {};
    if (perDevice)
        return {waiting.front()};
    if (searchesRunning)
        return {};
    return std::vector<uint64_t>(waiting.begin(), waiting.end());
}

std::string QuestionText(const std::string& port)
{
    return (port.empty() ? std::string() : port + ": ") + Text(IDS_UPDATE_QUESTION) + Text(IDS_FLASH_ANSWER);
}
