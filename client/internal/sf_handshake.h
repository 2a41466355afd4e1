// The serial forwarder protocol's rules that both of its ends keep: the
// handshake pair and the frame. Internal to this tree, never installed.
#ifndef SF_INTERNAL_HANDSHAKE_H
#define SF_INTERNAL_HANDSHAKE_H

#include <cstddef>
#include <cstring>

namespace sf {

// Each end sends a marker and the protocol version it speaks.
constexpr unsigned char marker = 0x55;     // 'U'
constexpr signed char our_version = 0x20;  // ' '
constexpr unsigned char our_pair[2] = {marker, static_cast<unsigned char>(our_version)};

// Whether the pair the other end sent lets us talk: the marker, and a version
// at least ours. Versions compare as signed bytes: 0x80 and above count as below ours.
inline bool accepts_pair(const unsigned char pair[2]) {
    return pair[0] == marker && static_cast<signed char>(pair[1]) >= our_version;
}

// The room one frame takes at most: a length byte and 255 payload bytes.
constexpr std::size_t max_frame = 256;

// Writes the frame for len bytes (0 to 255) of packet at out; returns its size.
inline std::size_t put_frame(char *out, const unsigned char *packet, int len) {
    out[0] = static_cast<char>(len);
    if (len > 0) std::memcpy(out + 1, packet, static_cast<std::size_t>(len));  // an empty packet may be null
    return 1 + static_cast<std::size_t>(len);
}

}  // namespace sf

#endif
