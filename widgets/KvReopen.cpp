#include "KvReopen.h"

#include "ActionHint.h"

#include "platform/IniFile.h"
#include "platform/Paths.h"

#include <QAction>
#include <QMenu>
#include <QtDebug>
#include <algorithm>

namespace {

constexpr int FirstLetterIndex = 10;  // entries 10..15 are numbered A..F

bool SameAsciiText(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
               return lower(x) == lower(y);
           });
}

// A file name with '&' in it would otherwise lose the character to an
// accelerator.
std::string EscapeAmpersands(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        out += c;
        if (c == '&')
            out += '&';
    }
    return out;
}

std::string EntryCaption(int index, const std::string& path, bool accelerator)
{
    const std::string name = EscapeAmpersands(ExtractFileName(path));
    const char* prefix = accelerator ? "&" : "";
    if (index < FirstLetterIndex)
        return Format("%s%d. %s", prefix, index, name.c_str());
    const char letter[2] = {static_cast<char>('A' + index - FirstLetterIndex), '\0'};
    return Format("%s%s. %s", prefix, letter, name.c_str());
}

// Takes every item out of the menu. Items the menu owns are freed later, not
// now: the item whose click is being handled may be among them.
void ClearMenu(QMenu* menu)
{
    const QList<QAction*> items = menu->actions();
    for (QAction* item : items) {
        menu->removeAction(item);
        if (item->parent() == menu)
            item->deleteLater();
    }
}

// The profile reader trims values and strips one pair of enclosing quotes, so
// such values are written quoted to come back unchanged.
std::string IniValue(const std::string& value)
{
    if (value.empty())
        return value;
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    const bool quoted = value.size() >= 2 && value.front() == value.back() && (value.front() == '"' || value.front() == '\'');
    if (blank(value.front()) || blank(value.back()) || quoted)
        return '"' + value + '"';
    return value;
}

// An empty value ends the list when it is read back, and a line break would
// split the entry into lines of its own.
bool Storable(const std::string& path) { return !path.empty() && path.find('\n') == std::string::npos; }

} // namespace

TKvReopen::TKvReopen(QObject* owner) : QObject(owner) {}

void TKvReopen::SetMaxReopen(int value)
{
    if (value < 1 || value > MaxEntries)
        throw EKvReopenException("Max reopen value is out of range.\rValid values are from 1 to 16.");
    maxReopen_ = value;
}

void TKvReopen::Add(const std::string& path)
{
    // Nothing to reopen, and it would end the list when stored.
    if (path.empty())
        return;
    Remove(path);
    files_.insert(files_.begin(), path);
    if (files_.size() > static_cast<size_t>(maxReopen_))
        files_.resize(static_cast<size_t>(maxReopen_));
    UpdateMenus();
}

void TKvReopen::Remove(const std::string& path)
{
    std::erase_if(files_, [&](const std::string& entry) { return SameAsciiText(entry, path); });
    UpdateMenus();
}

std::string TKvReopen::GetFileName(int index) const
{
    if (index < 0 || index >= Count())
        throw EKvReopenException("Out of index.");
    return files_[static_cast<size_t>(index)];
}

int TKvReopen::ItemIndex(const QAction* item) const
{
    for (QMenu* menu : {reopenMenu_.data(), dropDownMenu_.data()}) {
        if (!menu)
            continue;
        const qsizetype at = menu->actions().indexOf(item);
        if (at >= 0 && at < Count())
            return static_cast<int>(at);
    }
    return -1;
}

void TKvReopen::LoadFromIni(const std::string& iniFile, const std::string& section)
{
    files_.clear();
    try {
        const TIniFile ini(iniFile);
        // Read as stored, but never more than the captions can number: a
        // hand-edited file must not grow the menus without bound.
        for (int n = 0; n < MaxEntries; ++n) {
            std::string path = ini.ReadString(section, std::to_string(n), std::string());
            if (path.empty())
                break;
            files_.push_back(std::move(path));
        }
    } catch (...) {
        UpdateMenus();
        throw;
    }
    UpdateMenus();
}

void TKvReopen::SaveToIni(const std::string& iniFile, const std::string& section)
{
    std::vector<std::string> stored;
    std::copy_if(files_.begin(), files_.end(), std::back_inserter(stored), Storable);
    try {
        TIniFile ini(iniFile);
        ini.EraseSection(section);
        for (size_t n = stored.size(); n-- > 0;)
            ini.WriteString(section, std::to_string(n), IniValue(stored[n]));
    } catch (const EIniFileException& e) {
        // A settings file that cannot be written is not the user's problem at
        // this point; the list is simply not remembered.
        qWarning("%s", e.what());
    }
}

void TKvReopen::ReopenAll()
{
    if (!reopenMenu_ && !dropDownMenu_)
        throw EKvReopenException("Drop down and reopen menu are not assigned.");
    if (!OnReopenMenuClick)
        throw EKvReopenException("OnReopenMenuClick event is not assigned.");
    // Each path listed now is opened once. The handler takes the opened path
    // out of the list but puts the file being left back at its head, so
    // waiting for an empty list would never end.
    const std::vector<std::string> pending = files_;
    for (const std::string& path : pending) {
        const auto at = std::find(files_.begin(), files_.end(), path);
        if (at == files_.end())
            continue;
        const int index = static_cast<int>(at - files_.begin());
        QAction* item = EntryItem(index);
        if (!item) {
            UpdateMenus();
            item = EntryItem(index);
        }
        const auto handler = OnReopenMenuClick;
        if (!item || !handler)
            break;
        handler(item);
    }
}

void TKvReopen::RemoveObsolete()
{
    std::erase_if(files_, [](const std::string& entry) { return !FileExists(entry); });
    UpdateMenus();
}

void TKvReopen::RemoveAll()
{
    files_.clear();
    UpdateMenus();
}

void TKvReopen::UpdateMenus()
{
    if (dropDownMenu_) {
        ClearMenu(dropDownMenu_);
        AddEntries(dropDownMenu_, false);
    }
    if (!reopenMenu_)
        return;
    ClearMenu(reopenMenu_);
    AddEntries(reopenMenu_, true);
    if (!files_.empty()) {
        reopenMenu_->addSeparator();
        AddCommand(reopenMenu_, "&Reopen All", "Reopen All|Reopen all recent files", &TKvReopen::ReopenAll);
        AddCommand(reopenMenu_, "Remove &Obsolete", "Remove Obsolete|Remove recent files that no longer exists", &TKvReopen::RemoveObsolete);
        AddCommand(reopenMenu_, "Remo&ve All", "Remove All|Remove all recent files", &TKvReopen::RemoveAll);
    }
    reopenMenu_->menuAction()->setEnabled(!files_.empty());
}

void TKvReopen::AddEntries(QMenu* menu, bool accelerators)
{
    for (size_t i = 0; i < files_.size(); ++i) {
        const std::string& path = files_[i];
        auto* item = new QAction(QString::fromStdString(EntryCaption(static_cast<int>(i), path, accelerators)), menu);
        item->setData(QString::fromStdString(path));
        SetHint(item, QString::fromStdString(path));
        // The component as context: once it is gone, the items it left in
        // the menus do nothing.
        connect(item, &QAction::triggered, this, [this, item] { EntryClicked(item); });
        menu->addAction(item);
    }
}

QAction* TKvReopen::AddCommand(QMenu* menu, const char* caption, const char* hint, void (TKvReopen::*command)())
{
    auto* item = new QAction(QString::fromUtf8(caption), menu);
    SetHint(item, QString::fromUtf8(hint));
    connect(item, &QAction::triggered, this, [this, command] { RunCommand([this, command] { (this->*command)(); }); });
    menu->addAction(item);
    return item;
}

// The item of entry index in the menu ReopenAll clicks through, if the menu
// shows the list as it is now.
QAction* TKvReopen::EntryItem(int index) const
{
    QMenu* menu = reopenMenu_ ? reopenMenu_.data() : dropDownMenu_.data();
    if (!menu)
        return nullptr;
    const QList<QAction*> items = menu->actions();
    if (index >= items.size())
        return nullptr;
    QAction* item = items[index];
    return item->data().toString().toStdString() == files_[static_cast<size_t>(index)] ? item : nullptr;
}

void TKvReopen::EntryClicked(QAction* item)
{
    // A copy: the handler may replace OnReopenMenuClick while it runs.
    const auto handler = OnReopenMenuClick;
    if (handler)
        RunCommand([&handler, item] { handler(item); });
}

void TKvReopen::RunCommand(const std::function<void()>& command)
{
    const auto guard = CommandGuard;
    if (guard) {
        guard(command);
        return;
    }
    try {
        command();
    } catch (const std::exception& e) {
        qWarning("%s", e.what());
    }
}
