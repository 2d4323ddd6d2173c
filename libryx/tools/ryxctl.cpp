// ryxctl: administration of the domain registry and of the library's container state.
#include <getopt.h>
#include <pwd.h>

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

#include "internal.h"
#include "registry.h"
#include "state.h"

namespace {

enum Exit { EXIT_OK = 0, EXIT_FAILED = 1, EXIT_USAGE = 2, EXIT_NOT_FOUND = 3 };

const char kUsage[] =
    "Usage: ryxctl [--registry DIR] [--state-dir DIR] <command> [arguments]\n"
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
    "\n"
    "Options:\n"
    "  --registry DIR    registry directory (default /etc/container/ryz_ids)\n"
    "  --state-dir DIR   container state directory\n"
    "  -h, --help        this text\n"
    "\n"
    "Exit status: 0 success, 1 the operation failed, 2 invalid usage or argument,\n"
    "3 no such entry, mapping or container.\n";

int fail(const char *what, int rc) {
    // The library's errors that strerror would only puzzle an administrator with.
    const char *why;
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
    default:
        why = std::strerror(-rc);
    }
    std::fprintf(stderr, "ryxctl: %s: %s\n", what, why);
    return EXIT_FAILED;
}

int usage_error(const char *fmt, const char *arg) {
    std::fputs("ryxctl: ", stderr);
    std::fprintf(stderr, fmt, arg);
    std::fputs("\nTry 'ryxctl --help'.\n", stderr);
    return EXIT_USAGE;
}

bool parse_u32(const char *s, uint32_t &out) {
    if (!*s || std::strspn(s, "0123456789") != std::strlen(s)) return false;
    errno = 0;
    unsigned long long v = std::strtoull(s, nullptr, 10);
    if (errno || v > 0xffffffffull) return false;
    out = static_cast<uint32_t>(v);
    return true;
}

// A user name or a decimal uid.
bool resolve_user(const char *s, uint32_t &uid) {
    if (parse_u32(s, uid)) return true;
    struct passwd *pw = ::getpwnam(s);
    if (!pw) return false;
    uid = pw->pw_uid;
    return true;
}

struct HandleDeleter {
    void operator()(libryx *h) const { destroy_ryx(h); }
};
using Handle = std::unique_ptr<libryx, HandleDeleter>;

struct IterCloser {
    void operator()(ryz_map_iter *it) const { ryz_map_iter_close(it); }
};

int cmd_allow(uint32_t uid) {
    int rc = ryx::registry::enable(uid);
    if (rc < 0) return fail("allow-domain-limits", rc);
    static const char *const said[] = {
        "domain isolation was already enabled for uid %u\n",
        "domain isolation enabled for uid %u\n",
        "domain isolation enabled for uid %u (its empty entry file is now a table)\n",
    };
    std::printf(said[rc], uid);
    return EXIT_OK;
}

int cmd_disallow(uint32_t uid, bool force) {
    int rc = ryx::registry::disable(uid, force);
    if (rc == -ENOENT) {
        std::fprintf(stderr, "ryxctl: domain isolation is not enabled for uid %u\n", uid);
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

int cmd_map_list(uint32_t uid) {
    errno = 0;
    std::unique_ptr<ryz_map_iter, IterCloser> it(ryz_map_iter_open(uid));
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

int cmd_rebuild() {
    std::vector<ryx::registry::Conflict> conflicts;
    std::vector<ryx::registry::Damaged> damaged;
    int rc = ryx::registry::rebuild(&conflicts, &damaged);
    for (const auto &d : damaged) {
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

int cmd_migrate(bool trust_tables) {
    ryx::registry::Migration m;
    int rc = ryx::registry::migrate(trust_tables, m);
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
    if (rc == -ENOENT) {
        rc = 0; // no registry: nothing to migrate
    } else if (rc == -ENOKEY) {
        std::fputs("ryxctl: migrate: the index is missing or damaged, so the tables' ids cannot "
                   "be checked; restore .index from a backup, or accept the tables as they "
                   "stand with 'ryxctl migrate --trust-tables'\n",
                   stderr);
        return EXIT_FAILED;
    }
    if (rc < 0) return fail("migrate: registry", rc);
    int state = ryx::ctl::migrate_state();
    if (state < 0) return fail("migrate: container state", state);
    std::printf("registry: %d file%s rewritten, %zu entr%s set aside; container state: %d "
                "file%s rewritten\n",
                m.rewritten, m.rewritten == 1 ? "" : "s", m.set_aside.size(),
                m.set_aside.size() == 1 ? "y" : "ies", state, state == 1 ? "" : "s");
    return EXIT_OK;
}

int print_info(uint32_t id) {
    ryx::ctl::Container c;
    int rc = ryx::ctl::load(id, c);
    if (rc == -ESRCH) {
        std::fprintf(stderr, "ryxctl: no container %u\n", id);
        return EXIT_NOT_FOUND;
    }
    if (rc < 0) return fail("info", rc);
    std::fputs(ryx::ctl::format_state(id, c).c_str(), stdout);
    return EXIT_OK;
}

int cmd_list() {
    std::vector<uint32_t> ids;
    int rc = ryx::ctl::list(ids);
    if (rc < 0) return fail("list", rc);
    std::sort(ids.begin(), ids.end());
    for (uint32_t id : ids) {
        ryx::ctl::Container c;
        if (ryx::ctl::load(id, c) == 0)
            std::printf("%u %s %u\n", id, c.active ? "active" : "placed", c.parent);
        else
            std::printf("%u damaged -\n", id);
    }
    return EXIT_OK;
}

int cmd_set(libryx *h, uint32_t id, char **assignments, int n) {
    libryx_info info{};
    int rc = ryx_info(h, id, &info);
    if (rc < 0 && rc != -ESRCH) return fail("set", rc);
    int32_t *fields[9] = {
        &info.li_set.ls_cpu,        &info.li_set.ls_cpus,   &info.li_set.ls_io,
        &info.li_set.ls_enters,     &info.li_set.ls_memory, &info.li_set.ls_cpu_weight,
        &info.li_set.ls_memory_phy, &info.li_set.ls_nproc,  &info.li_set.ls_iops};
    for (int i = 0; i < n; ++i) {
        std::string_view a = assignments[i];
        size_t eq = a.find('=');
        int k = 0;
        while (eq != std::string_view::npos && k < 9 && a.substr(0, eq) != ryx::ctl::kSettingKey[k])
            ++k;
        if (eq == std::string_view::npos || k == 9)
            return usage_error("not a setting: '%s'", assignments[i]);
        char *end;
        errno = 0;
        long v = std::strtol(assignments[i] + eq + 1, &end, 10);
        if (*end || end == assignments[i] + eq + 1 || errno || v < INT32_MIN || v > INT32_MAX)
            return usage_error("not a number: '%s'", assignments[i]);
        *fields[k] = static_cast<int32_t>(v);
    }
    rc = ryx_setup(h, id, &info.li_set);
    if (rc == -EINVAL || rc == -ERANGE) {
        std::fprintf(stderr, "ryxctl: settings rejected: %s\n", std::strerror(-rc));
        return EXIT_USAGE;
    }
    return rc < 0 ? fail("set", rc) : EXIT_OK;
}

int run(int argc, char **argv) {
    static const struct option longopts[] = {
        {"registry", required_argument, nullptr, 'r'},
        {"state-dir", required_argument, nullptr, 's'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    int c;
    // '+': options end at the command, whose own arguments may look like options.
    while ((c = ::getopt_long(argc, argv, "+h", longopts, nullptr)) != -1) {
        switch (c) {
        case 'r':
            ryx::paths().registry_root = optarg;
            break;
        case 's':
            ryx::paths().state_dir = optarg;
            break;
        case 'h':
            std::fputs(kUsage, stdout);
            return EXIT_OK;
        default:
            std::fputs("Try 'ryxctl --help'.\n", stderr);
            return EXIT_USAGE;
        }
    }
    if (optind >= argc) return usage_error("%s", "no command given");
    const std::string cmd = argv[optind];
    char **args = argv + optind + 1;
    int nargs = argc - optind - 1;

    auto want = [&](int lo, int hi) {
        if (nargs < lo || nargs > hi) {
            usage_error("wrong number of arguments for '%s'", cmd.c_str());
            return false;
        }
        return true;
    };
    uint32_t uid = 0, id = 0, other = 0;
    auto get_uid = [&](const char *s) {
        if (parse_u32(s, uid)) return true;
        usage_error("invalid uid '%s'", s);
        return false;
    };
    auto get_id = [&](const char *s, uint32_t &out) {
        if (parse_u32(s, out) && out != 0) return true;
        usage_error("invalid container id '%s'", s);
        return false;
    };

    if (cmd == "allow-domain-limits" || cmd == "disallow-domain-limits") {
        bool force = nargs == 2 && std::strcmp(args[0], "--force") == 0;
        if (force) {
            ++args;
            --nargs;
        }
        if (!want(1, 1)) return EXIT_USAGE;
        if (!resolve_user(args[0], uid)) return usage_error("no such user '%s'", args[0]);
        if (force && cmd == "allow-domain-limits")
            return usage_error("%s", "--force is for disallow-domain-limits");
        return cmd == "allow-domain-limits" ? cmd_allow(uid) : cmd_disallow(uid, force);
    }
    if (cmd == "map-assign" || cmd == "map-remove" || cmd == "map-lookup") {
        if (!want(2, 2) || !get_uid(args[0])) return EXIT_USAGE;
        if (cmd == "map-lookup") {
            uint32_t found = ryz_map_lookup(uid, args[1]);
            if (!found) return EXIT_NOT_FOUND;
            std::printf("%u\n", found);
            return EXIT_OK;
        }
        uint32_t got = 0;
        int rc = cmd == "map-assign" ? ryz_map_assign(uid, args[1], &got)
                                     : ryz_map_remove(uid, args[1], &got);
        if (rc == -EPERM) {
            std::fprintf(stderr, "ryxctl: domain isolation is not enabled for uid %u\n", uid);
            return EXIT_NOT_FOUND;
        }
        if (rc < 0) return fail(cmd.c_str(), rc);
        if (got == 0) return EXIT_NOT_FOUND; // remove: nothing was mapped
        std::printf("%u\n", got);
        return EXIT_OK;
    }
    if (cmd == "map-list") {
        if (!want(1, 1) || !get_uid(args[0])) return EXIT_USAGE;
        return cmd_map_list(uid);
    }
    if (cmd == "verify") {
        if (!want(2, 2) || !get_uid(args[0]) || !get_id(args[1], id)) return EXIT_USAGE;
        return ryz_map_verify_ownership(uid, id) ? EXIT_OK : EXIT_NOT_FOUND;
    }
    if (cmd == "migrate") {
        bool trust = nargs == 1 && std::strcmp(args[0], "--trust-tables") == 0;
        if (!trust && !want(0, 0)) return EXIT_USAGE;
        return cmd_migrate(trust);
    }
    if (cmd == "rebuild-index") {
        if (!want(0, 0)) return EXIT_USAGE;
        return cmd_rebuild();
    }
    if (cmd == "id-min") {
        if (!want(0, 0)) return EXIT_USAGE;
        std::printf("%u\n", ryz_get_id_min());
        return EXIT_OK;
    }
    if (cmd == "list") {
        if (!want(0, 0)) return EXIT_USAGE;
        return cmd_list();
    }

    // The remaining commands act on one container.
    if (cmd != "info" && cmd != "create" && cmd != "move" && cmd != "set" && cmd != "disable" &&
        cmd != "enable" && cmd != "destroy")
        return usage_error("unknown command '%s'", cmd.c_str());
    if (nargs < 1 || !get_id(args[0], id))
        return nargs < 1 ? usage_error("%s", "a container id is needed") : EXIT_USAGE;
    if (cmd == "info") return want(1, 1) ? print_info(id) : EXIT_USAGE;
    if (cmd == "destroy") {
        if (!want(1, 1)) return EXIT_USAGE;
        int rc = ryx::ctl::forget(id);
        if (rc == -ESRCH) {
            std::fprintf(stderr, "ryxctl: no container %u\n", id);
            return EXIT_NOT_FOUND;
        }
        return rc < 0 ? fail("destroy", rc) : EXIT_OK;
    }
    if (cmd == "disable" || cmd == "enable") {
        if (!want(1, 1)) return EXIT_USAGE;
        ryx::ctl::Container cur;
        int rc = ryx::ctl::load(id, cur);
        if (rc == 0 && cur.active) {
            uint32_t flags = cmd == "disable" ? (cur.flags | RYX_VE_DISABLE)
                                              : (cur.flags & ~uint32_t(RYX_VE_DISABLE));
            rc = ryx::ctl::set_flags(id, flags);
        } else if (rc == 0) {
            rc = -ESRCH;
        }
        if (rc == -ESRCH) {
            std::fprintf(stderr, "ryxctl: no container %u\n", id);
            return EXIT_NOT_FOUND;
        }
        return rc < 0 ? fail(cmd.c_str(), rc) : EXIT_OK;
    }

    Handle h(init_ryx(std::malloc, std::free));
    if (!h) return fail("init_ryx", -errno);
    if (cmd == "move" || cmd == "create") {
        if (cmd == "move" ? !want(2, 2) : !want(1, 2)) return EXIT_USAGE;
        if (nargs == 2 && !parse_u32(args[1], other))
            return usage_error("invalid parent id '%s'", args[1]);
        libryx_info info{};
        if (cmd == "create" && ryx_info(h.get(), id, &info) == 0) {
            std::fprintf(stderr, "ryxctl: container %u already exists\n", id);
            return EXIT_FAILED;
        }
        if (nargs == 2) {
            int rc = ryx_ryk_move(h.get(), id, other);
            if (rc < 0) return fail("move", rc);
        }
        if (cmd == "create") {
            libryx_settings none{};
            int rc = ryx_setup(h.get(), id, &none);
            if (rc < 0) return fail("create", rc);
        }
        return EXIT_OK;
    }
    // set
    if (nargs < 2) return usage_error("%s", "set needs at least one <field>=<value>");
    return cmd_set(h.get(), id, args + 1, nargs - 1);
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
