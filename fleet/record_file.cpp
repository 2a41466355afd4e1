#include "record_file.h"

#include <cerrno>
#include <cstring>
#include <sstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "numbers.h"

namespace {

// Record files are a line or a few; more is not one of ours.
constexpr std::size_t max_record = 1 << 20;

std::string folder_of(const std::string &path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

bool write_all(int fd, const char *data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = ENOSPC;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

std::string failed_call(const std::string &path, const char *call) {
    return path + ": " + call + ": " + std::strerror(errno);
}

bool read_whole(const std::string &path, std::size_t limit, std::string &text, bool &found, std::string &error) {
    found = false;
    text.clear();
    // Not waiting for a writer that may never come, should a FIFO be in the file's place.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return true;
        error = failed_call(path, "open");
        return false;
    }
    struct stat info {};
    const bool stated = fstat(fd, &info) == 0;
    if (!stated || !S_ISREG(info.st_mode)) {
        error = stated ? path + ": not a regular file" : failed_call(path, "fstat");
        close(fd);
        return false;
    }
    char buffer[65536];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = failed_call(path, "read");
            close(fd);
            return false;
        }
        if (n == 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
        if (text.size() > limit) {
            error = path + ": larger than any record";
            close(fd);
            return false;
        }
    }
    close(fd);
    found = true;
    return true;
}

bool read_record_file(const std::string &path, std::string &text, bool &found, std::string &error) {
    return read_whole(path, max_record, text, found, error);
}

bool sync_folder_of(const std::string &path, std::string &error) {
    const std::string folder = folder_of(path);
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        error = failed_call(folder, "open");
        return false;
    }
    const bool synced = fsync(fd) == 0;
    if (!synced) error = failed_call(folder, "fsync");
    close(fd);
    return synced;
}

bool replace_durably(const std::string &path, const std::string &text, std::string &error) {
    const std::string temporary = path + ".new";
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = failed_call(temporary, "open");
        return false;
    }
    const char *call = !write_all(fd, text.data(), text.size()) ? "write" : fdatasync(fd) != 0 ? "fdatasync" : nullptr;
    if (call != nullptr) error = failed_call(temporary, call);
    if (close(fd) != 0 && call == nullptr) error = failed_call(temporary, call = "close");
    if (call == nullptr && rename(temporary.c_str(), path.c_str()) != 0) error = failed_call(path, call = "rename");
    if (call != nullptr) {
        unlink(temporary.c_str());
        return false;
    }
    return sync_folder_of(path, error);
}

std::vector<std::string> words_of(const std::string &line) {
    std::vector<std::string> words;
    std::istringstream in(line);
    for (std::string word; in >> word;) words.push_back(word);
    return words;
}

bool parse_epoch(const std::string &text, std::uint64_t &epoch) {
    unsigned long long value = 0;
    if (!parse_hex64(text.data(), text.data() + text.size(), value)) return false;
    epoch = value;
    return true;
}
