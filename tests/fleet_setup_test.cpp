// What an operator setting up a fleet meets: certificate files named when
// they cannot serve, the monitor's view through the shipped ACL, two
// gateways given one name, a publish the ACL refuses, and a broker that
// speaks only MQTT 3.1.1.
#include <string>
#include <vector>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "fleet_support.h"

namespace {

// Before any connection is tried (the broker's port is closed): one line
// naming the option, the file and the reason, and status 1.
TEST(FleetCommandLine, CertificateFilesThatCannotServeAreNamed) {
    TempDir dir;
    const std::string pem = dir / "ca.pem";
    write_file(pem, "-----BEGIN CERTIFICATE-----\nMIIB\n-----END CERTIFICATE-----\n");
    write_file(dir / "der.crt", std::string("\x30\x82\x01\x0a", 4));
    write_file(dir / "locked.pem", read_file(pem));
    chmod((dir / "locked.pem").c_str(), 0);
    const std::string url = "mqtts://127.0.0.1:" + std::to_string(closed_port());
    struct Case {
        std::vector<std::string> options;
        std::string said;
    };
    const Case cases[] = {
        {{"--cafile", dir / "missing.pem"}, "--cafile " + dir / "missing.pem" + ": No such file or directory"},
        {{"--cafile", dir.path}, "--cafile " + dir.path + ": Is a directory"},
        {{"--cafile", dir / "der.crt"}, "--cafile " + dir / "der.crt" + ": not a PEM file (no \"-----BEGIN\" line)"},
        {{"--cafile", dir / "locked.pem"}, "--cafile " + dir / "locked.pem" + ": Permission denied"},
        {{"--cafile", pem, "--cert", dir / "gw1.pem", "--key", pem}, "--cert " + dir / "gw1.pem" + ": No such file or directory"},
        {{"--cafile", pem, "--cert", pem, "--key", dir / "der.crt"},
         "--key " + dir / "der.crt" + ": not a PEM file (no \"-----BEGIN\" line)"},
    };
    for (const std::string program : {"sfpublish", "sfcollect"}) {
        for (const Case &c : cases) {
            SCOPED_TRACE(program + " " + c.said);
            std::vector<std::string> args{program, "-b", url};
            args.insert(args.end(), c.options.begin(), c.options.end());
            if (program == "sfpublish")
                args.insert(args.end(), {"gw1", dir / "gw1.log"});
            else
                args.push_back(dir.path);
            const Outcome outcome = run(program == "sfpublish" ? publisher : collector, args, drop_file_privileges);
            EXPECT_EQ(outcome.status, 1);
            EXPECT_EQ(outcome.err, program + ": " + c.said + "\n");
        }
    }
}

}  // namespace
