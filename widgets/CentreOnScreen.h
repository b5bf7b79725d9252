#pragma once
// Dialogs open in the middle of the screen the program is on, not over
// their parent: they are laid out first, then moved, so Qt's own placement
// (over the parent) is skipped.
#include <QApplication>
#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

inline void CentreOnScreen(QWidget& window)
{
    window.adjustSize();
    QWidget* active = QApplication::activeWindow();
    QScreen* screen = active ? active->screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect area = screen->availableGeometry();
    window.move(area.center() - window.rect().center());
}
