#include "imaging/ImageFiles.h"

#include "imaging/ImageKinds.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>

#include <algorithm>

namespace {

// Entries between two calls of idle: a folder of thousands stays responsive.
constexpr int kEntriesPerBreath = 256;

} // namespace

TImageFileWalk CollectImageFiles(const std::vector<std::string>& paths, const std::function<void()>& idle)
{
    TImageFileWalk walk;
    int entries = 0;
    for (const std::string& path : paths) {
        const QFileInfo info(QString::fromStdString(path));
        if (info.isDir()) {
            std::vector<std::string> found;
            std::vector<std::string> others;
            QDirIterator it(info.filePath(), QDir::Files | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
            while (it.hasNext()) {
                const std::string file = it.next().toStdString();
                (IsAcceptedImageFile(file) ? found : others).push_back(file);
                if (idle && ++entries % kEntriesPerBreath == 0)
                    idle();
            }
            std::sort(found.begin(), found.end());
            std::sort(others.begin(), others.end());
            walk.files.insert(walk.files.end(), found.begin(), found.end());
            walk.skipped.insert(walk.skipped.end(), others.begin(), others.end());
        } else if (info.exists()) {
            walk.files.push_back(path);
        } else {
            walk.missing.push_back(path);
        }
    }
    return walk;
}
