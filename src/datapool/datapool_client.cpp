// Datapool service client: one call helper with the limits and the "OK" rule, a few lines
// per method.
#include "datapool/datapool_client.h"

#include <cstring>

#include "bus/method_call.h"

namespace {

constexpr const char* kDatapoolService = "serkad";
constexpr uint32_t kNameLimit = 64;   // datapool, list, variable names and other texts
constexpr uint32_t kShortLimit = 10;  // type name and size text of AddVarToList
constexpr uint32_t kMaxArgs = 7;

// Calls method with the texts, each within its limit; the answer counts when it begins
// with "OK".
int32_t ms32_dp_call(const BusContext* context, const char* method, const char* const* texts,
                     const uint32_t* limits, uint32_t count) {
    if (context == nullptr) return -1;
    BusArg args[kMaxArgs];
    for (uint32_t i = 0; i < count; ++i) {
        if (texts[i] == nullptr) return -1;
        if (strlen(texts[i]) > limits[i]) return -5;
        args[i] = BusArg::Text(texts[i]);
    }
    char answer[8];  // only the first two characters are compared
    BusMethodCall call{kDatapoolService, method, args, count};
    int32_t point = gs32_dbus_method_call(context, call, answer, sizeof answer, nullptr);
    if (point != kBusOk) return gs32_dbus_point_code(point);
    return strncmp(answer, "OK", 2) == 0 ? 0 : -8;
}

}  // namespace

int32_t gs32_dp_get_base_path(const BusContext* context, char* buffer, uint32_t size) {
    if (buffer == nullptr) return -1;
    if (size < 128) return -5;
    if (context == nullptr) return -1;
    BusMethodCall call{kDatapoolService, "GetBasePath"};
    int32_t point = gs32_dbus_method_call(context, call, buffer, size, nullptr);
    if (point != kBusOk) return gs32_dbus_point_code(point);
    return strncmp(buffer, "ERROR", 5) == 0 ? -8 : 0;
}

int32_t gs32_dp_delete_datapool(const BusContext* context, const char* datapool) {
    const char* texts[] = {datapool};
    const uint32_t limits[] = {kNameLimit};
    return ms32_dp_call(context, "DeleteDatapool", texts, limits, 1);
}

int32_t gs32_dp_init_datapool(const BusContext* context, const char* datapool) {
    const char* texts[] = {datapool};
    const uint32_t limits[] = {kNameLimit};
    return ms32_dp_call(context, "InitDatapool", texts, limits, 1);
}

int32_t gs32_dp_del_var_list(const BusContext* context, const char* datapool, const char* list) {
    const char* texts[] = {datapool, list};
    const uint32_t limits[] = {kNameLimit, kNameLimit};
    return ms32_dp_call(context, "DelVarList", texts, limits, 2);
}

int32_t gs32_dp_init_var_list(const BusContext* context, const char* datapool, const char* list) {
    const char* texts[] = {datapool, list};
    const uint32_t limits[] = {kNameLimit, kNameLimit};
    return ms32_dp_call(context, "InitVarList", texts, limits, 2);
}

int32_t gs32_dp_create_var_list(const BusContext* context, const char* datapool,
                                const char* list, const char* description, const char* program) {
    const char* texts[] = {datapool, list, description, program};
    const uint32_t limits[] = {kNameLimit, kNameLimit, kNameLimit, kNameLimit};
    return ms32_dp_call(context, "CreateVarList", texts, limits, 4);
}

int32_t gs32_dp_add_var_to_list(const BusContext* context, const char* datapool,
                                const char* list, const char* name, const char* type,
                                const char* size, const char* unit, const char* comment) {
    const char* texts[] = {datapool, list, name, type, size, unit, comment};
    const uint32_t limits[] = {kNameLimit, kNameLimit,  kNameLimit, kShortLimit,
                               kShortLimit, kNameLimit, kNameLimit};
    // The limits first, so that an overlong type text is -5 before its lookup.
    for (uint32_t i = 0; i < 7; ++i) {
        if (texts[i] != nullptr && strlen(texts[i]) > limits[i]) return -5;
    }
    if (type != nullptr && size != nullptr && gs32_dp_get_type_id(type, size) == kVarTypeInvalid) {
        return -5;
    }
    return ms32_dp_call(context, "AddVarToList", texts, limits, 7);
}
