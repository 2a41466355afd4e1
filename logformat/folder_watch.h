#ifndef SFLOG_FOLDER_WATCH_H
#define SFLOG_FOLDER_WATCH_H

#include <functional>
#include <string>

// Wakes a follower of logs when their folder changes: a file in it written,
// truncated, created, renamed or removed. Where inotify cannot be had, fd()
// is -1 and the follower looks on a timer instead.
class FolderWatch {
public:
    FolderWatch() = default;
    ~FolderWatch();
    FolderWatch(const FolderWatch &) = delete;
    FolderWatch &operator=(const FolderWatch &) = delete;

    // False, with error naming the failed call, when inotify is there but
    // the folder cannot be watched (it is missing, say).
    bool watch(const std::string &folder, std::string &error);
    int fd() const { return fd_; }
    // Reads the events waiting; calls touched with the name of the file each
    // concerns, or with null when some were lost and anything may have changed.
    void drain(const std::function<void(const char *name)> &touched) const;

private:
    int fd_ = -1;
};

// The folder of a path: "." for a bare name.
std::string folder_of(const std::string &path);

#endif
