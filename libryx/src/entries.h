// Entry processes on stock kernels: which processes ryxctl enter started in each container, for
// the container's "enters" limit, ryxps's EP column and ryxd, which leaves them where root put
// them. One file per container in the directory "entries" beside paths().cgroup_record (the
// format and its reader: ryx-entries.h). The files live on /run's tmpfs and die with a reboot,
// as the processes they name do.
#pragma once

#include <cstdint>
#include <string>

namespace ryx::entries {

// The entries directory: "entries" in the directory of paths().cgroup_record.
std::string dir();

// Makes pid, a running process, a live entry of container id, under the container's lock (the
// state directory's .locks): the file's dead entries go, and pid is added unless it is one
// already. 0; -EUSERS when limit > 0 and the container already has limit live entries;
// -ESRCH when pid does not run; -EINVAL for an invalid id or pid; -EUCLEAN when the entries
// directory is not root's alone; -ETIMEDOUT when the lock is held too long; another negated
// errno when the files cannot be read or written. A file that is not root's alone is replaced,
// never followed or read.
int take(uint32_t id, int pid, int32_t limit);

// Without a lock, as the sampler reads them: container id's live entries (0 when it has no
// file, or one that is not root's alone), and whether pid is one of them.
int count(uint32_t id);
bool holds(uint32_t id, int pid);

} // namespace ryx::entries
