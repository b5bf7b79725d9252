// The program body: the main window first, then the store, then the loop.
#include "catalogue/UFormMain.h"
#include "platform/QtMessages.h"
#include "store/UDMMain.h"
#include "widgets/ErrorGuard.h"

#include <QCommandLineParser>
#include <QIcon>
#include <QStringList>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>

namespace {

bool AsksForInformation(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0)
            return false;
        for (const char* option : {"-h", "--help", "-?", "--help-all", "-v", "--version"})
            if (std::strcmp(argv[i], option) == 0)
                return true;
    }
    return false;
}

// --help and --version print and end before any window exists, so they work
// without a display. Anything else is left to the window.
std::optional<int> AnswerInformation(int argc, char** argv)
{
    if (!AsksForInformation(argc, argv))
        return std::nullopt;
    QCoreApplication core(argc, argv);
    QCoreApplication::setApplicationName("Glimmerbox");
    QCoreApplication::setApplicationVersion(GMB_VERSION);
    QCommandLineParser parser;
    parser.setApplicationDescription("Keeps BMP, ICO, EMF, WMF, GIF and JPEG images together in one vault file\n"
                                     "and browses them as thumbnails.");
    parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    parser.addPositionalArgument("vault", "The vault file (*.gmb) to open.", "[vault.gmb]");
    parser.parse(QCoreApplication::arguments()); // an unknown option is a vault name, as without these
    if (parser.isSet(version)) {
        std::printf("%s %s\n", qPrintable(QCoreApplication::applicationName()), GMB_VERSION);
        return 0;
    }
    std::fputs(qPrintable(parser.helpText()), stdout);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (const std::optional<int> rc = AnswerInformation(argc, argv))
        return *rc;
    InstallQuietQtMessages();
    TApplication app(argc, argv);
    QCoreApplication::setApplicationName("Glimmerbox");
    // Ties the windows to the installed menu entry and its icon.
    QGuiApplication::setDesktopFileName("glimmerbox");
    QApplication::setWindowIcon(QIcon::fromTheme("glimmerbox"));
    auto form = std::make_unique<TFormMain>();
    for (const QString& arg : QCoreApplication::arguments().mid(1))
        form->CommandLine.push_back(arg.toStdString());
    auto store = std::make_unique<TDMMain>();
    DMMain = store.get();
    form->show();
    const int rc = app.exec();
    form.reset();
    DMMain = nullptr;
    return rc;
}
