// What the real container library holds on the simulated host: registered domains and the
// containers it has set up. Read afresh on every tick.
#pragma once

#include <string>
#include <string_view>

#include "model.h"

namespace ryxsim {

// One container state file, read by the library's own parser. 0 with active and the container
// filled, or -EBADMSG for text that is not a state file.
int parse_container_state(std::string_view text, bool &active, Backend::Container &out);

// Registry mappings of the scenario's users and of every user entry in the registry directory,
// and the active containers of the state directory, read through the library, which believes
// what it believes for its own calls. Unreadable parts are left out. The two directories
// become the library's own in this process, as ryxctl's --registry and --state-dir make them.
void read_backend(const Scenario &sc, const std::string &registry_dir, const std::string &state_dir,
                  Backend &out);

} // namespace ryxsim
