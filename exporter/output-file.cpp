// Writing the exposition to a file.
#include "output-file.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ryx-fd.h"

namespace ryx_exporter {

namespace {

struct file_closer {
    void operator()(FILE *f) const { std::fclose(f); }
};

// The temporary file until it has been renamed: removed if anything fails before.
class temp_file {
  public:
    explicit temp_file(std::string path) : path_(std::move(path)) {}
    ~temp_file() {
        if (!path_.empty()) unlink(path_.c_str());
    }
    temp_file(const temp_file &) = delete;
    temp_file &operator=(const temp_file &) = delete;
    const std::string &path() const { return path_; }
    void keep() { path_.clear(); }

  private:
    std::string path_;
};

std::string directory_of(const std::string &path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

int write_all(int fd, const std::string &text) {
    const char *p = text.data();
    size_t left = text.size();
    while (left > 0) {
        ssize_t n = write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -errno;
        p += n;
        left -= static_cast<size_t>(n);
    }
    return 0;
}

} // namespace

int write_atomically(const std::string &path, const std::string &text) {
    // Same directory, so that the rename is atomic; a name that does not end in .prom, so
    // that the textfile collector passes over it.
    std::vector<char> name(path.begin(), path.end());
    for (char c : std::string(".tmp.XXXXXX"))
        name.push_back(c);
    name.push_back('\0');
    ryx::Fd fd(mkostemp(name.data(), O_CLOEXEC));
    if (!fd) return -errno;
    temp_file tmp(name.data());
    // Readable by the collector that runs as another user, as a file made by a shell would be.
    mode_t mask = umask(0);
    umask(mask);
    if (fchmod(fd.get(), 0666 & ~mask) != 0) return -errno;
    if (int rc = write_all(fd.get(), text); rc < 0) return rc;
    if (fsync(fd.get()) != 0) return -errno;
    if (close(fd.release()) != 0) return -errno;
    if (rename(tmp.path().c_str(), path.c_str()) != 0) return -errno;
    tmp.keep();
    // The rename itself lasts only once the directory is on disk.
    ryx::Fd dir(open(directory_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir) return -errno;
    if (fsync(dir.get()) != 0) return -errno;
    return 0;
}

uint64_t previous_errors_total(const std::string &path) {
    std::unique_ptr<FILE, file_closer> f(std::fopen(path.c_str(), "re"));
    if (!f) return 0;
    static constexpr char name[] = "ryx_exporter_collect_errors_total ";
    char *raw = nullptr;
    size_t size = 0;
    uint64_t total = 0;
    while (getline(&raw, &size, f.get()) >= 0) {
        if (std::strncmp(raw, name, sizeof name - 1) != 0) continue;
        const char *number = raw + sizeof name - 1;
        char *end;
        errno = 0;
        double v = std::strtod(number, &end);
        if (errno == 0 && end != number && v >= 0 && v < 1e18) total = static_cast<uint64_t>(v);
        break;
    }
    free(raw);
    return total;
}

} // namespace ryx_exporter
