// Basic authentication: the remembered pairs and the verifier thread.
#include "basic-auth.h"

#include <cstring>
#include <memory>

#include <crypt.h>
#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>
#include <sys/random.h>

namespace ryx_exporter {

namespace {

void wipe(std::string &s) {
    explicit_bzero(s.data(), s.size());
}

// Whether crypt's output is the stored hash, in a time that does not depend on where they
// differ.
bool same_hash(const char *computed, const std::string &stored) {
    size_t n = computed ? std::strlen(computed) : 0;
    unsigned diff = n != stored.size();
    for (size_t i = 0; i < stored.size(); ++i)
        diff |= static_cast<unsigned char>(i < n ? computed[i] : 0) ^
                static_cast<unsigned char>(stored[i]);
    return diff == 0;
}

} // namespace

BasicAuth::BasicAuth(std::map<std::string, std::string> users) : users_(std::move(users)) {
    for (size_t got = 0; got < secret_.size();) {
        ssize_t n = getrandom(secret_.data() + got, secret_.size() - got, 0);
        if (n > 0) got += static_cast<size_t>(n);
    }
    thread_ = std::thread([this] { run(); });
}

BasicAuth::~BasicAuth() {
    stop();
}

BasicAuth::Digest BasicAuth::key_of(std::string_view user, std::string_view password) const {
    std::string text(user);
    text += '\0';
    text += password;
    Digest d{};
    gnutls_hmac_fast(GNUTLS_MAC_SHA256, secret_.data(), secret_.size(), text.data(), text.size(),
                     d.data());
    wipe(text);
    return d;
}

bool BasicAuth::known(std::string_view user, std::string_view password) const {
    Digest d = key_of(user, password);
    std::lock_guard lock(mutex_);
    return known_.count(d) != 0;
}

bool BasicAuth::submit(std::string_view user, std::string_view password, VerdictFn done) {
    std::lock_guard lock(mutex_);
    if (stopping_ || queue_.size() >= kQueue) return false;
    queue_.push_back(Job{std::string(user), std::string(password), std::move(done)});
    wake_.notify_one();
    return true;
}

void BasicAuth::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable()) thread_.join();
}

bool BasicAuth::verify(const std::string &user, const std::string &password) {
    // crypt_r's state is 32 KiB: one for the thread's life.
    thread_local std::unique_ptr<crypt_data> data = std::make_unique<crypt_data>();
    auto found = users_.find(user);
    // An unknown name costs a hash as well, so that timing does not tell which names exist.
    const std::string &hash = found != users_.end() ? found->second : users_.begin()->second;
    bool same = same_hash(crypt_r(password.c_str(), hash.c_str(), data.get()), hash);
    return same && found != users_.end();
}

void BasicAuth::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (stopping_) break;
        Job j = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        bool ok = verify(j.user, j.password);
        Digest d = key_of(j.user, j.password);
        wipe(j.password);
        lock.lock();
        if (ok && known_.insert(d).second) {
            known_order_.push_back(d);
            if (known_order_.size() > kCached) {
                known_.erase(known_order_.front());
                known_order_.pop_front();
            }
        }
        lock.unlock();
        j.done(ok ? Verdict::allowed : Verdict::denied);
        lock.lock();
    }
    std::deque<Job> left;
    left.swap(queue_);
    lock.unlock();
    for (Job &j : left) {
        wipe(j.password);
        j.done(Verdict::busy);
    }
}

} // namespace ryx_exporter
