// CRPCException: what the request/reply transport and the change-notification transport throw
// when an endpoint cannot be made, reached or understood, or does not answer in time.
// Programs that link the library catch it by type, so it leaves the library with its type.
// Thread rule: a value type.
#pragma once

#include "cfg_Export.h"
#include "outside/common/CException.h"

class ZOLTCFG_API CRPCException : public OS::CException {
  public:
    enum : int {
        BAD_PARAMETER = 1,    // an unknown protocol sequence or an unusable endpoint name
        ENDPOINT_IN_USE = 2,  // a live server already serves this endpoint
        ENDPOINT_FAILED = 3,  // the endpoint could not be created (bind, listen, folder)
        UNREACHABLE = 4,      // the component could not be connected to
        TIMEOUT = 5,          // the component did not answer within the time allowed
        CONNECTION_LOST = 6,  // the connection broke while a reply was awaited
        FRAME_TOO_LARGE = 7,  // a frame above the size limit was refused
        PROTOCOL = 8,         // the peer sent something that is not a frame of ours
        HANDLER_FAILED = 9,   // the component's handler threw while serving the request
        NO_PORT = 10,         // no TCP port is configured for the component
        NOT_ALLOWED = 11,     // the endpoint does not serve this user
        TLS_REFUSED = 12,     // the TLS handshake failed or the peer's certificate was refused
    };
    using OS::CException::CException;
};
