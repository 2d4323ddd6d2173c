// A private registry and state directory for one test, and helpers to reach their files.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "internal.h"
#include "scratch_dir.h"

namespace fs = std::filesystem;

class TempRoot : public ::testing::Test {
  public:
    static std::string slurp(const std::string &path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }

  protected:
    void SetUp() override {
        ASSERT_FALSE(scratch.path().empty());
        base = scratch.path();
        saved = ryx::paths();
        ryx::configure({base + "/ryz_ids", base + "/login.defs", base + "/state", 5000, 15000,
                        base + "/cgroup"});
    }
    void TearDown() override { ryx::configure(saved); }

    std::string reg(const std::string &name) const { return base + "/ryz_ids/" + name; }

    // Replaces the file, whatever its mode (user tables are read-only).
    static void spit(const std::string &path, const std::string &data) {
        std::error_code ec;
        fs::remove(path, ec);
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << data;
    }

    ScratchDir scratch{"libryx-test"};
    std::string base;
    ryx::Paths saved;
};
