#include "capture_support.h"

#include <pcap/pcap.h>

#include <gtest/gtest.h>

std::vector<Record> read_capture(const std::string &path, int *linktype) {
    char error[PCAP_ERRBUF_SIZE];
    pcap_t *capture = pcap_open_offline_with_tstamp_precision(path.c_str(), PCAP_TSTAMP_PRECISION_MICRO, error);
    if (capture == nullptr) {
        ADD_FAILURE() << path << ": " << error;
        return {};
    }
    if (linktype != nullptr) *linktype = pcap_datalink(capture);
    std::vector<Record> records;
    pcap_pkthdr *header = nullptr;
    const u_char *data = nullptr;
    while (pcap_next_ex(capture, &header, &data) == 1)
        records.push_back({header->ts.tv_sec * 1000000LL + header->ts.tv_usec,
                           std::string(reinterpret_cast<const char *>(data), header->caplen)});
    pcap_close(capture);
    return records;
}
