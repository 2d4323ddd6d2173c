// The units of the library's settings (libryx_settings; the table is ryx::ctl::kSettings), for
// every program that turns a setting into base units or back: the exporter's limit metrics, the
// simulated host's enforcement and history. Header-only and free of the C++ runtime, like
// ryx-number.h.
#ifndef RYX_UNITS_H
#define RYX_UNITS_H

#include <cstdint>

namespace ryx {

// memory and memory_phy count pages of 4 KiB, whatever the host's own page size.
inline constexpr uint64_t kSettingPageBytes = 4096;
// io counts KiB/s: bytes per second in one unit.
inline constexpr uint64_t kSettingIoBytes = 1024;
// cpu counts percent of one processor: a whole processor is 100.
inline constexpr int32_t kSettingCpuPerProcessor = 100;

} // namespace ryx

#endif
