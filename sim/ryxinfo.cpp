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
#include "libryx-impl.h"

namespace {

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
    int rc = ryx::read_file(AT_FDCWD, ryxsim::kHistoryPath, out, ryx::kAnySize,
                            ryx::kFollow | ryx::kAnyOwner | ryx::kAnyKind);
    return rc == -ENOENT ? 0 : rc;
}

struct Options {
    bool json = false, domains = false;
    const char *id = nullptr, *period = "1d", *columns = kDefaultColumns;
};

// -1 when the report is to be made, or the exit status.
int parse_options(int argc, char **argv, Options &o) {
    enum { kJson = 1, kDomains, kId, kPeriod, kColumns, kHelp };
    static const option kLongOptions[] = {
        {"json", no_argument, nullptr, kJson},
        {"with-domains", no_argument, nullptr, kDomains},
        {"id", required_argument, nullptr, kId},
        {"period", required_argument, nullptr, kPeriod},
        {"show-columns", required_argument, nullptr, kColumns},
        {"help", no_argument, nullptr, kHelp},
        {nullptr, 0, nullptr, 0},
    };
    int c;
    while ((c = getopt_long(argc, argv, "", kLongOptions, nullptr)) != -1) {
        switch (c) {
        case kJson:
            o.json = true;
            break;
        case kDomains:
            o.domains = true;
            break;
        case kId:
            o.id = optarg;
            break;
        case kPeriod:
            o.period = optarg;
            break;
        case kColumns:
            o.columns = optarg;
            break;
        case kHelp:
            return usage(stdout, 0);
        default:
            return usage(stderr, 2);
        }
    }
    if (optind != argc) return usage(stderr, 2);
    if (!o.json || !o.domains)
        return fail("%s", "only the per-domain JSON report (--json --with-domains) is available");
    if (!o.id) return fail("%s", "--id is required");
    return -1;
}

uint64_t now_ms() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000;
}

} // namespace

int main(int argc, char **argv) {
    Options o;
    if (int status = parse_options(argc, argv, o); status >= 0) return status;
    uint32_t uid = 0;
    if (o.id[0] == '-' || !ryx::num::parse_c_u32(o.id, uid) || uid == 0)
        return fail("invalid id '%s'", o.id);
    uint64_t seconds = 0;
    if (ryxsim::parse_period(o.period, seconds) != 0) return fail("invalid period '%s'", o.period);
    std::vector<std::string> columns;
    std::string bad;
    if (ryxsim::parse_columns(o.columns, columns, bad) != 0)
        return fail("unknown column '%s'", bad.c_str());

    // Ordinary users see their own domains only.
    uid_t caller = getuid();
    if (caller != 0 && caller != uid) {
        fprintf(stderr, "ryxinfo: permission denied (uid %u may not read uid %lu)\n",
                static_cast<unsigned>(caller), static_cast<unsigned long>(uid));
        return 1;
    }

    std::string history;
    if (int rc = read_history(history); rc < 0)
        return fail("cannot read the history: %s", strerror(-rc));
    const uint64_t to_ms = now_ms();
    const uint64_t from_ms = to_ms > seconds * 1000 ? to_ms - seconds * 1000 : 0;
    auto figures = ryxsim::aggregate(history, uid, from_ms);
    std::string out = ryxsim::render_json(figures, columns, uid, o.period, from_ms, to_ms);
    if (fwrite(out.data(), 1, out.size(), stdout) != out.size() || fflush(stdout) != 0) {
        fprintf(stderr, "ryxinfo: write error: %s\n", strerror(errno));
        return 1;
    }
    return 0;
}
