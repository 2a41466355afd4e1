// This machine's host name, as the fleet programs name themselves by it.
#ifndef SF_COMMON_HOST_NAME_H
#define SF_COMMON_HOST_NAME_H

#include <string>

// gethostname's answer; empty when it has none.
std::string host_name();

#endif
