#pragma once
#include <cstdint>
#include <cstdio>
#include <string>

// Why CImageFile::Open failed.
enum class ImageOpenFailure {
    None,
    System,      // the system refused; GetOpenErrno() says why
    NotRegular,  // a directory, FIFO, device or socket: nothing an image is read from
};

// A firmware image opened read-only in binary mode. Never raises; the file
// is closed by Close or the destructor.
class CImageFile {
public:
    CImageFile() = default;
    ~CImageFile();
    CImageFile(const CImageFile&) = delete;
    CImageFile& operator=(const CImageFile&) = delete;

    // False when the file cannot be opened or is not a regular file. The
    // type is checked before any read, on a handle whose open cannot block,
    // so a FIFO or a device never holds the program.
    bool Open(const std::string& path);
    ImageOpenFailure GetOpenFailure() const { return m_openFailure; }
    int GetOpenErrno() const { return m_nOpenErrno; }
    void Close();
    bool IsOpen() const { return m_pFile != nullptr; }

    // Length in bytes, -1 when it cannot be taken. Leaves the read position
    // where it was.
    int64_t GetLength();
    // Reads up to count bytes from the current position; the count that
    // arrived, short at end of file or after a read error.
    uint32_t Read(void* buffer, uint32_t count);
    // Moves the read position past a hole that starts at it (a sparse file's
    // range that reads as zeros and is stored nowhere) and gives its length;
    // 0 where none starts, or where the system does not tell.
    int64_t SkipHole();
    // Back to the first byte, so one open serves a check and then the transfer.
    bool Rewind();
    bool HasReadError() const;

private:
    std::FILE* m_pFile = nullptr;
    ImageOpenFailure m_openFailure = ImageOpenFailure::None;
    int m_nOpenErrno = 0;
    int64_t m_nDataEnd = 0;  // SkipHole: where the stored range it last found ends
};

enum class ImageSumResult {
    Ok,
    OpenFailed,
    ReadFailed
};

// Small enough to stay in the CPU cache between the read that fills it and
// the sum that reads it: 256 KiB or 1 MiB chunks cost four times the system
// time on a 4 GiB sparse file.
constexpr uint32_t kImageSumChunk = 0x10000;
