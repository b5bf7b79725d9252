#pragma once
// One application for the whole test program, made lazily: test discovery
// runs the binary without a display and must not need one.
#include <QApplication>

inline void NeedApplication()
{
    if (QCoreApplication::instance())
        return;
    static int argc = 1;
    static char name[] = "test_widgets";
    static char* argv[] = {name, nullptr};
    new QApplication(argc, argv);
}
