#pragma once
// Every message box, question, file dialog, input box, folder browse and
// modal dialog of the program goes through TPrompts. The program installs
// the Qt implementation; tests install TScriptedPrompts, which records each
// prompt and answers from a queue.
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QDialog;
class QWidget;

enum class MsgIcon { None, Information, Warning, Question, Stop };

enum class MsgButton { None, Ok, Cancel, Yes, No, YesToAll, NoToAll };

struct MessageRequest {
    std::string title;
    std::string text;
    MsgIcon icon = MsgIcon::None;
    std::vector<MsgButton> buttons{MsgButton::Ok};
    MsgButton defaultButton = MsgButton::None; // None: the first button
};

// The button that Enter presses: the default, or the first button when none is named.
MsgButton DefaultButtonOf(const MessageRequest& request);

// The program's texts break lines with "\r" (some with "\r\n"); Qt breaks at "\n".
std::string QtLineBreaks(const std::string& text);

// A file dialog. The filter is a list of "description|patterns" pairs
// written as one text, patterns separated by ';' (for example
// "Glimmerbox data (*.gmb)|*.gmb").
struct FileDialogRequest {
    std::string title;
    std::string filter;
    int filterIndex = 1; // 1-based, as in the filter list
    std::string defaultExt;
    std::string fileName;
    std::string initialDir;
    bool mustExist = false;
    bool overwritePrompt = false;
    bool multiSelect = false;
};

class TPrompts {
public:
    virtual ~TPrompts() = default;

    virtual MsgButton Message(const MessageRequest& request) = 0;
    // Open dialog: the chosen paths (one unless multiSelect), or nothing when cancelled.
    virtual std::optional<std::vector<std::string>> OpenFiles(const FileDialogRequest& request) = 0;
    virtual std::optional<std::string> SaveFile(const FileDialogRequest& request) = 0;
    virtual std::optional<std::string> InputBox(const std::string& title, const std::string& prompt,
                                                const std::string& value) = 0;
    virtual std::optional<std::string> BrowseFolder(const std::string& title) = 0;
    // Runs a modal dialog; returns its result code (QDialog::Accepted or Rejected).
    virtual int ExecDialog(QDialog& dialog) = 0;

    std::optional<std::string> OpenFile(const FileDialogRequest& request);
};

// The prompts currently in force (the Qt ones unless a test installed others).
TPrompts& Prompts();
// A destructive question: Yes and No, No the default; true on Yes.
bool AskYesNo(const std::string& title, const std::string& text, MsgIcon icon);
// Installs prompts and returns the previous ones.
std::unique_ptr<TPrompts> SetPrompts(std::unique_ptr<TPrompts> prompts);

// Qt dialogs, parented to the active window.
class TQtPrompts : public TPrompts {
public:
    MsgButton Message(const MessageRequest& request) override;
    std::optional<std::vector<std::string>> OpenFiles(const FileDialogRequest& request) override;
    std::optional<std::string> SaveFile(const FileDialogRequest& request) override;
    std::optional<std::string> InputBox(const std::string& title, const std::string& prompt,
                                        const std::string& value) override;
    std::optional<std::string> BrowseFolder(const std::string& title) override;
    int ExecDialog(QDialog& dialog) override;
};

// Turns "desc|pat;pat|desc|pat" into Qt's name filters, one per pair.
std::vector<std::string> QtNameFilters(const std::string& filter);

// Scripted answers for tests. Each prompt is recorded; the answer is taken
// from the front of the queue and must be of the prompt's kind.
class TScriptedPrompts : public TPrompts {
public:
    struct Record {
        enum class Kind { Message, OpenFiles, SaveFile, InputBox, BrowseFolder, Dialog } kind;
        MessageRequest message;   // for Message
        FileDialogRequest file;   // for the file dialogs
        std::string title;        // input box, folder browse, dialog window title
        std::string text;         // input box prompt / value
        bool busyCursor = false;  // shown under a wait cursor, which a message must never be
    };
    using DialogScript = std::function<int(QDialog&)>;

    void AnswerMessage(MsgButton button);
    void AnswerFiles(std::vector<std::string> paths);
    void AnswerFile(std::string path);
    void AnswerInput(std::string text);
    void AnswerFolder(std::string path);
    void AnswerDialog(DialogScript script);
    void Cancel(); // cancels the next dialog of any kind (Cancel for a message box)

    const std::vector<Record>& Records() const { return records_; }
    size_t PendingAnswers() const { return answers_.size(); }

    MsgButton Message(const MessageRequest& request) override;
    std::optional<std::vector<std::string>> OpenFiles(const FileDialogRequest& request) override;
    std::optional<std::string> SaveFile(const FileDialogRequest& request) override;
    std::optional<std::string> InputBox(const std::string& title, const std::string& prompt,
                                        const std::string& value) override;
    std::optional<std::string> BrowseFolder(const std::string& title) override;
    int ExecDialog(QDialog& dialog) override;

private:
    struct Answer {
        bool cancel = false;
        MsgButton button = MsgButton::None;
        std::vector<std::string> paths;
        std::string text;
        DialogScript script;
    };
    Answer Next(const char* what);

    std::deque<Answer> answers_;
    std::vector<Record> records_;
};

// Installs scripted prompts for the lifetime of the object.
class ScopedScriptedPrompts {
public:
    ScopedScriptedPrompts();
    ~ScopedScriptedPrompts();
    ScopedScriptedPrompts(const ScopedScriptedPrompts&) = delete;
    ScopedScriptedPrompts& operator=(const ScopedScriptedPrompts&) = delete;
    TScriptedPrompts& operator*() { return *scripted_; }
    TScriptedPrompts* operator->() { return scripted_; }
    const TScriptedPrompts* operator->() const { return scripted_; }

private:
    TScriptedPrompts* scripted_;
    std::unique_ptr<TPrompts> previous_;
};
