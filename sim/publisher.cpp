#include "publisher.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "files.h"
#include "ryx-owners.h"

namespace ryxsim {

int Publisher::put(const std::string &rel, const std::string &text) {
    auto it = last_.find(rel);
    if (it != last_.end() && it->second == text) return 0;
    std::string path = proc_ + "/" + rel;
    int rc = write_atomic(path, text);
    if (rc == -ENOENT) {
        size_t slash = path.rfind('/');
        if ((rc = make_dirs(path.substr(0, slash))) == 0) rc = write_atomic(path, text);
    }
    if (rc == 0) last_[rel] = text;
    return rc;
}

// Programs run inside the host may link /proc/<pid> to the real procfs (sanitizer runtimes need
// their own task list); once such a process is gone its link dangles and is removed.
void Publisher::prune_dangling_links() {
    ryx::DirStream d(opendir(proc_.c_str()));
    if (!d) return;
    while (dirent *e = readdir(d.get())) {
        if (e->d_type != DT_LNK || e->d_name[0] < '1' || e->d_name[0] > '9') continue;
        struct stat st;
        if (fstatat(dirfd(d.get()), e->d_name, &st, 0) != 0 && errno == ENOENT)
            unlinkat(dirfd(d.get()), e->d_name, 0);
    }
}

int Publisher::publish(const Model &model, uint64_t now_ms) {
    int first = 0;
    auto note = [&first](int rc) {
        if (first == 0) first = rc;
    };
    // Reseller lists before the main list: a container moving under a reseller may be read in
    // both lists for one pass, but never in neither (which would blank its interval figures).
    for (const auto &[id, text] : model.reseller_lists())
        note(put("ryx/resellers/ryk" + std::to_string(id) + "/list", text));
    note(put("ryx/list", model.main_list()));
    model.for_each_thread([&](const Model::ThreadFiles &f) {
        note(put(f.dir + "/status", f.status));
        note(put(f.dir + "/statm", f.statm));
        note(put(f.dir + "/stat", f.stat));
        note(put(f.dir + "/cmdline", f.cmdline));
        note(put(f.dir + "/cgroup", f.cgroup));
    });
    prune_dangling_links();

    std::string lines = model.history_lines(now_ms);
    if (!lines.empty()) {
        struct stat st;
        if (stat(history_.c_str(), &st) == 0 && static_cast<size_t>(st.st_size) > kHistoryMax) {
            std::string old;
            if (read_file(history_, old) == 0) {
                size_t cut = old.find('\n', old.size() / 2);
                note(write_atomic(history_, cut == std::string::npos ? "" : old.substr(cut + 1)));
            }
        }
        note(append(history_, lines));
    }
    return first;
}

} // namespace ryxsim
