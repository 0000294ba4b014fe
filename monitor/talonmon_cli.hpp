// The daemon's command line.
#pragma once

// Parses the options, checks the start-up conditions, runs the monitor until
// a termination signal and returns the exit status.
int talonmon_main(int argc, char **argv);
