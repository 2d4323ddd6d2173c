// The exporter's owner of a file descriptor: closes it when it goes out of scope.
#pragma once

#include <unistd.h>

namespace ryx_exporter {

class owned_fd {
  public:
    explicit owned_fd(int fd = -1) : fd_(fd) {}
    owned_fd(const owned_fd &) = delete;
    owned_fd &operator=(const owned_fd &) = delete;
    owned_fd(owned_fd &&other) noexcept : fd_(other.release()) {}
    owned_fd &operator=(owned_fd &&other) noexcept {
        reset(other.release());
        return *this;
    }
    ~owned_fd() { reset(); }
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    void reset(int fd = -1) {
        if (fd_ >= 0) close(fd_);
        fd_ = fd;
    }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

  private:
    int fd_;
};

} // namespace ryx_exporter
