// ryxps option bits: set by the command line, read by the renderers (one header both include,
// so that neither includes the other).
#pragma once

// Option bits, handed unchanged to every renderer in its render context.
enum : unsigned {
    OPT_PROCESS = 0x01, // -p
    OPT_NUMERIC = 0x02, // -n
    OPT_DYNAMIC = 0x04, // -d, -t
    OPT_TOP = 0x08,     // -t
    OPT_PIDS = 0x10,    // -w
    OPT_OLDCPU = 0x20,  // -l
    OPT_MHZ = 0x40,     // -m
    OPT_SPACED = 0x80,  // -x
};
