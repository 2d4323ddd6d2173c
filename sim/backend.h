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
// and the active containers of the state directory, read through the library (at its own
// paths, those of the host), which believes what it believes for its own calls. Unreadable
// parts are left out.
void read_backend(const Scenario &sc, Backend &out);

} // namespace ryxsim
