#ifndef SF_PCAP_MERGE_LOGS_H
#define SF_PCAP_MERGE_LOGS_H

#include <string>
#include <vector>

#include "time_range.h"

// What sflog2pcap merges, and into what.
struct MergeJob {
    std::vector<std::string> logs;  // in argument order; "-" is standard input
    std::string archive;            // a folder whose NAME.log files are merged too, or empty
    const char *out = nullptr;      // null: standard output
    int linktype = 0;
    TimeRange range;
};

// Writes the packets of every log and its rotated files in range, merged in
// time order, as pcapng with an interface per log. Returns the exit status:
// 0; 1 when a file could not be read or the output written; 2 for a usage
// error (said with the usage line) or a malformed line.
int merge_logs(const MergeJob &job, const char *usage);

#endif
