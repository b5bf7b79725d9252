#pragma once
// Runs body, then cleanup, however body ends. An error of body wins: the
// cleanup's own error is then dropped. Without one, an error of the cleanup
// passes on (a destructor could only swallow it).
#include <exception>
#include <utility>

template <class Body, class Cleanup> void WithCleanup(Body&& body, Cleanup&& cleanup)
{
    try {
        std::forward<Body>(body)();
    } catch (...) {
        try {
            cleanup();
        } catch (...) {
        }
        throw;
    }
    cleanup();
}
