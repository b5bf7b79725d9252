#include "Stream.h"

#include "Exception.h"

#include <QFile>
#include <QSaveFile>
#include <algorithm>
#include <cstring>
#include <limits>

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
    QFile file;
};

TFileStream::TFileStream(const std::string& path, FileMode mode) : impl_(std::make_unique<Impl>()), path_(path)
{
    impl_->file.setFileName(QString::fromStdString(path));
    bool ok = false;
    switch (mode) {
    case FileMode::OpenRead: ok = impl_->file.open(QIODevice::ReadOnly); break;
    case FileMode::OpenReadWrite: ok = impl_->file.open(QIODevice::ReadWrite); break;
    case FileMode::Create: ok = impl_->file.open(QIODevice::WriteOnly | QIODevice::Truncate); break;
    }
    if (!ok) {
        const std::string reason = impl_->file.errorString().toStdString();
        if (mode == FileMode::Create)
            throw EFCreateError(Format("Cannot create file \"%s\". %s", path.c_str(), reason.c_str()));
        throw EFOpenError(Format("Cannot open file \"%s\". %s", path.c_str(), reason.c_str()));
    }
}

TFileStream::~TFileStream() = default;

int64_t TFileStream::Read(void* buffer, int64_t count)
{
    if (count <= 0)
        return 0;
    const qint64 n = impl_->file.read(static_cast<char*>(buffer), count);
    return n < 0 ? 0 : n;
}

int64_t TFileStream::Write(const void* buffer, int64_t count)
{
    if (count <= 0)
        return 0;
    const qint64 n = impl_->file.write(static_cast<const char*>(buffer), count);
    return n < 0 ? 0 : n;
}

int64_t TFileStream::Seek(int64_t offset, SeekOrigin origin)
{
    int64_t base = 0;
    switch (origin) {
    case SeekOrigin::Begin: base = 0; break;
    case SeekOrigin::Current: base = impl_->file.pos(); break;
    case SeekOrigin::End: base = impl_->file.size(); break;
    }
    impl_->file.seek(std::max<int64_t>(0, base + offset));
    return impl_->file.pos();
}

int64_t TFileStream::Size() { return impl_->file.size(); }

void TFileStream::SetSize(int64_t newSize)
{
    if (!impl_->file.resize(newSize))
        throw EWriteError("Stream write error");
}

void TFileStream::Flush()
{
    if (!impl_->file.flush())
        throw EWriteError(Format("Cannot write file \"%s\". %s", path_.c_str(),
                                 impl_->file.errorString().toStdString().c_str()));
}

std::vector<uint8_t> ReadWholeFile(const std::string& path)
{
    TFileStream file(path, FileMode::OpenRead);
    const int64_t n = file.Size();
    std::vector<uint8_t> bytes(static_cast<size_t>(n));
    file.ReadBuffer(bytes.data(), n);
    return bytes;
}

void WriteWholeFile(const std::vector<uint8_t>& bytes, const std::string& path)
{
    QSaveFile file(QString::fromStdString(path));
    const auto size = static_cast<qint64>(bytes.size());
    if (!file.open(QIODevice::WriteOnly) || file.write(reinterpret_cast<const char*>(bytes.data()), size) != size ||
        !file.commit())
        throw EFCreateError(Format("Cannot create file \"%s\". %s", path.c_str(), file.errorString().toStdString().c_str()));
}
