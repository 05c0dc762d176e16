// A handle of the platform seam, closed when its owner goes out of scope, so
// that every return of the function that opened it closes it exactly once.
// The owner is the opener's local: locals close in reverse order of their
// declaration, a request before its connection before the session.
#pragma once

#include <utility>

#include "platform/files.h"
#include "platform/http_client.h"

namespace pelbrook {

template <typename Handle, Handle (*Empty)(), bool (*Close)(Handle)>
class HandleOwner {
public:
    HandleOwner() = default;
    explicit HandleOwner(Handle handle) : handle_(handle) {}
    HandleOwner(HandleOwner&& other) noexcept : handle_(std::exchange(other.handle_, Empty())) {}
    HandleOwner& operator=(HandleOwner&& other) noexcept {
        if (this != &other) {
            reset();
            handle_ = std::exchange(other.handle_, Empty());
        }
        return *this;
    }
    HandleOwner(const HandleOwner&) = delete;
    HandleOwner& operator=(const HandleOwner&) = delete;
    ~HandleOwner() { reset(); }

    Handle get() const { return handle_; }
    // Closes now, for a close that has to come before a later step of the opener.
    void reset() {
        if (handle_ != Empty()) {
            Close(std::exchange(handle_, Empty()));
        }
    }

private:
    Handle handle_ = Empty();
};

inline platform::HttpHandle NoHttpHandle() { return nullptr; }

using HttpHandleOwner = HandleOwner<platform::HttpHandle, NoHttpHandle, platform::HttpCloseHandle>;
using FileHandleOwner = HandleOwner<platform::FileHandle, platform::InvalidFile, platform::FileClose>;

}  // namespace pelbrook
