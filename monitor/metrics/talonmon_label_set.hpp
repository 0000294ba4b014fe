// Label sets of the exposition, escaped once when their owner is made.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

struct talonmon_label_s {
    std::string_view name;
    std::string_view value;
};

// name="value",... with every value escaped for the exposition format, as
// written between a sample's braces.
std::string talonmon_label_set(std::initializer_list<talonmon_label_s> labels);
