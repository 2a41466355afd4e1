#include "lock_file.h"

#include <cerrno>
#include <climits>
#include <string>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "numbers.h"
#include "record_file.h"

namespace {

// " (pid N)" when the lock file names its holder, else nothing: the holder
// may not have written it yet.
std::string holder_of(const std::string &lock) {
    if (lock.empty()) return "";
    std::string text;
    bool found = false;
    std::string error;
    if (!read_record_file(lock, text, found, error) || !found) return "";
    if (!text.empty() && text.back() == '\n') text.pop_back();
    unsigned long long pid = 0;
    if (!parse_number(text.c_str(), INT_MAX, pid) || pid == 0) return "";
    return " (pid " + text + ")";
}

}  // namespace

bool lock_exclusively(int fd, const std::string &path, const char *program, const char *what, std::string &error,
                      const std::string &pid_file) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    error = errno == EWOULDBLOCK ? path + ": another " + program + holder_of(pid_file) + " is using this " + what
                                 : failed_call(path, "flock");
    return false;
}

int lock_beside(const std::string &path, const char *program, const char *what, std::string &error) {
    const std::string lock = path + ".lock";
    const int fd = open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = failed_call(lock, "open");
        return -1;
    }
    if (!lock_exclusively(fd, path, program, what, error, lock)) {
        close(fd);
        return -1;
    }
    // The id only lets a second one name the first: the lock holds without it.
    const std::string pid = std::to_string(getpid()) + "\n";
    if (ftruncate(fd, 0) == 0) write_all(fd, pid.data(), pid.size());
    return fd;
}
