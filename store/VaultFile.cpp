#include "store/VaultFile.h"

#include "store/VaultTable.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace vaultfile {

namespace {

constexpr char kMagic[] = "SQLite format 3"; // followed by a NUL: 16 bytes

uint32_t Big16(const unsigned char* p) { return static_cast<uint32_t>(p[0] << 8 | p[1]); }
uint32_t Big32(const unsigned char* p)
{
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
           static_cast<uint32_t>(p[3]);
}

[[noreturn]] void Refuse(const std::string& path, const std::string& reason)
{
    throw EDatabaseError(RefusalMessage(path, reason));
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

std::string RefusalMessage(const std::string& path, const std::string& reason)
{
    return Format("Cannot open vault \"%s\": %s.", path.c_str(), reason.c_str());
}

void WriteFailed(const std::string& target, int error)
{
    throw EDatabaseError(Format("Cannot write vault \"%s\": %s.", target.c_str(), std::strerror(error)));
}

void CheckHeader(const std::string& path, const unsigned char* h, int64_t fileSize, bool checkLength)
{
    if (fileSize == 0)
        Refuse(path, "the file is empty");
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
    if (!checkLength)
        return;
    if (fileSize % pageSize != 0)
        Refuse(path, "the file is truncated or damaged");
    // The page count in the header is trustworthy when the change counter
    // matches the version-valid-for number (SQLite file format, 1.3.14).
    const uint32_t pages = Big32(h + 28);
    if (pages != 0 && Big32(h + 24) == Big32(h + 92) && fileSize < static_cast<int64_t>(pages) * pageSize)
        Refuse(path, "the file is truncated");
}

bool LooksLikeVault(const std::string& path, const std::string& openFile)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    struct stat open {};
    if (!openFile.empty() && ::stat(openFile.c_str(), &open) == 0 && open.st_dev == st.st_dev && open.st_ino == st.st_ino)
        return true;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    unsigned char h[kHeaderSize] = {};
    const ssize_t got = ::pread(fd, h, sizeof h, 0);
    ::close(fd);
    return got >= 72 && std::memcmp(h, kMagic, sizeof kMagic) == 0 && Big32(h + 68) == kApplicationId;
}

TFileIdentity IdentityOf(const std::string& path)
{
    struct statx sx {};
    if (::statx(AT_FDCWD, path.c_str(), 0, STATX_INO | STATX_BTIME, &sx) != 0)
        return {};
    TFileIdentity id;
    id.device = makedev(sx.stx_dev_major, sx.stx_dev_minor);
    id.inode = sx.stx_ino;
    if (sx.stx_mask & STATX_BTIME)
        id.birth = static_cast<int64_t>(sx.stx_btime.tv_sec) * 1000000000 + sx.stx_btime.tv_nsec;
    return id;
}

std::string ResolvedPath(const std::string& path)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        if (char* resolved = ::realpath(path.c_str(), nullptr)) {
            std::string real = resolved;
            std::free(resolved);
            return real;
        }
    }
    return path;
}

bool IsAbandonedByEndedProcess(const std::string& path, long pid)
{
    struct stat st {};
    if (pid <= 0 || ::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::getuid())
        return false;
    // Its program still runs (or may: not ours to judge).
    return ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

int RemoveAbandonedSiblings(const std::string& target)
{
    const std::string real = ResolvedPath(target);
    const size_t slash = real.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : real.substr(0, slash);
    const std::string prefix = (slash == std::string::npos ? real : real.substr(slash + 1)) + ".";
    int removed = 0;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0)
            continue;
        // <pid>.<n>.tmp, nothing else
        const char* digits = name.c_str() + prefix.size();
        char* rest = nullptr;
        errno = 0;
        const long pid = std::strtol(digits, &rest, 10);
        if (rest == digits || *rest != '.' || errno != 0)
            continue;
        const char* counter = rest + 1;
        (void)std::strtol(counter, &rest, 10);
        if (rest == counter || std::strcmp(rest, ".tmp") != 0)
            continue;
        const std::string path = it->path().string();
        if (!IsAbandonedByEndedProcess(path, pid))
            continue;
        if (::unlink(path.c_str()) == 0)
            ++removed;
        ::unlink((path + "-journal").c_str());
    }
    return removed;
}

TSiblingFile::TSiblingFile(const std::string& target) : target_(target), real_(ResolvedPath(target))
{
    RemoveAbandonedSiblings(target);
    struct stat st {};
    create_ = ::lstat(real_.c_str(), &st) != 0 && errno == ENOENT;
    static std::atomic<unsigned> counter{0};
    // O_EXCL never reuses someone else's file.
    for (int attempt = 0;; ++attempt) {
        path_ = Format("%s.%ld.%u.tmp", real_.c_str(), static_cast<long>(::getpid()), counter++);
        const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            ::close(fd);
            return;
        }
        if (errno != EEXIST || attempt > 100) {
            const int error = errno;
            path_.clear();
            WriteFailed(target_, error);
        }
    }
}

TSiblingFile::~TSiblingFile()
{
    if (!path_.empty() && !renamed_) {
        ::unlink(path_.c_str());
        ::unlink((path_ + "-journal").c_str());
    }
}

void TSiblingFile::Replace(const TWriteProbe& probe, int64_t bytesWritten)
{
    auto report = [&](TWriteStage stage) {
        if (probe)
            probe(stage, bytesWritten);
    };
    {
        // The bytes must be on the disk before the name points at them, or a
        // crash after the rename could leave an empty or partial vault.
        const int fd = ::open(path_.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0)
            WriteFailed(target_, errno);
        struct stat st {};
        if (::stat(real_.c_str(), &st) == 0)
            (void)::fchmod(fd, st.st_mode & 07777); // keep the old file's permissions
        const bool synced = ::fsync(fd) == 0;
        const int error = errno;
        ::close(fd);
        if (!synced)
            WriteFailed(target_, error);
    }
    report(TWriteStage::Synced);
    report(TWriteStage::BeforeRename);
    if (create_) {
        // A new vault never replaces one another program made meanwhile
        // under the same name (two creators at once): the second one fails.
        int rc = ::renameat2(AT_FDCWD, path_.c_str(), AT_FDCWD, real_.c_str(), RENAME_NOREPLACE);
        if (rc != 0 && (errno == EINVAL || errno == ENOSYS)) {
            rc = ::link(path_.c_str(), real_.c_str());
            if (rc == 0)
                ::unlink(path_.c_str());
        }
        if (rc != 0 && errno == EEXIST)
            throw EDatabaseError(Format("Cannot write vault \"%s\": another program made a file of that name while "
                                        "it was being written; that file is left as it is.",
                                        target_.c_str()));
        if (rc != 0)
            WriteFailed(target_, errno);
    } else if (::rename(path_.c_str(), real_.c_str()) != 0) {
        WriteFailed(target_, errno);
    }
    renamed_ = true;
    // Make the rename itself durable where the file system can. The vault
    // was written either way, so a failure here is no failure of the write.
    const int dir = ::open(ParentDirectory(real_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        (void)::fsync(dir);
        ::close(dir);
    }
}

} // namespace vaultfile
