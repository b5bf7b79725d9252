// The program body: the main window first, then the store, then the loop.
#include "catalogue/UFormMain.h"
#include "store/UDMMain.h"
#include "widgets/ErrorGuard.h"

#include <QStringList>
#include <memory>

int main(int argc, char** argv)
{
    TApplication app(argc, argv);
    QCoreApplication::setApplicationName("Glimmerbox");
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
