#pragma once
// The recent-files list: most recent path first, shown as numbered entries in
// the Reopen submenu (with three list commands) and in the Open button's
// drop-down, kept between runs in one section of an INI file. It knows
// nothing about what opening a file means: a click on an entry goes to the
// owner through OnReopenMenuClick.
#include "platform/Exception.h"

#include <QMenu>
#include <QObject>
#include <QPointer>
#include <functional>
#include <string>
#include <vector>

class QAction;
class QMenu;

class EKvReopenException : public Exception {
public:
    using Exception::Exception;
};

class TKvReopen : public QObject {
public:
    // MaxReopen is valid from 1 to this; the captions run out of digits and
    // letters (0-9, A-F) past it.
    static constexpr int MaxEntries = 16;

    explicit TKvReopen(QObject* owner = nullptr);

    // The submenu that receives the entries and the commands; its menu item
    // is enabled exactly while the list is not empty. Not owned.
    QMenu* ReopenMenu() const { return reopenMenu_; }
    void SetReopenMenu(QMenu* menu) { reopenMenu_ = menu; }
    // The popup that receives the entries only. Not owned.
    QMenu* DropDownMenu() const { return dropDownMenu_; }
    void SetDropDownMenu(QMenu* menu) { dropDownMenu_ = menu; }

    int MaxReopen() const { return maxReopen_; }
    // Raises outside 1..16 and keeps the old value. The list is trimmed at
    // the next Add, not here.
    void SetMaxReopen(int value);

    // Called with the clicked entry's menu item. The handler may change the
    // list (and so rebuild the menus): the item stays alive until control is
    // back in the event loop.
    std::function<void(QAction* item)> OnReopenMenuClick;
    // Runs every command started from the menus (entry clicks, Reopen All,
    // Remove Obsolete, Remove All), so that their exceptions reach the
    // application's error handler instead of crossing Qt's dispatch. When
    // unset, an exception is only logged.
    std::function<void(const std::function<void()>& command)> CommandGuard;

    void Add(const std::string& path);
    void Remove(const std::string& path);
    std::string GetFileName(int index) const;
    int Count() const { return static_cast<int>(files_.size()); }
    // Position of an entry's item in its menu (the entry's list index), or -1.
    int ItemIndex(const QAction* item) const;

    void LoadFromIni(const std::string& iniFile, const std::string& section);
    void SaveToIni(const std::string& iniFile, const std::string& section);

    void ReopenAll();
    void RemoveObsolete();
    void RemoveAll();

    void UpdateMenus();

private:
    void AddEntries(QMenu* menu, bool accelerators);
    QAction* AddCommand(QMenu* menu, const char* caption, const char* hint, void (TKvReopen::*command)());
    QAction* EntryItem(int index) const;
    void EntryClicked(QAction* item);
    void RunCommand(const std::function<void()>& command);

    std::vector<std::string> files_;
    int maxReopen_ = 10;
    QPointer<QMenu> reopenMenu_;
    QPointer<QMenu> dropDownMenu_;
};
