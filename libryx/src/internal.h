// libryx internals shared by the container-control and registry sources.
#pragma once

#define RYX_EXPORT extern "C" __attribute__((visibility("default")))
