#pragma once
// The image files that adding a list of files and folders takes: the window's
// Add Folder and drops, and glimmerbox-vault add, walk folders alike.
#include <functional>
#include <string>
#include <vector>

struct TImageFileWalk {
    // In order: a file as named, then a folder's files of the kinds the
    // vault holds, recursively, sorted.
    std::vector<std::string> files;
    // Files inside the folders whose kinds the vault does not hold.
    std::vector<std::string> skipped;
    // Paths that name nothing.
    std::vector<std::string> missing;
};

// Hidden entries are left out, and links to folders are not followed: no
// loops, no surprises outside the folder named. idle is called now and then
// while a large folder is walked.
TImageFileWalk CollectImageFiles(const std::vector<std::string>& paths, const std::function<void()>& idle = {});
