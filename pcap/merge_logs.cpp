#include "merge_logs.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "folder_names.h"
#include "log_stream.h"
#include "merge_queue.h"
#include "pcapng_writer.h"
#include "rotated_files.h"
#include "warn.h"

namespace {

// The folder's NAME.log files, by name.
bool list_archive(const std::string &dir, std::vector<std::string> &logs, std::string &error) {
    std::vector<std::string> names;
    const auto is_log = [](const std::string &name) {
        return name.size() > 4 && name.compare(name.size() - 4, 4, ".log") == 0;
    };
    if (!list_folder(dir, is_log, names, error)) return false;
    for (const std::string &name : names) {
        std::string path = dir;
        path += '/';
        path += name;
        struct stat st {};
        if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) logs.push_back(path);
    }
    return true;
}

// A gateway: its name, its files oldest first.
struct Source {
    std::string name;
    std::vector<RotatedFile> files;
};

int usage_error(const char *usage) {
    std::fputs(usage, stderr);
    return 2;
}

}  // namespace

int merge_logs(const MergeJob &job, const char *usage) {
    std::vector<std::string> logs = job.logs;
    std::string error;
    if (!job.archive.empty()) {
        const std::size_t before = logs.size();
        if (!list_archive(job.archive, logs, error)) {
            warn("%s", error.c_str());
            return 1;
        }
        if (logs.size() == before) {
            warn("no NAME.log in %s", job.archive.c_str());
            return usage_error(usage);
        }
    }
    if (logs.empty()) {
        warn("no LOG to merge");
        return usage_error(usage);
    }

    std::vector<Source> sources;
    std::map<std::string, std::string> named;  // interface name to the log that has it
    for (const std::string &log : logs) {
        Source source;
        source.name = log == "-" ? "stdin" : interface_name(log);
        const auto [at, added] = named.emplace(source.name, log);
        if (!added) {
            warn("two logs named %s: %s and %s", source.name.c_str(), at->second.c_str(), log.c_str());
            return usage_error(usage);
        }
        if (log == "-") {
            source.files.push_back({"-", false});
        } else if (!list_rotated(resolve_link(log), source.files, error)) {
            warn("%s", error.c_str());
            return 1;
        } else if (source.files.empty()) {
            warn("%s: %s", log.c_str(), std::strerror(ENOENT));
            return 1;
        }
        sources.push_back(std::move(source));
    }

    const int fd = job.out == nullptr ? STDOUT_FILENO : open(job.out, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    const char *out_name = job.out == nullptr ? "(standard output)" : job.out;
    if (fd < 0) {
        warn("%s: %s", out_name, std::strerror(errno));
        return 1;
    }
    PcapngWriter writer(fd, "sflog2pcap " SF_VERSION);
    std::deque<LogStream> streams;
    for (Source &source : sources) {
        writer.add_interface(source.name, job.linktype);
        streams.emplace_back(std::move(source.files), job.range);
    }

    int status = 0;
    std::vector<long long> firsts;
    firsts.reserve(streams.size());
    for (LogStream &stream : streams) {
        const LogStream::Step step = status == 0 ? stream.advance() : LogStream::ended;
        firsts.push_back(step == LogStream::got ? stream.packet().micros : MergeQueue::ended);
        if (step == LogStream::malformed) status = 2;
    }
    // A write that failed ends the merge: a reader that has gone wants no more.
    for (MergeQueue queue(firsts); status == 0 && !queue.empty() && writer.error().empty();) {
        LogStream &stream = streams[queue.top()];
        const LogPacket &packet = stream.packet();
        writer.write_packet(static_cast<std::uint32_t>(queue.top()), static_cast<std::uint64_t>(packet.micros),
                            packet.bytes, static_cast<std::uint32_t>(packet.len));
        const LogStream::Step step = stream.advance();
        queue.replace_top(step == LogStream::got ? stream.packet().micros : MergeQueue::ended);
        if (step == LogStream::malformed) status = 2;
    }
    if (status == 0 && std::any_of(streams.begin(), streams.end(), [](const LogStream &s) { return s.failed(); }))
        status = 1;
    const bool written = writer.flush();
    if (job.out != nullptr && close(fd) != 0 && written) {
        warn("%s: %s", out_name, std::strerror(errno));
        return 1;
    }
    if (!written) {
        warn("%s: %s", out_name, writer.error().c_str());
        return 1;
    }
    return status;
}
