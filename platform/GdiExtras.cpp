#include "GdiExtras.h"

#include <QGuiApplication>
#include <QScreen>

#include <atomic>

namespace {
std::atomic<int> gScreenBits{0};
} // namespace

int ScreenBitsPerPixel()
{
    if (const int set = gScreenBits.load(); set > 0)
        return set;
    // Only a GUI application has screens; a console test has none.
    if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
        return 0;
    const QScreen* screen = QGuiApplication::primaryScreen();
    return screen ? screen->depth() : 0;
}

void SetScreenBitsPerPixel(int bits)
{
    gScreenBits.store(bits > 0 ? bits : 0);
}
