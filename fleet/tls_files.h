// The certificate files of a TLS connection, checked before any connection
// is tried: libmosquitto would only say that its arguments are invalid.
#ifndef SF_FLEET_TLS_FILES_H
#define SF_FLEET_TLS_FILES_H

#include <string>

#include "broker.h"

// True when every one of --cafile, --cert and --key that was given can be
// read and holds PEM; false with error set to "--OPTION FILE: REASON".
bool check_tls_files(const BrokerOptions &options, std::string &error);

#endif
