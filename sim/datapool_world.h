// A datapool for the fuzz targets and the benchmark: a base directory with one datapool
// "pool" whose lists "pool/l0.dpl", "pool/l1.dpl", ... each have a real segment of 64 KiB
// and a semaphore set, removed when the process ends (or by the next run after a crash); and
// its base directory as the KFGV and KFSV handlers' base path source.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr size_t kWorldSegmentSize = 65536;

struct DatapoolWorld {
    std::string base;  // the base directory
    std::vector<std::string> list_paths;
};

// Made on the first call, one list file per text. Aborts when the machine has no System V
// IPC to give.
const DatapoolWorld& gr_datapool_world(const std::vector<std::string>& lists);
// Rewrites list file index in place (same inode, so the same key).
void gv_world_write_list(size_t index, const uint8_t* data, size_t size);
// The base directory into buffer, as the datapool service would answer it: 0, or -5 when
// it does not fit. A DpBasePathSource (datapool/datapool_commands.h).
int32_t gs32_world_base_path(char* buffer, uint32_t size);
// Base directories handed out so far.
uint32_t gu32_world_base_path_calls();
