// The program body: the main window first, then the store, then the loop.
#include "catalogue/UFormMain.h"
#include "platform/QtMessages.h"
#include "store/UDMMain.h"
#include "widgets/ErrorGuard.h"

#include <QCommandLineParser>
#include <QIcon>
#include <QSocketNotifier>
#include <QStringList>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <unistd.h>

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

int termPipe[2] = {-1, -1};

void OnTerminate(int)
{
    const char byte = 1;
    (void)!::write(termPipe[1], &byte, 1);
}

// SIGTERM (a logout, a shutdown, kill) closes the window as the user would:
// the handler only wakes the loop, the close runs there.
std::unique_ptr<QSocketNotifier> CloseOnTerminate(QWidget* window)
{
    if (::pipe2(termPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return nullptr;
    auto notifier = std::make_unique<QSocketNotifier>(termPipe[0], QSocketNotifier::Read);
    QObject::connect(notifier.get(), &QSocketNotifier::activated, window, [window] {
        char byte = 0;
        while (::read(termPipe[0], &byte, 1) > 0) {
        }
        window->close();
    });
    struct sigaction action {};
    action.sa_handler = OnTerminate;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
    return notifier;
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
    const auto terminate = CloseOnTerminate(form.get());
    // However the loop ends (a session that quits the program), the vault is
    // closed through the store, which writes anything still pending.
    QObject::connect(&app, &QCoreApplication::aboutToQuit, [] { Guarded([] { DMMain->SetActive(false); }); });
    form->show();
    const int rc = app.exec();
    form.reset();
    DMMain = nullptr;
    return rc;
}
