#pragma once
// Runs a function on an object's events before the object sees them; the
// function returns true to keep an event from it. Owned by the watched
// object, so it goes with it.
#include <QEvent>
#include <QObject>

#include <functional>
#include <utility>

class TEventHook : public QObject {
public:
    TEventHook(QObject* watched, std::function<bool(QEvent*)> hook) : QObject(watched), hook_(std::move(hook))
    {
        watched->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject*, QEvent* event) override { return hook_(event); }

private:
    std::function<bool(QEvent*)> hook_;
};
