// Client of the network service "wenlod", and the worker's handlers of its signals.
#pragma once

#include <cstdint>

#include "bus/dbus.h"

// "StartConnection" with one u32 (the worker passes 120). 0; -8 the answer begins with
// "ERROR"; -9 no reply or no text answer; -1 no context, call not created, argument not
// appended, send refused or no pending call.
int32_t gs32_nw_start_connection(BusContext* context, uint32_t value);
// "StopConnection", no argument; results as StartConnection.
int32_t gs32_nw_stop_connection(BusContext* context);
// "GetConInterface": the interface in use or "NotConnected", copied into answer (cut to
// size-1 characters). 0; -10 no context or answer, or size 12 or less; -9 no reply or no
// text answer; -1 call not created, send refused or no pending call.
int32_t gs32_nw_get_con_interface(BusContext* context, char* answer, uint32_t size);

// on_hello: a HELLO from exactly "wenlod" ends the worker's wait for the service. 0 when
// the name matched, 1 otherwise.
int32_t mv_connhandler_who_is_there(const char* daemon_name);
// on_network_notification: link_up follows the status ("UP" or anything else). 0 for "UP".
int32_t mv_connhandler_network_notification(const char* first, const char* status);
