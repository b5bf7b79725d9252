#pragma once
// Exceptions never cross Qt's event dispatch: every action, dialog check and
// event handler of the program runs inside Guarded(), which hands the message
// of whatever escaped to the application's one exception handler.
#include <QApplication>
#include <functional>
#include <string>

class QAction;

using ExceptionHandler = std::function<void(const std::string& message)>;

// The handler that shows escaped errors. Until the main window installs its
// own, a box titled "Error" with the stop icon.
void SetExceptionHandler(ExceptionHandler handler);
void HandleException(const std::string& message);
void ShowErrorBox(const std::string& message);

// What every guarded call runs inside (the main window makes each one a
// command of its open vault, written when it ends); none by default.
using CommandScope = std::function<void(const std::function<void()>& body)>;
void SetCommandScope(CommandScope scope);

// Runs f (inside the command scope); anything it throws goes to the
// exception handler. Returns whether
// f ran to its end.
bool Guarded(const std::function<void()>& f);

// Connects an action's trigger to f, run through Guarded().
void OnTriggered(QAction* action, std::function<void()> f);

// The application object: its notify() is the safety net for exceptions
// thrown from event handlers outside any guard.
class TApplication : public QApplication {
public:
    TApplication(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
};
