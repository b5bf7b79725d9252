#include "ActionGlyphs.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace {

struct GlyphSpec {
    const char* themeName;
    QColor colour;
};

GlyphSpec Spec(Glyph g)
{
    switch (g) {
    case Glyph::New: return {"document-new", QColor(0x2e, 0x7d, 0x32)};
    case Glyph::Open: return {"document-open", QColor(0xc7, 0x8b, 0x1a)};
    case Glyph::SaveAs: return {"document-save-as", QColor(0x1f, 0x5f, 0xbf)};
    case Glyph::Exit: return {"application-exit", QColor(0x9e, 0x1c, 0x1c)};
    case Glyph::Add: return {"list-add", QColor(0x2e, 0x7d, 0x32)};
    case Glyph::Delete: return {"edit-delete", QColor(0xc6, 0x28, 0x28)};
    case Glyph::Rename: return {"edit-rename", QColor(0x55, 0x55, 0x55)};
    case Glyph::SelectAll: return {"edit-select-all", QColor(0x1f, 0x5f, 0xbf)};
    case Glyph::Extract: return {"document-export", QColor(0x6a, 0x1b, 0x9a)};
    case Glyph::Copy: return {"edit-copy", QColor(0x1f, 0x5f, 0xbf)};
    case Glyph::ViewIcons: return {"view-list-details", QColor(0x37, 0x47, 0x4f)};
    case Glyph::ViewThumbnails: return {"view-list-icons", QColor(0x37, 0x47, 0x4f)};
    case Glyph::ThumbnailSize: return {"zoom-fit-best", QColor(0x37, 0x47, 0x4f)};
    case Glyph::Preview: return {"document-print-preview", QColor(0x00, 0x83, 0x8f)};
    case Glyph::Statistic: return {"office-chart-bar", QColor(0xef, 0x6c, 0x00)};
    case Glyph::Empty: return {"edit-clear-all", QColor(0xc6, 0x28, 0x28)};
    case Glyph::Password: return {"dialog-password", QColor(0x8d, 0x6e, 0x63)};
    case Glyph::About: return {"help-about", QColor(0x1f, 0x5f, 0xbf)};
    }
    return {"", Qt::gray};
}

void DrawGlyph(QPainter& p, Glyph g, const QColor& c)
{
    p.setRenderHint(QPainter::Antialiasing);
    QPen pen(c, 1.6);
    pen.setCapStyle(Qt::RoundCap);
    pen.setJoinStyle(Qt::RoundJoin);
    p.setPen(pen);
    const QColor fill = c.lighter(170);
    auto page = [&] {
        QPainterPath path;
        path.moveTo(3.5, 1.5);
        path.lineTo(10, 1.5);
        path.lineTo(13, 4.5);
        path.lineTo(13, 14.5);
        path.lineTo(3.5, 14.5);
        path.closeSubpath();
        p.fillPath(path, Qt::white);
        p.setPen(QPen(QColor(0x60, 0x60, 0x60), 1));
        p.drawPath(path);
        p.setPen(pen);
    };
    switch (g) {
    case Glyph::New:
        page();
        p.drawLine(QPointF(8, 6), QPointF(8, 12));
        p.drawLine(QPointF(5, 9), QPointF(11, 9));
        break;
    case Glyph::Open:
        p.setBrush(fill);
        p.drawRect(QRectF(1.5, 4.5, 13, 9));
        p.drawLine(QPointF(1.5, 4.5), QPointF(6, 4.5));
        p.drawRect(QRectF(1.5, 3, 5, 1.5));
        break;
    case Glyph::SaveAs:
        p.setBrush(fill);
        p.drawRect(QRectF(2, 2, 12, 12));
        p.setBrush(Qt::white);
        p.drawRect(QRectF(4.5, 2, 7, 4.5));
        p.drawRect(QRectF(4, 9, 8, 5));
        break;
    case Glyph::Exit:
        p.drawRect(QRectF(2, 2, 8, 12));
        p.drawLine(QPointF(7, 8), QPointF(14, 8));
        p.drawLine(QPointF(11.5, 5.5), QPointF(14, 8));
        p.drawLine(QPointF(11.5, 10.5), QPointF(14, 8));
        break;
    case Glyph::Add:
        p.setPen(QPen(c, 2.6, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(8, 2.5), QPointF(8, 13.5));
        p.drawLine(QPointF(2.5, 8), QPointF(13.5, 8));
        break;
    case Glyph::Delete:
    case Glyph::Empty:
        p.setPen(QPen(c, 2.4, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(3.5, 3.5), QPointF(12.5, 12.5));
        p.drawLine(QPointF(12.5, 3.5), QPointF(3.5, 12.5));
        if (g == Glyph::Empty) {
            p.setPen(QPen(c, 1));
            p.drawRect(QRectF(1.5, 1.5, 13, 13));
        }
        break;
    case Glyph::Rename:
        p.drawRect(QRectF(1.5, 5.5, 13, 6));
        p.drawLine(QPointF(9, 3), QPointF(9, 14));
        p.drawLine(QPointF(7.5, 3), QPointF(10.5, 3));
        p.drawLine(QPointF(7.5, 14), QPointF(10.5, 14));
        break;
    case Glyph::SelectAll:
        p.setPen(QPen(c, 1, Qt::DashLine));
        p.drawRect(QRectF(1.5, 1.5, 13, 13));
        p.setPen(pen);
        p.setBrush(fill);
        p.drawRect(QRectF(4.5, 4.5, 7, 7));
        break;
    case Glyph::Extract:
        page();
        p.drawLine(QPointF(8, 5), QPointF(8, 12));
        p.drawLine(QPointF(5.5, 9.5), QPointF(8, 12));
        p.drawLine(QPointF(10.5, 9.5), QPointF(8, 12));
        break;
    case Glyph::Copy:
        // Two pages, the front one over the back one.
        p.setBrush(fill);
        p.drawRect(QRectF(1.5, 1.5, 8.5, 10));
        p.setBrush(Qt::white);
        p.drawRect(QRectF(6, 5, 8.5, 10));
        break;
    case Glyph::ViewIcons:
        for (int row = 0; row < 3; ++row) {
            p.fillRect(QRectF(2, 2.5 + row * 4.5, 3, 3), c);
            p.drawLine(QPointF(7, 4 + row * 4.5), QPointF(14, 4 + row * 4.5));
        }
        break;
    case Glyph::ViewThumbnails:
        p.setBrush(fill);
        for (int i = 0; i < 4; ++i)
            p.drawRect(QRectF(1.5 + (i % 2) * 7, 1.5 + (i / 2) * 7, 5.5, 5.5));
        break;
    case Glyph::ThumbnailSize:
        p.drawRect(QRectF(1.5, 1.5, 13, 13));
        p.drawLine(QPointF(4, 12), QPointF(12, 4));
        p.drawLine(QPointF(8, 4), QPointF(12, 4));
        p.drawLine(QPointF(12, 4), QPointF(12, 8));
        break;
    case Glyph::Preview:
        p.setBrush(fill);
        p.drawEllipse(QPointF(7, 7), 4.5, 4.5);
        p.setPen(QPen(c, 2.4, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(10.5, 10.5), QPointF(14, 14));
        break;
    case Glyph::Statistic:
        p.fillRect(QRectF(2, 8, 3, 6), c);
        p.fillRect(QRectF(6.5, 4, 3, 10), c.darker(120));
        p.fillRect(QRectF(11, 2, 3, 12), c.lighter(130));
        break;
    case Glyph::Password:
        p.setBrush(fill);
        p.drawRoundedRect(QRectF(2.5, 7, 11, 7.5), 1.5, 1.5);
        p.setBrush(Qt::NoBrush);
        p.drawArc(QRectF(4.5, 2, 7, 9), 0, 180 * 16);
        break;
    case Glyph::About:
        p.setBrush(fill);
        p.drawEllipse(QRectF(1.5, 1.5, 13, 13));
        p.setPen(QPen(c.darker(150), 2, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(8, 7), QPointF(8, 11.5));
        p.drawPoint(QPointF(8, 4.5));
        break;
    }
}

} // namespace

QIcon GlyphIcon(Glyph glyph)
{
    const GlyphSpec spec = Spec(glyph);
    const QIcon themed = QIcon::fromTheme(spec.themeName);
    if (!themed.isNull())
        return themed;
    QPixmap pixmap(16, 16);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    DrawGlyph(painter, glyph, spec.colour);
    painter.end();
    return QIcon(pixmap);
}
