#pragma once
// A small stream family shared by the store, the GIF codec and the loaders:
// read up to n bytes, write, seek, position and size.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

enum class SeekOrigin { Begin, Current, End };

class TStream {
public:
    virtual ~TStream() = default;
    TStream() = default;
    TStream(const TStream&) = delete;
    TStream& operator=(const TStream&) = delete;

    // Reads up to count bytes; returns how many came (0 at the end).
    virtual int64_t Read(void* buffer, int64_t count) = 0;
    // Writes count bytes; returns how many were taken.
    virtual int64_t Write(const void* buffer, int64_t count) = 0;
    virtual int64_t Seek(int64_t offset, SeekOrigin origin) = 0;

    int64_t Position() { return Seek(0, SeekOrigin::Current); }
    void SetPosition(int64_t pos) { Seek(pos, SeekOrigin::Begin); }
    virtual int64_t Size();
    virtual void SetSize(int64_t newSize) = 0;

    // Exactly count bytes or EReadError / EWriteError.
    void ReadBuffer(void* buffer, int64_t count);
    void WriteBuffer(const void* buffer, int64_t count);

    // Copies count bytes from source's current position; count 0 copies the
    // whole of source from its beginning. Returns the bytes copied.
    int64_t CopyFrom(TStream& source, int64_t count);
};

class TMemoryStream : public TStream {
public:
    TMemoryStream() = default;
    explicit TMemoryStream(std::vector<uint8_t> bytes) : data_(std::move(bytes)) {}

    int64_t Read(void* buffer, int64_t count) override;
    int64_t Write(const void* buffer, int64_t count) override;
    int64_t Seek(int64_t offset, SeekOrigin origin) override;
    int64_t Size() override { return static_cast<int64_t>(data_.size()); }
    void SetSize(int64_t newSize) override;

    void Clear();
    const uint8_t* Memory() const { return data_.data(); }
    uint8_t* Memory() { return data_.data(); }
    const std::vector<uint8_t>& Bytes() const { return data_; }
    std::vector<uint8_t> TakeBytes();

    void LoadFromStream(TStream& source);
    void LoadFromFile(const std::string& path);
    void SaveToStream(TStream& dest) const;
    void SaveToFile(const std::string& path) const;

private:
    std::vector<uint8_t> data_;
    int64_t pos_ = 0;
};

enum class FileMode { OpenRead, OpenReadWrite, Create };

class QFileDevice;

// A file on disk. Paths are UTF-8. Opening raises EFOpenError, creating
// raises EFCreateError, with the system's reason in the message.
class TFileStream : public TStream {
public:
    TFileStream(const std::string& path, FileMode mode);
    ~TFileStream() override;

    int64_t Read(void* buffer, int64_t count) override;
    int64_t Write(const void* buffer, int64_t count) override;
    int64_t Seek(int64_t offset, SeekOrigin origin) override;
    int64_t Size() override;
    void SetSize(int64_t newSize) override;

    const std::string& FileName() const { return path_; }
    // Flushes written data through to the disk.
    void Flush();

private:
    friend void WriteFileSafely(const std::string& path, const std::function<void(TStream& file)>& write);
    // Over a file someone else opened and closes (the safe writer's).
    TFileStream(QFileDevice& file, const std::string& path);

    struct Impl;
    std::unique_ptr<Impl> impl_;
    std::string path_;
};

// Reads a whole file into memory (EFOpenError when it cannot be opened).
std::vector<uint8_t> ReadWholeFile(const std::string& path);
// The bytes of stream from its position to its end.
std::vector<uint8_t> ReadRestOfStream(TStream& stream);
// Hands write a stream on a new file beside path that replaces path only
// once write has returned and everything is on disk; until then path keeps
// what it held. If write raises, or the file cannot be made or written, the
// new file goes and path is left untouched. A new path gets the usual
// permissions (0666 less the umask), a replaced one keeps its own.
// "Cannot create file "<path>". <reason>" (EFCreateError) when the file
// cannot be made or written; write's own errors pass on unchanged.
void WriteFileSafely(const std::string& path, const std::function<void(TStream& file)>& write);
// Asks the system to start reading the file into memory now, without
// waiting for it (a hint: nothing happens where it is not supported, for a
// file larger than a quarter of the machine's memory, or for a file this
// process has no descriptor of: it never opens, so never closes, one).
void HintWholeFileWillBeRead(const std::string& path);
// WriteFileSafely with bytes.
void WriteWholeFile(const std::vector<uint8_t>& bytes, const std::string& path);
