#include "platform/QtMessages.h"

#include <QLoggingCategory>
#include <QString>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> seen;

void Capture(QtMsgType, const QMessageLogContext& context, const QString& message)
{
    seen.push_back(std::string(context.category ? context.category : "") + ": " + message.toStdString());
}

Q_LOGGING_CATEGORY(imageIo, "qt.gui.imageio")
Q_LOGGING_CATEGORY(ours, "glimmerbox.store")

} // namespace

TEST(QtMessages, QtsChatterIsDroppedAndOurOwnMessagesPass)
{
    EXPECT_TRUE(IsQtChatter(QtWarningMsg, "qt.gui.imageio"));
    EXPECT_TRUE(IsQtChatter(QtDebugMsg, "qt.qpa.xcb"));
    EXPECT_FALSE(IsQtChatter(QtCriticalMsg, "qt.gui.imageio"));
    EXPECT_FALSE(IsQtChatter(QtWarningMsg, "default"));
    EXPECT_FALSE(IsQtChatter(QtWarningMsg, "qtest"));
    EXPECT_FALSE(IsQtChatter(QtWarningMsg, nullptr));

    const QtMessageHandler before = qInstallMessageHandler(Capture);
    InstallQuietQtMessages();
    qCWarning(imageIo, "libpng warning: iCCP: known incorrect sRGB profile");
    qWarning("%s", "our own warning");
    qCWarning(ours, "a store message");
    qCCritical(imageIo, "a critical one");
    qInstallMessageHandler(before);
    EXPECT_EQ(seen, (std::vector<std::string>{"default: our own warning", "glimmerbox.store: a store message",
                                              "qt.gui.imageio: a critical one"}));
}
