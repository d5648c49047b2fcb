// The one place the transports include asio: standalone, without its deprecated interfaces.
// Thread rule: none (declarations only).
#pragma once

#ifndef ASIO_NO_DEPRECATED
#define ASIO_NO_DEPRECATED
#endif
#include <asio.hpp>
