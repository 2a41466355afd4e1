// Lines of an epoch gone from the gateway before the collector acknowledged
// them: how sfpublish tells them to the collector, and how both say them.
#ifndef SF_FLEET_LOST_RANGE_H
#define SF_FLEET_LOST_RANGE_H

#include <cstdint>
#include <string>

// Lines first to last of epoch.
struct LostRange {
    std::uint64_t epoch = 0;
    std::uint64_t first = 1;
    std::uint64_t last = 1;
    std::uint64_t lines() const { return last - first + 1; }
};

// sfpublish tells them with the first batch of the next epoch, in an MQTT v5
// user property "lost" of "EPOCH FIRST LAST" for each range; collectors that
// do not know it pass over it.
constexpr char lost_property[] = "lost";
std::string format_lost(const LostRange &range);
// False when text is not one, or last is before first.
bool parse_lost(const std::string &text, LostRange &range);

// "lines 1,204 to 1,213 of epoch EPOCH are gone from the gateway: 10 lines lost".
std::string describe_lost(const LostRange &range);

#endif
