#include "monitor/metrics/talonmon_label_set.hpp"

#include "monitor/metrics/talonmon_metrics_render.hpp"

std::string talonmon_label_set(std::initializer_list<talonmon_label_s> labels) {
    std::string out;
    for (const auto &label : labels) {
        if (!out.empty()) {
            out += ',';
        }
        out += label.name;
        out += "=\"";
        talonmon_metrics_append_label_value(out, label.value);
        out += '"';
    }
    return out;
}
