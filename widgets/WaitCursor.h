#pragma once
// Runs body under the wait cursor, which is itself again however body ends:
// before any message its error brings.
#include "platform/Cleanup.h"

#include <QApplication>
#include <utility>

template <class Body> void WithWaitCursor(Body&& body)
{
    QApplication::setOverrideCursor(Qt::WaitCursor);
    WithCleanup(std::forward<Body>(body), [] { QApplication::restoreOverrideCursor(); });
}
