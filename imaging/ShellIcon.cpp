#include "ShellIcon.h"

#include "Thumbnail.h"
#include "platform/Paths.h"
#include "platform/Text.h"

#include <QIcon>
#include <QMimeDatabase>
#include <QPainter>

#include <algorithm>
#include <map>
#include <mutex>
#include <tuple>

static void InitShellIconResources() { Q_INIT_RESOURCE(ShellIcon); }

namespace {

std::string ExtensionWithoutDot(const std::string& fileName)
{
    const std::string ext = LowerCase(ExtractFileExt(fileName));
    return ext.empty() ? ext : ext.substr(1);
}

QIcon BundledIcon(const std::string& ext)
{
    static const bool initialised = (InitShellIconResources(), true);
    (void)initialised;
    const std::string known = ext == "jpeg" ? "jpg" : ext == "tiff" ? "tif" : ext == "heif" ? "heic" : ext;
    QIcon icon(QString::fromStdString(":/shellicons/" + known + ".png"));
    if (icon.availableSizes().isEmpty())
        icon = QIcon(QStringLiteral(":/shellicons/generic.png"));
    return icon;
}

} // namespace

QImage ShellIconImage(const std::string& fileName, int width, int height)
{
    const std::string ext = ExtensionWithoutDot(fileName);
    // From the extension alone, as the shell does: no file is touched.
    const QMimeType mime = QMimeDatabase().mimeTypeForFile(QStringLiteral("a.") + QString::fromStdString(ext),
                                                           QMimeDatabase::MatchExtension);
    QIcon icon;
    if (mime.isValid() && !mime.isDefault()) {
        icon = QIcon::fromTheme(mime.iconName());
        if (icon.isNull())
            icon = QIcon::fromTheme(mime.genericIconName());
    }
    if (icon.isNull())
        icon = BundledIcon(ext);
    QImage image(width, height, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    icon.paint(&painter, QRect(0, 0, width, height));
    painter.end();
    return image;
}

QImage CachedShellIconImage(const std::string& fileName, int width, int height)
{
    static std::mutex lock;
    static std::map<std::tuple<std::string, int, int>, QImage> icons;
    const auto key = std::make_tuple(ExtensionWithoutDot(fileName), width, height);
    {
        std::lock_guard guard(lock);
        if (auto it = icons.find(key); it != icons.end())
            return it->second;
    }
    const QImage icon = ShellIconImage(fileName, width, height);
    std::lock_guard guard(lock);
    icons.emplace(key, icon);
    return icon;
}

QImage BrokenImagePicture(int width, int height)
{
    static std::mutex lock;
    static std::map<std::pair<int, int>, QImage> pictures;
    std::lock_guard guard(lock);
    if (auto it = pictures.find({width, height}); it != pictures.end())
        return it->second;
    QIcon icon = QIcon::fromTheme(QStringLiteral("image-missing"));
    if (icon.isNull())
        icon = BundledIcon("broken");
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    const int side = std::min(width, height);
    icon.paint(&painter, QRect((width - side) / 2, (height - side) / 2, side, side));
    painter.end();
    pictures.emplace(std::make_pair(width, height), image);
    return image;
}

void AddShellIcon(const std::string& fileName, TImageList* first, TImageList* second)
{
    const int w = first ? first->Width() : second ? second->Width() : 32;
    const int h = first ? first->Height() : second ? second->Height() : 32;
    const QImage icon = ShellIconImage(fileName, w, h);
    if (first)
        first->Add(icon);
    if (second)
        second->Add(icon);
}
