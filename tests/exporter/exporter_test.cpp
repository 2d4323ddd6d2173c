// The exporter's shared collection pass, its label escaping, the connection table's choices,
// the web configuration reader, the password verifier and the textfile output, on their own.
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <mutex>
#include <sstream>
#include <vector>

#include <crypt.h>
#include <sys/stat.h>

#include "basic-auth.h"
#include "connection-table.h"
#include "exposition.h"
#include "output-file.h"
#include "scratch_dir.h"
#include "shared-collection.h"
#include "web-config.h"

using namespace ryx_exporter;

TEST(SharedCollection, RequestsDuringAPassShareItsResultAndLaterOnesStartANewPass) {
    std::mutex mutex;
    std::condition_variable cv;
    int passes = 0, released = 0;
    std::vector<SharedCollection::Result> got;
    // Each pass stays open until the test releases it.
    SharedCollection collection([&] {
        std::unique_lock lock(mutex);
        int n = ++passes;
        cv.notify_all();
        cv.wait(lock, [&] { return released >= n; });
        return "pass " + std::to_string(n);
    });
    auto deliver = [&](SharedCollection::Result r) {
        std::lock_guard lock(mutex);
        got.push_back(std::move(r));
        cv.notify_all();
    };
    auto wait = [&](auto done) {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), done));
    };
    auto release = [&] {
        std::lock_guard lock(mutex);
        ++released;
        cv.notify_all();
    };

    ASSERT_TRUE(collection.request(deliver));
    wait([&] { return passes == 1; });
    ASSERT_TRUE(collection.request(deliver)); // while the pass runs
    ASSERT_TRUE(collection.request(deliver));
    release();
    wait([&] { return got.size() == 3; });
    ASSERT_TRUE(got[0]);
    EXPECT_EQ(*got[0], "pass 1");
    EXPECT_EQ(got[1], got[0]); // the same buffer, not a copy
    EXPECT_EQ(got[2], got[0]);

    ASSERT_TRUE(collection.request(deliver));
    release();
    wait([&] { return got.size() == 4; });
    EXPECT_EQ(passes, 2);
    EXPECT_EQ(*got[3], "pass 2");
    collection.stop();
    EXPECT_FALSE(collection.request(deliver));
}

TEST(Exposition, LabelValuesAndHelpAreEscaped) {
    Exposition e;
    e.family("m_total", "a\\b\nc \"d\"", MetricType::counter);
    e.sample("m_total", {{"user", "a\\b\"c\nd"}}, 0.1);
    e.sample("m_total", {}, uint64_t{18446744073709551615u});
    EXPECT_EQ(e.text(), "# HELP m_total a\\\\b\\nc \"d\"\n# TYPE m_total counter\n"
                        "m_total{user=\"a\\\\b\\\"c\\nd\"} 0.1\nm_total 18446744073709551615\n");
}

TEST(ConnectionTable, IncompleteRequestsMakeRoomOldestOfTheMostCrowdedAddressFirst) {
    using namespace std::chrono_literals;
    ConnectionTable t({4, 2, 10s});
    auto t0 = ConnectionTable::Clock::now();
    std::vector<int> shut;
    std::map<int, ConnectionTable::Entry *> e;
    auto admit = [&](int fd, const char *peer, int at) {
        shut.clear();
        return e[fd] = t.admit(fd, peer, t0 + std::chrono::seconds(at), shut);
    };
    admit(1, "a", 0), admit(2, "b", 1), admit(3, "a", 2);
    EXPECT_EQ(shut, std::vector<int>{});
    admit(4, "a", 3); // a at its own limit: its oldest waiting goes
    EXPECT_EQ(shut, std::vector<int>{1});
    admit(5, "c", 4);
    admit(6, "d", 5); // full: the oldest of a, which holds the most, rather than b's older one
    EXPECT_EQ(shut, std::vector<int>{3});
    t.received(*e[4]);
    admit(7, "a", 6); // a's only one is being answered: the oldest of all goes
    EXPECT_EQ(shut, std::vector<int>{2});
    EXPECT_EQ(t.answering(), 1u);
    t.answered(*e[4], t0 + 7s); // kept alive: waits for its next request from now
    shut.clear();
    t.expire(t0 + 14s, shut); // however it trickled, 5 had 10 s from its accept
    EXPECT_EQ(shut, std::vector<int>{5});
    EXPECT_EQ(t.next_deadline(), t0 + 15s);
    EXPECT_EQ(t.held(), 3u);
    for (int fd : {4, 6, 7})
        t.received(*e[fd]);
    t.received(*admit(8, "e", 14));
    EXPECT_EQ(admit(9, "f", 14), nullptr) << "every place is answering";
    EXPECT_EQ(shut, std::vector<int>{});
    EXPECT_EQ(t.next_deadline(), ConnectionTable::Clock::time_point::max());
    t.remove(e[8]);
    EXPECT_NE(admit(9, "f", 14), nullptr);
}

TEST(WebConfig, TheSupportedPartIsReadAndAnythingElseIsAnError) {
    const std::string hash = "$2y$10$" + std::string(53, 'a');
    WebConfig c;
    std::string error;
    ASSERT_TRUE(parse_web_config("# comment\n---\ntls_server_config:\n  cert_file: 'c.pem'  # x\n"
                                 "  key_file: \"/k\\\\.pem\"\n  client_auth_type: "
                                 "RequireAndVerifyClientCert\n  client_ca_file: ca.pem\n  "
                                 "min_version: TLS13\r\n\nbasic_auth_users:\n    alice: " +
                                     hash + "\n    'b''ob': \"" + hash + "\"\n",
                                 c, error))
        << error;
    EXPECT_TRUE(c.tls);
    EXPECT_EQ(c.tls_server.cert_file, "c.pem");
    EXPECT_EQ(c.tls_server.key_file, "/k\\.pem");
    EXPECT_EQ(c.tls_server.auth, ClientAuth::require_and_verify);
    EXPECT_EQ(c.tls_server.min_version, 3);
    EXPECT_EQ(c.users, (std::map<std::string, std::string>{{"alice", hash}, {"b'ob", hash}}));
    std::ifstream example(RYX_SOURCE_DIR "/contrib/prometheus/web-config.yml");
    std::stringstream shipped;
    shipped << example.rdbuf();
    ASSERT_TRUE(parse_web_config(shipped.str(), c, error)) << "the shipped example: " << error;
    EXPECT_EQ(c.tls_server.key_file, "ryx-exporter.key");
    EXPECT_EQ(c.users.count("prometheus"), 1u);
    ASSERT_TRUE(parse_web_config("basic_auth_users: {}\n", c, error)) << error;
    EXPECT_FALSE(c.tls);
    EXPECT_TRUE(c.users.empty());

    const std::string tls = "tls_server_config:\n  cert_file: c\n  key_file: k\n";
    const std::pair<std::string, std::string> bad[] = {
        {"web:\n  x: 1\n", "line 1: unsupported key \"web\""},
        {tls + "  cipher_suites: x\n", "line 4: unsupported key \"cipher_suites\""},
        {tls + "  client_auth_type: RequireAnyClientCert\n", "line 4: client_auth_type"},
        {tls + "  client_ca_file: ca\n", "needs a client_auth_type that verifies"},
        {tls + "  client_auth_type: VerifyClientCertIfGiven\n", "client_ca_file, not given"},
        {tls + "  min_version: TLS13\n  max_version: TLS12\n", "min_version is above"},
        {tls + "  min_version: SSL3\n", "line 4: min_version \"SSL3\""},
        {tls + "  cert_file: d\n", "line 4: \"cert_file\" given twice"},
        {tls + "   key_file: k\n", "line 4: inconsistent indentation"},
        {tls + "\tkey_file: k\n", "line 4: a tab"},
        {"tls_server_config:\n  cert_file: c\n", "needs cert_file and key_file"},
        {"tls_server_config: x\n", "takes a block"},
        {"basic_auth_users:\n  alice: secret\n", "is not a bcrypt hash"},
        {"basic_auth_users:\n  a:b: " + hash + "\n", "a user name with a colon"},
        {"basic_auth_users:\n  alice: x: y\n", "a mapping where"},
        {"basic_auth_users:\n  - alice\n", "unsupported YAML"},
        {"basic_auth_users:\n  alice: &x " + hash + "\n", "unsupported YAML"},
        {"basic_auth_users:\n  alice: \"" + hash + "\n", "unterminated"},
        {"basic_auth_users: {}\n  alice: " + hash + "\n", "a block after {}"},
        {"basic_auth_users:\nbasic_auth_users:\n", "line 2: \"basic_auth_users\" given twice"},
        {"  basic_auth_users:\n", "line 1: unexpected indentation"},
        {"---\n---\n", "more than one document"},
        {"just text\n", "expected \"key: value\""},
    };
    for (const auto &[text, why] : bad) {
        EXPECT_FALSE(parse_web_config(text, c, error)) << text;
        EXPECT_NE(error.find(why), std::string::npos) << text << " gave: " << error;
    }
    EXPECT_TRUE(is_bcrypt_hash("$2a$04$" + std::string(53, '.')));
    for (std::string h : {"$2x$10$" + std::string(53, 'a'), "$2b$03$" + std::string(53, 'a'),
                          "$2b$10$" + std::string(52, 'a'), "$2b$10$" + std::string(53, '-')})
        EXPECT_FALSE(is_bcrypt_hash(h)) << h;
}

TEST(BasicAuth, VerifiedOffThePollingThreadAndRememberedOnlyWhenRight) {
    char salt[CRYPT_GENSALT_OUTPUT_SIZE];
    ASSERT_TRUE(crypt_gensalt_rn("$2b$", 4, nullptr, 0, salt, sizeof salt));
    crypt_data data{};
    BasicAuth auth({{"alice", crypt_r("s3cret", salt, &data)}});
    auto verdict = [&](const char *user, const char *password) {
        auto promise = std::make_shared<std::promise<BasicAuth::Verdict>>();
        EXPECT_TRUE(auth.submit(user, password, [promise](auto v) { promise->set_value(v); }));
        return promise->get_future().get();
    };
    EXPECT_FALSE(auth.known("alice", "s3cret"));
    EXPECT_EQ(verdict("alice", "wrong"), BasicAuth::Verdict::denied);
    EXPECT_EQ(verdict("bob", "s3cret"), BasicAuth::Verdict::denied);
    EXPECT_FALSE(auth.known("alice", "wrong"));
    EXPECT_EQ(verdict("alice", "s3cret"), BasicAuth::Verdict::allowed);
    EXPECT_TRUE(auth.known("alice", "s3cret"));
    EXPECT_FALSE(auth.known("alice", "s3cre"));

    // A flood waits in a short queue; what is left when it stops is answered busy.
    std::vector<std::future<BasicAuth::Verdict>> answers;
    for (int i = 0; i < 100; ++i) {
        auto promise = std::make_shared<std::promise<BasicAuth::Verdict>>();
        if (auth.submit("alice", "x", [promise](auto v) { promise->set_value(v); }))
            answers.push_back(promise->get_future());
    }
    EXPECT_LT(answers.size(), 50u);
    auth.stop();
    EXPECT_FALSE(auth.submit("alice", "s3cret", [](auto) {}));
    for (auto &a : answers)
        EXPECT_NE(a.get(), BasicAuth::Verdict::allowed);
}

// The textfile output: the file replaced whole, with the umask's mode, and the earlier run's
// error count read back; a FIFO in the file's place is never waited on, a directory path never
// written.
TEST(OutputFile, ReplacedWholeAndItsCountReadBack) {
    ScratchDir scratch("exporter-output");
    ASSERT_FALSE(scratch.path().empty());
    const std::string prom = scratch.path() + "/ryx.prom";
    EXPECT_EQ(previous_errors_total(prom), 0u) << "no file yet";
    const mode_t mask = umask(027);
    const int rc =
        write_atomically(prom, "# TYPE x counter\nryx_exporter_collect_errors_total 17\n");
    umask(mask);
    ASSERT_EQ(rc, 0);
    struct stat st;
    ASSERT_EQ(stat(prom.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(previous_errors_total(prom), 17u);
    ASSERT_EQ(write_atomically(prom, "ryx_exporter_collect_errors_total x\n"), 0);
    EXPECT_EQ(previous_errors_total(prom), 0u) << "a count that does not read";
    const std::string fifo = scratch.path() + "/fifo.prom";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(previous_errors_total(fifo), 0u);
    EXPECT_EQ(write_atomically(fifo, "ryx_exporter_collect_errors_total 3\n"), 0);
    EXPECT_EQ(previous_errors_total(fifo), 3u);
    EXPECT_EQ(write_atomically(scratch.path() + "/", "x"), -EISDIR);
    std::vector<std::string> names;
    for (const auto &e : std::filesystem::directory_iterator(scratch.path()))
        names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"fifo.prom", "ryx.prom"})) << "nothing left beside";
}
