// Entries are compared as they are written, byte for byte: names with dots in them need
// no escaping, since an entry is never split.
#include "core/allow.h"

#include <cstring>

namespace {

bool mb_blank(char c) { return c == ' ' || c == '\t'; }

// Calls match(entry, length) for each entry until it returns true.
template <typename Match>
bool mb_any_entry(const char* list, Match match) {
    if (list == nullptr) return true;
    for (const char* p = list; *p != '\0';) {
        while (mb_blank(*p)) ++p;
        const char* start = p;
        while (*p != '\0' && !mb_blank(*p)) ++p;
        if (p > start && match(start, static_cast<size_t>(p - start))) return true;
    }
    return false;
}

}  // namespace

const char* gpc_allow_key(AllowKind kind) {
    static const char* const kKeys[kAllowKinds] = {"allow_dbus", "allow_kfgv", "allow_kfsv",
                                                   "allow_logger"};
    return kind < kAllowKinds ? kKeys[kind] : "";
}

bool gb_allowed_pair(const char* list, const char* first, const char* second) {
    const size_t a = strlen(first), b = strlen(second);
    return mb_any_entry(list, [&](const char* entry, size_t length) {
        if (length < a + 2 || memcmp(entry, first, a) != 0 || entry[a] != '.') return false;
        const char* rest = entry + a + 1;
        const size_t rest_length = length - a - 1;
        return (rest_length == 1 && rest[0] == '*') ||
               (rest_length == b && memcmp(rest, second, b) == 0);
    });
}

bool gb_allowed_name(const char* list, const char* name) {
    const size_t n = strlen(name);
    return mb_any_entry(list, [&](const char* entry, size_t length) {
        return length == n && memcmp(entry, name, n) == 0;
    });
}
