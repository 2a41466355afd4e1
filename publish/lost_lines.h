// Lines truly gone from the gateway before the collector acknowledged them:
// never silent. Said on standard error, counted, and told to the collector
// with the next epoch's first batch.
#ifndef SFPUBLISH_LOST_LINES_H
#define SFPUBLISH_LOST_LINES_H

#include <cstdint>
#include <functional>

#include "lost_range.h"

// Lines first to last of epoch are gone: says "lines F to L of epoch E are
// gone from the gateway: N lines lost", then hands them to what
// on_lines_lost set. Called before the epoch that follows them begins, so
// that its first batch tells them.
void note_lines_lost(std::uint64_t epoch, std::uint64_t first, std::uint64_t last);

// What takes them further: sfpublish counts them and tells the collector.
// None (only said) in a program or test that only follows a log.
void on_lines_lost(std::function<void(const LostRange &)> take);

#endif
