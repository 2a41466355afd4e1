#include "gateway_store.h"

#include <algorithm>
#include <set>

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "contract.h"
#include "file_print.h"
#include "lock_file.h"
#include "read_at.h"
#include "record_file.h"
#include "rotated_files.h"
#include "warn.h"

namespace {

const char old_suffix[] = ".sfcollect";  // the record files of earlier versions

// Line numbers and names said at most in one note.
const std::size_t max_named = 10;

// A log is opened for appending alone, as an append-only file (chattr +a)
// allows; never through a symbolic link, which recovery does not follow
// either; and without waiting for a reader of a FIFO put in its place.
const int log_flags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

bool ends_with(const std::string &text, const std::string &suffix) {
    return text.size() > suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

struct Found {
    std::string name;
    std::uint64_t size = 0;
};
using Files = std::map<std::pair<std::uint64_t, std::uint64_t>, Found>;

// Which file of the folder is which, so that a log rotated away since its
// record was written is found under its new name.
Files files_of(DIR *dir, int dir_fd) {
    Files files;
    rewinddir(dir);
    while (const dirent *entry = readdir(dir)) {
        struct stat info {};
        if (std::string(entry->d_name).find(".log") == std::string::npos ||
            fstatat(dir_fd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode))
            continue;
        files[{info.st_dev, info.st_ino}] = {entry->d_name, static_cast<std::uint64_t>(info.st_size)};
    }
    return files;
}

// Whether file is name's log: NAME.log, or a rotated one NAME.log.N or
// NAME.log-DATE as logrotate names them; compressed, when it is one.
bool is_log_of(const std::string &name, const std::string &file, bool &compressed) {
    compressed = false;
    return file == name + ".log" || is_rotated_name(name + ".log", file, compressed);
}

bool is_log_of(const std::string &name, const std::string &file) {
    bool compressed = false;
    return is_log_of(name, file, compressed) && !compressed;
}

// The file at path opened for reading, plain or compressed: not through a
// link, and without waiting for a writer of a FIFO put in its place.
bool open_input(const std::string &path, bool compressed, LogInput &input, std::string &error) {
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) error = failed_call(path, "open");
    return fd >= 0 && input.adopt(fd, path, compressed, error);
}

// The print of the file at path, plain or compressed; false when it cannot be read.
bool print_of(const std::string &path, bool compressed, std::uint64_t &print) {
    LogInput input;
    std::string error;
    return open_input(path, compressed, input, error) && read_print(input, print, error);
}

// The print of the log at path once it has a first line, if it is still the
// recorded file; 0 until then.
std::uint64_t print_of_log(const std::string &path, const GatewayRecord &record) {
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat info {};
    if (fd >= 0 && (fstat(fd, &info) != 0 || info.st_dev != record.dev || info.st_ino != record.ino)) {
        close(fd);
        return 0;
    }
    LogInput input;
    std::string error;
    std::uint64_t print = 0;
    if (fd < 0 || !input.adopt(fd, path, false, error) || !read_print(input, print, error)) return 0;
    return print;
}

// failed_call, with failure set from errno.
std::string fail(const std::string &path, const char *call, Failure &failure) {
    failure = classify_failure(errno);
    const bool link = errno == ELOOP;
    return failed_call(path, call) + (link ? " (a symbolic link, not followed)" : "");
}

std::string vanished_note(const std::string &path, std::uint64_t bytes) {
    return path + ": " + std::to_string(bytes) +
           " bytes it had acknowledged are gone from it (cut by another program? a copytruncate?); its lines go "
           "on after what is left";
}

// "a, b and c", or "a, b, ... and N more" past max_named.
std::string list_of(const std::vector<std::string> &items) {
    std::string text;
    for (std::size_t at = 0; at < items.size(); ++at) {
        if (at == max_named) return text + " and " + std::to_string(items.size() - at) + " more";
        text += (at == 0 ? "" : at + 1 == items.size() ? " and " : ", ") + items[at];
    }
    return text;
}

// Cuts what lies past the record in the file at path, if it is still the
// recorded file: it was never acknowledged, and it comes again.
bool cut_file(const std::string &path, const GatewayRecord &record, Failure &failure, std::string &error) {
    const int fd = open(path.c_str(), log_flags);
    if (fd < 0) {
        if (errno == ENOENT) return true;  // gone since: nothing of it can come twice
        error = fail(path, "open", failure);
        return false;
    }
    struct stat info {};
    const char *call = fstat(fd, &info) != 0 ? "fstat" : nullptr;
    const bool same = call == nullptr && info.st_dev == record.dev && info.st_ino == record.ino;
    if (same && static_cast<std::uint64_t>(info.st_size) > record.size)
        call = ftruncate(fd, static_cast<off_t>(record.size)) != 0 ? "ftruncate"
               : fdatasync(fd) != 0                                ? "fdatasync"
                                                                   : nullptr;
    if (call != nullptr) error = fail(path, call, failure);
    close(fd);
    return call == nullptr;
}

}  // namespace

std::string waiting_note(const std::string &name, const std::string &error) {
    return error + "; " + name + "'s batches are left unacknowledged and tried again now and then";
}

namespace {

// " (line N may have been its record)", when a damaged line still names it.
std::string damaged_line_of(const JournalReplay &replay, const std::string &name) {
    const auto line = replay.damaged_names.find(name);
    if (line == replay.damaged_names.end()) return "";
    return " (line " + std::to_string(line->second) + " may have been its record)";
}

// A gateway with a log but no record left anywhere is not taken for a new
// one: its log, as it is, is where its record starts.
void take_logs(const Files &files, const std::string &dir, const std::string &journal, JournalReplay &replay,
               std::vector<std::string> &notes) {
    for (const auto &file : files) {
        const std::string &log = file.second.name;
        if (!ends_with(log, ".log")) continue;
        const std::string name = log.substr(0, log.size() - 4);
        if (!is_gateway_name(name) || replay.records.count(name) != 0) continue;
        GatewayRecord record;
        record.dev = file.first.first;
        record.ino = file.first.second;
        record.size = file.second.size;
        record.unsure = record.size;
        replay.records[name] = record;
        replay.uncertain.insert(name);
        std::string note = journal;
        note += ": " + name + " has no whole entry" + damaged_line_of(replay, name) + " and none in ";
        note += journal + ".old: its log ";
        note += dir;
        note += "/" + log + " is kept as it is (";
        note += std::to_string(record.size) + " bytes), and lines that come again are compared with it";
        notes.push_back(note);
    }
}

// The bytes from from to the recorded size of the file at path may hold
// acknowledged lines: compared with what comes again.
void open_tail(const std::string &path, std::uint64_t from, Gateway &gateway, std::vector<std::string> &notes) {
    if (gateway.record.size <= from) return;
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return notes.push_back(failed_call(path, "open") + "; lines that come again are not compared with it");
    gateway.tail_fd = fd;
    gateway.tail_path = path;
    gateway.tail_at = from;
    gateway.tail_end = gateway.record.size;
    gateway.record.unsure = gateway.record.size - from;
}

// Where the last whole line of the file at path ends, from from to size:
// size when it ends with one, or when it cannot tell.
std::uint64_t whole_lines_end(const std::string &path, std::uint64_t from, std::uint64_t size) {
    // Longer than any line: with no newline in it, the bytes are not lines of a log.
    const std::uint64_t most = std::uint64_t{1} << 16;
    const std::uint64_t start = size - std::min(size - from, most);
    std::string text(static_cast<std::size_t>(size - start), '\0');
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    const long got = fd < 0 ? -1 : read_at(fd, start, text.data(), text.size());
    if (fd >= 0) close(fd);
    if (got != static_cast<long>(text.size()) || text.empty() || text.back() == '\n') return size;
    const std::size_t last = text.rfind('\n');
    if (last != std::string::npos) return start + last + 1;
    return start == from ? from : size;
}

// Where the line starts a line of the tail; its end when nowhere.
bool find_in_tail(Gateway &gateway, const char *line, std::size_t size, std::uint64_t &found, Failure &failure,
                  std::string &error) {
    const std::size_t chunk = std::max<std::size_t>(std::size_t{1} << 20, 2 * size);
    std::string text;
    bool at_start = true;
    for (std::uint64_t at = gateway.tail_at; at < gateway.tail_end;) {
        text.resize(static_cast<std::size_t>(std::min<std::uint64_t>(chunk, gateway.tail_end - at)));
        const long got = read_at(gateway.tail_fd, at, text.data(), text.size());
        if (got < 0) {
            error = fail(gateway.tail_path, "pread", failure);
            return false;
        }
        text.resize(static_cast<std::size_t>(got));
        const std::size_t where = find_line(text, at_start, line, size);
        if (where != std::string::npos) {
            found = at + where;
            return true;
        }
        if (got == 0 || at + text.size() >= gateway.tail_end) break;
        // On from the last line that starts in this chunk, which may go on in the next.
        const std::size_t last = text.rfind('\n');
        at_start = last != std::string::npos;
        at += at_start ? last + 1 : text.size();
    }
    found = gateway.tail_end;
    return true;
}

// How many bytes of lines at their start the tail holds already; the tail
// moves past them, and past what it holds before a line found further on.
bool match_tail(Gateway &gateway, const char *lines, std::size_t size, std::size_t &held, Failure &failure,
                std::string &error) {
    held = 0;
    std::string text;
    while (held < size && gateway.tail_at < gateway.tail_end) {
        text.resize(static_cast<std::size_t>(std::min<std::uint64_t>(size - held, gateway.tail_end - gateway.tail_at)));
        const long got = read_at(gateway.tail_fd, gateway.tail_at, text.data(), text.size());
        if (got < 0) {
            error = fail(gateway.tail_path, "pread", failure);
            return false;
        }
        if (static_cast<std::size_t>(got) < text.size()) gateway.tail_end = gateway.tail_at + got;  // cut since
        const std::size_t same = lines_held(text.data(), static_cast<std::size_t>(got), lines + held, size - held);
        held += same;
        gateway.tail_at += same;
        if (held == size || gateway.tail_at == gateway.tail_end) break;
        // Not the tail's next line: further on (after lines of another epoch), or nowhere.
        const char *line = lines + held;
        const auto length =
            static_cast<std::size_t>(static_cast<const char *>(std::memchr(line, '\n', size - held)) - line) + 1;
        std::uint64_t found = 0;
        if (!find_in_tail(gateway, line, length, found, failure, error)) return false;
        gateway.tail_kept += found - gateway.tail_at;
        gateway.tail_at = found;
    }
    return true;
}

// Every unsure byte is either matched or kept: said, and the tail closed.
void end_tail(Gateway &gateway) {
    if (gateway.tail_kept > 0)
        warn("%s: %" PRIu64
             " bytes of it past its last certain record matched none of the lines that came again: kept (lines of "
             "another epoch, or never acknowledged)",
             gateway.tail_path.c_str(), gateway.tail_kept);
    close(gateway.tail_fd);
    gateway.tail_fd = -1;
}

// Finds each record's file by its print, device and inode being only a
// hint: a copy or a remount changes them, and a copytruncate leaves the
// recorded inode empty with the lines in the copy. A record whose file is
// no plain one of its gateway names none; where a compressed one holds its
// lines, it is in compressed.
void find_by_print(const Files &files, const std::string &dir, JournalReplay &replay,
                   std::map<std::string, std::string> &compressed, std::vector<std::string> &notes) {
    for (auto &entry : replay.records) {
        const std::string &name = entry.first;
        GatewayRecord &record = entry.second;
        if (record.print == 0) continue;
        std::vector<Files::const_iterator> found;
        std::vector<LogFile> prints;
        const auto look = [&](Files::const_iterator file) {
            LogFile log;
            if (!is_log_of(name, file->second.name, log.compressed)) return;
            log.read = print_of(dir + "/" + file->second.name, log.compressed, log.print);
            found.push_back(file);
            prints.push_back(log);
        };
        // Its inode's file first: read alone, where it is still the log, as it mostly is.
        if (const auto hint = files.find({record.dev, record.ino}); hint != files.end()) look(hint);
        if (locate_log(record.print, prints, 0).where == Where::recorded) continue;
        found.clear();
        prints.clear();
        for (auto file = files.begin(); file != files.end(); ++file) look(file);
        const Located located = locate_log(record.print, prints, prints.size());
        record.dev = located.where == Where::moved ? found[located.at]->first.first : 0;
        record.ino = located.where == Where::moved ? found[located.at]->first.second : 0;
        if (located.where == Where::compressed) compressed[name] = dir + "/" + found[located.at]->second.name;
        if (located.where != Where::several) continue;
        std::string note = dir;
        note += "/" + found[located.at]->second.name + " and other files start as ";
        note += name + "'s log did: none is taken for it, nor cut";
        notes.push_back(note);
    }
}

// The bytes past the record in the compressed file at path, which cannot be
// cut: they were never acknowledged, so they come again, and are compared
// with what comes instead of being written twice.
void open_packed_tail(const std::string &path, Gateway &gateway, std::vector<std::string> &notes) {
    LogInput input;
    std::string error;
    if (!open_input(path, true, input, error) || !input.skip(gateway.record.size, error)) {
        if (!error.empty()) notes.push_back(error + "; lines that come again are not compared with it");
        return;
    }
    const int fd = memfd_create("sfcollect-tail", MFD_CLOEXEC);
    if (fd < 0)
        return notes.push_back(failed_call(path, "memfd_create") + "; lines that come again are not compared with it");
    std::uint64_t size = 0;
    char chunk[64 * 1024];
    for (long got = 0; (got = input.read(chunk, sizeof chunk, error)) != 0; size += static_cast<std::uint64_t>(got)) {
        if (got < 0 || !write_all(fd, chunk, static_cast<std::size_t>(got))) {
            close(fd);
            return notes.push_back((got < 0 ? error : failed_call(path, "write")) +
                                   "; lines that come again are not compared with it");
        }
    }
    if (size == 0) {
        close(fd);
        return;
    }
    gateway.tail_fd = fd;
    gateway.tail_path = path;
    gateway.tail_at = 0;
    gateway.tail_end = size;
    notes.push_back(path + ": its last " + std::to_string(size) +
                    " bytes were never acknowledged and cannot be cut, as it is compressed: kept, and the lines that "
                    "come again are compared with them rather than written twice");
}

// A damaged entry may have been the one that named a gateway's new log, made
// after logrotate moved the recorded one away. When the recorded file has
// nothing past its record and NAME.log is a file no record names, NAME.log
// becomes its file, all of it unsure.
void take_new_logs(const Files &files, const std::string &dir, JournalReplay &replay, std::vector<std::string> &notes) {
    std::set<std::pair<std::uint64_t, std::uint64_t>> named;
    for (const auto &entry : replay.records) named.insert({entry.second.dev, entry.second.ino});
    for (const auto &file : files) {
        const std::string &log = file.second.name;
        if (!ends_with(log, ".log") || file.second.size == 0 || named.count(file.first) != 0) continue;
        const std::string name = log.substr(0, log.size() - 4);
        const auto entry = replay.records.find(name);
        if (entry == replay.records.end() || replay.uncertain.count(name) == 0) continue;
        GatewayRecord &record = entry->second;
        const auto recorded = files.find({record.dev, record.ino});
        if (record.unsure > 0 || (recorded != files.end() && recorded->second.size > record.size)) continue;
        record.dev = file.first.first;
        record.ino = file.first.second;
        record.size = file.second.size;
        record.unsure = record.size;
        std::string note = dir;
        note += "/" + log + " is not the file ";
        note += name + "'s record names, and may hold lines acknowledged since: ";
        note += "kept as it is, and lines that come again are compared with it";
        notes.push_back(note);
    }
}

}  // namespace

GatewayStore::GatewayStore(std::string dir)
    : dir_(std::move(dir)), journal_(dir_ + "/sfcollect.journal"), left_(dir_ + "/sfcollect.left") {}

GatewayStore::~GatewayStore() {
    for (auto &entry : gateways_) {
        if (entry.second.fd >= 0) close(entry.second.fd);
        if (entry.second.tail_fd >= 0) close(entry.second.tail_fd);
    }
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
    return lock_exclusively(dir_fd_, dir_, "sfcollect", "folder", error);
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
    if (!replay.damaged.empty()) {
        say_damage(replay, notes);
        take_older(replay, notes);
    }
    if (!read_left(notes, error)) return false;
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
    std::map<std::string, std::string> packed;  // gateways whose lines lie in a compressed file
    find_by_print(files, dir_, replay, packed, notes);
    if (!replay.damaged.empty()) {
        take_logs(files, dir_, journal_, replay, notes);
        take_new_logs(files, dir_, replay, notes);
    }
    std::map<std::pair<std::uint64_t, std::uint64_t>, int> named;  // records naming each file
    for (const auto &entry : replay.records) ++named[{entry.second.dev, entry.second.ino}];
    for (const auto &entry : replay.records) {
        Gateway &gateway = gateways_[entry.first];
        gateway.record = entry.second;
        gateway.record.unsure = 0;  // until its file is found
        gateway.state = entry.second.state;
        gateway.recorded = true;
        ++recorded_;
        const std::pair<std::uint64_t, std::uint64_t> id{entry.second.dev, entry.second.ino};
        const auto file = files.find(id);
        if (file == files.end()) {
            if (packed.count(entry.first) != 0) open_packed_tail(packed[entry.first], gateway, notes);
            continue;
        }
        const std::string path = dir_ + "/" + file->second.name;
        // A file system gives a freed inode to the next new file: the file
        // with the recorded inode is this gateway's only under one of its
        // own names, and only when no other record names it too.
        if (!is_log_of(entry.first, file->second.name) || named[id] > 1) {
            notes.push_back(path + " has the inode " + entry.first + "'s record names, but is not its log; left alone");
            continue;
        }
        const bool trusted = replay.uncertain.count(entry.first) == 0;
        FilePlan plan = plan_file(true, trusted, entry.second.size, true, file->second.size);
        if (plan.vanished > 0) notes.push_back(vanished_note(path, plan.vanished));
        const std::uint64_t unsure_from = entry.second.size - entry.second.unsure;
        if (plan.action == FileAction::keep && plan.size > unsure_from) {
            // Every pass ends with a whole line: a piece of one was never acknowledged.
            const std::uint64_t whole = whole_lines_end(path, unsure_from, plan.size);
            if (whole < plan.size) {
                notes.push_back(path + ": its last " + std::to_string(plan.size - whole) +
                                " bytes are not a whole line, so never acknowledged: cut");
                plan = {FileAction::cut, whole, 0};
            }
        }
        gateway.record.size = plan.size;
        if (plan.action != FileAction::take_new) open_tail(path, unsure_from, gateway, notes);
        if (plan.action != FileAction::cut) continue;
        Failure failure = Failure::file;
        if (cut_file(path, gateway.record, failure, error)) continue;
        if (failure == Failure::disk) return false;
        // Its batches wait until the cut is made: lines after the tail would be doubled.
        gateway.cut = path;
        gateway.cut_bytes = file->second.size - plan.size;
        gateway.fault = error;
        gateway.failures = 1;
        gateway.retry_at = std::chrono::steady_clock::now() + retry_delay(1);
        notes.push_back(waiting_note(entry.first, error));
    }
    // The journal as it was, for whoever wants to see what was damaged.
    const std::string kept = journal_ + ".damaged";
    if (!replay.damaged.empty()) {
        unlink(kept.c_str());
        if (link(journal_.c_str(), kept.c_str()) != 0) notes.push_back(failed_call(kept, "link"));
    }
    if (!compact(error)) return false;
    // Only now that the journal holds them durably.
    for (const std::string &path : migrated)
        if (unlink(path.c_str()) != 0 && errno != ENOENT) notes.push_back(failed_call(path, "unlink"));
    return true;
}

// Made at start when absent, so that the compaction's sync of the folder
// makes its name durable, and its appends need only their own sync.
bool GatewayStore::read_left(std::vector<std::string> &notes, std::string &error) {
    std::string text;
    bool found = false;
    if (!read_whole(left_, SIZE_MAX, text, found, error)) return false;
    LeftReplay replay;
    replay_left(text, replay);
    if (!replay.damaged.empty()) {
        std::vector<std::string> numbers;
        for (const std::size_t line : replay.damaged) numbers.push_back(std::to_string(line));
        notes.push_back(left_ + ": " + (numbers.size() == 1 ? "line " : "lines ") + list_of(numbers) +
                        (numbers.size() == 1 ? " is" : " are") + " not a gateway's name and an epoch, skipped");
    }
    // A torn line's epoch is still in its gateway's entry; left there, the next line would be appended to it.
    const std::size_t torn = text.size() - replay.whole;
    const int fd = open(left_.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0 && found && torn == 0) {
        // Read, but not to be written: the gateways whose epochs would go into it wait.
        notes.push_back(failed_call(left_, "open"));
    } else if (fd < 0) {
        error = failed_call(left_, "open");
        return false;
    }
    const char *call = torn == 0                                              ? nullptr
                       : ftruncate(fd, static_cast<off_t>(replay.whole)) != 0 ? "ftruncate"
                       : fdatasync(fd) != 0                                   ? "fdatasync"
                                                                              : nullptr;
    if (call != nullptr) error = failed_call(left_, call);
    if (fd >= 0) close(fd);
    if (call != nullptr) return false;
    if (torn > 0)
        notes.push_back(left_ + ": its last " + std::to_string(torn) +
                        " bytes are not a whole line, so their epoch is still in the journal: cut");
    for (auto &entry : replay.epochs) gateways_[entry.first].forgotten = std::move(entry.second);
    return true;
}

bool GatewayStore::forget(const std::string &name, Gateway &gateway, std::uint64_t epoch, Failure &failure,
                          std::string &error) {
    if (epoch == 0 || gateway.forgotten.count(epoch) != 0) return true;
    const int fd = open(left_.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = fail(left_, "open", failure);
        return false;
    }
    const std::string line = encode_left(name, epoch);
    const off_t before = lseek(fd, 0, SEEK_END);
    const char *call = before < 0                                 ? "lseek"
                       : !write_all(fd, line.data(), line.size()) ? "write"
                       : fdatasync(fd) != 0                       ? "fdatasync"
                                                                  : nullptr;
    if (call != nullptr) {
        error = fail(left_, call, failure);
        // A torn line would take the next one with it: one that stays stops the collector, and its start cuts it.
        if (before >= 0 && ftruncate(fd, before) != 0) {
            error += " (and cannot be cut back)";
            failure = Failure::disk;
        }
    }
    close(fd);
    if (call != nullptr) return false;
    gateway.forgotten.insert(epoch);
    return true;
}

void GatewayStore::say_damage(const JournalReplay &replay, std::vector<std::string> &notes) const {
    std::vector<std::string> numbers;
    for (const std::size_t line : replay.damaged) numbers.push_back(std::to_string(line));
    notes.push_back(journal_ + ": " + (numbers.size() == 1 ? "line " : "lines ") + list_of(numbers) +
                    (numbers.size() == 1 ? " is" : " are") + " not a whole entry, skipped (the journal is kept as " +
                    journal_ + ".damaged)");
    if (replay.uncertain.empty()) return;
    const std::vector<std::string> names(replay.uncertain.begin(), replay.uncertain.end());
    notes.push_back(journal_ + ": " + list_of(names) + (names.size() == 1 ? " has its" : " have their") +
                    " last entry before line " + numbers.back() +
                    ", which may have been a newer one: " + (names.size() == 1 ? "its log is" : "their logs are") +
                    " not cut back, and lines that come again are compared with what lies past the record");
}

// The journal before its last compaction holds the record of a gateway whose
// every entry since is damaged.
void GatewayStore::take_older(JournalReplay &replay, std::vector<std::string> &notes) const {
    const std::string older = journal_ + ".old";
    std::string text;
    bool found = false;
    std::string error;
    JournalReplay before;
    if (!read_whole(older, SIZE_MAX, text, found, error)) return notes.push_back(error);
    if (!found) return;
    if (!replay_journal(text, before)) return notes.push_back(older + ": not a journal of sfcollect, not read");
    std::vector<std::string> taken;
    take_older_records(before, replay, taken);
    for (const std::string &name : taken) {
        std::string note = journal_;
        note += ": " + name + " has no whole entry" + damaged_line_of(replay, name) + ": its record is taken from ";
        note += older + ", its log is not cut back, and lines that come again are compared with it";
        notes.push_back(note);
    }
}

bool GatewayStore::compact(std::string &error) {
    std::map<std::string, GatewayRecord> records;
    for (const auto &entry : gateways_)
        if (entry.second.recorded) records.emplace(entry.first, entry.second.record);
    // The journal it replaces stays as JOURNAL.old: a damaged line of the new
    // one, a gateway's only entry, still finds that gateway's record there.
    const std::string older = journal_ + ".old";
    if (unlink(older.c_str()) != 0 && errno != ENOENT) warn("%s", failed_call(older, "unlink").c_str());
    if (link(journal_.c_str(), older.c_str()) != 0 && errno != ENOENT) warn("%s", failed_call(older, "link").c_str());
    const bool replaced = replace_durably(journal_, compact_journal(records), error);
    // Even when it failed, the rename may have been done: nothing more goes to the old file.
    if (journal_fd_ >= 0) close(journal_fd_);
    journal_fd_ = -1;
    if (!replaced) return false;
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

bool GatewayStore::open_log(const std::string &name, Gateway &gateway, Failure &failure, std::string &error) {
    if (!gateway.cut.empty() && !cut_again(name, gateway, failure, error)) return false;
    const std::string log = log_path(name);
    // Opened per pass, as the logger opens its log, so that rotation by rename
    // is followed. A log it creates is new whatever its inode: a file system
    // gives the inode of a rotated log, compressed since, to the next new file.
    int fd = open(log.c_str(), log_flags);
    bool created = false;
    if (fd < 0 && errno == ENOENT) {
        fd = open(log.c_str(), log_flags | O_CREAT | O_EXCL, 0644);
        created = fd >= 0;
        if (fd < 0 && errno == EEXIST) fd = open(log.c_str(), log_flags);
    }
    if (fd < 0) {
        error = fail(log, "open", failure);
        return false;
    }
    struct stat info {};
    const bool stated = fstat(fd, &info) == 0;
    if (!stated || !S_ISREG(info.st_mode)) {
        error = stated ? log + ": not a regular file" : fail(log, "fstat", failure);
        if (stated) failure = Failure::file;
        close(fd);
        return false;
    }
    GatewayRecord &record = gateway.record;
    const bool same = !created && info.st_dev == record.dev && info.st_ino == record.ino;
    const FilePlan plan =
        plan_file(gateway.recorded, true, record.size, same, static_cast<std::uint64_t>(info.st_size));
    if (plan.action == FileAction::cut && ftruncate(fd, static_cast<off_t>(plan.size)) != 0) {
        error = fail(log, "ftruncate", failure);
        close(fd);
        return false;
    }
    if (plan.vanished > 0) warn("%s", vanished_note(log, plan.vanished).c_str());
    if (plan.action == FileAction::take_new) {
        // A file it has no record of: named in the journal before its first
        // line goes in, so that a kill after that line is cut back to here.
        // Its lines wait for the commit, where one sync names all such files.
        record.dev = info.st_dev;
        record.ino = info.st_ino;
        record.size = plan.size;
        record.unsure = 0;  // of the file it leaves
        record.print = 0;   // read once it has a first line
        recorded_ += gateway.recorded ? 0 : 1;
        gateway.recorded = true;
        gateway.fresh = true;
        intents_ += encode_entry(name, record);
        ++entries_;
        created_ = true;
    }
    gateway.fd = fd;
    gateway.size = plan.size;
    open_.emplace_back(&gateways_.find(name)->first, &gateway);
    return true;
}

bool GatewayStore::append(const std::string &name, Gateway &gateway, const char *lines, std::size_t size,
                          std::size_t &known, Failure &failure, std::string &error) {
    known = 0;
    if (gateway.spoiled) {
        failure = Failure::file;
        error = gateway.fault;
        return false;
    }
    if (gateway.fd < 0 && !open_log(name, gateway, failure, error)) return false;
    const std::uint64_t tail_at = gateway.tail_at;
    const std::uint64_t tail_kept = gateway.tail_kept;
    if (gateway.tail_at < gateway.tail_end && !match_tail(gateway, lines, size, known, failure, error)) return false;
    lines += known;
    size -= known;
    if (gateway.fresh || size == 0) {
        gateway.held.append(lines, size);
        gateway.touched = true;
        return true;
    }
    const off_t before = lseek(gateway.fd, 0, SEEK_END);
    if (before >= 0 && write_all(gateway.fd, lines, size)) {
        gateway.size = static_cast<std::uint64_t>(before) + size;
        gateway.touched = true;
        return true;
    }
    gateway.tail_at = tail_at;  // the batch comes again
    gateway.tail_kept = tail_kept;
    known = 0;
    error = fail(log_path(name), before < 0 ? "lseek" : "write", failure);
    // What it wrote lies past size, which the record takes: nothing more goes after it in this pass.
    if (before >= 0 && ftruncate(gateway.fd, before) != 0) {
        error += " (and cannot be cut back)";
        gateway.spoiled = true;
    }
    return false;
}

bool GatewayStore::seal(std::vector<Unstored> &unstored, std::string &error) {
    if (open_.empty()) return true;
    if (!intents_.empty() && !append_journal(intents_, error)) return false;
    intents_.clear();
    // Compacted here, where the records held are the journal's, all durable:
    // the last pass's sync has ended, and this one's are not yet taken.
    if (should_compact(entries_, recorded_) && !compact(error)) return false;
    for (auto &[name, gateway] : open_) {
        if (!gateway->fresh) continue;
        gateway->fresh = false;
        const off_t before = lseek(gateway->fd, 0, SEEK_END);
        Failure failure = Failure::file;
        std::string failed;
        if (before < 0 || !write_all(gateway->fd, gateway->held.data(), gateway->held.size())) {
            failed = fail(log_path(*name), before < 0 ? "lseek" : "write", failure);
            if (before >= 0 && ftruncate(gateway->fd, before) != 0) failed += " (and cannot be cut back)";
        } else {
            gateway->size = static_cast<std::uint64_t>(before) + gateway->held.size();
        }
        std::string().swap(gateway->held);
        if (failed.empty()) continue;
        if (failure == Failure::disk) {
            error = failed;
            return false;
        }
        // Its record stays the one that names its file, at its size before the pass.
        gateway->touched = false;
        unstored.push_back({*name, failed});
    }
    // The records are taken now, as the next pass may append before the
    // sync is done: they are what the journal gets once it is.
    for (auto &[name, gateway] : open_) {
        close(gateway->fd);
        gateway->fd = -1;
        gateway->spoiled = false;
        if (!gateway->touched) continue;
        gateway->touched = false;
        gateway->record.state = gateway->state;
        gateway->record.size = gateway->size;
        // Read once, when its file has a first line: found by it after a copy or a remount.
        if (gateway->record.print == 0) gateway->record.print = print_of_log(log_path(*name), gateway->record);
        if (gateway->record.unsure > 0) gateway->record.unsure = gateway->tail_end - gateway->tail_at;
        sealed_.entries += encode_entry(*name, gateway->record);
        ++entries_;
        if (gateway->tail_fd >= 0 && gateway->tail_at == gateway->tail_end) sealed_.tails.push_back(gateway);
    }
    open_.clear();
    sealed_.created = created_;
    created_ = false;
    return true;
}

bool GatewayStore::sync_sealed(std::string &error) {
    // One writeback and one file system commit for all the logs of the pass,
    // however many: an fdatasync each costs a commit each, and even issued
    // from many threads at once they queue (bench/fleet.sh, README).
    if (syncfs(dir_fd_) != 0) {
        error = failed_call(dir_, "syncfs");
        return false;
    }
    if (!sealed_.entries.empty() && !append_journal(sealed_.entries, error)) return false;
    // A log created in this pass is durable once its folder is.
    if (sealed_.created && fsync(dir_fd_) != 0) {
        error = failed_call(dir_, "fsync");
        return false;
    }
    return true;
}

void GatewayStore::end_sealed() {
    for (Gateway *gateway : sealed_.tails)
        if (gateway->tail_fd >= 0) end_tail(*gateway);
    sealed_ = Sealed();
}

// A tail that could not be cut at start is cut where its file is now: a
// rotation may have renamed it since.
bool GatewayStore::cut_again(const std::string &name, Gateway &gateway, Failure &failure, std::string &error) {
    DIR *dir = opendir(dir_.c_str());
    if (dir == nullptr) {
        error = fail(dir_, "opendir", failure);
        return false;
    }
    // Only its own files are looked at: a folder of many gateways holds many rotated logs.
    std::string path;
    while (const dirent *entry = readdir(dir)) {
        struct stat info {};
        if (is_log_of(name, entry->d_name) && fstatat(dirfd(dir), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(info.st_mode) && info.st_dev == gateway.record.dev && info.st_ino == gateway.record.ino)
            path = dir_ + "/" + entry->d_name;
    }
    closedir(dir);
    if (path.empty()) {
        warn("%s: gone before the %" PRIu64
             " bytes past its record could be cut (compressed or removed?): if a copy of them was kept, those "
             "lines are in the archive twice",
             gateway.cut.c_str(), gateway.cut_bytes);
    } else if (!cut_file(path, gateway.record, failure, error)) {
        return false;
    }
    gateway.cut.clear();
    return true;
}
