#ifndef SFPUBLISH_LOST_LINES_H
#define SFPUBLISH_LOST_LINES_H

#include <cstdint>

// Lines first to last of epoch are gone from the gateway before the
// collector had them: said in one line.
void note_lines_lost(std::uint64_t epoch, std::uint64_t first, std::uint64_t last);

#endif
