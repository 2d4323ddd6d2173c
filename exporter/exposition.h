// The Prometheus text exposition format (version 0.0.4): families with their HELP and TYPE
// lines, samples with escaped label values, numbers that read back exactly.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace ryx_exporter {

inline constexpr const char *kExpositionContentType = "text/plain; version=0.0.4; charset=utf-8";

enum class MetricType { counter, gauge };

struct Label {
    std::string_view name;
    std::string_view value;
};

// Appends to one text; every sample of a family must follow its family() call, before the next
// family starts (the format does not allow a family's samples to be split).
class Exposition {
  public:
    void family(std::string_view name, std::string_view help, MetricType type);
    void sample(std::string_view name, std::initializer_list<Label> labels, double value);
    void sample(std::string_view name, std::initializer_list<Label> labels, uint64_t value);

    std::string &text() { return out_; }

  private:
    void labels(std::initializer_list<Label> labels);
    std::string out_;
};

// \ " and newline escaped as the format requires inside a quoted label value.
void append_label_value(std::string &out, std::string_view value);
// HELP text: only \ and newline are escaped there.
void append_help(std::string &out, std::string_view help);
// The shortest decimal form that reads back as the same double; +Inf, -Inf, NaN.
void append_number(std::string &out, double value);

} // namespace ryx_exporter
