#include "lost_lines.h"

#include <utility>

#include "warn.h"

namespace {

std::function<void(const LostRange &)> &taker() {
    static std::function<void(const LostRange &)> take;
    return take;
}

}  // namespace

void note_lines_lost(std::uint64_t epoch, std::uint64_t first, std::uint64_t last) {
    if (last < first) return;
    const LostRange range{epoch, first, last};
    warn("%s", describe_lost(range).c_str());
    if (taker()) taker()(range);
}

void on_lines_lost(std::function<void(const LostRange &)> take) { taker() = std::move(take); }
