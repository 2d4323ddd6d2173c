// The owners of what the C interfaces hand out, for every program in the tree: a descriptor
// (ryx::Fd, ryx-fd.h), a directory stream, a stdio stream, the library's handle and a registry
// iterator, each released exactly once when its owner goes. Header-only and free of the C++
// runtime, like ryx-fd.h, so that the set-user-ID helpers use them too; a deleter that calls
// the library is compiled only into programs that use it.
#ifndef RYX_OWNERS_H
#define RYX_OWNERS_H

#include <dirent.h>

#include <cstdio>
#include <memory>

#include <ryx/ryx-ctl.h>
#include <ryx/ryz-map.h>

#include "ryx-fd.h"

namespace ryx {

struct DirCloser {
    void operator()(DIR *d) const noexcept { ::closedir(d); }
};
using DirStream = std::unique_ptr<DIR, DirCloser>;

struct FileCloser {
    void operator()(FILE *f) const noexcept { std::fclose(f); }
};
// A stream whose close result matters (one being written) is closed by hand before it goes.
using File = std::unique_ptr<FILE, FileCloser>;

struct HandleDestroyer {
    // Nothing can be done about a failure here, and the contract lets callers ignore it.
    void operator()(libryx *h) const noexcept { destroy_ryx(h); }
};
using Handle = std::unique_ptr<libryx, HandleDestroyer>;

struct MapIterCloser {
    void operator()(ryz_map_iter *it) const noexcept { ryz_map_iter_close(it); }
};
using MapIter = std::unique_ptr<ryz_map_iter, MapIterCloser>;

} // namespace ryx

#endif
