#pragma once
// The one rule at the entry of every interface method: nothing throws across
// it. Out of memory (std::bad_alloc, or a size past what a container can
// hold) becomes E_OUTOFMEMORY; anything else thrown, E_UNEXPECTED.
//
//     HRESULT Object::Method(ARGS) {
//         return winport::ComEntry([&] { return MethodBody(ARGS); });
//     }
//
// The body itself must leave the object as it was when it throws: allocate
// first, then change state.

#include <exception>
#include <new>
#include <stdexcept>

#include "winport/base/errors.h"

namespace winport {

template <class Body>
HRESULT ComEntry(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (const std::length_error&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

// The same rule for the functions that answer with Win32 error codes, as the
// registry's do: out of memory is ERROR_NOT_ENOUGH_MEMORY, as Windows reports
// it there.
template <class Body>
LONG Win32Entry(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    } catch (const std::length_error&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    } catch (...) {
        return ERROR_INVALID_FUNCTION;
    }
}

}  // namespace winport
