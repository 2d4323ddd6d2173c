// Faults the fuzz targets found, each pinned down on the smallest input that showed it.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <string>
#include <string_view>

#include "proc-sources.h"
#include "ryx-fd.h"

namespace {

// A memory file holding text, read from the start.
ryx::Fd text_fd(std::string_view text) {
    ryx::Fd fd(memfd_create("hardening", MFD_CLOEXEC));
    EXPECT_TRUE(fd);
    EXPECT_EQ(write(fd.get(), text.data(), text.size()), ssize_t(text.size()));
    lseek(fd.get(), 0, SEEK_SET);
    return fd;
}

} // namespace

// A last line without a newline that ends exactly where a buffer's worth of it ends was never
// reported as complete, so its container id was lost; any other buffer size found it.
TEST(LineReader, UnterminatedLastLineAtABufferBoundaryIsComplete) {
    const std::string text = "0::/r\x8ex.slice/ryx3"; // 18 bytes: three pieces of 6
    for (size_t size : {size_t(5), size_t(6), size_t(9), size_t(18), size_t(64)}) {
        SCOPED_TRACE(size);
        char buf[64];
        uint64_t id = 0;
        ryx::Fd fd = text_fd(text);
        EXPECT_TRUE(read_cgroup_id(fd.get(), buf, size, id));
        EXPECT_EQ(id, 3u);

        // The pieces put back together are the line, and only the final one is marked last.
        fd = text_fd(text);
        line_reader lines(fd.get(), buf, size);
        std::string_view piece;
        bool first, last;
        std::string line;
        int lasts = 0;
        while (lines.next(piece, first, last)) {
            EXPECT_EQ(first, line.empty());
            line.append(piece);
            lasts += last;
        }
        EXPECT_EQ(line, text);
        EXPECT_EQ(lasts, 1);
    }
}

// A "ryx" component one to three bytes longer than a path component can be was taken when its
// line fitted the buffer and refused when the line came in pieces.
TEST(CgroupLine, OverlongComponentIsRefusedWhateverTheBuffer) {
    const std::string longest = "ryx" + std::string(251, '0') + "7";  // 255 bytes
    const std::string overlong = "ryx" + std::string(254, '0') + "7"; // 258 bytes
    const std::string prefix = "0::/" + std::string(100, 'x') + "/";
    for (size_t size : {size_t(64), size_t(4096)}) {
        SCOPED_TRACE(size);
        char buf[4096];
        uint64_t id = 0;
        ryx::Fd fd = text_fd(prefix + longest + "\n");
        EXPECT_TRUE(read_cgroup_id(fd.get(), buf, size, id));
        EXPECT_EQ(id, 7u);
        fd = text_fd(prefix + overlong + "\n");
        EXPECT_FALSE(read_cgroup_id(fd.get(), buf, size, id));
    }
}
