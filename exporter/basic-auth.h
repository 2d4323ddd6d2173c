// Basic authentication against bcrypt hashes, without letting the hashing become a lever: a
// bcrypt verification costs tens of milliseconds of CPU by design, so it never runs on the HTTP
// server's polling thread. One verifier thread takes them one at a time from a short queue (a
// flood of wrong passwords costs one core at most, and past the queue is answered at once), and
// a successful (user, password) pair is remembered, as a keyed digest, so that a scraper's
// every later request is checked in microseconds.
#pragma once

#include <array>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>

namespace ryx_exporter {

class BasicAuth {
  public:
    enum class Verdict { allowed, denied, busy };
    // Called once, on the verifier thread: busy when the verifier stopped first.
    using VerdictFn = std::function<void(Verdict)>;
    static constexpr size_t kQueue = 16;   // verifications waiting at most
    static constexpr size_t kCached = 256; // pairs remembered at most, the oldest forgotten

    // users: name to bcrypt hash; not empty.
    explicit BasicAuth(std::map<std::string, std::string> users);
    ~BasicAuth();
    BasicAuth(const BasicAuth &) = delete;
    BasicAuth &operator=(const BasicAuth &) = delete;

    // Whether the pair is remembered as allowed: cheap, for the polling thread.
    bool known(std::string_view user, std::string_view password) const;
    // Queues the pair for verification; false when the queue is full or the verifier stopped,
    // and done is then never called.
    bool submit(std::string_view user, std::string_view password, VerdictFn done);
    // Answers what waits with busy and ends the thread.
    void stop();

  private:
    using Digest = std::array<unsigned char, 32>;
    struct Job {
        std::string user, password;
        VerdictFn done;
    };

    Digest key_of(std::string_view user, std::string_view password) const;
    bool verify(const std::string &user, const std::string &password);
    void run();

    const std::map<std::string, std::string> users_;
    std::array<unsigned char, 32> secret_{}; // keys the remembered digests; never leaves memory
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> queue_;
    std::set<Digest> known_;
    std::deque<Digest> known_order_;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace ryx_exporter
