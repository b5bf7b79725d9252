#include "QtMessages.h"

#include <QMessageLogContext>
#include <QString>

#include <cstring>

namespace {

QtMessageHandler previous = nullptr;

void QuietHandler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (IsQtChatter(type, context.category))
        return;
    if (previous)
        previous(type, context, message);
}

} // namespace

bool IsQtChatter(QtMsgType type, const char* category)
{
    if (type == QtCriticalMsg || type == QtFatalMsg)
        return false;
    return category && std::strncmp(category, "qt.", 3) == 0;
}

void InstallQuietQtMessages()
{
    static const bool installed = [] {
        previous = qInstallMessageHandler(QuietHandler);
        return true;
    }();
    (void)installed;
}
