// The small one-line files in which publisher and collector keep their
// place: read word by word, and replaced so that a crash or power loss at any
// moment leaves the old file or the new one, never a mix or an empty file.
#ifndef SF_FLEET_RECORD_FILE_H
#define SF_FLEET_RECORD_FILE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Reads the file at path whole, failing when it is larger than limit.
// found is false, and the call succeeds, when there is none; any other
// failure fills error ("PATH: CALL: REASON").
bool read_whole(const std::string &path, std::size_t limit, std::string &text, bool &found, std::string &error);

// read_whole with the limit of a record, a few lines.
bool read_record_file(const std::string &path, std::string &text, bool &found, std::string &error);

// Writes text to PATH.new, fdatasyncs and renames it over path, then fsyncs
// the folder, so that the new contents are durable when it returns true.
// On failure path is untouched and PATH.new removed.
bool replace_durably(const std::string &path, const std::string &text, std::string &error);

// fsyncs the folder that holds path, so that a rename or a new file in it is durable.
bool sync_folder_of(const std::string &path, std::string &error);

// The words of one line, split at blanks.
std::vector<std::string> words_of(const std::string &line);

// An epoch as written: exactly 16 lowercase hex digits.
bool parse_epoch(const std::string &text, std::uint64_t &epoch);

// Writes all of data, going on after short writes and interruptions; false
// with errno set (ENOSPC for a write of nothing) otherwise.
bool write_all(int fd, const char *data, std::size_t size);

// "PATH: CALL: REASON", with the reason from errno.
std::string failed_call(const std::string &path, const char *call);

#endif
