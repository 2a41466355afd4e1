#include "rotated_files.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "folder_names.h"

namespace {

// What logrotate's compressext is for gzip, xz, zstd and bzip2.
constexpr const char *packed_ends[] = {".gz", ".xz", ".zst", ".bz2"};

// The length of name's compression suffix; 0 when it has none.
std::size_t packed_end(const std::string &name) {
    for (const char *end : packed_ends) {
        const std::size_t size = std::strlen(end);
        if (name.size() > size && name.compare(name.size() - size, size, end) == 0) return size;
    }
    return 0;
}

bool all_digits(const std::string &text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// What logrotate's dateformat makes: digits first, then digits and separators.
bool is_date(const std::string &text) {
    return !text.empty() && text[0] >= '0' && text[0] <= '9' && std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.';
    });
}

struct Candidate {
    RotatedFile file;
    bool dated;
    std::string number;  // digits of N, or the date
};

bool older(const Candidate &a, const Candidate &b) {
    if (a.dated != b.dated) return !a.dated;  // numbered files are taken as older than dated ones
    if (a.dated) return a.number < b.number;
    // Numbers of any length, compared without overflow: the longer is the larger.
    if (a.number.size() != b.number.size()) return a.number.size() > b.number.size();
    return a.number > b.number;
}

// name as one logrotate made of base, when it is one.
bool take_rotated(const std::string &base, const std::string &name, Candidate &found) {
    if (name.size() <= base.size() + 1 || name.compare(0, base.size(), base) != 0) return false;
    const std::size_t end = packed_end(name);
    const bool compressed = end != 0;
    if (name.size() - end <= base.size()) return false;
    const std::string rest = name.substr(base.size(), name.size() - base.size() - end);
    if (rest.size() < 2) return false;
    const std::string tail = rest.substr(1);
    if (rest[0] == '.' && all_digits(tail)) {
        found = {{name, compressed}, false, tail.substr(std::min(tail.find_first_not_of('0'), tail.size() - 1))};
        return true;
    }
    found = {{name, compressed}, true, tail};
    return rest[0] == '-' && is_date(tail);
}

}  // namespace

bool is_rotated_name(const std::string &base, const std::string &name, bool &compressed) {
    Candidate found;
    if (!take_rotated(base, name, found)) return false;
    compressed = found.file.compressed;
    return true;
}

std::vector<RotatedFile> order_rotated(const std::string &base, const std::vector<std::string> &names) {
    const std::set<std::string> present(names.begin(), names.end());
    std::vector<Candidate> found;
    for (const std::string &name : names) {
        Candidate candidate;
        if (!take_rotated(base, name, candidate)) continue;
        if (candidate.file.compressed && present.count(name.substr(0, name.size() - packed_end(name))) != 0) continue;
        found.push_back(std::move(candidate));
    }
    std::stable_sort(found.begin(), found.end(), older);
    std::vector<RotatedFile> files;
    files.reserve(found.size());
    for (Candidate &candidate : found) files.push_back(std::move(candidate.file));
    return files;
}

namespace {

// Appends to files the rotated files of base in folder, as paths under
// prefix; names gets the folder's names. With missing, a folder that is not
// there holds none: logrotate makes olddir only when it first rotates.
bool list_one(const std::string &folder, const std::string &prefix, const std::string &base, bool missing,
              std::vector<std::string> &names, std::vector<RotatedFile> &files, std::string &error) {
    names.clear();
    if (!list_folder(
            folder, [&](const std::string &name) { return name.compare(0, base.size(), base) == 0; }, names, error)) {
        struct stat info {};
        if (!missing || stat(folder.c_str(), &info) == 0 || errno != ENOENT) return false;
        error.clear();
        return true;
    }
    for (RotatedFile &file : order_rotated(base, names)) files.push_back({prefix + file.name, file.compressed});
    return true;
}

}  // namespace

bool list_rotated(const std::string &log, std::vector<RotatedFile> &files, std::string &error,
                  const std::string &olddir) {
    const std::size_t slash = log.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : log.substr(0, slash);
    const std::string base = slash == std::string::npos ? log : log.substr(slash + 1);
    const std::string prefix = slash == std::string::npos ? "" : log.substr(0, slash + 1);
    std::vector<std::string> names;
    files.clear();
    if (!list_one(folder, prefix, base, false, names, files, error)) return false;
    const bool has_log = std::binary_search(names.begin(), names.end(), base);
    const std::string old = olddir_of(log, olddir);
    if (!old.empty() && !list_one(old, old + "/", base, true, names, files, error)) return false;
    if (has_log) files.push_back({log, false});
    return true;
}

std::string olddir_of(const std::string &log, const std::string &olddir) {
    if (olddir.empty() || olddir[0] == '/') return olddir;
    const std::size_t slash = log.rfind('/');
    return slash == std::string::npos ? olddir : log.substr(0, slash + 1) + olddir;
}

std::string resolve_link(const std::string &path) {
    std::string at = path;
    char target[4096];
    // As many links as the kernel follows: a loop ends at a name that stat fails on, said there.
    for (int hops = 0; hops < 40; ++hops) {
        const ssize_t size = readlink(at.c_str(), target, sizeof target);
        if (size <= 0 || static_cast<std::size_t>(size) == sizeof target) break;
        // A relative target is relative to the folder of the link.
        const std::size_t slash = at.rfind('/');
        if (target[0] == '/' || slash == std::string::npos)
            at.clear();
        else
            at.resize(slash + 1);
        at.append(target, static_cast<std::size_t>(size));
    }
    return at;
}

bool readings_agree(const std::vector<SeenFile> &first, const std::vector<SeenFile> &second) {
    return std::equal(
        first.begin(), first.end(), second.begin(), second.end(),
        [](const SeenFile &a, const SeenFile &b) { return a.name == b.name && a.dev == b.dev && a.ino == b.ino; });
}

bool same_content(const SeenFile &was, const SeenFile &now) {
    return was.dev == now.dev && was.ino == now.ino && was.size == now.size && was.mtime == now.mtime;
}

bool LogInput::open(const std::string &path, bool compressed, std::string &error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = "open " + path + ": " + std::strerror(errno);
        return false;
    }
    return adopt(fd, path, compressed, error);
}

bool LogInput::adopt(int fd, const std::string &name, bool compressed, std::string &error) {
    close();
    name_ = name;
    if (!compressed) {
        fd_ = fd;
        return true;
    }
    unsigned char magic[6];
    const off_t at = lseek(fd, 0, SEEK_CUR);
    const ssize_t got = at < 0 ? -1 : pread(fd, magic, sizeof magic, at);
    if (got < 0) {
        error = "pread " + name + ": " + std::strerror(errno);
        ::close(fd);
        return false;
    }
    unpacker_ = unpacker_for(magic, static_cast<std::size_t>(got));
    if (unpacker_ != nullptr) {
        packed_ = fd;
        return true;
    }
    gz_ = gzdopen(fd, "rb");
    if (gz_ == nullptr) {
        error = "gzdopen " + name + ": " + (errno != 0 ? std::strerror(errno) : "out of memory");
        ::close(fd);
        return false;
    }
    gzbuffer(gz_, 128 * 1024);
    return true;
}

long LogInput::read(char *data, std::size_t size, std::string &error) {
    if (gz_ != nullptr) {
        // After zlib first says Z_BUF_ERROR (the file ends inside its
        // stream), it still gives the bytes it holds: those come first, then
        // the damage, with the last of them.
        std::size_t total = 0;
        int code = Z_OK;
        const char *message = nullptr;
        do {
            const unsigned chunk = static_cast<unsigned>(std::min<std::size_t>(size - total, 1U << 30));
            const int got = gzread(gz_, data + total, chunk);
            message = gzerror(gz_, &code);
            if (got <= 0) break;
            total += static_cast<std::size_t>(got);
        } while (code != Z_OK && total < size);
        if (code == Z_OK || total == size) return static_cast<long>(total);
        // "<fd:N>: " first, when opened from a descriptor: the file is named here.
        if (const char *named = std::strstr(message, ": ")) message = named + 2;
        damaged_ = code != Z_ERRNO;
        error = "gzread " + name_ + ": " + (code == Z_ERRNO ? std::strerror(errno) : message);
        return total > 0 ? static_cast<long>(total) : -1;
    }
    if (unpacker_ != nullptr) {
        UnpackFailure failure;
        const long got = unpacker_->read(packed_, data, size, failure);
        if (failure.call == nullptr) return got;
        damaged_ = failure.damaged;
        error = std::string(failure.call) + " " + name_ + ": " + failure.text;
        return got;
    }
    for (;;) {
        const ssize_t got = ::read(fd_, data, size);
        if (got >= 0) return static_cast<long>(got);
        if (errno == EINTR) continue;
        error = "read " + name_ + ": " + std::strerror(errno);
        return -1;
    }
}

bool LogInput::skip(std::uint64_t count, std::string &error) {
    error.clear();
    if (fd_ >= 0) {
        struct stat st {};
        if (fstat(fd_, &st) == 0 && S_ISREG(st.st_mode)) {
            const off_t at = lseek(fd_, 0, SEEK_CUR);
            if (at >= 0 && at <= st.st_size && static_cast<std::uint64_t>(st.st_size - at) >= count &&
                lseek(fd_, at + static_cast<off_t>(count), SEEK_SET) >= 0)
                return true;
        }
    }
    char scratch[64 * 1024];
    while (count > 0) {
        const long got = read(scratch, static_cast<std::size_t>(std::min<std::uint64_t>(count, sizeof scratch)), error);
        if (got <= 0) return false;
        count -= static_cast<std::uint64_t>(got);
    }
    return true;
}

void LogInput::close() {
    if (gz_ != nullptr) gzclose(gz_);
    if (fd_ >= 0) ::close(fd_);
    if (packed_ >= 0) ::close(packed_);
    gz_ = nullptr;
    fd_ = -1;
    packed_ = -1;
    unpacker_.reset();
    damaged_ = false;
}
