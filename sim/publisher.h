// Writes what the model holds into the simulated /proc tree and the statistics history.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "model.h"

namespace ryxsim {

class Publisher {
  public:
    // proc_root: the directory that is /proc inside the simulated host.
    Publisher(std::string proc_root, std::string history_path)
        : proc_(std::move(proc_root)), history_(std::move(history_path)) {}

    // One tick's files. Only files whose text changed are replaced. 0 or the first error.
    int publish(const Model &model, uint64_t now_ms);

    // History files above this size are cut to their newer half.
    static constexpr size_t kHistoryMax = 16u << 20;

  private:
    int put(const std::string &rel, const std::string &text);
    void prune_dangling_links();

    std::string proc_, history_;
    std::map<std::string, std::string> last_; // relative path -> text as last written
};

} // namespace ryxsim
