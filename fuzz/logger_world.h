// The bus as the LoggerFile reader sees it, for the fuzz targets: only ReqMaxDatasetSize,
// answered with a text the target chooses.
#pragma once

#include <cstdint>

// The answer of the next ReqMaxDatasetSize calls ("OK 1004", "ERROR", ...).
void gv_logger_world_answer(const char* answer);
// ReqMaxDatasetSize calls answered so far.
uint32_t gu32_logger_world_calls();
