// Client of the datapool service serkad: the base directory, creation and deletion of
// datapools and variable lists.
#pragma once

#include <cstdint>

#include "bus/dbus.h"
#include "datapool/var_types.h"

// The base directory below which the datapools lie, copied into buffer (at most size-1
// characters). 0; -5 buffer smaller than 128 bytes (nothing sent); -8 the answer begins with
// "ERROR" (it is in the buffer); -1 no context or the call never got out; -9 no usable reply.
int32_t gs32_dp_get_base_path(const BusContext* context, char* buffer, uint32_t size);

// The creation and deletion methods. Texts are checked against their limits before anything
// is sent. 0 when the answer begins with "OK", -8 for any other answer; -1 a missing context
// or text, or the call never got out; -5 a text breaks its limit (AddVarToList also: its
// type and size do not form a known type); -9 no usable reply.
int32_t gs32_dp_delete_datapool(const BusContext* context, const char* datapool);
int32_t gs32_dp_init_datapool(const BusContext* context, const char* datapool);
int32_t gs32_dp_del_var_list(const BusContext* context, const char* datapool, const char* list);
int32_t gs32_dp_init_var_list(const BusContext* context, const char* datapool, const char* list);
int32_t gs32_dp_create_var_list(const BusContext* context, const char* datapool,
                                const char* list, const char* description, const char* program);
int32_t gs32_dp_add_var_to_list(const BusContext* context, const char* datapool,
                                const char* list, const char* name, const char* type,
                                const char* size, const char* unit, const char* comment);
