#include "KeepPainting.h"

#include "platform/Thread.h"

#include <QApplication>
#include <QPointer>
#include <QTimer>
#include <QWidget>

namespace {

bool inside = false;
uint32_t lastPump = 0;
bool pumped = false;

bool BelongsToWindow(QObject* object)
{
    for (QObject* o = object; o; o = o->parent())
        if (o->isWidgetType())
            return true;
    return false;
}

// Holds back what could start a command while the events are handled.
class TCommandGate : public QObject {
public:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        switch (event->type()) {
        case QEvent::Close:
            if (watched->isWidgetType() && static_cast<QWidget*>(watched)->isWindow()) {
                // Asked again once the command is over and the loop runs.
                QPointer<QWidget> window = static_cast<QWidget*>(watched);
                QTimer::singleShot(0, qApp, [window] {
                    if (window)
                        window->close();
                });
                event->ignore();
                return true;
            }
            return false;
        case QEvent::DragEnter:
        case QEvent::DragMove:
        case QEvent::Drop:
            event->ignore();
            return true;
        case QEvent::Timer:
            // A window's timer fires again at its next interval: put off, not lost.
            return BelongsToWindow(watched);
        default:
            return false;
        }
    }
};

} // namespace

void PaintNow()
{
    if (inside || !qApp || !IsGuiThread())
        return;
    inside = true;
    TCommandGate gate;
    qApp->installEventFilter(&gate);
    QApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    qApp->removeEventFilter(&gate);
    inside = false;
    lastPump = MilliTimer();
    pumped = true;
}

void KeepPainting()
{
    const uint32_t now = MilliTimer();
    if (pumped && static_cast<uint32_t>(now - lastPump) < static_cast<uint32_t>(kPaintingSliceMs))
        return;
    PaintNow();
}

bool InsideKeepPainting() { return inside; }
