#include "folder_names.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <dirent.h>

bool list_folder(const std::string &folder, const std::function<bool(const std::string &)> &keep,
                 std::vector<std::string> &names, std::string &error) {
    DIR *dir = opendir(folder.c_str());
    if (dir == nullptr) {
        error = "opendir " + folder + ": " + std::strerror(errno);
        return false;
    }
    names.clear();
    errno = 0;
    while (const dirent *entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (keep(name)) names.push_back(std::move(name));
        errno = 0;
    }
    const int failed = errno;
    closedir(dir);
    if (failed != 0) {
        error = "readdir " + folder + ": " + std::strerror(failed);
        return false;
    }
    std::sort(names.begin(), names.end());
    return true;
}
