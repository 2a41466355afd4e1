#include "options.h"

#include <cstdio>
#include <string>
#include <vector>

#include <getopt.h>

#include "tls_files.h"
#include "warn.h"

bool parse_fleet_options(int argc, char **argv, const FleetCommand &command, BrokerOptions &broker,
                         MetricsAddress &metrics, const std::function<bool(int option, const char *arg)> &take,
                         int &status) {
    status = 2;
    metrics.port = -1;
    std::vector<option> long_options = {{"cafile", required_argument, nullptr, option_cafile},
                                        {"cert", required_argument, nullptr, option_cert},
                                        {"key", required_argument, nullptr, option_key},
                                        {"metrics", required_argument, nullptr, option_metrics},
                                        {"help", no_argument, nullptr, 'h'},
                                        {"version", no_argument, nullptr, 'V'}};
    for (const option *own = command.own_long; own != nullptr && own->name != nullptr; ++own)
        long_options.push_back(*own);
    long_options.push_back({nullptr, 0, nullptr, 0});
    const std::string letters = std::string("b:t:u:hV") + command.own_options;
    opterr = 0;
    std::string error;
    for (int option; (option = getopt_long(argc, argv, letters.c_str(), long_options.data(), nullptr)) != -1;) {
        if (option == 'h') {
            std::fputs(command.usage, stdout), std::fputs(command.help, stdout);
            status = 0;
            return false;
        }
        if (option == 'V') {
            std::printf("%s %s\n", command.program, SF_VERSION);
            status = 0;
            return false;
        }
        if (option == option_metrics) {
            if (parse_metrics_address(optarg, metrics)) continue;
            warn("not a metrics address: %s (ADDRESS:PORT, ADDRESS an IPv4 address)", optarg);
            std::fputs(command.usage, stderr);
            return false;
        }
        const int taken = take_broker_option(option, optarg, broker, error);
        if (taken < 0) warn("%s", error.c_str());
        if (taken < 0 || (taken == 0 && !take(option, optarg))) {
            std::fputs(command.usage, stderr);
            return false;
        }
    }
    if (argc - optind != command.operands) {
        std::fputs(command.usage, stderr);
        return false;
    }
    if (broker.cert.empty() != broker.key.empty()) {
        warn("--cert and --key go together");
        std::fputs(command.usage, stderr);
        return false;
    }
    if (!check_tls_files(broker, error)) {
        warn("%s", error.c_str());
        status = 1;
        return false;
    }
    return true;
}
