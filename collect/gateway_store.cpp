#include "gateway_store.h"

#include <algorithm>

#include <cerrno>
#include <cstdint>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "contract.h"
#include "record_file.h"

namespace {

const char old_suffix[] = ".sfcollect";  // the record files of earlier versions

// Failures that every gateway would meet next, not just the one whose file it was.
bool is_disk_failure(int error) { return error == ENOSPC || error == EDQUOT || error == EIO || error == EROFS; }

bool ends_with(const std::string &text, const std::string &suffix) {
    return text.size() > suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Which file of the folder is which, so that a log rotated away since its
// record was written is found under its new name.
std::map<std::pair<std::uint64_t, std::uint64_t>, std::string> files_of(DIR *dir, int dir_fd) {
    std::map<std::pair<std::uint64_t, std::uint64_t>, std::string> files;
    rewinddir(dir);
    while (const dirent *entry = readdir(dir)) {
        struct stat info {};
        if (std::string(entry->d_name).find(".log") == std::string::npos ||
            fstatat(dir_fd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode))
            continue;
        files[{info.st_dev, info.st_ino}] = entry->d_name;
    }
    return files;
}

// Whether file is name's log: NAME.log, or a rotated one NAME.log.N or
// NAME.log-DATE as logrotate names them; never a compressed one.
bool is_log_of(const std::string &name, const std::string &file) {
    const std::string own = name + ".log";
    if (file == own) return true;
    if (file.size() < own.size() + 2 || file.compare(0, own.size(), own) != 0) return false;
    const char separator = file[own.size()];
    return (separator == '.' || separator == '-') &&
           file.find_first_not_of("0123456789", own.size() + 1) == std::string::npos;
}

// Cuts what lies past the recorded size of the recorded file: it was never
// acknowledged, and it comes again.
bool cut_to_record(const std::string &path, const GatewayRecord &record, std::string &error) {
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        error = failed_call(path, "open");
        return false;
    }
    struct stat info {};
    const char *call = fstat(fd, &info) != 0 ? "fstat" : nullptr;
    const bool same = call == nullptr && info.st_dev == record.dev && info.st_ino == record.ino;
    if (same && static_cast<std::uint64_t>(info.st_size) > record.size)
        call = ftruncate(fd, static_cast<off_t>(record.size)) != 0 ? "ftruncate"
               : fdatasync(fd) != 0                                ? "fdatasync"
                                                                   : nullptr;
    if (call != nullptr) error = failed_call(path, call);
    close(fd);
    return call == nullptr;
}

}  // namespace

GatewayStore::GatewayStore(std::string dir) : dir_(std::move(dir)), journal_(dir_ + "/sfcollect.journal") {}

GatewayStore::~GatewayStore() {
    for (auto &entry : gateways_)
        if (entry.second.fd >= 0) close(entry.second.fd);
    if (journal_fd_ >= 0) close(journal_fd_);
    if (dir_fd_ >= 0) close(dir_fd_);
}

bool GatewayStore::lock(std::string &error) {
    dir_fd_ = open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd_ < 0) {
        error = failed_call(dir_, "open");
        return false;
    }
    // Two collectors on one folder would each cut the other's lines.
    if (flock(dir_fd_, LOCK_EX | LOCK_NB) == 0) return true;
    error = errno == EWOULDBLOCK ? dir_ + ": another sfcollect is using this folder" : failed_call(dir_, "flock");
    return false;
}

Gateway &GatewayStore::find(const std::string &name) { return gateways_[name]; }

bool GatewayStore::recover(std::vector<std::string> &notes, std::string &error) {
    std::string text;
    bool found = false;
    // The journal grows beyond what a record file may hold.
    if (!read_whole(journal_, SIZE_MAX, text, found, error)) return false;
    JournalReplay replay;
    if (found && !replay_journal(text, replay)) {
        error = journal_ + ": not a journal of sfcollect";
        return false;
    }
    DIR *dir = opendir(dir_.c_str());
    if (dir == nullptr) {
        error = failed_call(dir_, "opendir");
        return false;
    }
    // Record files of earlier versions count where the journal has no newer record.
    std::vector<std::string> migrated;
    while (const dirent *entry = readdir(dir)) {
        const std::string file = entry->d_name;
        const std::string name = file.substr(0, file.size() - (sizeof old_suffix - 1));
        if (!ends_with(file, old_suffix) || !is_gateway_name(name)) continue;
        const std::string path = dir_ + "/" + file;
        std::string old;
        GatewayRecord record;
        if (replay.records.count(name) != 0) {
            migrated.push_back(path);
        } else if (!read_record_file(path, old, found, error)) {
            notes.push_back(error + "; its gateway starts anew");
        } else if (found && !decode_old_record(old, record)) {
            notes.push_back(path + ": not a record of sfcollect; its gateway starts anew");
        } else if (found) {
            replay.records[name] = record;
            migrated.push_back(path);
        }
    }
    const auto files = files_of(dir, dir_fd_);
    closedir(dir);
    std::map<std::pair<std::uint64_t, std::uint64_t>, int> named;  // records naming each file
    for (const auto &entry : replay.records) ++named[{entry.second.dev, entry.second.ino}];
    for (const auto &entry : replay.records) {
        Gateway &gateway = gateways_[entry.first];
        gateway.record = entry.second;
        gateway.state = entry.second.state;
        gateway.recorded = true;
        ++recorded_;
        const std::pair<std::uint64_t, std::uint64_t> id{entry.second.dev, entry.second.ino};
        const auto file = files.find(id);
        if (file == files.end()) continue;
        // A file system gives a freed inode to the next new file: the file
        // with the recorded inode is this gateway's only under one of its
        // own names, and only when no other record names it too.
        if (!is_log_of(entry.first, file->second) || named[id] > 1) {
            notes.push_back(dir_ + "/" + file->second + " has the inode " + entry.first +
                            "'s record names, but is not its log; left alone");
            continue;
        }
        if (!cut_to_record(dir_ + "/" + file->second, entry.second, error)) return false;
    }
    if (!compact(error)) return false;
    // Only now that the journal holds them durably.
    for (const std::string &path : migrated)
        if (unlink(path.c_str()) != 0 && errno != ENOENT) notes.push_back(failed_call(path, "unlink"));
    return true;
}

bool GatewayStore::compact(std::string &error) {
    std::map<std::string, GatewayRecord> records;
    for (const auto &entry : gateways_)
        if (entry.second.recorded) records.emplace(entry.first, entry.second.record);
    if (!replace_durably(journal_, compact_journal(records), error)) return false;
    if (journal_fd_ >= 0) close(journal_fd_);
    journal_fd_ = open(journal_.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (journal_fd_ < 0) {
        error = failed_call(journal_, "open");
        return false;
    }
    entries_ = records.size();
    return true;
}

bool GatewayStore::append_journal(const std::string &text, std::string &error) {
    const off_t before = lseek(journal_fd_, 0, SEEK_END);
    const char *call = !write_all(journal_fd_, text.data(), text.size()) ? "write"
                       : fdatasync(journal_fd_) != 0                     ? "fdatasync"
                                                                         : nullptr;
    if (call == nullptr) return true;
    error = failed_call(journal_, call);
    // A torn entry is ignored when read back, but more appended after it would be too.
    if (before >= 0 && ftruncate(journal_fd_, before) != 0) error += " (and cannot be cut back)";
    return false;
}

bool GatewayStore::open_log(const std::string &name, Gateway &gateway, bool &fatal, std::string &error) {
    const std::string log = log_path(name);
    // Opened per pass, as the logger opens its log, so that rotation by rename is followed.
    const int fd = open(log.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    struct stat info {};
    const char *call = fd < 0 ? "open" : fstat(fd, &info) != 0 ? "fstat" : nullptr;
    if (call != nullptr) {
        fatal = is_disk_failure(errno);
        error = failed_call(log, call);
        if (fd >= 0) close(fd);
        return false;
    }
    GatewayRecord &record = gateway.record;
    const auto size = static_cast<std::uint64_t>(info.st_size);
    // Smaller than recorded: the same inode number, but a new file, or one cut in place.
    const bool same = gateway.recorded && info.st_dev == record.dev && info.st_ino == record.ino && size >= record.size;
    if (same && size > record.size && ftruncate(fd, static_cast<off_t>(record.size)) != 0) {
        fatal = true;
        error = failed_call(log, "ftruncate");
        close(fd);
        return false;
    }
    if (!same) {
        // A file it has no record of: named in the journal before its first
        // line goes in, so that a kill after that line is cut back to here.
        // Its lines wait for the commit, where one sync names all such files.
        record.dev = info.st_dev;
        record.ino = info.st_ino;
        record.size = size;
        recorded_ += gateway.recorded ? 0 : 1;
        gateway.recorded = true;
        gateway.fresh = true;
        intents_ += encode_entry(name, record);
        ++entries_;
        created_ = true;
    }
    gateway.fd = fd;
    open_.emplace_back(&gateways_.find(name)->first, &gateway);
    return true;
}

bool GatewayStore::append(const std::string &name, Gateway &gateway, const char *lines, std::size_t size, bool &fatal,
                          std::string &error) {
    fatal = false;
    if (gateway.fd < 0 && !open_log(name, gateway, fatal, error)) return false;
    if (gateway.fresh) {
        gateway.held.append(lines, size);
        gateway.touched = true;
        return true;
    }
    const off_t before = lseek(gateway.fd, 0, SEEK_END);
    if (write_all(gateway.fd, lines, size)) {
        gateway.touched = true;
        return true;
    }
    fatal = is_disk_failure(errno);
    error = failed_call(log_path(name), "write");
    if (before >= 0 && ftruncate(gateway.fd, before) != 0) {
        error += " (and cannot be cut back)";
        fatal = true;
    }
    return false;
}

bool GatewayStore::pending() const { return !open_.empty(); }

bool GatewayStore::commit(std::string &error) {
    if (open_.empty()) return true;
    // Those that a failure leaves open are closed with the store.
    std::vector<std::pair<const std::string *, Gateway *>> due;
    due.swap(open_);
    if (!intents_.empty() && !append_journal(intents_, error)) return false;
    intents_.clear();
    for (auto &[name, gateway] : due) {
        if (!gateway->fresh) continue;
        if (!write_all(gateway->fd, gateway->held.data(), gateway->held.size())) {
            error = failed_call(log_path(*name), "write");
            return false;
        }
        gateway->fresh = false;
        std::string().swap(gateway->held);
    }
    // One writeback and one file system commit for all the logs of the pass,
    // however many: an fdatasync each costs a commit each, and even issued
    // from many threads at once they queue (bench/fleet.sh, README).
    if (syncfs(dir_fd_) != 0) {
        error = failed_call(dir_, "syncfs");
        return false;
    }
    std::string entries;
    for (auto &[name, gateway] : due) {
        struct stat info {};
        if (fstat(gateway->fd, &info) != 0) {
            error = failed_call(log_path(*name), "fstat");
            return false;
        }
        close(gateway->fd);
        gateway->fd = -1;
        if (!gateway->touched && static_cast<std::uint64_t>(info.st_size) == gateway->record.size) continue;
        gateway->record.state = gateway->state;
        gateway->record.size = static_cast<std::uint64_t>(info.st_size);
        gateway->touched = false;
        entries += encode_entry(*name, gateway->record);
        ++entries_;
    }
    if (!entries.empty() && !append_journal(entries, error)) return false;
    // A log created in this pass is durable once its folder is.
    if (created_ && fsync(dir_fd_) != 0) {
        error = failed_call(dir_, "fsync");
        return false;
    }
    created_ = false;
    return !should_compact(entries_, recorded_) || compact(error);
}
