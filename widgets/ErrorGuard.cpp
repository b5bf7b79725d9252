#include "ErrorGuard.h"

#include "Prompts.h"

#include <QAction>
#include <exception>

namespace {
ExceptionHandler& CurrentHandler()
{
    static ExceptionHandler handler;
    return handler;
}

CommandScope& CurrentScope()
{
    static CommandScope scope;
    return scope;
}
} // namespace

void SetExceptionHandler(ExceptionHandler handler) { CurrentHandler() = std::move(handler); }

void SetCommandScope(CommandScope scope) { CurrentScope() = std::move(scope); }

void ShowErrorBox(const std::string& message)
{
    MessageRequest box;
    box.title = "Error";
    box.text = message;
    box.icon = MsgIcon::Stop;
    box.buttons = {MsgButton::Ok};
    Prompts().Message(box);
}

void HandleException(const std::string& message)
{
    try {
        if (CurrentHandler())
            CurrentHandler()(message);
        else
            ShowErrorBox(message);
    } catch (...) {
        // Showing the error failed as well; nothing more can be done here.
    }
}

bool Guarded(const std::function<void()>& f)
{
    try {
        if (CurrentScope())
            CurrentScope()(f);
        else
            f();
        return true;
    } catch (const std::exception& e) {
        HandleException(e.what());
    } catch (...) {
        HandleException("Unknown error");
    }
    return false;
}

void OnTriggered(QAction* action, std::function<void()> f)
{
    QObject::connect(action, &QAction::triggered, action, [f = std::move(f)] { Guarded(f); });
}

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool TApplication::notify(QObject* receiver, QEvent* event)
{
    bool result = false;
    Guarded([&] { result = QApplication::notify(receiver, event); });
    return result;
}
