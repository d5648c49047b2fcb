// The one place the transports include asio: standalone, without its deprecated interfaces.
// Thread rule: none (declarations only).
#pragma once

#ifndef ASIO_NO_DEPRECATED
#define ASIO_NO_DEPRECATED
#endif
// Under g++'s thread sanitizer asio's fenced blocks (std::atomic_thread_fence) cannot be
// checked and are refused by -Werror=tsan; the sanitizer sees the scheduler's mutexes instead.
#if defined(__SANITIZE_THREAD__) && !defined(ASIO_DISABLE_FENCED_BLOCK)
#define ASIO_DISABLE_FENCED_BLOCK
#endif
#include <asio.hpp>
