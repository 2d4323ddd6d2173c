// A private registry and state directory for one test, and helpers to reach their files.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "internal.h"

namespace fs = std::filesystem;

class TempRoot : public ::testing::Test {
  public:
    static std::string slurp(const std::string &path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }

  protected:
    void SetUp() override {
        // Under $TMPDIR (else /tmp), where the caller wants scratch space.
        const char *tmp = std::getenv("TMPDIR");
        std::string tmpl = std::string(tmp && *tmp == '/' ? tmp : "/tmp") + "/libryx-test-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        base = tmpl;
        saved = ryx::paths();
        ryx::configure({base + "/ryz_ids", base + "/login.defs", base + "/state"});
    }
    void TearDown() override {
        ryx::configure(saved);
        std::error_code ec;
        fs::remove_all(base, ec);
    }

    std::string reg(const std::string &name) const { return base + "/ryz_ids/" + name; }

    // Replaces the file, whatever its mode (user tables are read-only).
    static void spit(const std::string &path, const std::string &data) {
        std::error_code ec;
        fs::remove(path, ec);
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << data;
    }

    std::string base;
    ryx::Paths saved;
};
