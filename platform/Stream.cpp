#include "Stream.h"

#include "Exception.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>

#if defined(__linux__)
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

int64_t TStream::Size()
{
    const int64_t here = Position();
    const int64_t end = Seek(0, SeekOrigin::End);
    Seek(here, SeekOrigin::Begin);
    return end;
}

void TStream::ReadBuffer(void* buffer, int64_t count)
{
    if (count > 0 && Read(buffer, count) != count)
        throw EReadError("Stream read error");
}

void TStream::WriteBuffer(const void* buffer, int64_t count)
{
    if (count > 0 && Write(buffer, count) != count)
        throw EWriteError("Stream write error");
}

int64_t TStream::CopyFrom(TStream& source, int64_t count)
{
    if (count == 0) {
        source.SetPosition(0);
        count = source.Size();
    }
    constexpr int64_t kChunk = 64 * 1024;
    std::vector<uint8_t> buf(static_cast<size_t>(std::min(count, kChunk) > 0 ? std::min(count, kChunk) : 1));
    int64_t done = 0;
    while (done < count) {
        const int64_t n = std::min<int64_t>(kChunk, count - done);
        source.ReadBuffer(buf.data(), n);
        WriteBuffer(buf.data(), n);
        done += n;
    }
    return done;
}

// ---- memory stream -------------------------------------------------------

int64_t TMemoryStream::Read(void* buffer, int64_t count)
{
    const int64_t size = Size();
    if (count <= 0 || pos_ >= size)
        return 0;
    const int64_t n = std::min(count, size - pos_);
    std::memcpy(buffer, data_.data() + pos_, static_cast<size_t>(n));
    pos_ += n;
    return n;
}

int64_t TMemoryStream::Write(const void* buffer, int64_t count)
{
    if (count <= 0)
        return 0;
    const int64_t end = pos_ + count;
    if (end > Size())
        data_.resize(static_cast<size_t>(end));
    std::memcpy(data_.data() + pos_, buffer, static_cast<size_t>(count));
    pos_ = end;
    return count;
}

int64_t TMemoryStream::Seek(int64_t offset, SeekOrigin origin)
{
    int64_t base = 0;
    switch (origin) {
    case SeekOrigin::Begin: base = 0; break;
    case SeekOrigin::Current: base = pos_; break;
    case SeekOrigin::End: base = Size(); break;
    }
    pos_ = std::max<int64_t>(0, base + offset);
    return pos_;
}

void TMemoryStream::SetSize(int64_t newSize)
{
    data_.resize(static_cast<size_t>(std::max<int64_t>(0, newSize)));
    pos_ = std::min(pos_, Size());
}

void TMemoryStream::Clear()
{
    data_.clear();
    data_.shrink_to_fit();
    pos_ = 0;
}

std::vector<uint8_t> TMemoryStream::TakeBytes()
{
    std::vector<uint8_t> out;
    out.swap(data_);
    pos_ = 0;
    return out;
}

void TMemoryStream::LoadFromStream(TStream& source)
{
    source.SetPosition(0);
    const int64_t n = source.Size();
    std::vector<uint8_t> bytes(static_cast<size_t>(n));
    source.ReadBuffer(bytes.data(), n);
    data_.swap(bytes);
    pos_ = 0;
}

void TMemoryStream::LoadFromFile(const std::string& path)
{
    data_ = ReadWholeFile(path);
    pos_ = 0;
}

void TMemoryStream::SaveToStream(TStream& dest) const
{
    dest.WriteBuffer(data_.data(), static_cast<int64_t>(data_.size()));
}

void TMemoryStream::SaveToFile(const std::string& path) const
{
    TFileStream file(path, FileMode::Create);
    SaveToStream(file);
}

// ---- file stream ---------------------------------------------------------

struct TFileStream::Impl {
    QFile own;
    QFileDevice* file = &own;
};

TFileStream::TFileStream(const std::string& path, FileMode mode) : impl_(std::make_unique<Impl>()), path_(path)
{
    impl_->own.setFileName(QString::fromStdString(path));
    bool ok = false;
    switch (mode) {
    case FileMode::OpenRead: ok = impl_->own.open(QIODevice::ReadOnly); break;
    case FileMode::OpenReadWrite: ok = impl_->own.open(QIODevice::ReadWrite); break;
    case FileMode::Create: ok = impl_->own.open(QIODevice::WriteOnly | QIODevice::Truncate); break;
    }
    if (!ok) {
        const std::string reason = impl_->own.errorString().toStdString();
        if (mode == FileMode::Create)
            throw EFCreateError(Format("Cannot create file \"%s\". %s", path.c_str(), reason.c_str()));
        throw EFOpenError(Format("Cannot open file \"%s\". %s", path.c_str(), reason.c_str()));
    }
}

TFileStream::TFileStream(QFileDevice& file, const std::string& path) : impl_(std::make_unique<Impl>()), path_(path)
{
    impl_->file = &file;
}

TFileStream::~TFileStream() = default;

int64_t TFileStream::Read(void* buffer, int64_t count)
{
    if (count <= 0)
        return 0;
    const qint64 n = impl_->file->read(static_cast<char*>(buffer), count);
    return n < 0 ? 0 : n;
}

int64_t TFileStream::Write(const void* buffer, int64_t count)
{
    // A full disk may first take part of the bytes without an error; the
    // next try fails and leaves the system's reason on the file.
    const char* bytes = static_cast<const char*>(buffer);
    int64_t done = 0;
    while (done < count) {
        const qint64 n = impl_->file->write(bytes + done, count - done);
        if (n <= 0)
            break;
        done += n;
    }
    return done;
}

int64_t TFileStream::Seek(int64_t offset, SeekOrigin origin)
{
    int64_t base = 0;
    switch (origin) {
    case SeekOrigin::Begin: base = 0; break;
    case SeekOrigin::Current: base = impl_->file->pos(); break;
    case SeekOrigin::End: base = impl_->file->size(); break;
    }
    impl_->file->seek(std::max<int64_t>(0, base + offset));
    return impl_->file->pos();
}

int64_t TFileStream::Size() { return impl_->file->size(); }

void TFileStream::SetSize(int64_t newSize)
{
    if (!impl_->file->resize(newSize))
        throw EWriteError("Stream write error");
}

void TFileStream::Flush()
{
    if (!impl_->file->flush())
        throw EWriteError(Format("Cannot write file \"%s\". %s", path_.c_str(),
                                 impl_->file->errorString().toStdString().c_str()));
}

std::vector<uint8_t> ReadWholeFile(const std::string& path)
{
    TFileStream file(path, FileMode::OpenRead);
    const int64_t n = file.Size();
    std::vector<uint8_t> bytes(static_cast<size_t>(n));
    file.ReadBuffer(bytes.data(), n);
    return bytes;
}

namespace {

// Why path cannot be opened for writing, in the words a plain create of it
// uses: QSaveFile words some refusals its own way (a folder, a read-only
// file). The probe neither truncates nor creates, so nothing changes.
QString PlainRefusal(const QString& path, const QString& fallback)
{
    if (!QFileInfo::exists(path))
        return fallback;
    QFile probe(path);
    if (probe.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::ExistingOnly))
        return fallback;
    return probe.errorString();
}

} // namespace

void WriteFileSafely(const std::string& path, const std::function<void(TStream& file)>& write)
{
    // QSaveFile writes a file of its own in path's folder and renames it
    // over path in commit, after syncing it; destroyed without a commit, it
    // removes that file. Nothing touches path before the rename, so a
    // failure at any step leaves path as it was. No direct-write fallback:
    // that would truncate path first.
    QSaveFile file(QString::fromStdString(path));
    const auto cannotCreate = [&](const QString& reason) {
        return EFCreateError(Format("Cannot create file \"%s\". %s", path.c_str(), reason.toStdString().c_str()));
    };
    if (!file.open(QIODevice::WriteOnly))
        throw cannotCreate(PlainRefusal(file.fileName(), file.errorString()));
    try {
        TFileStream stream(file, path);
        write(stream);
    } catch (const EWriteError&) {
        if (file.error() == QFileDevice::NoError)
            throw;
        throw cannotCreate(file.errorString()); // the disk refused: say why
    }
    // What the buffer still holds must reach the file before commit, so a
    // full disk is reported here rather than lost when the file closes.
    if (!file.flush() || !file.commit())
        throw cannotCreate(file.errorString());
}

void WriteWholeFile(const std::vector<uint8_t>& bytes, const std::string& path)
{
    WriteFileSafely(path, [&](TStream& file) { file.WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size())); });
}

void HintWholeFileWillBeRead(const std::string& path)
{
#if defined(__linux__)
    // Closing any descriptor of a file drops every POSIX lock this process
    // holds on it (the vault engine's among them): never open one here, ask
    // through one that is open already.
    struct stat want {};
    const long pages = ::sysconf(_SC_PHYS_PAGES), pageSize = ::sysconf(_SC_PAGE_SIZE);
    if (::stat(path.c_str(), &want) != 0 || !S_ISREG(want.st_mode) || pages <= 0 || pageSize <= 0 ||
        want.st_size > int64_t(pages) * pageSize / 4)
        return;
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir)
        return;
    const int listing = ::dirfd(dir);
    while (const dirent* entry = ::readdir(dir)) {
        char* end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || fd == listing)
            continue;
        // A descriptor closed and reused meanwhile fails the match, or at
        // worst gets a harmless hint.
        struct stat st {};
        if (::fstat(static_cast<int>(fd), &st) == 0 && st.st_dev == want.st_dev && st.st_ino == want.st_ino) {
            ::posix_fadvise(static_cast<int>(fd), 0, 0, POSIX_FADV_WILLNEED);
            break;
        }
    }
    ::closedir(dir);
#else
    (void)path;
#endif
}

std::vector<uint8_t> ReadRestOfStream(TStream& stream)
{
    const int64_t size = stream.Size() - stream.Position();
    std::vector<uint8_t> bytes(static_cast<size_t>(std::max<int64_t>(size, 0)));
    if (!bytes.empty())
        stream.ReadBuffer(bytes.data(), size);
    return bytes;
}
