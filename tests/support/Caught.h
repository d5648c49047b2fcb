// Caught<E>(f): runs f and gives back the exception of type E it threw, or nothing when it threw
// none, so that a test compares an exception's code and message without a try block of its own.
// Name the exception's own type: a copy taken through a base class would lose its messages.
// Thread rule: any thread.
#pragma once

#include <optional>

namespace testsupport {

template <class E, class F>
std::optional<E> Caught(F&& f) {
    try {
        f();
    } catch (const E& e) {
        return e;
    }
    return std::nullopt;
}

// The error code of the E that f threw; -1 when it threw none.
template <class E, class F>
int CaughtCode(F&& f) {
    const std::optional<E> e = Caught<E>(f);
    return e ? e->GetErrorCode() : -1;
}

}  // namespace testsupport
