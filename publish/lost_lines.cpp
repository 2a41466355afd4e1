#include "lost_lines.h"

#include <cinttypes>
#include <string>

#include "warn.h"

namespace {

// 1204 as "1,204".
std::string grouped(std::uint64_t number) {
    std::string digits = std::to_string(number);
    for (std::size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, ",");
    return digits;
}

}  // namespace

void note_lines_lost(std::uint64_t epoch, std::uint64_t first, std::uint64_t last) {
    if (last < first) return;
    const std::uint64_t count = last - first + 1;
    warn("lines %s to %s of epoch %016" PRIx64 " are gone from the gateway: %s line%s lost", grouped(first).c_str(),
         grouped(last).c_str(), epoch, grouped(count).c_str(), count == 1 ? "" : "s");
}
