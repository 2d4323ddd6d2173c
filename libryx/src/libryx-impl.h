// The internal API of libryx, for its own tools (ryxctl) and the simulated host: what they need
// beyond the exported calls, from the code that owns every on-disk format. Link the static
// libryx_impl and include this header; nothing here is exported from libryx.so.0.
//
//   ryx::paths(), configure            where the registry, login.defs and the state live (set
//                                      once, at start, by configure)
//   ryx::registry::users, mappings     walking the registry: who has an entry, what it maps
//   ryx::registry::enable, disable, rebuild, migrate, escape_docroot, id_min, account_uid
//   ryx::ctl::load, load_all           reading container state (one container, all of them)
//   ryx::ctl::kSettings, find_setting  the settings fields: key, field, bound
//   ryx::ctl::format_state, parse_state, set_flags, forget, migrate_state
//   ryx::read_file, write_atomic, write_all, list_dir, list_names, list_numbered, Lock
//                                      the file routines (also alone: static libryx_files)
//   ryx::num::parse_*, owners          reading numbers; ryx::Fd, DirStream, File, Handle,
//                                      MapIter (libryx/util, header-only: ryx-number.h,
//                                      ryx-fd.h, ryx-owners.h)
//   units, paths                       ryx::kSetting* (ryx-units.h); RYX_REGISTRY_DIR,
//                                      RYX_STATE_DIR and the rest (ryx-paths.h)
#pragma once

#include "fsutil.h"
#include "internal.h"
#include "registry.h"
#include "ryx-number.h"
#include "state.h"
