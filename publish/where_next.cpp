#include "where_next.h"

#include <algorithm>

namespace {

constexpr std::size_t none = static_cast<std::size_t>(-1);

std::size_t mark_of(const std::vector<FileMark> &marks, std::uint64_t print) {
    for (std::size_t i = 0; i < marks.size(); ++i)
        if (marks[i].print == print) return i;
    return none;
}

// The newest file listed with print: the log itself while logrotate copies it.
std::size_t listed(const std::vector<ListedFile> &files, std::uint64_t print) {
    for (std::size_t i = files.size(); i-- > 0;)
        if (files[i].print == print) return i;
    return none;
}

// The first file from from on with a first line that is neither a copy of
// print nor numbered before the file own in marks: dated names need not
// sort by date (-%d%m%Y), and an older file is never read again as new.
// None when a file of unknown print comes first.
std::size_t next_file(const std::vector<ListedFile> &files, std::size_t from, std::uint64_t print,
                      const std::vector<FileMark> &marks, std::size_t own) {
    for (std::size_t i = from; i < files.size(); ++i) {
        if (files[i].unknown) return none;
        if (files[i].print == 0 || files[i].print == print) continue;
        const std::size_t mark = mark_of(marks, files[i].print);
        if (own == none || mark == none || mark > own) return i;
    }
    return none;
}

// Into file, the next line being seq, from the file own in marks: a
// numbered file keeps its numbers, and the lines between are gone; a new one
// takes the numbers from seq on, unless numbers from seq on were given to
// lines now gone.
NextStep go_into(const std::vector<FileMark> &marks, const std::vector<ListedFile> &files, std::size_t file,
                 std::uint64_t seq, std::uint64_t high, std::size_t own, bool gone) {
    const std::size_t mark = mark_of(marks, files[file].print);
    const auto next = static_cast<std::int64_t>(seq);
    if (mark != none && marks[mark].first > next) return {NextStep::gap, file, marks[mark].first, gone};
    const bool numbered_after = own != none && own + 1 < marks.size();
    if (mark == none && (seq < high || numbered_after))
        return {NextStep::gap, file, static_cast<std::int64_t>(std::max(seq, high)), gone, true};
    // Below seq only when marks were not kept in order: new numbers, never ones given to other lines.
    return {NextStep::enter, file, next, gone};
}

}  // namespace

NextStep where_next(std::uint64_t print, std::uint64_t seq, std::uint64_t high, bool finished,
                    const std::vector<FileMark> &marks, const std::vector<ListedFile> &files) {
    const bool has_log = !files.empty() && files.back().log;
    if (print == 0) {
        std::size_t from = 0;
        for (std::size_t i = files.size(); i-- > 0;)
            if (mark_of(marks, files[i].print) != none) {
                from = i + 1;
                break;
            }
        const std::size_t next = next_file(files, from, 0, marks, none);
        return next == none ? NextStep{} : go_into(marks, files, next, seq, seq, none, false);
    }
    const std::size_t own = mark_of(marks, print);
    const std::size_t here = listed(files, print);
    if (here != none) {
        if (!finished) return {NextStep::read, here};
        const std::size_t next = next_file(files, here + 1, print, marks, own);
        return next == none ? NextStep{} : go_into(marks, files, next, seq, high, own, false);
    }
    // Not to be found: it may be a file whose print is unknown.
    if (std::any_of(files.begin(), files.end(), [](const ListedFile &file) { return file.unknown; })) return NextStep{};
    // Gone: a later numbered file still here says where the numbers go on.
    for (std::size_t m = own == none ? marks.size() : own + 1; m < marks.size(); ++m) {
        const std::size_t file = listed(files, marks[m].print);
        if (file != none) return go_into(marks, files, file, seq, high, own, true);
    }
    // Else the files after the newest numbered one still here came after it.
    std::size_t from = has_log ? files.size() - 1 : files.size();
    for (std::size_t i = files.size(); i-- > 0;)
        if (mark_of(marks, files[i].print) != none) {
            from = i + 1;
            break;
        }
    const std::size_t next = next_file(files, from, print, marks, own);
    if (next == none) return {NextStep::wait, 0, 0, true};
    return go_into(marks, files, next, seq, high, own, true);
}
