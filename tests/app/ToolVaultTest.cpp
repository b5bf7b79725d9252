// A vault written by glimmerbox-vault opens in the window with every image
// listed, and what the window adds and writes back the tool then lists.
#include "FormTestSupport.h"

#include "widgets/ErrorGuard.h"

#include <QGuiApplication>
#include <QListWidget>
#include <QProcess>
#include <QScreen>
#include <QTest>
#include <algorithm>

namespace {

struct ToolRun {
    int status = -1;
    std::string out;
};

ToolRun VaultTool(const QStringList& args)
{
    QProcess p;
    p.setStandardInputFile(QProcess::nullDevice());
    p.start(GMB_VAULT_TOOL, args);
    p.waitForFinished(60000);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, p.readAllStandardOutput().toStdString()};
}

class ToolVault : public FormFixture {};

} // namespace

TEST_F(ToolVault, OpensInTheWindowAndTakesItsChangesBack)
{
    if (QGuiApplication::platformName() != "xcb")
        GTEST_SKIP() << "needs an X server (run under xvfb-run)";
    const QString data = GMB_TEST_DATA;
    const std::string vault = Path("from-tool.gmb");
    const ToolRun add = VaultTool({"add", QString::fromStdString(vault), data + "/jpeg/testorig.jpg", data + "/bmp/g/pal8.bmp",
                                   data + "/gif-suite/animation.gif", data + "/wmf/Eg.wmf"});
    ASSERT_EQ(add.status, 0) << add.out;

    Start({vault});
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->ListView1->count() == 4; }, 20000)) << form->ListView1->count();
    EXPECT_EQ(form->CurrentFileName, vault);
    std::vector<std::string> captions;
    for (int i = 0; i < form->ListView1->count(); ++i)
        captions.push_back(form->ListView1->item(i)->text().toStdString());
    EXPECT_EQ(captions[1], "animation.gif (" + captions[1].substr(captions[1].find('(') + 1));
    EXPECT_EQ(captions[3], "testorig.jpg (149x227)");
    EXPECT_EQ(captions[2], "pal8.bmp (64x127)");
    if (const char* out = std::getenv("GMB_SCREENSHOT_DIR"))
        QGuiApplication::primaryScreen()->grabWindow(form->winId()).save(QString::fromUtf8(out) + "/tool-vault.png");

    Guarded([&] { form->AddFiles({(data + "/ico/favicon.ico").toStdString()}); });
    ASSERT_TRUE(Close()); // writes the bound vault back
    const ToolRun list = VaultTool({"list", QString::fromStdString(vault)});
    EXPECT_EQ(list.status, 0);
    EXPECT_NE(list.out.find("\nfavicon.ico\tI\t"), std::string::npos) << list.out;
    EXPECT_EQ(std::count(list.out.begin(), list.out.end(), '\n'), 5);
    EXPECT_EQ(VaultTool({"check", QString::fromStdString(vault)}).status, 0);
}
