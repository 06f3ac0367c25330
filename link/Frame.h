#pragma once
// One line of the device protocol or of a firmware file's data section:
// fields separated by '|', closed by two upper-case hex checksum digits
// and the terminator EOT. The text is a string of 8-bit bytes; any byte,
// NUL and 0x80..0xFF included, is data like any other.

#include <cstdint>
#include <string>
#include <string_view>

inline constexpr char FRAME_TERMINATOR = '\x04';
inline constexpr char FRAME_SEPARATOR = '|';

class CFrame {
public:
    CFrame() = default;
    explicit CFrame(std::string_view text) : m_text(text) {}

    void SetText(std::string_view text) { m_text.assign(text); }
    const std::string& GetText() const { return m_text; }

    // True when the two characters before the last one are the checksum
    // of everything before them, written as two upper-case hex digits.
    bool HasValidChecksum() const;
    // Appends checksum and EOT to the text and returns the completed frame.
    std::string AppendChecksum();

    // True when field 0 ends in "XXX" or "xxx".
    bool IsBlockMarker() const;
    // Field 0 without its first two characters.
    std::string GetFirstFieldTail() const;

    // Data-line accessors. A block-start line has one field more (the
    // block sum in field 3). A field that the frame does not hold, because
    // a separator before or after it is missing, reads as the empty text:
    // text accessors return "", numeric ones 0.
    int32_t GetBlockSum() const;
    uint16_t GetAddress(bool blockStart) const;
    std::string GetDataText(bool blockStart) const;
    int GetDataLength(bool blockStart) const;
    uint16_t GetDataSum(bool blockStart) const;

    // Lenient hex reading: every character is shifted in as four bits;
    // nothing is rejected (non-hex characters give values 9..24).
    static int32_t HexValue(std::string_view text);
    static uint8_t HexDigitValue(char c);

    // Two upper-case hex digits of the byte sum of text, modulo 256.
    static std::string ChecksumText(std::string_view text);

private:
    // Field k: from after the k-th separator up to the next one; field 0
    // runs from the start to the first separator. Empty when absent.
    std::string_view Field(int k) const;

    std::string m_text;
};
