// Who a fleet program is to the broker, and where that came from, so that a
// refusal can say what to mend: the user from -u, the password from
// SF_MQTT_PASSWORD, which the packaged units set from a file of their own.
#ifndef SF_FLEET_CREDENTIALS_H
#define SF_FLEET_CREDENTIALS_H

#include <string>

struct Credentials {
    std::string user;  // none when empty
    bool has_password = false;
    std::string password;
    std::string secret;          // the unit's password file, when running in a packaged unit
    bool secret_exists = false;  // and that file is there, or may be
};

// The credentials for user: the password from the environment, the unit's
// file from the process's control group.
Credentials read_credentials(const std::string &user);

// The password file of the packaged unit that the control group in cgroup (the
// text of /proc/self/cgroup) belongs to: /etc/sflogger/NAME.secret for
// sfpublish@NAME.service, /etc/sflogger/sfcollect.secret for
// sfcollect.service; empty for any other.
std::string unit_secret(const std::string &cgroup);

// "as gw1 (password from SF_MQTT_PASSWORD, set in /etc/sflogger/gw1.secret
// for the unit)", or what else is true of credentials.
std::string describe_credentials(const Credentials &credentials);

#endif
