#pragma once
// The read-only firmware file. It keeps no parsed copy: every query reads
// the file again. Reads go through POSIX calls; lines end in CR LF.

#include <cstdint>
#include <string>
#include <vector>

inline constexpr int LINE_CHUNK = 300;
inline constexpr int VERSION_RECORD_SIZE = 32;
inline constexpr int VERSION_RECORD_OFFSET = 0x1000;

// Why an Open failed, for callers that want to know.
struct CFileError {
    int m_osError = 0;  // errno, or EISDIR / EFBIG / EINVAL for refused kinds of file
};

class CFirmwareFile {
public:
    enum OpenFlags : unsigned { modeRead = 0 };
    enum SeekFrom { begin, current, end };

    CFirmwareFile() = default;
    ~CFirmwareFile();
    CFirmwareFile(const CFirmwareFile&) = delete;
    CFirmwareFile& operator=(const CFirmwareFile&) = delete;

    // Opens a regular file read-only. A directory, a missing, unreadable
    // or non-regular path, or a file of 2 GiB or more, gives false. An
    // open file is closed first.
    bool Open(const char* path, unsigned openFlags, CFileError* error);
    bool Open(const char* path);
    void Close();
    void Abort();
    bool IsOpen() const { return m_bOpen; }

    // Reads the next line (without its line end) from the current
    // position; false at the end of the file. The next read starts two
    // bytes after the line. A line with no line end within LINE_CHUNK
    // bytes is outside the format: it is returned as its first LINE_CHUNK
    // bytes, the rest of it up to its line end is skipped, and
    // LastLineTooLong() reports it until the next ReadLine.
    bool ReadLine(std::string& line);
    bool LastLineTooLong() const { return m_bLineTooLong; }
    // errno of the last read that failed since the query that began the
    // current reading (FindText, and the queries built on it), or since
    // Open; 0 when none did. A failed read ends ReadLine like the end of
    // the file; this tells the two apart. An error belongs to the reading
    // it happened in: the next query starts clean.
    int ReadError() const { return m_nReadError; }

    // Offset of the first occurrence of text, searching line by line from
    // the start of the file; -1 when no line holds it.
    int32_t FindText(const std::string& text);
    // Positions the file at the first byte after the "[DATA]" line (at the
    // end of the file when there is none).
    void SeekToData();
    // Bytes from the first byte of the data section to the end of the
    // file; 0 when there is no data section.
    int32_t GetDataSize();
    std::string GetIndex();
    std::string GetDevice();
    int32_t GetTotalBytes() const { return m_nTotalBytes; }

    // Plain file operations. Read gives up to count bytes from the
    // current position on and moves past them; 0 at the end (or on a read
    // error, which ReadError then tells).
    size_t Read(char* buffer, size_t count);
    int64_t Seek(int64_t offset, SeekFrom from);
    int64_t GetPosition() const { return m_pos; }
    int64_t GetLength() const;

    // What identifies the file's contents from outside: device, inode,
    // size and modification time. Two equal stamps taken around a reading
    // mean nobody wrote the file in between (as far as the file system
    // tells). All zero when the file is closed.
    struct Stamp {
        uint64_t device = 0;
        uint64_t inode = 0;
        int64_t size = 0;
        int64_t modifiedNs = 0;
        bool operator==(const Stamp&) const = default;
    };
    Stamp GetStamp() const;

    // Data byte count, set by the loader.
    int32_t m_nTotalBytes = 0;

private:
    // The rest of the first line holding key, from the key's place on and
    // without its first skip characters; empty when there is none.
    std::string ReadKeyLine(const std::string& key, size_t skip);
    // Reads up to count bytes at pos into out.
    size_t ReadAt(int64_t pos, char* out, size_t count);

    int m_fd = -1;
    bool m_bOpen = false;
    bool m_bLineTooLong = false;
    int m_nReadError = 0;
    int64_t m_pos = 0;
    // Sequential reads are served from a window of the file that is read
    // anew whenever a query seeks.
    std::vector<char> m_buffer;
    int64_t m_bufferStart = 0;
    size_t m_bufferLength = 0;
};
