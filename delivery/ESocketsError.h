// The failure of the delivery routes' sockets and protocols.
#pragma once

#include "runtime/SysUtils.h"

// Its message is the error text followed by the socket and error logs.
ZELK_DECLARE_EXCEPTION(ETarvexSocketError, Exception);
