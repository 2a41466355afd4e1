#include "tls_files.h"

#include <cerrno>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

namespace {

// Certificates and keys are a few KiB; a bundle of every public CA is under 1 MiB.
constexpr std::size_t max_pem = std::size_t{4} << 20;

// Why path cannot serve as a PEM file, or empty when it can.
std::string pem_problem(const std::string &path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::strerror(errno);
    std::string text;
    char buffer[16384];
    ssize_t n = 0;
    while (text.size() < max_pem && ((n = read(fd, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR)))
        if (n > 0) text.append(buffer, static_cast<std::size_t>(n));
    const int read_errno = errno;
    close(fd);
    if (n < 0) return std::strerror(read_errno);
    if (text.find("-----BEGIN ") == std::string::npos) return "not a PEM file (no \"-----BEGIN\" line)";
    return "";
}

}  // namespace

bool check_tls_files(const BrokerOptions &options, std::string &error) {
    const std::pair<const char *, const std::string *> files[] = {
        {"--cafile", &options.cafile}, {"--cert", &options.cert}, {"--key", &options.key}};
    for (const auto &file : files) {
        if (file.second->empty()) continue;
        const std::string problem = pem_problem(*file.second);
        if (problem.empty()) continue;
        error = std::string(file.first) + " " + *file.second + ": " + problem;
        return false;
    }
    return true;
}
