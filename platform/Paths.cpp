#include "Paths.h"

#include "Exception.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <algorithm>
#include <cctype>
#include <string_view>

namespace {
bool EndsInSeparator(const std::string& s) { return !s.empty() && (s.back() == '/' || s.back() == '\\'); }
} // namespace

std::string IncludeTrailingSeparator(const std::string& path)
{
    if (EndsInSeparator(path))
        return path;
    return path + "/";
}

std::string SystemTempPath() { return IncludeTrailingSeparator(QDir::tempPath().toStdString()); }

TPrivateTempFolder::TPrivateTempFolder()
{
    const QString cache = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation);
    for (const QString& base : {QDir::tempPath(), cache.isEmpty() ? QString() : cache + "/glimmerbox"}) {
        if (base.isEmpty())
            continue;
        if (base != QDir::tempPath())
            QDir().mkpath(base); // the cache folder may not be there yet
        // Made with mode 0700 under a name no one can guess; an existing
        // folder of that name is never reused.
        auto dir = std::make_unique<QTemporaryDir>(base + "/glimmerbox-XXXXXX");
        if (dir->isValid()) {
            path_ = IncludeTrailingSeparator(dir->path().toStdString());
            owner_ = QFileInfo(dir->path()).ownerId();
            dir_ = std::move(dir);
            error_.clear();
            return;
        }
        if (error_.empty())
            error_ = Format("Cannot create a folder in \"%s\". %s", base.toStdString().c_str(),
                            dir->errorString().toStdString().c_str());
    }
}

TPrivateTempFolder::~TPrivateTempFolder()
{
    // A folder of that name that is no longer ours is left to its owner.
    if (dir_ && !Intact())
        dir_->setAutoRemove(false);
}

bool TPrivateTempFolder::Intact() const
{
    if (!dir_)
        return false;
    const QFileInfo info(dir_->path());
    const QFile::Permissions others = QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup | QFile::ReadOther |
                                      QFile::WriteOther | QFile::ExeOther;
    return info.isDir() && !info.isSymLink() && info.ownerId() == owner_ && !(info.permissions() & others);
}

std::string SettingsDirectory()
{
    const QByteArray windir = qgetenv("windir");
    if (!windir.isEmpty())
        return windir.toStdString();
    const QByteArray xdg = qgetenv("XDG_CONFIG_HOME");
    if (!xdg.isEmpty())
        return xdg.toStdString();
    return (QDir::homePath() + "/.config").toStdString();
}

std::string ExtractFileName(const std::string& path)
{
    const size_t cut = path.find_last_of("/\\");
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

std::string ExtractFileExt(const std::string& path)
{
    const std::string name = ExtractFileName(path);
    const size_t dot = name.find_last_of('.');
    return dot == std::string::npos ? std::string() : name.substr(dot);
}

bool FileExists(const std::string& path)
{
    const QFileInfo info(QString::fromStdString(path));
    return info.exists() && !info.isDir();
}

bool DeleteFile(const std::string& path) { return QFile::remove(QString::fromStdString(path)); }

namespace {
bool IsDeviceName(const std::string& name)
{
    // Windows opens the device for these whatever extension follows.
    std::string stem = name.substr(0, name.find('.'));
    while (!stem.empty() && stem.back() == ' ')
        stem.pop_back();
    std::transform(stem.begin(), stem.end(), stem.begin(), [](unsigned char c) { return char(std::toupper(c)); });
    if (stem == "CON" || stem == "PRN" || stem == "AUX" || stem == "NUL")
        return true;
    return stem.size() == 4 && (stem.compare(0, 3, "COM") == 0 || stem.compare(0, 3, "LPT") == 0) && stem[3] >= '1' &&
           stem[3] <= '9';
}
} // namespace

std::string SafeFileName(const std::string& name)
{
    std::string out = name;
    for (char& c : out) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F || std::string_view("/\\:*?\"<>|").find(c) != std::string_view::npos)
            c = '_';
    }
    if (out.find_first_not_of('.') == std::string::npos)
        return std::string(std::max<size_t>(out.size(), 1), '_');
    if (IsDeviceName(out))
        out.insert(0, 1, '_');
    return out;
}
