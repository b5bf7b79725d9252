#pragma once
// Checks on files the code under test wrote: the message a plain create of
// a path raises (the one a safe write must keep), a file's mode bits and
// the process's umask.
#include "platform/Exception.h"
#include "platform/Stream.h"

#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>

namespace filechecks {

inline std::string PlainCreateMessage(const std::string& path)
{
    try {
        TFileStream file(path, FileMode::Create);
    } catch (const EFCreateError& e) {
        return e.Message();
    }
    return "(created)";
}

// The permission bits of path itself (a link is not followed).
inline mode_t ModeOf(const std::string& path)
{
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

inline mode_t CurrentUmask()
{
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return mask;
}

} // namespace filechecks
