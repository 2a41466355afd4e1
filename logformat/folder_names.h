// A folder's names, for every program that looks for logs in one: a log's
// rotated files, a collector's NAME.log files.
#ifndef SFLOG_FOLDER_NAMES_H
#define SFLOG_FOLDER_NAMES_H

#include <functional>
#include <string>
#include <vector>

// The names in folder that keep accepts, in name order. False, with error
// naming the failed call ("opendir DIR: ...", "readdir DIR: ..."), when the
// folder cannot be read.
bool list_folder(const std::string &folder, const std::function<bool(const std::string &)> &keep,
                 std::vector<std::string> &names, std::string &error);

#endif
