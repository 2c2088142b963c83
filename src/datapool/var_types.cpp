// The VarTypeTable and its lookup.
#include "datapool/var_types.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

const VarTypeRow g_var_type_table[] = {
    {"UNKOWN", 0, 0}, {"UINT8", 1, 1},   {"SINT8", 1, 2},   {"UINT16", 2, 3},
    {"SINT16", 2, 4}, {"UINT32", 4, 5},  {"SINT32", 4, 6},  {"FLOAT32", 4, 7},
    {"AOBYTE", 0, 8}, {"STRING", 0, 9},  {nullptr, 0, kVarTypeInvalid},
};

uint32_t gs32_dp_get_type_id(const char* type_name, const char* size_text) {
    if (type_name == nullptr || size_text == nullptr || *type_name == '\0') {
        return kVarTypeInvalid;
    }
    const char* p = size_text;
    while (*p == ' ') ++p;
    if (*p == '+' || *p == '-') ++p;
    if (!isdigit(static_cast<unsigned char>(*p))) return kVarTypeInvalid;
    const long size = strtol(size_text, nullptr, 10);
    const size_t n = strlen(type_name);
    for (const VarTypeRow* row = g_var_type_table; row->name != nullptr; ++row) {
        // strncmp over the name's length: "UINT" matches "UINT8", a longer name matches
        // no row because the row's terminator differs.
        if (strncmp(type_name, row->name, n) != 0) continue;
        if (row->size != 0 && row->size != size) continue;
        if (row->id != 0) return row->id;
    }
    return 0;
}
