#pragma once
// The record file of --record: one JSON line per device result, appended
// with a single write to a descriptor opened for appending and synced
// before the result is shown, so that several runs appending to one file
// on a local file system never mix their lines, and a line that was shown
// is on the disk.

#include <string>

class CRecordFile {
public:
    CRecordFile() = default;
    ~CRecordFile();
    CRecordFile(const CRecordFile&) = delete;
    CRecordFile& operator=(const CRecordFile&) = delete;

    // Opens (or makes, mode 0644 less the umask) path for appending; false
    // with errno set.
    bool Open(const std::string& path);
    bool IsOpen() const { return m_fd >= 0; }
    // Appends line and its line end; false with errno set when the write
    // failed or was short (EIO then) or the sync failed.
    bool Append(const std::string& line);

private:
    int m_fd = -1;
};
