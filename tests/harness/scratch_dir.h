// A scratch directory for one test: made under $TMPDIR (else /tmp), where the caller wants
// scratch space, and removed with everything in it when its owner goes.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

#include <unistd.h>

class ScratchDir {
  public:
    // prefix names the test in the directory's name; path() is empty when none could be made.
    explicit ScratchDir(const std::string &prefix) {
        const char *tmp = std::getenv("TMPDIR");
        std::string templ =
            std::string(tmp && *tmp == '/' ? tmp : "/tmp") + "/" + prefix + "-XXXXXX";
        if (::mkdtemp(templ.data())) path_ = templ;
    }
    ~ScratchDir() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;

    const std::string &path() const { return path_; }

  private:
    std::string path_;
};
