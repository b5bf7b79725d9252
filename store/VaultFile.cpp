#include "store/VaultFile.h"

#include "store/VaultTable.h"

#include <sqlite3.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vaultfile {

namespace {

constexpr int64_t kHeaderSize = 100;
constexpr char kMagic[] = "SQLite format 3"; // followed by a NUL: 16 bytes
constexpr int64_t kWriteChunk = 1 << 20;

uint32_t Big16(const unsigned char* p) { return static_cast<uint32_t>(p[0] << 8 | p[1]); }
uint32_t Big32(const unsigned char* p)
{
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
           static_cast<uint32_t>(p[3]);
}

class FileDescriptor {
public:
    explicit FileDescriptor(int fd = -1) : fd_(fd) {}
    ~FileDescriptor()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int Get() const { return fd_; }
    void Reset(int fd)
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }
    // Closes and reports the result (a failed close can mean lost data).
    int Close()
    {
        const int rc = ::close(fd_);
        fd_ = -1;
        return rc;
    }

private:
    int fd_;
};

// The new file beside the target: removed again unless it was renamed.
struct TempFile {
    std::string path;
    FileDescriptor fd;
    bool renamed = false;
    ~TempFile()
    {
        fd.Reset(-1);
        if (!path.empty() && !renamed)
            ::unlink(path.c_str());
    }
};

[[noreturn]] void Refuse(const std::string& path, const std::string& reason)
{
    throw EDatabaseError(RefusalMessage(path, reason));
}

[[noreturn]] void WriteFailed(const std::string& target, int error)
{
    throw EDatabaseError(Format("Cannot write vault \"%s\": %s.", target.c_str(), std::strerror(error)));
}

// Checks the 100-byte database header against what a vault must be.
void CheckHeader(const std::string& path, const unsigned char* h, int64_t fileSize)
{
    if (fileSize < 16 || std::memcmp(h, kMagic, sizeof kMagic) != 0)
        Refuse(path, "it is not an SQLite database");
    if (fileSize < kHeaderSize)
        Refuse(path, "the file is truncated");
    uint32_t pageSize = Big16(h + 16);
    if (pageSize == 1)
        pageSize = 65536;
    if (pageSize < 512 || pageSize > 65536 || (pageSize & (pageSize - 1)) != 0)
        Refuse(path, "its header is damaged");
    const uint32_t appId = Big32(h + 68);
    if (appId != kApplicationId)
        Refuse(path, kForeignDatabaseReason);
    const uint32_t version = Big32(h + 60);
    if (version > kFormatVersion)
        Refuse(path, Format("it was written by a newer version of Glimmerbox (format %u)", version));
    if (version < 1)
        Refuse(path, Format("its format version %u is unknown", version));
    if (h[18] == 2 || h[19] == 2)
        Refuse(path, "it is in write-ahead-log mode; switch it back with PRAGMA journal_mode=DELETE");
    if (fileSize % pageSize != 0)
        Refuse(path, "the file is truncated or damaged");
    // The page count in the header is trustworthy when the change counter
    // matches the version-valid-for number (SQLite file format, 1.3.14).
    const uint32_t pages = Big32(h + 28);
    if (pages != 0 && Big32(h + 24) == Big32(h + 92) && fileSize < static_cast<int64_t>(pages) * pageSize)
        Refuse(path, "the file is truncated");
}

bool ReadFully(int fd, unsigned char* into, int64_t count, int64_t offset)
{
    while (count > 0) {
        const ssize_t n = ::pread(fd, into, static_cast<size_t>(count), offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        into += n;
        offset += n;
        count -= n;
    }
    return true;
}

std::string ParentDirectory(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

} // namespace

TEngineBuffer::TEngineBuffer(int64_t size)
    : data_(static_cast<unsigned char*>(sqlite3_malloc64(static_cast<sqlite3_uint64>(size)))), size_(size)
{
    if (!data_)
        throw EDatabaseError(Format("Not enough memory for %lld bytes.", static_cast<long long>(size)));
}

TEngineBuffer TEngineBuffer::Adopt(unsigned char* data, int64_t size) noexcept
{
    TEngineBuffer b;
    b.data_ = data;
    b.size_ = size;
    return b;
}

TEngineBuffer::~TEngineBuffer() { sqlite3_free(data_); }

TEngineBuffer::TEngineBuffer(TEngineBuffer&& other) noexcept : data_(other.data_), size_(other.size_)
{
    other.data_ = nullptr;
    other.size_ = 0;
}

unsigned char* TEngineBuffer::Release() noexcept
{
    unsigned char* p = data_;
    data_ = nullptr;
    size_ = 0;
    return p;
}

std::string RefusalMessage(const std::string& path, const std::string& reason)
{
    return Format("Cannot open vault \"%s\": %s.", path.c_str(), reason.c_str());
}

TEngineBuffer ReadVaultFile(const std::string& path, const std::string& componentName)
{
    const std::string missing = componentName + ": Missing data provider or data packet";
    if (path.empty())
        throw EDatabaseError(missing);
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.Get() < 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            throw EDatabaseError(missing);
        throw EFOpenError(Format("Cannot open file \"%s\". %s", path.c_str(), std::strerror(errno)));
    }
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0)
        throw EFOpenError(Format("Cannot open file \"%s\". %s", path.c_str(), std::strerror(errno)));
    if (S_ISDIR(st.st_mode))
        throw EFOpenError(Format("Cannot open file \"%s\". %s", path.c_str(), std::strerror(EISDIR)));
    if (!S_ISREG(st.st_mode))
        Refuse(path, "it is not a regular file");
    const int64_t size = st.st_size;
    if (size == 0)
        Refuse(path, "the file is empty");

    unsigned char header[kHeaderSize] = {};
    const int64_t headLength = size < kHeaderSize ? size : kHeaderSize;
    if (!ReadFully(fd.Get(), header, headLength, 0))
        throw EFOpenError(Format("Cannot open file \"%s\". %s", path.c_str(), std::strerror(errno ? errno : EIO)));
    CheckHeader(path, header, size);

    TEngineBuffer buffer(size);
    std::memcpy(buffer.Data(), header, kHeaderSize);
    errno = 0;
    if (!ReadFully(fd.Get(), buffer.Data() + kHeaderSize, size - kHeaderSize, kHeaderSize))
        Refuse(path, errno ? std::string(std::strerror(errno)) : std::string("the file changed while it was read"));
    return buffer;
}

void WriteFileAtomically(const std::string& target, const unsigned char* data, int64_t size, const TWriteProbe& probe)
{
    static std::atomic<unsigned> counter{0};
    auto report = [&](TWriteStage stage, int64_t done) {
        if (probe)
            probe(stage, done);
    };

    // Replace the file a symbolic link names, not the link.
    std::string real = target;
    struct stat st {};
    if (::lstat(target.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        if (char* resolved = ::realpath(target.c_str(), nullptr)) {
            real = resolved;
            std::free(resolved);
        }
    }
    const bool exists = ::stat(real.c_str(), &st) == 0;

    // The new file lives in the target's directory so that the rename is
    // atomic (same file system); O_EXCL never reuses someone else's file.
    TempFile temp;
    for (int attempt = 0; temp.fd.Get() < 0; ++attempt) {
        temp.path = Format("%s.%ld.%u.tmp", real.c_str(), static_cast<long>(::getpid()), counter++);
        temp.fd.Reset(::open(temp.path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        if (temp.fd.Get() < 0 && (errno != EEXIST || attempt > 100)) {
            const int error = errno;
            temp.path.clear();
            WriteFailed(target, error);
        }
    }
    if (exists)
        (void)::fchmod(temp.fd.Get(), st.st_mode & 07777); // keep the old file's permissions
    report(TWriteStage::TempCreated, 0);

    int64_t done = 0;
    while (done < size) {
        const int64_t n = size - done < kWriteChunk ? size - done : kWriteChunk;
        const ssize_t w = ::write(temp.fd.Get(), data + done, static_cast<size_t>(n));
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            WriteFailed(target, w < 0 ? errno : ENOSPC);
        done += w;
        report(TWriteStage::ChunkWritten, done);
    }
    // The bytes must be on the disk before the name points at them, or a
    // crash after the rename could leave an empty or partial vault.
    if (::fsync(temp.fd.Get()) != 0)
        WriteFailed(target, errno);
    report(TWriteStage::Synced, done);
    if (temp.fd.Close() != 0)
        WriteFailed(target, errno);
    report(TWriteStage::BeforeRename, done);
    if (::rename(temp.path.c_str(), real.c_str()) != 0)
        WriteFailed(target, errno);
    temp.renamed = true;

    // Make the rename itself durable. File systems that cannot sync a
    // directory say so with EINVAL; that is no failure of the write.
    FileDescriptor dir(::open(ParentDirectory(real).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.Get() >= 0 && ::fsync(dir.Get()) != 0 && errno != EINVAL && errno != EROFS)
        throw EDatabaseError(Format("Vault \"%s\" was written, but its directory could not be flushed to disk: %s.",
                                    target.c_str(), std::strerror(errno)));
}

} // namespace vaultfile
