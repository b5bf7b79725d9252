// Renders the thumbnail of every file in a folder, as the catalogue makes
// it, into one PNG with the file name, natural size or error message under
// each. For looking at what the loaders make of real files.
#include "imaging/ImageKinds.h"
#include "imaging/Thumbnail.h"
#include "platform/Exception.h"
#include "platform/Stream.h"
#include "platform/QtMessages.h"

#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>

#include <cstdio>
#include <cstdlib>

namespace {

constexpr int kColumns = 8;
constexpr int kLabelHeight = 30;
constexpr int kPad = 6;

struct Cell {
    QString name;
    QImage thumbnail; // null when the file gave an error
    QString note;     // natural size or the error message
};

Cell RenderCell(const QFileInfo& file, int size)
{
    Cell cell{file.fileName(), {}, {}};
    const std::string path = file.absoluteFilePath().toStdString();
    const ImageKind kind = KindLetterOfFile(path);
    if (!IsAcceptedImageFile(path)) {
        cell.note = QStringLiteral("(not an image kind)");
        return cell;
    }
    try {
        TFileStream stream(path, FileMode::OpenRead);
        TBitmap natural;
        KindOf(kind).Loader(stream, natural);
        TBitmap thumbnail(size, size);
        StretchToFit(natural, thumbnail);
        cell.thumbnail = thumbnail.ToQImage();
        cell.note = QStringLiteral("%1 x %2, %3 bit").arg(natural.Width()).arg(natural.Height()).arg(BitsPerPixel(natural.PixelFormat()));
    } catch (const std::exception& e) {
        cell.note = QString::fromStdString(e.what());
    }
    return cell;
}

} // namespace

int main(int argc, char** argv)
{
    InstallQuietQtMessages();
    if (argc < 3) {
        std::fprintf(stderr, "usage: contactsheet <folder> <out.png> [thumbnail size]\n");
        return 2;
    }
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const int size = argc > 3 ? std::max(8, std::atoi(argv[3])) : 96;
    const QFileInfoList files = QDir(QString::fromLocal8Bit(argv[1])).entryInfoList(QDir::Files, QDir::Name);
    std::vector<Cell> cells;
    for (const QFileInfo& f : files) {
        if (f.suffix() == QLatin1String("md") || f.suffix() == QLatin1String("txt"))
            continue;
        cells.push_back(RenderCell(f, size));
    }
    const int cellW = std::max(size, 140) + 2 * kPad, cellH = size + kLabelHeight + 2 * kPad;
    const int rows = std::max<int>(1, int((cells.size() + kColumns - 1) / kColumns));
    QImage sheet(kColumns * cellW, rows * cellH, QImage::Format_RGB32);
    sheet.fill(QColor(200, 200, 200));
    QPainter p(&sheet);
    QFont font = p.font();
    font.setPixelSize(10);
    p.setFont(font);
    int ok = 0;
    for (size_t i = 0; i < cells.size(); ++i) {
        const int x = int(i % kColumns) * cellW, y = int(i / kColumns) * cellH;
        const Cell& c = cells[i];
        const QRect thumbRect(x + (cellW - size) / 2, y + kPad, size, size);
        if (!c.thumbnail.isNull()) {
            p.drawImage(thumbRect.topLeft(), c.thumbnail);
            ++ok;
        } else {
            p.fillRect(thumbRect, QColor(255, 220, 220));
        }
        p.setPen(Qt::black);
        p.drawText(QRect(x + 2, y + kPad + size + 1, cellW - 4, 14), Qt::AlignHCenter | Qt::TextSingleLine,
                   p.fontMetrics().elidedText(c.name, Qt::ElideMiddle, cellW - 4));
        p.setPen(c.thumbnail.isNull() ? QColor(180, 0, 0) : QColor(60, 60, 60));
        p.drawText(QRect(x + 2, y + kPad + size + 14, cellW - 4, 14), Qt::AlignHCenter | Qt::TextSingleLine,
                   p.fontMetrics().elidedText(c.note, Qt::ElideRight, cellW - 4));
    }
    p.end();
    if (!sheet.save(QString::fromLocal8Bit(argv[2]), "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", argv[2]);
        return 1;
    }
    std::printf("%zu files, %d thumbnails, %zu errors -> %s\n", cells.size(), ok, cells.size() - size_t(ok), argv[2]);
    return 0;
}
