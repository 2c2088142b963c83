// Client of the logger services tulvad_<N>: the LoggerFile request and deletion, the
// dataset size and the announced transfer budget.
#pragma once

#include <cstdint>

#include "bus/dbus.h"

// Longest logger name that is addressed; a longer one is refused with -5 before anything is
// sent (the service's name component "tulvad_<N>" must stay a valid bus name).
constexpr uint32_t kLoggerNameLimit = 64;
// Smallest path buffer RequestDLF accepts.
constexpr uint32_t kLoggerPathMinimum = 128;

// RequestDLF: the path of the LoggerFile that service N hands over, from the answer's
// sixth character ("OK" and three characters skipped unread; a shorter answer gives the
// empty path). 0; -1 an argument missing or the request not created; -5 N too long or size
// below 128; -10 every other failure, the path not fitting path (length >= size) included.
int32_t gs32_tulvad_RequestDLF(const BusContext* context, const char* name, char* path,
                               uint32_t size);

// DeleteDLF with mode 0 or 1. 0; -1 an argument missing, mode above 1 or the request not
// created; -5 N too long; -10 every other failure.
int32_t gs32_tulvad_DeleteLF(const BusContext* context, const char* name, uint32_t mode);

// ReqMaxDatasetSize on the worker's own connection: the decimal number at the answer's
// fourth character ("OK" and one character before it), 0 when no digit stands there.
// 0; -1 an argument missing or the request not created; -5 N too long; -10 otherwise.
int32_t ms32_connhandler_request_max_dataset_size(const char* name, uint32_t* size_out);

// SetFullDatasetInterval with the interval derived from transfer_size. 0; -1 an argument
// missing or the request not created; -5 N too long; -10 every other failure.
int32_t gs32_ch_send_max_transfer_size(const BusContext* context, const char* name,
                                       uint32_t transfer_size);

// The interval sent for a transfer size: 0 for 0; half of it, but at least 10240, up to
// 512000; a quarter above.
uint32_t gu32_ch_full_dataset_interval(uint32_t transfer_size);
