// ryxinfo: per-domain container statistics of the simulated host, as JSON.
//
//   ryxinfo --json --with-domains --id <uid> --period <period> --show-columns <list>
//
// Reads the history the simulator's updater keeps. Only the domain query exists here.
#include <fcntl.h>
#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "history.h"

namespace {

const char kHistory[] = "/var/lib/ryxsim/history";
const char kDefaultColumns[] =
    "domain,domain_id,parent_uid,aCPU,mCPU,lCPU,CPUf,aEP,mEP,lEP,EPf,aVMem,mVMem,lVMem,VMemF,"
    "aPMem,mPMem,lPMem,PMemF,aNproc,mNproc,lNproc,NprocF,aIO,mIO,lIO,IOf,aIOPS,mIOPS,lIOPS,IOPSf";

int usage(FILE *to, int status) {
    fputs("usage: ryxinfo --json --with-domains --id <uid> [--period <N>[s|m|h|d]] "
          "[--show-columns <col,...>]\n",
          to);
    return status;
}

int fail(const char *fmt, const char *arg) {
    fputs("ryxinfo: ", stderr);
    fprintf(stderr, fmt, arg);
    fputc('\n', stderr);
    return 2;
}

// The whole history file; a missing one is an empty history (nothing recorded yet).
int read_history(std::string &out) {
    int fd = open(kHistory, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? 0 : -errno;
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) != 0) {
        if (n < 0) {
            if (errno == EINTR) continue;
            int e = errno;
            close(fd);
            return -e;
        }
        out.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    enum { OPT_JSON = 1, OPT_DOMAINS, OPT_ID, OPT_PERIOD, OPT_COLUMNS, OPT_HELP };
    static const option longopts[] = {
        {"json", no_argument, nullptr, OPT_JSON},
        {"with-domains", no_argument, nullptr, OPT_DOMAINS},
        {"id", required_argument, nullptr, OPT_ID},
        {"period", required_argument, nullptr, OPT_PERIOD},
        {"show-columns", required_argument, nullptr, OPT_COLUMNS},
        {"help", no_argument, nullptr, OPT_HELP},
        {nullptr, 0, nullptr, 0},
    };
    bool json = false, domains = false;
    const char *id_arg = nullptr, *period = "1d", *columns_arg = kDefaultColumns;
    int c;
    while ((c = getopt_long(argc, argv, "", longopts, nullptr)) != -1) {
        switch (c) {
        case OPT_JSON:
            json = true;
            break;
        case OPT_DOMAINS:
            domains = true;
            break;
        case OPT_ID:
            id_arg = optarg;
            break;
        case OPT_PERIOD:
            period = optarg;
            break;
        case OPT_COLUMNS:
            columns_arg = optarg;
            break;
        case OPT_HELP:
            return usage(stdout, 0);
        default:
            return usage(stderr, 2);
        }
    }
    if (optind != argc) return usage(stderr, 2);
    if (!json || !domains)
        return fail("%s", "only the per-domain JSON report (--json --with-domains) is available");
    if (!id_arg) return fail("%s", "--id is required");

    char *end = nullptr;
    errno = 0;
    unsigned long uid = strtoul(id_arg, &end, 10);
    if (errno != 0 || *end != '\0' || end == id_arg || id_arg[0] == '-' || uid == 0 ||
        uid > 4294967295UL)
        return fail("invalid id '%s'", id_arg);
    uint64_t seconds = 0;
    if (ryxsim::parse_period(period, seconds) != 0) return fail("invalid period '%s'", period);
    std::vector<std::string> columns;
    std::string bad;
    if (ryxsim::parse_columns(columns_arg, columns, bad) != 0)
        return fail("unknown column '%s'", bad.c_str());

    // Ordinary users see their own domains only.
    uid_t caller = getuid();
    if (caller != 0 && caller != uid) {
        fprintf(stderr, "ryxinfo: permission denied (uid %u may not read uid %lu)\n",
                static_cast<unsigned>(caller), uid);
        return 1;
    }

    std::string history;
    if (int rc = read_history(history); rc < 0)
        return fail("cannot read the history: %s", strerror(-rc));
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    uint64_t to_ms =
        static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000;
    uint64_t from_ms = to_ms > seconds * 1000 ? to_ms - seconds * 1000 : 0;
    auto figures = ryxsim::aggregate(history, static_cast<uint32_t>(uid), from_ms);
    std::string out =
        ryxsim::render_json(figures, columns, static_cast<uint32_t>(uid), period, from_ms, to_ms);
    if (fwrite(out.data(), 1, out.size(), stdout) != out.size() || fflush(stdout) != 0) {
        fprintf(stderr, "ryxinfo: write error: %s\n", strerror(errno));
        return 1;
    }
    return 0;
}
