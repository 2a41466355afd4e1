#ifndef SF_FLEET_OPTIONS_H
#define SF_FLEET_OPTIONS_H

#include <functional>

#include <getopt.h>

#include "broker.h"
#include "metrics.h"

// The command line of a fleet program, beside the options of the broker.
struct FleetCommand {
    const char *program;
    const char *own_options;  // getopt letters of its own options
    int operands;             // how many follow the options
    const char *usage;
    const char *help;
    const option *own_long = nullptr;  // its own long options, ended by a null name; taken through take
};

// Parses the options: -b, -t, -u, --cafile, --cert, --key into broker,
// --metrics into metrics (its port -1 when not given), the
// program's own (own_options, own_long) through take (false: not one it takes), -h and -V printed.
// Returns true to go on with the operands, as many as the command takes, from
// optind; false once done, with the exit status set: 0 after help or the
// version, 2 after a usage error, whose message and the usage are on
// standard error, 1 when a certificate file given cannot be read or is not
// PEM (one line naming the option and the file).
bool parse_fleet_options(int argc, char **argv, const FleetCommand &command, BrokerOptions &broker,
                         MetricsAddress &metrics, const std::function<bool(int option, const char *arg)> &take,
                         int &status);

#endif
