#ifndef SF_PCAP_PCAPNG_WRITER_H
#define SF_PCAP_PCAPNG_WRITER_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Writes a pcapng stream to a descriptor: a section header, then interfaces
// and packets in any mix, so an interface can join a capture that is already
// going. Timestamps are in microseconds on every interface.
//
// Written by hand because libpcap 1.10 (Debian 12) writes only classic pcap,
// and Wireshark's libwiretap, which writes pcapng, is no practical library to
// build against: its Debian package has no pkg-config file, its headers need
// wsutil headers it does not depend on, its soname changes with every
// Wireshark release, and each record goes through a generic record and
// options layer. The three block types needed here are a few lines each.
class PcapngWriter {
public:
    // Writes the section header, naming application, into the buffer.
    PcapngWriter(int fd, const std::string &application);
    PcapngWriter(const PcapngWriter &) = delete;
    PcapngWriter &operator=(const PcapngWriter &) = delete;

    // Adds an interface named name of link type linktype; returns its number,
    // counted from 0 in the order interfaces are added.
    std::uint32_t add_interface(const std::string &name, int linktype);

    void write_packet(std::uint32_t interface, std::uint64_t micros, const unsigned char *bytes, std::uint32_t len) {
        if (size_ + 35 + len > buffer_.size()) make_room(35 + len);
        size_ += encode_packet(buffer_.data() + size_, interface, micros, bytes, len);
    }

    // Writes what is buffered. False when a write failed, now or before:
    // error() says why, and nothing more is written.
    bool flush();
    const std::string &error() const { return error_; }

private:
    static std::size_t encode_packet(char *out, std::uint32_t interface, std::uint64_t micros,
                                     const unsigned char *bytes, std::uint32_t len);
    void make_room(std::size_t size);
    void append_block(std::uint32_t type, const std::string &body);

    int fd_;
    std::vector<char> buffer_;
    std::size_t size_ = 0;
    std::uint32_t interfaces_ = 0;
    std::string error_;
};

#endif
