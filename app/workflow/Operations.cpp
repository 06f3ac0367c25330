#include "app/workflow/Operations.h"

#include "link/Frame.h"

#include <algorithm>

// ---------------------------------------------------------------------------
// Loading

bool CheckFirmwareHeader(CFirmwareFile& file, const std::string& path, CFileError* error)
{
    if (error)
        error->m_osError = 0;
    if (!file.IsOpen() && !file.Open(path.c_str(), CFirmwareFile::modeRead, error))
        return false;
    const bool good = file.FindText("[PSDINDEX]") >= 0 && file.FindText("[DATA]") >= 0;
    file.Close();
    return good;
}

LoadOutcome CLoadOperation::Run(COperationObserver& observer, const CStopRequest& stop, CLoadedFirmware& loaded)
{
    loaded.Clear();
    if (!m_file.IsOpen() && !m_file.Open(m_path.c_str()))
        return LoadOutcome::CannotOpen;

    observer.OnFileOpened();
    LoadRequest request;
    request.progress = [&observer](int percent) { observer.OnProgress(percent); };
    request.keepLines = true;
    request.stop = &stop.Flag();
    m_walk = LoadFirmwareData(m_file, request);
    if (!m_walk.Good()) {
        m_file.Close();
        return m_walk.fault == LoadFault::Stopped ? LoadOutcome::Stopped : LoadOutcome::Faulty;
    }
    loaded.index = m_walk.index;
    loaded.device = m_walk.device;
    DecodeVersionRecord(m_walk.versionText, loaded.version1, loaded.version2);
    loaded.image = CFirmwareImage::Make(m_walk.data, m_walk.totalBytes, m_walk.index);
    loaded.totalBytes = m_walk.totalBytes;
    loaded.fileSha256 = m_walk.fileSha256;
    m_walk.data.Clear();
    if (!loaded.image.Valid()) {
        m_file.Close();
        loaded.Clear();
        return LoadOutcome::CannotOpen;
    }
    return LoadOutcome::Loaded;
}

// ---------------------------------------------------------------------------
// Device search

SearchResult CSearchOperation::Run(COperationObserver& observer, const CStopRequest& stop)
{
    m_haveVersion = false;
    const std::string request = MakeRequest(REQUEST_STATUS);
    bool answered = false;
    for (size_t i = 0; i < m_ports.size() && !answered; ++i) {
        m_link.m_strPort = m_ports[i].name;
        m_link.m_strPortPath = m_ports[i].path;
        observer.OnPortTried(m_ports[i]);
        for (int attempt = 0; attempt < SEARCH_ATTEMPTS; ++attempt) {
            if (stop.Requested())
                return SearchResult::Stopped;
            const uint8_t status = m_link.Transact(request, STATUS_TIMEOUT_MS);
            observer.OnAttemptMade();
            if (status == STATUS_COMPLETE || status == STATUS_PRESENT) {
                answered = true;
                break;
            }
        }
    }
    if (!answered)
        return SearchResult::NoDevice;

    observer.OnDeviceAnswered();
    // The index the file was checked with, not the file as it is now.
    m_link.m_fileIndex = [this] { return m_fileIndex; };
    const SearchResult result = m_link.CheckDeviceIndex() ? SearchResult::Compatible : SearchResult::Incompatible;
    if (stop.Requested())
        return SearchResult::Stopped;
    m_haveVersion = m_link.ReadDeviceVersion();
    return result;
}

// ---------------------------------------------------------------------------
// Transfer

LineVerdict JudgeLineReply(uint8_t status, LineCounters counters, TransferResult result)
{
    switch (status) {
    case TRANSACT_FAILED:
        // Write failed or the port reported an error.
        if (++counters.errors >= LINE_ATTEMPTS)
            return {LineAction::End, TransferResult::ProtocolError, counters};
        return {LineAction::SendAgain, result, counters};
    case TRANSACT_TIMEOUT:
        // No reply within the line's time: the connection is taken as lost.
        return {LineAction::End, TransferResult::Interrupted, counters};
    case TRANSACT_BAD_CHECKSUM:
        return {LineAction::End, TransferResult::ProtocolError, counters};
    case STATUS_REJECTED:
        if (++counters.rejects >= LINE_ATTEMPTS)
            return {LineAction::End, TransferResult::ProtocolError, counters};
        return {LineAction::SendAgain, result, counters};
    case STATUS_FLASH_ERROR:
        return {LineAction::End, TransferResult::FlashError, counters};
    case STATUS_BLOCK_DONE:
        // From here on the transfer counts as done unless a later reply
        // says otherwise; the next line starts with fresh counters.
        return {LineAction::NextBlock, TransferResult::Done, {}};
    case STATUS_ACCEPTED:
        return {LineAction::Next, result, {}};
    case STATUS_COMPLETE:
        return {LineAction::End, TransferResult::Done, counters};
    default:
        return {LineAction::End, TransferResult::ProtocolError, counters};
    }
}

void SendClosing(CDeviceLink& link, Outcome outcome)
{
    const OutcomeRow& row = OutcomeTable(outcome);
    for (const std::string_view body : row.closing) {
        if (!body.empty())
            link.Transact(MakeRequest(body), row.closingTimeoutMs);
    }
}

int TransferPercent(uint32_t sent, uint32_t total)
{
    // In 64 bits: sent x 100 leaves 32 bits past 42.9 MB. A file without
    // data bytes counts as done with its first line.
    if (total == 0)
        return 100;
    return static_cast<int>(std::min<uint64_t>(100, uint64_t{sent} * 100 / total));
}

TransferResult CTransferOperation::Run(COperationObserver& observer, const CStopRequest& stop)
{
    m_clock.Start();
    m_sent = 0;
    TransferResult result = TransferResult::Interrupted;
    LineCounters counters;
    bool blockStart = true;
    int lastPercent = 0;
    size_t index = 0;
    CFrame frame;

    if (!m_lines.Empty() && m_link.OpenDevicePort()) {
        for (;;) {
            if (!m_link.IsPortOpen() && !m_link.OpenDevicePort()) {
                result = TransferResult::Interrupted;
                break;
            }
            const std::string_view line = m_lines.Line(index);
            frame.SetText(line);
            m_link.PauseBeforeLine();
            const uint8_t status = m_link.TransactOnOpenPort(std::string(line), LINE_TIMEOUT_MS);
            const LineVerdict verdict = JudgeLineReply(status, counters, result);
            result = verdict.result;
            counters = verdict.counters;
            if (verdict.action == LineAction::End)
                break;
            if (verdict.action == LineAction::NextBlock) {
                // The device closes a block with this; the port is opened
                // anew for the next line.
                if (m_link.IsPortOpen())
                    m_link.CloseDevicePort();
                if (frame.IsBlockMarker())
                    blockStart = true;
                ++index;
            } else if (verdict.action == LineAction::Next) {
                m_sent += static_cast<uint32_t>(frame.GetDataLength(blockStart));
                const int percent = TransferPercent(m_sent, m_total);
                std::optional<int32_t> remaining;
                if (m_total != 0 && percent > 9 && percent != lastPercent) {
                    lastPercent = percent;
                    remaining = m_clock.RemainingSeconds(percent);
                }
                observer.OnTransferProgress(percent, remaining);
                blockStart = false;
                ++index;
            }
            if (index == m_lines.Count())
                break;
            // Asked to end: the line just answered was the last one sent.
            if (stop.Requested()) {
                result = TransferResult::Stopped;
                break;
            }
        }
    }

    if (m_link.IsPortOpen())
        m_link.CloseDevicePort();
    SendClosing(m_link, OutcomeOf(result));
    if (m_link.IsPortOpen())
        m_link.CloseDevicePort();
    return result;
}
