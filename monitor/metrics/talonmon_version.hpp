// The daemon's version: the release of the newest Debian changelog entry,
// with a snapshot suffix for a build of a tree that is not that release
// (scripts/version).
#pragma once

extern const char *const k_talonmon_version;
