#pragma once
#include <QGuiApplication>

#include <string>

inline std::string Data(const std::string& rel) { return std::string(GMB_TEST_DATA) + "/" + rel; }

// Shell icons need a GUI application; one for the whole test program.
inline void EnsureApp()
{
    if (!QGuiApplication::instance()) {
        static int argc = 1;
        static char name[] = "test";
        static char* argv[] = {name, nullptr};
        new QGuiApplication(argc, argv);
    }
}
