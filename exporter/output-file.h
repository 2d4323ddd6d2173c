// --once --output FILE: the exposition replaces FILE whole or not at all, so that a reader
// such as node_exporter's textfile collector never sees half of it.
#pragma once

#include <cstdint>
#include <string>

namespace ryx_exporter {

// Writes text to a new file beside path, syncs it, renames it over path and syncs the
// directory. 0, or a negative errno value; nothing is left behind on failure.
int write_atomically(const std::string &path, const std::string &text);

// The collection error count an earlier run left in the exposition at path; 0 when there is
// none to read. A textfile run continues from it, so that the count goes on rising while runs
// keep failing.
uint64_t previous_errors_total(const std::string &path);

} // namespace ryx_exporter
