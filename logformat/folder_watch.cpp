#include "folder_watch.h"

#include <cerrno>
#include <cstring>

#include <sys/inotify.h>
#include <unistd.h>

FolderWatch::~FolderWatch() {
    if (fd_ >= 0) close(fd_);
}

bool FolderWatch::watch(const std::string &folder, std::string &error) {
    fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ < 0) return true;  // no inotify, or no instance left: the caller polls
    const std::uint32_t events = IN_MODIFY | IN_CREATE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE | IN_ATTRIB;
    if (inotify_add_watch(fd_, folder.c_str(), events | IN_ONLYDIR) >= 0) return true;
    const int failed = errno;
    close(fd_);
    fd_ = -1;
    if (failed == ENOSPC) return true;  // out of watches: polled
    error = "inotify_add_watch " + folder + ": " + std::strerror(failed);
    return false;
}

void FolderWatch::drain(const std::function<void(const char *name)> &touched) const {
    alignas(inotify_event) char buffer[16384];
    for (;;) {
        const ssize_t n = read(fd_, buffer, sizeof buffer);
        if (n <= 0) return;  // EAGAIN: all read
        for (ssize_t at = 0; at < n;) {
            const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
            if ((event->mask & IN_Q_OVERFLOW) != 0)
                touched(nullptr);
            else if (event->len > 0)
                touched(event->name);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
}

std::string folder_of(const std::string &path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}
