#include "gateway_store.h"

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "contract.h"
#include "numbers.h"
#include "record_file.h"

namespace {

const std::size_t max_left = 16;  // epochs remembered as left behind

std::string failure(const std::string &path) { return path + ": " + std::strerror(errno); }

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

// What lies past the recorded size of the recorded file was never
// acknowledged: a collector killed before its commit left it, and it comes
// again.
bool cut_unacknowledged(int fd, const struct stat &info, const Gateway &gateway) {
    if (info.st_dev != gateway.dev || info.st_ino != gateway.ino || info.st_size <= gateway.size) return true;
    return ftruncate(fd, gateway.size) == 0 && fdatasync(fd) == 0;
}

}  // namespace

GatewayStore::~GatewayStore() {
    for (auto &entry : gateways_)
        if (entry.second.fd >= 0) close(entry.second.fd);
}

bool GatewayStore::find(const std::string &name, Gateway *&gateway, std::string &error) {
    const auto found = gateways_.find(name);
    if (found != gateways_.end()) {
        gateway = &found->second;
        return true;
    }
    Gateway record;
    const std::string file = path(name, ".sfcollect");
    std::ifstream in(file);
    if (!in && errno != ENOENT) {
        error = failure(file);
        return false;
    }
    if (in) {
        std::string line;
        std::getline(in, line);
        const std::vector<std::string> words = words_of(line);
        unsigned long long numbers[4] = {};
        bool fits = words.size() >= 5 && parse_epoch(words[0], record.epoch);
        for (std::size_t i = 1; fits && i < 5; ++i) fits = parse_number(words[i].c_str(), LLONG_MAX, numbers[i - 1]);
        for (std::size_t i = 5; fits && i < words.size(); ++i) {
            std::uint64_t old = 0;
            fits = parse_epoch(words[i], old);
            record.left.push_back(old);
        }
        if (!fits || numbers[0] == 0) {
            error = file + ": not a record of sfcollect";
            return false;
        }
        record.next = numbers[0];
        record.dev = static_cast<dev_t>(numbers[1]);
        record.ino = static_cast<ino_t>(numbers[2]);
        record.size = static_cast<off_t>(numbers[3]);
    }
    gateway = &gateways_.emplace(name, record).first->second;
    return true;
}

void GatewayStore::start_epoch(Gateway &gateway, std::uint64_t epoch) {
    if (gateway.epoch != 0) gateway.left.push_back(gateway.epoch);
    if (gateway.left.size() > max_left) gateway.left.erase(gateway.left.begin());
    gateway.epoch = epoch;
    gateway.next = 1;
}

bool GatewayStore::recover(std::string &error) {
    DIR *dir = opendir(dir_.c_str());
    if (dir == nullptr) {
        error = failure(dir_);
        return false;
    }
    const std::string suffix = ".sfcollect";
    bool fine = true;
    while (const dirent *entry = readdir(dir)) {
        const std::string file = entry->d_name;
        if (file.size() <= suffix.size() || file.compare(file.size() - suffix.size(), suffix.size(), suffix) != 0)
            continue;
        const std::string name = file.substr(0, file.size() - suffix.size());
        Gateway *gateway = nullptr;
        std::string unreadable;  // said when its gateway's next batch comes
        if (!is_gateway_name(name) || !find(name, gateway, unreadable)) continue;
        const std::string log = path(name, ".log");
        const int fd = open(log.c_str(), O_WRONLY | O_CLOEXEC);
        struct stat info {};
        if (fd >= 0 && (fstat(fd, &info) != 0 || !cut_unacknowledged(fd, info, *gateway))) {
            error = failure(log);
            fine = false;
        }
        if (fd >= 0) close(fd);
        if (!fine) break;
    }
    closedir(dir);
    return fine;
}

bool GatewayStore::append(const std::string &name, Gateway &gateway, const char *lines, std::size_t size,
                          std::uint64_t count, std::string &error) {
    const std::string log = path(name, ".log");
    if (gateway.fd < 0) {
        // Opened per batch, as the logger opens its log, so that rotation
        // by rename is followed.
        gateway.fd = open(log.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        struct stat info {};
        if (gateway.fd < 0 || fstat(gateway.fd, &info) != 0 || !cut_unacknowledged(gateway.fd, info, gateway)) {
            error = failure(log);
            return false;
        }
        if (info.st_dev != gateway.dev || info.st_ino != gateway.ino) {
            gateway.dev = info.st_dev;
            gateway.ino = info.st_ino;
            gateway.size = info.st_size;
        }
    }
    const off_t before = lseek(gateway.fd, 0, SEEK_END);
    if (!write_all(gateway.fd, lines, size)) {
        error = failure(log);
        if (before >= 0 && ftruncate(gateway.fd, before) != 0) error += " (and cannot be cut back)";
        return false;
    }
    gateway.next += count;
    gateway.touched = true;
    return true;
}

bool GatewayStore::save(const std::string &name, const Gateway &gateway, std::string &error) const {
    std::ostringstream text;
    char head[128];
    std::snprintf(head, sizeof head, "%016" PRIx64 " %" PRIu64 " %llu %llu %lld", gateway.epoch, gateway.next,
                  static_cast<unsigned long long>(gateway.dev), static_cast<unsigned long long>(gateway.ino),
                  static_cast<long long>(gateway.size));
    text << head;
    for (const std::uint64_t old : gateway.left) {
        char epoch[24];
        std::snprintf(epoch, sizeof epoch, " %016" PRIx64, old);
        text << epoch;
    }
    text << '\n';
    const std::string data = text.str();
    const std::string file = path(name, ".sfcollect");
    const std::string temporary = file + ".new";
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const bool written = fd >= 0 && write_all(fd, data.data(), data.size()) && fdatasync(fd) == 0;
    const bool closed = fd >= 0 && close(fd) == 0;
    if (!written || !closed || rename(temporary.c_str(), file.c_str()) != 0) {
        error = failure(file);
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

bool GatewayStore::commit(std::string &error) {
    bool any = false;
    for (auto &entry : gateways_) {
        Gateway &gateway = entry.second;
        if (!gateway.touched && gateway.fd < 0) continue;
        const std::string log = path(entry.first, ".log");
        if (gateway.fd >= 0) {
            struct stat info {};
            if (fdatasync(gateway.fd) != 0 || fstat(gateway.fd, &info) != 0) {
                error = failure(log);
                return false;
            }
            gateway.size = info.st_size;
            close(gateway.fd);
            gateway.fd = -1;
        }
        if (!save(entry.first, gateway, error)) return false;
        gateway.touched = false;
        any = true;
    }
    if (!any) return true;
    // The renamed records are durable once the folder is.
    const int dir = open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool synced = dir >= 0 && fsync(dir) == 0;
    if (dir >= 0) close(dir);
    if (!synced) error = failure(dir_);
    return synced;
}
