// ryxctl: administration of the domain registry and of the library's container state.
#include <getopt.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <ryx/ryx-ctl.h>
#include <ryx/ryz-map.h>

#include "cgroup.h"
#include "defaults.h"
#include "entries.h"
#include "libryx-impl.h"
#include "ryx-cgroup-record.h"
#include "ryx-paths.h"

namespace {

enum Exit { EXIT_OK = 0, EXIT_FAILED = 1, EXIT_USAGE = 2, EXIT_NOT_FOUND = 3 };

const char kUsage[] =
    "Usage: ryxctl [--registry DIR] [--state-dir DIR] [--cgroup-record FILE] <command> "
    "[arguments]\n"
    "\n"
    "Domain registry:\n"
    "  allow-domain-limits <user|uid>          enable domain isolation (create the entry)\n"
    "  disallow-domain-limits [--force] <user|uid>\n"
    "                                          disable it; --force also drops its mappings\n"
    "  map-assign <uid> <docroot>              print the docroot's id, assigning one if needed\n"
    "  map-remove <uid> <docroot>              remove a mapping, print the id it had\n"
    "  map-lookup <uid> <docroot>              print the docroot's id\n"
    "  map-list <uid>                          print '<id> <docroot>' for each mapping\n"
    "  verify <uid> <id>                       succeed when id is registered to uid\n"
    "  rebuild-index                           rebuild .index from the user entries\n"
    "  migrate [--trust-tables]                make the registry and the container state\n"
    "                                          root's alone (after an upgrade)\n"
    "  id-min                                  print the smallest domain id\n"
    "\n"
    "Containers:\n"
    "  list                                    print '<id> <state> <parent>' for each container\n"
    "  info <id>                               print a container's state\n"
    "  create <id> [parent]                    create a container with no limits\n"
    "  move <id> <parent>                      place a container under a reseller (0: top)\n"
    "  set <id> <field>=<value>...             change settings (cpu cpus io enters memory\n"
    "                                          cpu_weight memory_phy nproc iops)\n"
    "  disable <id> | enable <id>              set or clear the disabled flag\n"
    "  destroy <id>                            forget a container\n"
    "  apply                                   make every container's control group from the\n"
    "                                          state (stock kernels; idempotent)\n"
    "  enter <id> -- <command> [argument...]   run a command in a container's group (root), as\n"
    "                                          one of its entry processes (enters), with its\n"
    "                                          memory as each process's address-space limit\n"
    "\n"
    "Host defaults: the settings of the container ryxd creates for every uid from UID_MIN of\n"
    "login.defs up to below the domain ids, on the uid's first process:\n"
    "  defaults set <field>=<value>...         change them (the fields of set)\n"
    "  defaults show                           print them, one field=value a line (none: nothing)\n"
    "  defaults clear                          remove them: ryxd then creates no containers\n"
    "\n"
    "Options:\n"
    "  --registry DIR    registry directory (default " RYX_REGISTRY_DIR ")\n"
    "  --state-dir DIR   container state directory\n"
    "  --cgroup-record FILE  where the control-group tree is recorded (default\n"
    "                    " RYX_CGROUP_RECORD ")\n"
    "  -h, --help        this text\n"
    "\n"
    "Exit status: 0 success, 1 the operation failed, 2 invalid usage or argument,\n"
    "3 no such entry, mapping or container; enter: the command's, or 124 when the container\n"
    "is at its limit of entry processes, 125 when it could not enter, 126 when the command\n"
    "cannot run, 127 when it is not found.\n";

// Which lock file the library refused (-ENOLCK), named with its repair.
std::string bad_lock_file() {
    std::string said;
    for (const std::string &path : {ryx::paths().state_dir + "/" + ryx::ctl::kLocks,
                                    ryx::paths().registry_root + "/" + ryx::registry::kLock}) {
        struct stat st;
        if (::lstat(path.c_str(), &st) == 0 &&
            (!S_ISREG(st.st_mode) || st.st_uid != ::geteuid() || (st.st_mode & 077) != 0))
            said += (said.empty() ? "" : " and ") + path;
    }
    if (said.empty()) said = "a lock file";
    return said + " is not root's private regular file; run 'ryxctl migrate'";
}

int fail(const char *what, int rc) {
    // The library's errors that strerror would only puzzle an administrator with.
    std::string why;
    switch (-rc) {
    case EUCLEAN:
        why = "a registry or state file or directory is not root's alone; run 'ryxctl migrate'";
        break;
    case ENOTUNIQ:
        why = "the index does not give this user every id its table maps; check the tables, "
              "then run 'ryxctl rebuild-index'";
        break;
    case ETIMEDOUT:
        why = "locked by another process for too long (a stopped program?); try again";
        break;
    case ENOLCK:
        why = bad_lock_file();
        break;
    default:
        why = std::strerror(-rc);
    }
    std::fprintf(stderr, "ryxctl: %s: %s\n", what, why.c_str());
    return EXIT_FAILED;
}

int usage_error(const char *fmt, const char *arg) {
    std::fputs("ryxctl: ", stderr);
    std::fprintf(stderr, fmt, arg);
    std::fputs("\nTry 'ryxctl --help'.\n", stderr);
    return EXIT_USAGE;
}

// A user name or a decimal uid.
bool resolve_user(const char *s, uint32_t &uid) {
    if (ryx::num::parse_u32(s, uid)) return true;
    struct passwd *pw = ::getpwnam(s);
    if (!pw) return false;
    uid = pw->pw_uid;
    return true;
}

// One command line, once the command's table entry has checked it.
struct Call {
    const char *name;
    char **args; // the arguments after the command's flag
    int nargs;
    bool flag;        // the command's flag was given
    uint32_t subject; // the user, uid or container the first argument names
};

void say_not_enabled(uint32_t uid) {
    std::fprintf(stderr, "ryxctl: domain isolation is not enabled for uid %u\n", uid);
}

int no_container(uint32_t id) {
    std::fprintf(stderr, "ryxctl: no container %u\n", id);
    return EXIT_NOT_FOUND;
}

int cmd_allow(const Call &c) {
    if (c.flag) return usage_error("%s", "--force is for disallow-domain-limits");
    int rc = ryx::registry::enable(c.subject);
    if (rc < 0) return fail("allow-domain-limits", rc);
    static const char *const kSaid[] = {
        "domain isolation was already enabled for uid %u\n",
        "domain isolation enabled for uid %u\n",
        "domain isolation enabled for uid %u (its empty entry file is now a table)\n",
    };
    std::printf(kSaid[rc], c.subject);
    return EXIT_OK;
}

int cmd_disallow(const Call &c) {
    const uint32_t uid = c.subject;
    int rc = ryx::registry::disable(uid, c.flag);
    if (rc == -ENOENT) {
        say_not_enabled(uid);
        return EXIT_NOT_FOUND;
    }
    if (rc == -ENOTEMPTY) {
        std::fprintf(stderr, "ryxctl: uid %u still has domain mappings; use --force to drop them\n",
                     uid);
        return EXIT_FAILED;
    }
    if (rc < 0) return fail("disallow-domain-limits", rc);
    std::printf("domain isolation disabled for uid %u (%d mapping%s dropped)\n", uid, rc,
                rc == 1 ? "" : "s");
    return EXIT_OK;
}

// map-assign and map-remove: print the id the docroot has, or had.
int cmd_map_change(const Call &c) {
    uint32_t got = 0;
    int rc = std::strcmp(c.name, "map-assign") == 0 ? ryz_map_assign(c.subject, c.args[1], &got)
                                                    : ryz_map_remove(c.subject, c.args[1], &got);
    if (rc == -EPERM) {
        say_not_enabled(c.subject);
        return EXIT_NOT_FOUND;
    }
    if (rc < 0) return fail(c.name, rc);
    if (got == 0) return EXIT_NOT_FOUND; // remove: nothing was mapped
    std::printf("%u\n", got);
    return EXIT_OK;
}

int cmd_map_lookup(const Call &c) {
    uint32_t found = ryz_map_lookup(c.subject, c.args[1]);
    if (!found) return EXIT_NOT_FOUND;
    std::printf("%u\n", found);
    return EXIT_OK;
}

int cmd_map_list(const Call &c) {
    errno = 0;
    ryx::MapIter it(ryz_map_iter_open(c.subject));
    if (!it) {
        if (errno == ENOENT) return EXIT_OK; // nothing mapped, or no entry at all
        return fail("map-list", -errno);
    }
    const char *docroot;
    uint32_t id;
    while (ryz_map_iter_next(it.get(), &docroot, &id) == 0)
        std::printf("%u %s\n", id, ryx::registry::escape_docroot(docroot).c_str());
    return EXIT_OK;
}

// A container id: decimal, not 0.
bool get_id(const char *s, uint32_t &out) {
    if (ryx::num::parse_u32(s, out) && out != 0) return true;
    usage_error("invalid container id '%s'", s);
    return false;
}

int cmd_verify(const Call &c) {
    uint32_t id;
    if (!get_id(c.args[1], id)) return EXIT_USAGE;
    return ryz_map_verify_ownership(c.subject, id) ? EXIT_OK : EXIT_NOT_FOUND;
}

void report_damaged(const ryx::registry::Damaged &d) {
    if (d.error == -ERANGE)
        std::fprintf(stderr,
                     "ryxctl: entry of uid %u maps id %u, below the smallest domain "
                     "id %u\n",
                     d.uid, d.id, ryz_get_id_min());
    else if (d.error == -EUCLEAN)
        std::fprintf(stderr,
                     "ryxctl: entry of uid %u is not root's alone; run 'ryxctl "
                     "migrate'\n",
                     d.uid);
    else
        std::fprintf(stderr, "ryxctl: entry of uid %u is unreadable: %s\n", d.uid,
                     std::strerror(-d.error));
}

int cmd_rebuild(const Call &) {
    std::vector<ryx::registry::Conflict> conflicts;
    std::vector<ryx::registry::Damaged> damaged;
    std::vector<ryx::fmt::Owner> accounts;
    int rc = ryx::registry::rebuild(&conflicts, &damaged, &accounts);
    for (const auto &d : damaged)
        report_damaged(d);
    for (const auto &a : accounts)
        std::fprintf(stderr,
                     "ryxctl: uid %u maps id %u, which is an account's uid (its own container): "
                     "the library refuses that container to the user; remove the mapping and "
                     "assign the docroot again\n",
                     a.uid, a.id);
    for (const auto &c : conflicts)
        std::fprintf(stderr, "ryxctl: id %u is mapped by both uid %u and uid %u\n", c.id, c.uid_a,
                     c.uid_b);
    if (rc < 0) {
        std::fprintf(stderr, "ryxctl: index not rebuilt: %s\n", std::strerror(-rc));
        return EXIT_FAILED;
    }
    std::printf("index rebuilt: %d id%s\n", rc, rc == 1 ? "" : "s");
    return EXIT_OK;
}

void report_migration(const ryx::registry::Migration &m) {
    for (uint32_t uid : m.removed)
        std::fprintf(stderr, "ryxctl: entry of uid %u was no regular file; removed\n", uid);
    for (const auto &d : m.damaged)
        std::fprintf(stderr,
                     "ryxctl: entry of uid %u is damaged (%s); kept as it is, now "
                     "root's\n",
                     d.uid, std::strerror(-d.error));
    for (const auto &a : m.set_aside)
        std::fprintf(stderr,
                     "ryxctl: uid %u: id %u (%s) is not that user's in the index; set "
                     "aside in .setaside.%u\n",
                     a.uid, a.id, ryx::registry::escape_docroot(a.docroot).c_str(), a.uid);
}

// The registry's part; false when something was left for a later run.
bool migrate_registry(bool trust_tables, ryx::registry::Migration &m) {
    int rc = ryx::registry::migrate(trust_tables, m);
    report_migration(m);
    if (rc == -ENOKEY) {
        std::fputs("ryxctl: migrate: the index is missing or damaged, so the tables' ids cannot "
                   "be checked; restore .index from a backup, or accept the tables as they "
                   "stand with 'ryxctl migrate --trust-tables'\n",
                   stderr);
        return false;
    }
    if (rc < 0 && rc != -ENOENT) { // no registry: nothing to migrate
        fail("migrate: registry", rc);
        return false;
    }
    return true;
}

// The container state's part; false when something was left for a later run.
bool migrate_containers(ryx::ctl::StateMigration &s) {
    int rc = ryx::ctl::migrate_state(s);
    auto name = [](const std::string &n) { return ryx::registry::escape_docroot(n); };
    for (const std::string &n : s.removed)
        std::fprintf(stderr, "ryxctl: container state: '%s' was no file or directory; removed\n",
                     name(n).c_str());
    for (const std::string &n : s.set_aside)
        std::fprintf(stderr,
                     "ryxctl: container state: '%s' is not the library's; moved into %s/%s\n",
                     name(n).c_str(), ryx::paths().state_dir.c_str(), s.aside_dir.c_str());
    for (const auto &l : s.left) {
        const std::string what = "migrate: container state '" + name(l.name) + "'";
        fail(what.c_str(), l.error);
    }
    if (rc < 0) fail("migrate: container state", rc);
    return rc == 0 && s.left.empty();
}

// Each part does all it can whatever the other did, so that one stalled container or a refused
// registry holds up nothing else; running it again finishes the rest.
int cmd_migrate(const Call &c) {
    ryx::registry::Migration m;
    ryx::ctl::StateMigration s;
    const bool registry_done = migrate_registry(c.flag, m);
    const bool state_done = migrate_containers(s);
    std::printf("registry: %d file%s rewritten, %zu entr%s set aside; container state: %d "
                "file%s rewritten, %zu removed, %zu set aside\n",
                m.rewritten, m.rewritten == 1 ? "" : "s", m.set_aside.size(),
                m.set_aside.size() == 1 ? "y" : "ies", s.rewritten, s.rewritten == 1 ? "" : "s",
                s.removed.size(), s.set_aside.size());
    if (registry_done && state_done) return EXIT_OK;
    std::fputs("ryxctl: migrate: not everything could be migrated (see above); the rest is done. "
               "Run 'ryxctl migrate' again\n",
               stderr);
    return EXIT_FAILED;
}

int cmd_id_min(const Call &) {
    std::printf("%u\n", ryz_get_id_min());
    return EXIT_OK;
}

int cmd_list(const Call &) {
    std::vector<ryx::ctl::Record> all;
    int rc = ryx::ctl::load_all(all);
    if (rc < 0) return fail("list", rc);
    for (const ryx::ctl::Record &r : all) {
        if (r.error == 0)
            std::printf("%u %s %u\n", r.id, r.c.active ? "active" : "placed", r.c.parent);
        else
            std::printf("%u damaged -\n", r.id);
    }
    return EXIT_OK;
}

// What the kernel holds of an active container's settings, on a host whose kernel has no
// containers of its own (there, the container kernel enforces them all).
void print_enforcement(uint32_t id, const ryx::ctl::Container &cur) {
    ryx::cgroup::Tree tree;
    const bool have_tree = ryx::cgroup::load(tree) == 0 && !tree.empty();
    struct stat st;
    if (!cur.active || (!have_tree && ::stat("/proc/ryx/list", &st) == 0)) return;
    if (have_tree)
        std::printf("group=%s\n",
                    ryx::cgroup::group_path(tree.hierarchies[0], id, cur.parent).c_str());
    std::string held, per_process;
    for (const ryx::cgroup::Enforcement &e : ryx::cgroup::enforcement(tree, id, cur)) {
        if (cur.set.*ryx::ctl::find_setting(e.key)->field <= 0) continue;
        if (e.held && !e.expressible)
            per_process += std::string(per_process.empty() ? "" : " ") + e.key;
        else if (e.held)
            held += std::string(held.empty() ? "" : " ") + e.key;
        else
            std::printf("not enforced: %s (%s)\n", e.key, e.why_not.c_str());
    }
    if (!held.empty()) std::printf("enforced: %s\n", held.c_str());
    // entry processes by ryxctl enter, address space on each process ryxctl enter or ryxd places
    if (!per_process.empty()) std::printf("enforced per process: %s\n", per_process.c_str());
}

int cmd_info(const Call &c) {
    ryx::ctl::Container cur;
    int rc = ryx::ctl::load(c.subject, cur);
    if (rc == -ESRCH) return no_container(c.subject);
    if (rc < 0) return fail("info", rc);
    std::fputs(ryx::ctl::format_state(c.subject, cur).c_str(), stdout);
    print_enforcement(c.subject, cur);
    return EXIT_OK;
}

// The tree as recorded or, when there is none yet, made (as ryxd --once does at boot).
int cmd_apply(const Call &) {
    if (::geteuid() != 0) return fail("apply", -EPERM);
    ryx::cgroup::Tree tree;
    int rc = ryx::cgroup::load(tree);
    if (rc == 0 && tree.empty()) rc = ryx::cgroup::set_up(tree);
    if (rc == -ENOENT) {
        std::fputs("ryxctl: apply: no control-group hierarchy is mounted\n", stderr);
        return EXIT_FAILED;
    }
    if (rc < 0) return fail("apply", rc);
    std::vector<uint32_t> failed;
    if ((rc = ryx::cgroup::apply_all(tree, failed)) < 0) return fail("apply", rc);
    for (uint32_t id : failed)
        std::fprintf(stderr, "ryxctl: apply: container %u: its group could not be made\n", id);
    for (const ryx::cgroup::Hierarchy &h : tree.hierarchies)
        std::printf("%s tree at %s\n", h.v2 ? "cgroup v2" : "cgroup v1", h.root.c_str());
    return failed.empty() ? EXIT_OK : EXIT_FAILED;
}

// Statuses of enter's own, as env(1) and chroot(1) have them, apart from the command's; 124, the
// container's entry processes all taken, is for callers that answer it differently (a web
// server's "loop detected", say) from a container that cannot be entered at all.
enum EnterExit {
    EXIT_ENTER_LIMIT = 124,
    EXIT_ENTER_FAILED = 125,
    EXIT_CANNOT_RUN = 126,
    EXIT_COMMAND_NOT_FOUND = 127
};

// The container's memory setting (4 KiB pages) as this process's address-space limit, which
// the command and everything it starts inherit: soft and hard lowered to it, never raised.
int limit_address_space(int32_t pages) {
    if (pages <= 0) return 0;
    const rlim_t bytes = static_cast<rlim_t>(pages) * ryx::kSettingPageBytes;
    struct rlimit lim;
    if (::getrlimit(RLIMIT_AS, &lim) != 0) return -errno;
    // RLIM_INFINITY is the largest value, so "lowered" is a plain minimum.
    lim.rlim_cur = std::min(lim.rlim_cur, bytes);
    lim.rlim_max = std::min(lim.rlim_max, bytes);
    return ::setrlimit(RLIMIT_AS, &lim) == 0 ? 0 : -errno;
}

int no_group(uint32_t id) {
    std::fprintf(stderr,
                 "ryxctl: enter: no active container %u with a control group (see 'ryxctl info "
                 "%u')\n",
                 id, id);
    return EXIT_ENTER_FAILED;
}

// The container's entry, then its group, then its memory limit. The entry comes first so that
// a process refused for the container's limit never runs in it, not even for a moment; one
// that then fails to move leaves an entry that dies with it.
int enter_container(uint32_t id, const ryx::ctl::Container &cur) {
    ryx::cgroup::Tree tree;
    int rc = ryx::cgroup::load(tree);
    if (rc == 0 && tree.empty()) rc = -ESRCH;
    // A disabled container has every limit lifted; its entries still count.
    const bool limited = !(cur.flags & RYX_VE_DISABLE);
    if (rc == 0) rc = ryx::entries::take(id, ::getpid(), limited ? cur.set.ls_enters : 0);
    if (rc == -EUSERS) {
        std::fprintf(stderr, "ryxctl: enter: container %u is at its limit of %d entry processes\n",
                     id, cur.set.ls_enters);
        return EXIT_ENTER_LIMIT;
    }
    if (rc == -EUCLEAN) {
        std::fprintf(stderr,
                     "ryxctl: enter: %s is not root's alone; remove it (it is made again)\n",
                     ryx::entries::dir().c_str());
        return EXIT_ENTER_FAILED;
    }
    if (rc == 0) rc = ryx::cgroup::enter(tree, id, cur.parent, ::getpid());
    if (rc == -ESRCH) return no_group(id);
    if (rc == 0 && limited) rc = limit_address_space(cur.set.ls_memory);
    if (rc < 0) {
        fail("enter", rc);
        return EXIT_ENTER_FAILED;
    }
    return EXIT_OK;
}

// Moves this process into the container's group, as one of its entry processes, then becomes
// the command: its status is the command's own, and every process it starts is in the
// container too.
int cmd_enter(const Call &c) {
    if (std::strcmp(c.args[1], "--") != 0) return usage_error("%s", "enter <id> -- <command>");
    if (::getuid() != 0 || ::geteuid() != 0) {
        std::fputs("ryxctl: enter: only root may enter a container\n", stderr);
        return EXIT_ENTER_FAILED;
    }
    ryx::ctl::Container cur;
    int rc = ryx::ctl::load(c.subject, cur);
    if (rc == 0 && !cur.active) rc = -ESRCH;
    if (rc == -ESRCH) return no_group(c.subject);
    if (rc < 0) {
        fail("enter", rc);
        return EXIT_ENTER_FAILED;
    }
    if (int status = enter_container(c.subject, cur); status != EXIT_OK) return status;
    ::execvp(c.args[2], c.args + 2);
    const int error = errno;
    std::fprintf(stderr, "ryxctl: enter: %s: %s\n", c.args[2], std::strerror(error));
    return error == ENOENT ? EXIT_COMMAND_NOT_FOUND : EXIT_CANNOT_RUN;
}

int cmd_destroy(const Call &c) {
    int rc = ryx::ctl::forget(c.subject);
    if (rc == -ESRCH) return no_container(c.subject);
    return rc < 0 ? fail("destroy", rc) : EXIT_OK;
}

// disable and enable: set or clear RYX_VE_DISABLE of an active container.
int cmd_disable(const Call &c) {
    ryx::ctl::Container cur;
    int rc = ryx::ctl::load(c.subject, cur);
    if (rc == 0 && cur.active) {
        uint32_t flags = std::strcmp(c.name, "disable") == 0
                             ? (cur.flags | RYX_VE_DISABLE)
                             : (cur.flags & ~uint32_t(RYX_VE_DISABLE));
        rc = ryx::ctl::set_flags(c.subject, flags);
    } else if (rc == 0) {
        rc = -ESRCH;
    }
    if (rc == -ESRCH) return no_container(c.subject);
    return rc < 0 ? fail(c.name, rc) : EXIT_OK;
}

// create and move: through the library's own calls, as a management tool makes them.
int cmd_place(const Call &c) {
    ryx::Handle h(init_ryx(std::malloc, std::free));
    if (!h) return fail("init_ryx", -errno);
    const bool create = std::strcmp(c.name, "create") == 0;
    uint32_t parent = 0;
    if (c.nargs == 2 && !ryx::num::parse_u32(c.args[1], parent))
        return usage_error("invalid parent id '%s'", c.args[1]);
    libryx_info info{};
    if (create && ryx_info(h.get(), c.subject, &info) == 0) {
        std::fprintf(stderr, "ryxctl: container %u already exists\n", c.subject);
        return EXIT_FAILED;
    }
    if (c.nargs == 2) {
        int rc = ryx_ryk_move(h.get(), c.subject, parent);
        if (rc < 0) return fail("move", rc);
    }
    if (create) {
        libryx_settings none{};
        int rc = ryx_setup(h.get(), c.subject, &none);
        if (rc < 0) return fail("create", rc);
    }
    return EXIT_OK;
}

// One "<field>=<value>" of set into s; EXIT_OK or a usage error.
int take_setting(const char *assignment, libryx_settings &s) {
    const char *eq = std::strchr(assignment, '=');
    const ryx::ctl::Setting *f =
        eq ? ryx::ctl::find_setting(std::string_view(assignment, size_t(eq - assignment)))
           : nullptr;
    if (!f) return usage_error("not a setting: '%s'", assignment);
    // The C library's reading, as the limits helper's: a sign is accepted (and a negative value
    // then refused by the library), an empty value is not.
    if (!eq[1] || !ryx::num::parse_c_i32(eq + 1, s.*f->field))
        return usage_error("not a number: '%s'", assignment);
    return EXIT_OK;
}

int cmd_set(const Call &c) {
    if (c.nargs < 2) return usage_error("%s", "set needs at least one <field>=<value>");
    ryx::Handle h(init_ryx(std::malloc, std::free));
    if (!h) return fail("init_ryx", -errno);
    libryx_info info{};
    int rc = ryx_info(h.get(), c.subject, &info);
    if (rc < 0 && rc != -ESRCH) return fail("set", rc);
    for (int i = 1; i < c.nargs; ++i)
        if (int status = take_setting(c.args[i], info.li_set); status != EXIT_OK) return status;
    rc = ryx_setup(h.get(), c.subject, &info.li_set);
    if (rc == -EINVAL || rc == -ERANGE) {
        std::fprintf(stderr, "ryxctl: settings rejected: %s\n", std::strerror(-rc));
        return EXIT_USAGE;
    }
    return rc < 0 ? fail("set", rc) : EXIT_OK;
}

int fail_defaults(int rc) {
    if (rc != -EBADMSG) return fail("defaults", rc);
    std::fprintf(stderr,
                 "ryxctl: defaults: %s/%s is damaged; set them again with 'ryxctl defaults clear' "
                 "and 'ryxctl defaults set'\n",
                 ryx::paths().state_dir.c_str(), ryx::ctl::kDefaults);
    return EXIT_FAILED;
}

// defaults set changes the fields it names and keeps the others, as set does.
int defaults_set(const Call &c) {
    libryx_settings given{};
    for (int i = 1; i < c.nargs; ++i)
        if (int status = take_setting(c.args[i], given); status != EXIT_OK) return status;
    int rc = ryx::ctl::update_defaults([&](libryx_settings &s) {
        for (int i = 1; i < c.nargs; ++i)
            take_setting(c.args[i], s); // read above: cannot fail
        return 0;
    });
    if (rc == -EINVAL || rc == -ERANGE) {
        std::fprintf(stderr, "ryxctl: settings rejected: %s\n", std::strerror(-rc));
        return EXIT_USAGE;
    }
    return rc < 0 ? fail_defaults(rc) : EXIT_OK;
}

// defaults set, show and clear: the settings of the containers ryxd creates for users.
int cmd_defaults(const Call &c) {
    const std::string_view what = c.args[0];
    if (what == "set" && c.nargs >= 2) return defaults_set(c);
    if (what == "show" && c.nargs == 1) {
        libryx_settings s{};
        int rc = ryx::ctl::load_defaults(s);
        if (rc < 0) return fail_defaults(rc);
        if (rc == 1) std::fputs(ryx::ctl::format_settings(s).c_str(), stdout);
        return EXIT_OK;
    }
    if (what == "clear" && c.nargs == 1) {
        int rc = ryx::ctl::clear_defaults();
        return rc < 0 ? fail_defaults(rc) : EXIT_OK;
    }
    return usage_error("%s", "defaults set <field>=<value>... | defaults show | defaults clear");
}

// What a command's first argument names; it is checked before the command runs. A container
// id is checked before the number of arguments, anything else after it.
enum class First { nothing, user, uid, container };

struct Command {
    const char *name;
    First first;
    int min_args, max_args; // not counting the flag
    const char *flag;       // an optional flag before the arguments, or nullptr
    int (*handler)(const Call &);
};

constexpr int kAny = 1 << 30;

const Command kCommands[] = {
    {"allow-domain-limits", First::user, 1, 1, "--force", cmd_allow},
    {"disallow-domain-limits", First::user, 1, 1, "--force", cmd_disallow},
    {"map-assign", First::uid, 2, 2, nullptr, cmd_map_change},
    {"map-remove", First::uid, 2, 2, nullptr, cmd_map_change},
    {"map-lookup", First::uid, 2, 2, nullptr, cmd_map_lookup},
    {"map-list", First::uid, 1, 1, nullptr, cmd_map_list},
    {"verify", First::uid, 2, 2, nullptr, cmd_verify},
    {"migrate", First::nothing, 0, 0, "--trust-tables", cmd_migrate},
    {"rebuild-index", First::nothing, 0, 0, nullptr, cmd_rebuild},
    {"id-min", First::nothing, 0, 0, nullptr, cmd_id_min},
    {"list", First::nothing, 0, 0, nullptr, cmd_list},
    {"info", First::container, 1, 1, nullptr, cmd_info},
    {"destroy", First::container, 1, 1, nullptr, cmd_destroy},
    {"disable", First::container, 1, 1, nullptr, cmd_disable},
    {"enable", First::container, 1, 1, nullptr, cmd_disable},
    {"create", First::container, 1, 2, nullptr, cmd_place},
    {"move", First::container, 2, 2, nullptr, cmd_place},
    {"set", First::container, 1, kAny, nullptr, cmd_set},
    {"apply", First::nothing, 0, 0, nullptr, cmd_apply},
    {"enter", First::container, 3, kAny, nullptr, cmd_enter},
    {"defaults", First::nothing, 1, kAny, nullptr, cmd_defaults},
};

// The first argument as cmd.first says; EXIT_OK or a usage error.
int take_first(const Command &cmd, Call &c) {
    const char *arg = c.nargs > 0 ? c.args[0] : nullptr;
    switch (cmd.first) {
    case First::nothing:
        return EXIT_OK;
    case First::user:
        return resolve_user(arg, c.subject) ? EXIT_OK : usage_error("no such user '%s'", arg);
    case First::uid:
        return ryx::num::parse_u32(arg, c.subject) ? EXIT_OK : usage_error("invalid uid '%s'", arg);
    case First::container:
        if (!arg) return usage_error("%s", "a container id is needed");
        return get_id(arg, c.subject) ? EXIT_OK : EXIT_USAGE;
    }
    return EXIT_USAGE;
}

int dispatch(const Command &cmd, char **args, int nargs) {
    Call c{cmd.name, args, nargs, false, 0};
    if (cmd.flag && nargs == cmd.max_args + 1 && std::strcmp(args[0], cmd.flag) == 0) {
        c.flag = true;
        ++c.args;
        --c.nargs;
    }
    int status;
    if (cmd.first == First::container && (status = take_first(cmd, c)) != EXIT_OK) return status;
    if (c.nargs < cmd.min_args || c.nargs > cmd.max_args)
        return usage_error("wrong number of arguments for '%s'", cmd.name);
    if (cmd.first != First::container && (status = take_first(cmd, c)) != EXIT_OK) return status;
    return cmd.handler(c);
}

// --registry and --state-dir, or --help; -1 when the command is to run.
int take_options(int argc, char **argv, ryx::Paths &paths) {
    static const struct option kLongOptions[] = {
        {"registry", required_argument, nullptr, 'r'},
        {"state-dir", required_argument, nullptr, 's'},
        {"cgroup-record", required_argument, nullptr, 'c'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    int c;
    // '+': options end at the command, whose own arguments may look like options.
    while ((c = ::getopt_long(argc, argv, "+h", kLongOptions, nullptr)) != -1) {
        switch (c) {
        case 'r':
            paths.registry_root = optarg;
            break;
        case 's':
            paths.state_dir = optarg;
            break;
        case 'c':
            paths.cgroup_record = optarg;
            break;
        case 'h':
            std::fputs(kUsage, stdout);
            return EXIT_OK;
        default:
            std::fputs("Try 'ryxctl --help'.\n", stderr);
            return EXIT_USAGE;
        }
    }
    return -1;
}

int run(int argc, char **argv) {
    ryx::Paths paths = ryx::paths();
    if (int status = take_options(argc, argv, paths); status >= 0) return status;
    ryx::configure(paths);
    if (optind >= argc) return usage_error("%s", "no command given");
    const char *name = argv[optind];
    for (const Command &cmd : kCommands)
        if (std::strcmp(cmd.name, name) == 0)
            return dispatch(cmd, argv + optind + 1, argc - optind - 1);
    return usage_error("unknown command '%s'", name);
}

} // namespace

int main(int argc, char **argv) {
    int status;
    try {
        status = run(argc, argv);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "ryxctl: %s\n", e.what());
        status = EXIT_FAILED;
    }
    // What was printed (an id just assigned, say) must have reached its reader, or the
    // command failed, whatever it did.
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "ryxctl: cannot write to standard output: %s\n", std::strerror(errno));
        return EXIT_FAILED;
    }
    return status;
}
