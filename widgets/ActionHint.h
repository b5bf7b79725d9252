#pragma once
// Hints written "Short|Long": the short part is the tool tip, the long part
// the status-bar text; a hint without a bar serves as both.
#include <QString>

class QAction;

void SetHint(QAction* action, const QString& hint);
