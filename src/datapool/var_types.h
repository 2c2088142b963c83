// The VarTypeTable: the variable types of the datapool with their sizes and ids, and the
// lookup that turns a type name and a size into an id.
#pragma once

#include <cstdint>

// One row of the VarTypeTable; size 0 accepts any size.
struct VarTypeRow {
    const char* name;
    int8_t size;
    uint32_t id;
};

// Rows "UNKOWN" (0) to "STRING" (9), then the end row (no name, id 10).
extern const VarTypeRow g_var_type_table[];
constexpr uint32_t kVarTypeInvalid = 10;

// The id of the first row whose name begins with type_name (compared over type_name's
// length) and whose size is 0 or the size read from size_text, skipping rows with id 0;
// 0 when none fits; kVarTypeInvalid for a missing or empty text or a size text without a
// leading decimal number (blanks and a sign may lead, anything may follow).
uint32_t gs32_dp_get_type_id(const char* type_name, const char* size_text);
