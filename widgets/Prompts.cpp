#include "Prompts.h"

#include "platform/Exception.h"

#include <QApplication>
#include <QCursor>
#include <QDialog>
#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>
#include <QPushButton>

namespace {

std::unique_ptr<TPrompts>& Current()
{
    static std::unique_ptr<TPrompts> current = std::make_unique<TQtPrompts>();
    return current;
}

QString Q(const std::string& s) { return QString::fromStdString(s); }

QWidget* ActiveWindow() { return QApplication::activeWindow(); }

QMessageBox::StandardButton ToQt(MsgButton b)
{
    switch (b) {
    case MsgButton::Ok: return QMessageBox::Ok;
    case MsgButton::Cancel: return QMessageBox::Cancel;
    case MsgButton::Yes: return QMessageBox::Yes;
    case MsgButton::No: return QMessageBox::No;
    case MsgButton::YesToAll: return QMessageBox::YesToAll;
    case MsgButton::NoToAll: return QMessageBox::NoToAll;
    case MsgButton::None: break;
    }
    return QMessageBox::NoButton;
}

QMessageBox::Icon ToQt(MsgIcon icon)
{
    switch (icon) {
    case MsgIcon::Information: return QMessageBox::Information;
    case MsgIcon::Warning: return QMessageBox::Warning;
    case MsgIcon::Question: return QMessageBox::Question;
    case MsgIcon::Stop: return QMessageBox::Critical;
    case MsgIcon::None: break;
    }
    return QMessageBox::NoIcon;
}

QString JoinedFilters(const std::string& filter)
{
    QStringList list;
    for (const std::string& f : QtNameFilters(filter))
        list << Q(f);
    return list.join(";;");
}

QString SelectedFilter(const FileDialogRequest& r)
{
    const std::vector<std::string> filters = QtNameFilters(r.filter);
    if (r.filterIndex >= 1 && static_cast<size_t>(r.filterIndex) <= filters.size())
        return Q(filters[static_cast<size_t>(r.filterIndex - 1)]);
    return {};
}

void SetUpFileDialog(QFileDialog& dialog, const FileDialogRequest& r)
{
    dialog.setWindowTitle(Q(r.title));
    dialog.setNameFilters(Q(JoinedFilters(r.filter).toStdString()).split(";;"));
    const QString selected = SelectedFilter(r);
    if (!selected.isEmpty())
        dialog.selectNameFilter(selected);
    if (!r.defaultExt.empty())
        dialog.setDefaultSuffix(Q(r.defaultExt));
    if (!r.initialDir.empty())
        dialog.setDirectory(Q(r.initialDir));
    if (!r.fileName.empty())
        dialog.selectFile(Q(r.fileName));
    dialog.setOption(QFileDialog::ReadOnly, false);
    dialog.setSizeGripEnabled(true);
}

} // namespace

MsgButton DefaultButtonOf(const MessageRequest& request)
{
    if (request.defaultButton != MsgButton::None || request.buttons.empty())
        return request.defaultButton;
    return request.buttons.front();
}

std::string QtLineBreaks(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r') {
            out += '\n';
            if (i + 1 < text.size() && text[i + 1] == '\n')
                ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::optional<std::string> TPrompts::OpenFile(const FileDialogRequest& request)
{
    FileDialogRequest single = request;
    single.multiSelect = false;
    const auto paths = OpenFiles(single);
    if (!paths || paths->empty())
        return std::nullopt;
    return paths->front();
}

TPrompts& Prompts() { return *Current(); }

std::unique_ptr<TPrompts> SetPrompts(std::unique_ptr<TPrompts> prompts)
{
    std::unique_ptr<TPrompts> previous = std::move(Current());
    Current() = std::move(prompts);
    return previous;
}

std::vector<std::string> QtNameFilters(const std::string& filter)
{
    // Qt reads the patterns inside the description's parentheses, separated
    // by blanks; the description keeps its text, the patterns come from the
    // pattern half of each pair.
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= filter.size()) {
        const size_t bar = filter.find('|', start);
        parts.push_back(filter.substr(start, bar == std::string::npos ? std::string::npos : bar - start));
        if (bar == std::string::npos)
            break;
        start = bar + 1;
    }
    std::vector<std::string> out;
    for (size_t i = 0; i + 1 < parts.size(); i += 2) {
        std::string patterns = parts[i + 1];
        for (char& c : patterns)
            if (c == ';')
                c = ' ';
        std::string desc = parts[i];
        const size_t paren = desc.rfind(" (");
        if (paren != std::string::npos && desc.back() == ')')
            desc = desc.substr(0, paren);
        out.push_back(desc + " (" + patterns + ")");
    }
    return out;
}

MsgButton TQtPrompts::Message(const MessageRequest& r)
{
    QMessageBox box(ToQt(r.icon), Q(r.title), Q(QtLineBreaks(r.text)), QMessageBox::NoButton, ActiveWindow());
    // Plain always: a name like "<b>x</b>" in a message is shown, not obeyed.
    box.setTextFormat(Qt::PlainText);
    for (MsgButton b : r.buttons)
        box.addButton(ToQt(b));
    const MsgButton def = DefaultButtonOf(r);
    if (def != MsgButton::None)
        box.setDefaultButton(ToQt(def));
    box.exec();
    QAbstractButton* clicked = box.clickedButton();
    for (MsgButton b : r.buttons)
        if (clicked && clicked == box.button(ToQt(b)))
            return b;
    // Closed with Escape or the close box.
    for (MsgButton b : r.buttons)
        if (b == MsgButton::Cancel)
            return b;
    return r.buttons.size() == 1 ? r.buttons.front() : MsgButton::Cancel;
}

std::optional<std::vector<std::string>> TQtPrompts::OpenFiles(const FileDialogRequest& r)
{
    QFileDialog dialog(ActiveWindow());
    SetUpFileDialog(dialog, r);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(r.multiSelect ? QFileDialog::ExistingFiles
                                     : (r.mustExist ? QFileDialog::ExistingFile : QFileDialog::AnyFile));
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    std::vector<std::string> paths;
    for (const QString& f : dialog.selectedFiles())
        paths.push_back(f.toStdString());
    if (paths.empty())
        return std::nullopt;
    return paths;
}

std::optional<std::string> TQtPrompts::SaveFile(const FileDialogRequest& r)
{
    QFileDialog dialog(ActiveWindow());
    SetUpFileDialog(dialog, r);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setOption(QFileDialog::DontConfirmOverwrite, !r.overwritePrompt);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return std::nullopt;
    return dialog.selectedFiles().front().toStdString();
}

std::optional<std::string> TQtPrompts::InputBox(const std::string& title, const std::string& prompt,
                                                const std::string& value)
{
    bool ok = false;
    const QString text = QInputDialog::getText(ActiveWindow(), Q(title), Q(QtLineBreaks(prompt)), QLineEdit::Normal, Q(value), &ok);
    if (!ok)
        return std::nullopt;
    return text.toStdString();
}

std::optional<std::string> TQtPrompts::BrowseFolder(const std::string& title)
{
    const QString dir = QFileDialog::getExistingDirectory(ActiveWindow(), Q(title));
    if (dir.isEmpty())
        return std::nullopt;
    return dir.toStdString();
}

int TQtPrompts::ExecDialog(QDialog& dialog) { return dialog.exec(); }

// ---- scripted ------------------------------------------------------------

void TScriptedPrompts::AnswerMessage(MsgButton button) { answers_.push_back(Answer{false, button, {}, {}, {}}); }
void TScriptedPrompts::AnswerFiles(std::vector<std::string> paths)
{
    answers_.push_back(Answer{false, MsgButton::None, std::move(paths), {}, {}});
}
void TScriptedPrompts::AnswerFile(std::string path) { AnswerFiles({std::move(path)}); }
void TScriptedPrompts::AnswerInput(std::string text) { answers_.push_back(Answer{false, MsgButton::None, {}, std::move(text), {}}); }
void TScriptedPrompts::AnswerFolder(std::string path) { AnswerFile(std::move(path)); }
void TScriptedPrompts::AnswerDialog(DialogScript script)
{
    answers_.push_back(Answer{false, MsgButton::None, {}, {}, std::move(script)});
}
void TScriptedPrompts::Cancel() { answers_.push_back(Answer{true, MsgButton::Cancel, {}, {}, {}}); }

TScriptedPrompts::Answer TScriptedPrompts::Next(const char* what)
{
    if (answers_.empty())
        throw Exception(Format("Scripted prompts: no answer queued for %s", what));
    Answer a = std::move(answers_.front());
    answers_.pop_front();
    return a;
}

MsgButton TScriptedPrompts::Message(const MessageRequest& request)
{
    Record rec{Record::Kind::Message, request, {}, request.title, request.text};
    rec.busyCursor = QApplication::overrideCursor() && QApplication::overrideCursor()->shape() == Qt::WaitCursor;
    records_.push_back(rec);
    const Answer a = Next(("message \"" + request.text + "\"").c_str());
    return a.button;
}

std::optional<std::vector<std::string>> TScriptedPrompts::OpenFiles(const FileDialogRequest& request)
{
    records_.push_back(Record{Record::Kind::OpenFiles, {}, request, request.title, {}});
    Answer a = Next("an open dialog");
    if (a.cancel)
        return std::nullopt;
    return a.paths;
}

std::optional<std::string> TScriptedPrompts::SaveFile(const FileDialogRequest& request)
{
    records_.push_back(Record{Record::Kind::SaveFile, {}, request, request.title, {}});
    Answer a = Next("a save dialog");
    if (a.cancel || a.paths.empty())
        return std::nullopt;
    return a.paths.front();
}

std::optional<std::string> TScriptedPrompts::InputBox(const std::string& title, const std::string& prompt,
                                                      const std::string& value)
{
    records_.push_back(Record{Record::Kind::InputBox, {}, {}, title, prompt + "\n" + value});
    Answer a = Next("an input box");
    if (a.cancel)
        return std::nullopt;
    return a.text;
}

std::optional<std::string> TScriptedPrompts::BrowseFolder(const std::string& title)
{
    records_.push_back(Record{Record::Kind::BrowseFolder, {}, {}, title, {}});
    Answer a = Next("a folder browse");
    if (a.cancel || a.paths.empty())
        return std::nullopt;
    return a.paths.front();
}

int TScriptedPrompts::ExecDialog(QDialog& dialog)
{
    records_.push_back(Record{Record::Kind::Dialog, {}, {}, dialog.windowTitle().toStdString(), {}});
    Answer a = Next("a dialog");
    if (a.cancel || !a.script)
        return QDialog::Rejected;
    return a.script(dialog);
}

ScopedScriptedPrompts::ScopedScriptedPrompts()
{
    auto scripted = std::make_unique<TScriptedPrompts>();
    scripted_ = scripted.get();
    previous_ = SetPrompts(std::move(scripted));
}

ScopedScriptedPrompts::~ScopedScriptedPrompts() { SetPrompts(std::move(previous_)); }

bool AskYesNo(const std::string& title, const std::string& text, MsgIcon icon)
{
    MessageRequest q;
    q.title = title;
    q.text = text;
    q.icon = icon;
    q.buttons = {MsgButton::Yes, MsgButton::No};
    q.defaultButton = MsgButton::No;
    return Prompts().Message(q) == MsgButton::Yes;
}
