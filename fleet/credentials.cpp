#include "credentials.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

#include <unistd.h>

namespace {

const char password_variable[] = "SF_MQTT_PASSWORD";
const char config_dir[] = "/etc/sflogger/";

bool ends_with(const std::string &text, const std::string &end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

}  // namespace

std::string unit_secret(const std::string &cgroup) {
    std::istringstream lines(cgroup);
    for (std::string line; std::getline(lines, line);) {
        const std::string unit = line.substr(line.rfind('/') + 1);
        if (unit == "sfcollect.service") return std::string(config_dir) + "sfcollect.secret";
        const std::string prefix = "sfpublish@";
        const std::string suffix = ".service";
        if (unit.rfind(prefix, 0) != 0 || !ends_with(unit, suffix)) continue;
        const std::string name = unit.substr(prefix.size(), unit.size() - prefix.size() - suffix.size());
        // systemd escapes what a unit name cannot hold; the unit's %i would
        // be the name unescaped, which is not worth guessing at.
        if (name.empty() || name.find('\\') != std::string::npos) return "";
        return config_dir + name + ".secret";
    }
    return "";
}

Credentials read_credentials(const std::string &user) {
    Credentials credentials;
    credentials.user = user;
    if (const char *password = std::getenv(password_variable)) {
        credentials.has_password = true;
        credentials.password = password;
    }
    std::ifstream cgroup("/proc/self/cgroup");
    credentials.secret = unit_secret(std::string(std::istreambuf_iterator<char>(cgroup), {}));
    // Only a file that is surely missing is said to be: a folder the program
    // may not search hides one that is there.
    credentials.secret_exists =
        !credentials.secret.empty() && (access(credentials.secret.c_str(), F_OK) == 0 || errno != ENOENT);
    return credentials;
}

std::string describe_credentials(const Credentials &c) {
    const std::string variable = password_variable;
    if (c.user.empty())
        return c.has_password ? "without a user name (-u), so " + variable + " was not sent"
                              : "without a user name (-u)";
    std::string text = "as " + c.user;
    if (!c.has_password) {
        text += " without a password (" + variable + " is not set";
        if (!c.secret.empty())
            text += c.secret_exists ? " in " + c.secret + ", which the unit reads"
                                    : "; the unit reads it from " + c.secret + ", which does not exist";
        return text + ")";
    }
    text += c.password.empty() ? " (an empty password from " + variable : " (password from " + variable;
    if (!c.secret.empty())
        text += c.secret_exists ? ", set in " + c.secret + " for the unit"
                                : ", set for the unit elsewhere than in " + c.secret + ", which does not exist";
    return text + ")";
}
