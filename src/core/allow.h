// Allow-lists of a connection file: what a server may make the daemon do. A list is one
// line of blank-separated entries; no list (the key absent) allows everything, an empty one
// nothing.
#pragma once

#include <cstdint>

enum AllowKind : uint8_t { kAllowDbus, kAllowKfgv, kAllowKfsv, kAllowLogger, kAllowKinds };

// The connection file's key of each list ("allow_dbus", ...).
const char* gpc_allow_key(AllowKind kind);

// Whether list holds "<first>.<second>" or "<first>.*" (DBUS: target and member, "" as the
// target of a broadcast; KFGV, KFSV: list and variable name).
bool gb_allowed_pair(const char* list, const char* first, const char* second);
// Whether list holds name as a whole entry (logger names).
bool gb_allowed_name(const char* list, const char* name);
