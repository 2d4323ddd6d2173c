// Scenario text: one directive per line, "keyword key=value ... flag ...", '#' starts a comment,
// values with blanks go in double quotes.
#include "scenario.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <map>

#include "ryx-number.h"

namespace ryxsim {

const char kDefaultScenario[] =
    R"(# The host the main job shows: a reseller (alice) with web domains, two ordinary users.
seed 20261208
tick 1
cpu mhz=2400

user uid=1000 name=alice isolation
user uid=1001 name=bob
user uid=1002 name=carol isolation
reseller id=1000

profile name=web     cpu=2..45@40   mem=60M..140M  io=20K..900K  iops=5..180
profile name=shop    cpu=15..85@25  mem=120M..260M io=200K..3M   iops=40..600
profile name=db      cpu=5..35      mem=700M..900M io=1M..6M     iops=200..1500
profile name=jvm     cpu=30..70@90  mem=1500M..1800M io=0..300K  iops=0..40
profile name=idle    cpu=0..1       mem=3M..6M     io=0..2K      iops=0..2

domain user=alice name=shop.example  docroot=/home/alice/www/shop.example  assign limits=250,196608,16384,64,2000,30,786432
domain user=alice name=blog.example  docroot=/home/alice/www/blog.example  assign limits=60,65536,2048,32,400,15,262144
domain user=alice name=forum.example docroot=/home/alice/www/forum.example
domain user=carol name=carol.example docroot=/home/carol/public_html

process user=alice domain=shop.example name=php-fpm cmdline="php-fpm: pool shop.example" count=3 profile=shop entry
process user=alice domain=shop.example name=nginx cmdline="nginx: worker process" threads=2 profile=web
process user=alice domain=blog.example name=php-fpm cmdline="php-fpm: pool blog.example" count=2 profile=web entry
process user=alice domain=forum.example name=php-fpm cmdline="php-fpm: pool forum.example" profile=web entry
process user=alice name=bash cmdline="-bash" profile=idle
process user=bob name=java cmdline="java -Xmx2g -jar inventory.jar" threads=6 thread-names="java,VM Thread,GC Thread#0,Common-Cleaner,Signal Dispatch,http-nio-8080" profile=jvm
process user=bob name=mysqld cmdline="/usr/sbin/mysqld --datadir=/home/bob/db" threads=8 profile=db
process user=carol name=php-fpm cmdline="php-fpm: pool carol" count=2 profile=web entry
process user=carol name=cron cmdline="/usr/sbin/cron -f" profile=idle
)";

const User *Scenario::user(uint32_t uid) const {
    for (const User &u : users)
        if (u.uid == uid) return &u;
    return nullptr;
}

int parse_quantity(std::string_view text, double &out) {
    if (text.empty()) return -EINVAL;
    double mult = 1;
    switch (text.back()) {
    case 'K':
        mult = 1024.0;
        break;
    case 'M':
        mult = 1024.0 * 1024;
        break;
    case 'G':
        mult = 1024.0 * 1024 * 1024;
        break;
    case '%':
        break;
    default:
        mult = 0;
    }
    if (mult != 0)
        text.remove_suffix(1);
    else
        mult = 1;
    std::string s(text);
    if (s.empty() || !(isdigit(static_cast<unsigned char>(s[0])) || s[0] == '.')) return -EINVAL;
    char *end = nullptr;
    errno = 0;
    double v = strtod(s.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(v) || v < 0) return -EINVAL;
    out = v * mult;
    return 0;
}

int parse_level(std::string_view text, Level &out) {
    Level l;
    if (size_t at = text.find('@'); at != std::string_view::npos) {
        if (parse_quantity(text.substr(at + 1), l.period) != 0 || l.period <= 0) return -EINVAL;
        text = text.substr(0, at);
    }
    if (size_t dots = text.find(".."); dots != std::string_view::npos) {
        if (parse_quantity(text.substr(0, dots), l.low) != 0 ||
            parse_quantity(text.substr(dots + 2), l.high) != 0 || l.high < l.low)
            return -EINVAL;
    } else {
        if (parse_quantity(text, l.low) != 0) return -EINVAL;
        l.high = l.low;
    }
    out = l;
    return 0;
}

namespace {

struct Line {
    std::string keyword;
    std::map<std::string, std::string> attrs; // flags map to ""
};

// Splits one line into words; a double-quoted stretch may hold blanks. -EINVAL: unclosed quote.
int split_words(std::string_view line, std::vector<std::string> &words) {
    std::string cur;
    bool in_word = false, quoted = false;
    for (char c : line) {
        if (quoted) {
            if (c == '"')
                quoted = false;
            else
                cur += c;
        } else if (c == '"') {
            quoted = in_word = true;
        } else if (c == '#') {
            break;
        } else if (c == ' ' || c == '\t' || c == '\r') {
            if (in_word) words.push_back(std::move(cur));
            cur.clear();
            in_word = false;
        } else {
            cur += c;
            in_word = true;
        }
    }
    if (quoted) return -EINVAL;
    if (in_word) words.push_back(std::move(cur));
    return 0;
}

class Parser {
  public:
    Parser(Scenario &sc, std::string &err) : sc_(sc), err_(err) {}

    int line(unsigned no, std::string_view text) {
        no_ = no;
        std::vector<std::string> words;
        if (split_words(text, words) != 0) return fail("unclosed quote");
        if (words.empty()) return 0;
        Line l;
        l.keyword = words[0];
        for (size_t i = 1; i < words.size(); ++i) {
            const std::string &w = words[i];
            size_t eq = w.find('=');
            std::string key = eq == std::string::npos ? w : w.substr(0, eq);
            if (l.attrs.count(key)) return fail("'" + key + "' given twice");
            l.attrs[key] = eq == std::string::npos ? "" : w.substr(eq + 1);
        }
        if (l.keyword == "seed") return seed(words);
        if (l.keyword == "tick") return tick(words);
        if (l.keyword == "cpu") return cpu(l);
        if (l.keyword == "user") return user(l);
        if (l.keyword == "reseller") return reseller(l);
        if (l.keyword == "profile") return profile(l);
        if (l.keyword == "domain") return domain(l);
        if (l.keyword == "process") return process(l);
        return fail("unknown directive '" + l.keyword + "'");
    }

  private:
    int fail(const std::string &what) {
        err_ = std::to_string(no_) + ": " + what;
        return -EINVAL;
    }

    // Every attribute must be one the directive knows.
    int only(const Line &l, std::initializer_list<const char *> known) {
        for (const auto &[k, v] : l.attrs) {
            bool ok = false;
            for (const char *n : known)
                ok = ok || k == n;
            if (!ok) return fail(l.keyword + ": unknown attribute '" + k + "'");
        }
        return 0;
    }

    int need(const Line &l, const char *key, std::string &out) {
        auto it = l.attrs.find(key);
        if (it == l.attrs.end() || it->second.empty())
            return fail(l.keyword + ": '" + key + "=' is required");
        out = it->second;
        return 0;
    }

    static bool flag(const Line &l, const char *key) { return l.attrs.count(key) != 0; }

    int user_ref(const Line &l, uint32_t &uid) {
        std::string ref;
        if (int rc = need(l, "user", ref)) return rc;
        for (const User &u : sc_.users) {
            if (u.name == ref || std::to_string(u.uid) == ref) {
                uid = u.uid;
                return 0;
            }
        }
        return fail("unknown user '" + ref + "'");
    }

    int seed(const std::vector<std::string> &w) {
        if (w.size() != 2 || w[1][0] == '-' || !ryx::num::parse_c_u64(w[1].c_str(), sc_.seed))
            return fail("seed takes one number");
        return 0;
    }

    int tick(const std::vector<std::string> &w) {
        double s = 0;
        if (w.size() != 2 || parse_quantity(w[1], s) != 0 || s < 0.05 || s > 60)
            return fail("tick takes a number of seconds from 0.05 to 60");
        sc_.tick_ms = static_cast<unsigned>(std::lround(s * 1000));
        return 0;
    }

    int cpu(const Line &l) {
        std::string v;
        if (int rc = only(l, {"mhz"}); rc || (rc = need(l, "mhz", v))) return rc;
        if (parse_quantity(v, sc_.cpu_mhz) != 0 || sc_.cpu_mhz <= 0) return fail("cpu: bad mhz");
        return 0;
    }

    int user(const Line &l) {
        User u;
        std::string uid;
        if (int rc = only(l, {"uid", "name", "reseller", "isolation"});
            rc || (rc = need(l, "uid", uid)) || (rc = need(l, "name", u.name)))
            return rc;
        if (!ryx::num::parse_u32(uid, u.uid) || u.uid == 0)
            return fail("user: uid must be a number from 1 to 4294967295");
        if (u.name.find(':') != std::string::npos) return fail("user: a name cannot hold ':'");
        for (const User &o : sc_.users)
            if (o.uid == u.uid || o.name == u.name)
                return fail("user: uid or name already declared");
        if (auto it = l.attrs.find("reseller"); it != l.attrs.end())
            if (!ryx::num::parse_u32(it->second, u.parent) || u.parent == u.uid)
                return fail("user: bad reseller");
        u.isolation = flag(l, "isolation");
        sc_.users.push_back(std::move(u));
        return 0;
    }

    int reseller(const Line &l) {
        std::string v;
        uint32_t id = 0;
        if (int rc = only(l, {"id"}); rc || (rc = need(l, "id", v))) return rc;
        if (!ryx::num::parse_u32(v, id) || id == 0) return fail("reseller: bad id");
        sc_.resellers.push_back(id);
        return 0;
    }

    int load_attrs(const Line &l, Load &load) {
        static const struct {
            const char *key;
            Level Load::*field;
        } kKeys[] = {
            {"cpu", &Load::cpu}, {"mem", &Load::mem}, {"io", &Load::io}, {"iops", &Load::iops}};
        for (const auto &k : kKeys) {
            auto it = l.attrs.find(k.key);
            if (it != l.attrs.end() && parse_level(it->second, load.*k.field) != 0)
                return fail(l.keyword + ": bad " + k.key + " level '" + it->second + "'");
        }
        return 0;
    }

    int profile(const Line &l) {
        Profile p;
        if (int rc = only(l, {"name", "cpu", "mem", "io", "iops"});
            rc || (rc = need(l, "name", p.name)) || (rc = load_attrs(l, p.load)))
            return rc;
        for (const Profile &o : sc_.profiles)
            if (o.name == p.name) return fail("profile: '" + p.name + "' already declared");
        sc_.profiles.push_back(std::move(p));
        return 0;
    }

    int domain(const Line &l) {
        Domain d;
        if (int rc = only(l, {"user", "name", "docroot", "assign", "limits"});
            rc || (rc = user_ref(l, d.owner)) || (rc = need(l, "name", d.name)) ||
            (rc = need(l, "docroot", d.docroot)))
            return rc;
        // The name is one word of the statistics history.
        if (d.name.size() > 200 || d.name.find_first_of(" \t\"\\") != std::string::npos)
            return fail("domain: a name is at most 200 characters without blanks, quotes or "
                        "backslashes");
        for (const Domain &o : sc_.domains)
            if (o.name == d.name || (o.owner == d.owner && o.docroot == d.docroot))
                return fail("domain: '" + d.name + "' or its docroot already declared");
        d.assign = flag(l, "assign");
        if (auto it = l.attrs.find("limits"); it != l.attrs.end()) {
            int32_t v[7];
            std::string_view s = it->second;
            for (int i = 0; i < 7; ++i) {
                size_t comma = s.find(',');
                uint32_t u = 0;
                if ((i < 6) != (comma != std::string_view::npos) ||
                    !ryx::num::parse_u32(s.substr(0, comma), u) || u > INT32_MAX)
                    return fail(
                        "domain: limits= takes seven numbers: cpu,pmem,io,nproc,iops,ep,vmem");
                v[i] = static_cast<int32_t>(u);
                s = comma == std::string_view::npos ? "" : s.substr(comma + 1);
            }
            if (!d.assign) return fail("domain: limits= needs assign");
            d.limits = Limits{v[0], v[1], v[2], v[3], v[4], v[5], v[6]};
        }
        sc_.domains.push_back(std::move(d));
        return 0;
    }

    int process(const Line &l) {
        Process p;
        if (int rc = only(l, {"user", "domain", "name", "cmdline", "threads", "thread-names",
                              "count", "profile", "entry", "cpu", "mem", "io", "iops"});
            rc || (rc = user_ref(l, p.owner)) || (rc = need(l, "name", p.name)))
            return rc;
        if (p.name.size() > 15 || p.name.find_first_of("()\n") != std::string::npos)
            return fail("process: a name is at most 15 characters without parentheses");
        if (auto it = l.attrs.find("domain"); it != l.attrs.end()) {
            for (size_t i = 0; i < sc_.domains.size(); ++i)
                if (sc_.domains[i].name == it->second && sc_.domains[i].owner == p.owner)
                    p.domain = static_cast<int>(i);
            if (p.domain < 0) return fail("process: no domain '" + it->second + "' of that user");
        }
        auto it = l.attrs.find("cmdline");
        p.cmdline = it != l.attrs.end() && !it->second.empty() ? it->second : p.name;
        for (auto [key, field, max] :
             {std::tuple{"threads", &p.threads, 64u}, {"count", &p.count, 64u}}) {
            if (auto a = l.attrs.find(key); a != l.attrs.end()) {
                uint32_t n = 0;
                if (!ryx::num::parse_u32(a->second, n) || n == 0 || n > max)
                    return fail(std::string("process: ") + key + " must be 1 to 64");
                *field = n;
            }
        }
        if (auto a = l.attrs.find("thread-names"); a != l.attrs.end()) {
            std::string_view s = a->second;
            while (!s.empty()) {
                size_t comma = s.find(',');
                std::string n(s.substr(0, comma));
                if (n.empty() || n.size() > 15 || n.find_first_of("()") != std::string::npos)
                    return fail("process: a thread name is 1 to 15 characters without parentheses");
                p.thread_names.push_back(std::move(n));
                s = comma == std::string_view::npos ? "" : s.substr(comma + 1);
            }
        }
        if (auto a = l.attrs.find("profile"); a != l.attrs.end()) {
            const Profile *found = nullptr;
            for (const Profile &pr : sc_.profiles)
                if (pr.name == a->second) found = &pr;
            if (!found) return fail("process: unknown profile '" + a->second + "'");
            p.load = found->load;
        }
        p.entry = flag(l, "entry");
        if (int rc = load_attrs(l, p.load)) return rc;
        sc_.processes.push_back(std::move(p));
        return 0;
    }

    Scenario &sc_;
    std::string &err_;
    unsigned no_ = 0;
};

} // namespace

int parse_scenario(std::string_view text, Scenario &out, std::string &err) {
    Scenario sc;
    Parser p(sc, err);
    unsigned no = 0;
    while (!text.empty()) {
        size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text = nl == std::string_view::npos ? "" : text.substr(nl + 1);
        if (int rc = p.line(++no, line)) return rc;
    }
    for (const Domain &d : sc.domains) {
        const User *u = sc.user(d.owner);
        if (d.assign && !u->isolation) {
            err = "domain " + d.name + ": assign needs isolation on user " + u->name;
            return -EINVAL;
        }
    }
    out = std::move(sc);
    return 0;
}

} // namespace ryxsim
