#ifndef SFCOLLECT_GATEWAY_STORE_H
#define SFCOLLECT_GATEWAY_STORE_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <sys/types.h>

// What the collector knows of one gateway, kept in DIR/NAME.sfcollect beside
// its log DIR/NAME.log, and always consistent with it: the log holds every
// line of the epoch before next, and past size (in that file) nothing that
// was acknowledged.
struct Gateway {
    std::uint64_t epoch = 0;  // 0: none yet
    std::uint64_t next = 1;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    std::vector<std::uint64_t> left;  // epochs it has left behind, newest last
    int fd = -1;                      // the log, open while a batch is being committed
    bool touched = false;
};

// The gateways' logs and records in one folder. Lines are appended at once
// and made durable by commit, which only then lets their acks go out.
class GatewayStore {
public:
    explicit GatewayStore(std::string dir) : dir_(std::move(dir)) {}
    ~GatewayStore();

    // The record of name, read from its file the first time. False, with
    // error set, when the file exists but cannot be read.
    bool find(const std::string &name, Gateway *&gateway, std::string &error);
    // Cuts off what a collector killed before its commit left in the logs of
    // the gateways with a record. False, with error set, when it cannot.
    bool recover(std::string &error);
    // Starts epoch for the gateway at line 1.
    static void start_epoch(Gateway &gateway, std::uint64_t epoch);
    // Appends whole lines to the gateway's log; they count once committed.
    // False, with error set and nothing of them left, when they cannot be written.
    bool append(const std::string &name, Gateway &gateway, const char *lines, std::size_t size, std::uint64_t count,
                std::string &error);
    // Makes every append since the last commit durable, records first.
    bool commit(std::string &error);

private:
    std::string path(const std::string &name, const char *suffix) const { return dir_ + "/" + name + suffix; }
    bool save(const std::string &name, const Gateway &gateway, std::string &error) const;

    std::string dir_;
    std::map<std::string, Gateway> gateways_;
};

#endif
