#include "Paths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

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
