// The owner of a file descriptor, for every program in the tree: closes it when it goes.
// Header-only and free of the C++ runtime, like ryx-number.h, so that the set-user-ID helpers
// use it too.
#ifndef RYX_FD_H
#define RYX_FD_H

#include <unistd.h>

namespace ryx {

class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd &&o) noexcept : fd_(o.release()) {}
    Fd &operator=(Fd &&o) noexcept {
        reset(o.release());
        return *this;
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    // Closes what it holds and takes fd.
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }
    // Hands the descriptor over: no longer closed here.
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

  private:
    int fd_ = -1;
};

} // namespace ryx

#endif
