#include "pcapng_writer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <unistd.h>

namespace {

// Block types and option codes of the pcapng format.
constexpr std::uint32_t section_header = 0x0A0D0D0A;
constexpr std::uint32_t interface_description = 1;
constexpr std::uint32_t enhanced_packet = 6;
constexpr std::uint16_t end_of_options = 0;
constexpr std::uint16_t shb_userappl = 4;
constexpr std::uint16_t if_name = 2;
constexpr std::uint16_t if_tsresol = 9;

std::size_t padded(std::size_t size) { return (size + 3) & ~std::size_t{3}; }

// Fields go out in this machine's byte order, which the section header's
// byte-order magic tells readers.
template <typename T>
void put(std::string &out, T value) {
    out.append(reinterpret_cast<const char *>(&value), sizeof value);
}

template <typename T>
char *put(char *out, T value) {
    std::memcpy(out, &value, sizeof value);
    return out + sizeof value;
}

void put_option(std::string &out, std::uint16_t code, const std::string &value) {
    put(out, code);
    put(out, static_cast<std::uint16_t>(value.size()));
    out += value;
    out.append(padded(value.size()) - value.size(), '\0');
}

}  // namespace

PcapngWriter::PcapngWriter(int fd, const std::string &application) : fd_(fd), buffer_(1 << 20) {
    std::string body;
    put(body, std::uint32_t{0x1A2B3C4D});  // byte-order magic
    put(body, std::uint16_t{1});           // version 1.0
    put(body, std::uint16_t{0});
    put(body, ~std::uint64_t{0});  // section length: not known
    put_option(body, shb_userappl, application);
    put(body, end_of_options);
    put(body, std::uint16_t{0});
    append_block(section_header, body);
}

std::uint32_t PcapngWriter::add_interface(const std::string &name, int linktype) {
    std::string body;
    put(body, static_cast<std::uint16_t>(linktype));
    put(body, std::uint16_t{0});
    put(body, std::uint32_t{65535});  // snapshot length
    put_option(body, if_name, name.substr(0, 65535));
    put_option(body, if_tsresol, std::string(1, '\x06'));  // 10^-6 s
    put(body, end_of_options);
    put(body, std::uint16_t{0});
    append_block(interface_description, body);
    return interfaces_++;
}

void PcapngWriter::make_room(std::size_t size) {
    flush();
    if (size > buffer_.size()) buffer_.resize(size);
}

void PcapngWriter::append_block(std::uint32_t type, const std::string &body) {
    const std::size_t total = 12 + body.size();
    if (size_ + total > buffer_.size()) make_room(total);
    char *out = put(buffer_.data() + size_, type);
    out = put(out, static_cast<std::uint32_t>(total));
    out = std::copy(body.begin(), body.end(), out);
    put(out, static_cast<std::uint32_t>(total));
    size_ += total;
}

std::size_t PcapngWriter::encode_packet(char *out, std::uint32_t interface, std::uint64_t micros,
                                        const unsigned char *bytes, std::uint32_t len) {
    const auto total = static_cast<std::uint32_t>(32 + padded(len));
    char *at = put(out, enhanced_packet);
    at = put(at, total);
    at = put(at, interface);
    at = put(at, static_cast<std::uint32_t>(micros >> 32));
    at = put(at, static_cast<std::uint32_t>(micros));
    at = put(at, len);                         // captured
    at = put(at, len);                         // on the wire
    if (len > 0) std::memcpy(at, bytes, len);  // an empty packet may have no bytes at all
    std::memset(at + len, 0, padded(len) - len);
    put(at + padded(len), total);
    return total;
}

bool PcapngWriter::flush() {
    const char *at = buffer_.data();
    while (error_.empty() && size_ > 0) {
        const ssize_t wrote = ::write(fd_, at, size_);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) {
            error_ = wrote < 0 ? std::strerror(errno) : "wrote nothing";
            break;
        }
        at += wrote;
        size_ -= static_cast<std::size_t>(wrote);
    }
    if (!error_.empty()) size_ = 0;  // nothing more goes out after a failed write
    return error_.empty();
}
