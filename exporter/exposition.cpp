// The text exposition format.
#include "exposition.h"

#include <charconv>
#include <cmath>

namespace ryx_exporter {

namespace {

const char *type_name(MetricType type) {
    return type == MetricType::counter ? "counter" : "gauge";
}

} // namespace

void append_label_value(std::string &out, std::string_view value) {
    for (char c : value) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '"':
            out += "\\\"";
            break;
        case '\n':
            out += "\\n";
            break;
        default:
            out += c;
        }
    }
}

void append_help(std::string &out, std::string_view help) {
    for (char c : help) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
}

void append_number(std::string &out, double value) {
    if (std::isnan(value)) {
        out += "NaN";
        return;
    }
    if (std::isinf(value)) {
        out += value > 0 ? "+Inf" : "-Inf";
        return;
    }
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, value);
    out.append(buf, res.ptr);
}

void Exposition::family(std::string_view name, std::string_view help, MetricType type) {
    out_ += "# HELP ";
    out_ += name;
    out_ += ' ';
    append_help(out_, help);
    out_ += "\n# TYPE ";
    out_ += name;
    out_ += ' ';
    out_ += type_name(type);
    out_ += '\n';
}

void Exposition::labels(std::initializer_list<Label> labels) {
    if (labels.size() == 0) return;
    char sep = '{';
    for (const Label &l : labels) {
        out_ += sep;
        out_ += l.name;
        out_ += "=\"";
        append_label_value(out_, l.value);
        out_ += '"';
        sep = ',';
    }
    out_ += '}';
}

void Exposition::sample(std::string_view name, std::initializer_list<Label> labels, double value) {
    out_ += name;
    this->labels(labels);
    out_ += ' ';
    append_number(out_, value);
    out_ += '\n';
}

void Exposition::sample(std::string_view name, std::initializer_list<Label> labels,
                        uint64_t value) {
    out_ += name;
    this->labels(labels);
    out_ += ' ';
    char buf[24];
    auto res = std::to_chars(buf, buf + sizeof buf, value);
    out_.append(buf, res.ptr);
    out_ += '\n';
}

} // namespace ryx_exporter
