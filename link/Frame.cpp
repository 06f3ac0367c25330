#include "link/Frame.h"

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

uint8_t ByteSum(std::string_view text)
{
    unsigned sum = 0;
    for (unsigned char c : text)
        sum += c;
    return static_cast<uint8_t>(sum);
}

}  // namespace

std::string CFrame::ChecksumText(std::string_view text)
{
    const uint8_t sum = ByteSum(text);
    return {kHexDigits[sum >> 4], kHexDigits[sum & 0x0F]};
}

bool CFrame::HasValidChecksum() const
{
    const size_t n = m_text.size();
    if (n <= 3)
        return false;
    const std::string expected = ChecksumText(std::string_view(m_text).substr(0, n - 3));
    return m_text[n - 3] == expected[0] && m_text[n - 2] == expected[1];
}

std::string CFrame::AppendChecksum()
{
    m_text += ChecksumText(m_text);
    m_text += FRAME_TERMINATOR;
    return m_text;
}

std::string_view CFrame::Field(int k) const
{
    const std::string_view text(m_text);
    size_t start = 0;
    for (int i = 0; i < k; ++i) {
        const size_t sep = text.find(FRAME_SEPARATOR, start);
        if (sep == std::string_view::npos)
            return {};
        start = sep + 1;
    }
    const size_t end = text.find(FRAME_SEPARATOR, start);
    if (end == std::string_view::npos)
        return {};
    return text.substr(start, end - start);
}

bool CFrame::IsBlockMarker() const
{
    const size_t sep = m_text.find(FRAME_SEPARATOR);
    if (sep == std::string::npos || sep < 3)
        return false;
    const std::string_view tail = std::string_view(m_text).substr(sep - 3, 3);
    return tail == "XXX" || tail == "xxx";
}

std::string CFrame::GetFirstFieldTail() const
{
    const std::string_view field0 = Field(0);
    return field0.size() > 2 ? std::string(field0.substr(2)) : std::string();
}

int32_t CFrame::GetBlockSum() const
{
    size_t start = 0;
    for (int i = 0; i < 3; ++i) {
        const size_t sep = m_text.find(FRAME_SEPARATOR, start);
        if (sep == std::string::npos)
            return 0;
        start = sep + 1;
    }
    return HexValue(std::string_view(m_text).substr(start, 4));
}

uint16_t CFrame::GetAddress(bool blockStart) const
{
    return static_cast<uint16_t>(HexValue(Field(blockStart ? 4 : 3)));
}

std::string CFrame::GetDataText(bool blockStart) const
{
    return std::string(Field(blockStart ? 5 : 4));
}

int CFrame::GetDataLength(bool blockStart) const
{
    return static_cast<int>(Field(blockStart ? 5 : 4).size() / 2);
}

uint16_t CFrame::GetDataSum(bool blockStart) const
{
    const std::string_view data = Field(blockStart ? 5 : 4);
    unsigned sum = 0;
    for (size_t i = 0; i < data.size(); i += 2)
        sum += static_cast<unsigned>(HexValue(data.substr(i, 2)));
    return static_cast<uint16_t>(sum);
}

int32_t CFrame::HexValue(std::string_view text)
{
    uint32_t value = 0;
    for (char c : text)
        value = (value << 4) | HexDigitValue(c);
    return static_cast<int32_t>(value);
}

uint8_t CFrame::HexDigitValue(char c)
{
    const auto u = static_cast<unsigned char>(c);
    if (u >= '0' && u <= '9')
        return static_cast<uint8_t>(u - '0');
    return static_cast<uint8_t>((u & 0x0F) + 9);
}
