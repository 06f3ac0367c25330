#pragma once
// The messages between a front end and a device process (cvf-device), and
// their one encoding. Both directions are pipes of frames: a 4-byte
// little-endian length, then a kind byte and the kind's fields in a fixed
// order (numbers as 4-byte little-endian, flags as one byte, byte strings
// as a length and their bytes). They carry numbers, outcome codes and the
// device's own bytes only; every text a user reads is made by the front
// end.
//
// A device process's life, as the messages tell it:
//   front end  Job{ports, ask, dry run, parent pid}
//   device     Ready                         (the firmware block checked)
//   device     PortTried{i}, then before its first open of port i
//              PortWanted{i} and waits for PortGranted{i} or PortRefused{i}
//   device     Attempt{i, status} x up to 3, Answered{i} when a device did
//   device     Found{i, compatible, version, index}  (a device answered)
//   front end  Answer{yes}                   (only when the job asks)
//   device     TransferStarted, Progress{percent, remaining}...
//   device     Result{outcome, i, elapsed}   (the last message)
// Alive comes whenever nothing else was said for ALIVE_INTERVAL_MS. Stop
// from the front end, the end of its pipe, or an end signal make the
// device process wind down as a stop does.

#include "link/PortList.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// How long a device process may go without a message before it says Alive.
inline constexpr int ALIVE_INTERVAL_MS = 5000;
// No frame is longer than this; a longer one ends the conversation.
inline constexpr size_t DEVICE_MESSAGE_LIMIT = 256 * 1024;

// Descriptors of a device process, as its parent sets them up.
inline constexpr int DEVICE_CONTROL_FD = 3;  // messages from the front end
inline constexpr int DEVICE_EVENT_FD = 4;    // messages to the front end
inline constexpr int DEVICE_IMAGE_FD = 5;    // the sealed block of checked lines (FirmwareImage.h)

enum class ControlKind : uint8_t { Job = 1, PortGranted = 2, PortRefused = 3, Answer = 4, Stop = 5 };

struct DeviceJobSpec {
    int64_t parentPid = 0;        // the device process ends when its parent is not this one
    bool dryRun = false;          // search only, then restart the device as after "No"
    bool ask = false;             // wait for Answer before writing
    std::vector<PortInfo> ports{};  // asked in this order; the first device that answers is taken
};

struct ControlMessage {
    ControlKind kind = ControlKind::Stop;
    DeviceJobSpec job{};  // Job
    int port = -1;      // PortGranted, PortRefused
    bool yes = false;   // Answer
};

enum class EventKind : uint8_t {
    Ready = 1,
    PortWanted = 2,
    PortTried = 3,
    Attempt = 4,
    Answered = 5,
    Found = 6,
    TransferStarted = 7,
    Progress = 8,
    Alive = 9,
    Result = 10,
};

struct DeviceEvent {
    EventKind kind = EventKind::Alive;
    int port = -1;                   // index in the job's ports; -1: none
    int status = 0;                  // Attempt: the exchange's status byte
    bool compatible = false;         // Found
    bool haveVersion = false;        // Found
    std::string version1{};          // Found: the halves of the device's version answer
    std::string version2{};
    std::string deviceIndex{};       // Found: the index the device gave
    int percent = 0;                 // Progress
    int remainingSeconds = -1;       // Progress: from 10 % on, otherwise -1
    int outcome = 0;                 // Result: an Outcome (Outcome.h)
    int elapsedSeconds = 0;          // Result: wall-clock seconds of the transfer
};

std::string EncodeMessage(const ControlMessage& message);
std::string EncodeMessage(const DeviceEvent& event);
// False when the payload (a frame without its length) is not one whole
// message of its kind.
bool DecodeMessage(std::string_view payload, ControlMessage& message);
bool DecodeMessage(std::string_view payload, DeviceEvent& event);

// Cuts the bytes read from a pipe into frames.
class CFrameReader {
public:
    enum class Next { None, Frame, Broken };
    void Feed(const char* bytes, size_t count) { m_buffer.append(bytes, count); }
    // The next whole frame's payload; Broken once a length is over the
    // limit (nothing after it can be trusted).
    Next Take(std::string& payload);
    bool HoldsPart() const { return !m_buffer.empty(); }

private:
    std::string m_buffer;
    size_t m_start = 0;
    bool m_broken = false;
};
