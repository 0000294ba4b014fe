// Process-level pieces of the daemon: command line, signal handling and
// stack traces.
#pragma once

#include "monitor/stack_trace.hpp"
#include "monitor/talonmon_cli.hpp"
#include "monitor/talonmon_signals.hpp"
