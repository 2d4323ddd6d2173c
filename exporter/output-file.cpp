// Writing the exposition to a file, with the library's atomic replace and whole-file read.
#include "output-file.h"

#include <cerrno>
#include <cstdlib>
#include <string_view>

#include <fcntl.h>
#include <sys/stat.h>

#include "fsutil.h"
#include "ryx-fd.h"

namespace ryx_exporter {

namespace {

// An earlier exposition is a few MiB per thousand containers; a larger file is none of ours.
constexpr size_t kMaxPrevious = size_t{1} << 30;

std::string directory_of(const std::string &path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace

int write_atomically(const std::string &path, const std::string &text) {
    const std::string name = path.substr(path.rfind('/') + 1);
    if (name.empty()) return -EISDIR;
    ryx::Fd dir(open(directory_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir) return -errno;
    // Readable by the collector that runs as another user, as a file made by a shell would be.
    mode_t mask = umask(0);
    umask(mask);
    // A temporary name of this run's own (dot-named, so that the textfile collector, which reads
    // *.prom, passes over it): two runs overlapping never rename each other's half-written file.
    return ryx::write_atomic(dir.get(), name, text, 0666 & ~mask, static_cast<uid_t>(-1),
                             ryx::kUniqueTemp);
}

uint64_t previous_errors_total(const std::string &path) {
    std::string text;
    // Whoever owns it and whatever its mode (it is only read for this count); never a FIFO or a
    // device, which could block the run.
    if (ryx::read_file(AT_FDCWD, path.c_str(), text, kMaxPrevious, ryx::kFollow | ryx::kAnyOwner) <
        0)
        return 0;
    static constexpr std::string_view kName = "ryx_exporter_collect_errors_total ";
    for (std::string_view rest = text; !rest.empty();) {
        const size_t nl = rest.find('\n');
        std::string_view line = rest.substr(0, nl);
        rest.remove_prefix(nl == std::string_view::npos ? rest.size() : nl + 1);
        if (line.substr(0, kName.size()) != kName) continue;
        // strtod wants a terminated string: the number runs to the end of its line.
        const std::string number(line.substr(kName.size()));
        char *end;
        errno = 0;
        double v = std::strtod(number.c_str(), &end);
        if (errno == 0 && end != number.c_str() && v >= 0 && v < 1e18)
            return static_cast<uint64_t>(v);
        return 0;
    }
    return 0;
}

} // namespace ryx_exporter
