#include "host_name.h"

#include <unistd.h>

std::string host_name() {
    char host[256] = "";
    if (gethostname(host, sizeof host - 1) != 0) return "";
    return host;
}
