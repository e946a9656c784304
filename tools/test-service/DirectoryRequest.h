// The get-directory request as a client sends it, read for the log.
#pragma once

#include "test-service/Server.h"

#include <string>

namespace testservice {

// "get-directory request, frame length N, M body bytes: header 5/2/103, path
// "..."", with what does not fit the request's layout noted. frame is a whole
// frame as Connection::receiveFrame returns it; never throws on its content.
std::string describeDirectoryRequest(const Bytes& frame);

} // namespace testservice
