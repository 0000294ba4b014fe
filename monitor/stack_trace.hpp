// Symbolised backtraces for fatal-error reports.
#pragma once

#include <cstdio>

// Writes a symbolised backtrace of the calling thread to `out`.
void print_stack_trace(std::FILE *out);
