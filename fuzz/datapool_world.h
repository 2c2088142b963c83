// A datapool for the fuzz targets: a base directory with one datapool "pool" whose list
// "pool/a.dpl" has a real segment and semaphore set, removed when the process ends; and
// the fake bus layer through which the datapool client asks for the base directory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

constexpr size_t kWorldSegmentSize = 65536;

struct DatapoolWorld {
    std::string base;       // the base directory
    std::string list_path;  // base + "/pool/a.dpl"
    uint8_t* segment = nullptr;
};

// Made on the first call; the list file holds initial_list. Aborts when the machine has no
// System V IPC to give.
const DatapoolWorld& gr_datapool_world(const std::string& initial_list);
// Rewrites the list file in place (same inode, so the same key).
void gv_world_write_list(const uint8_t* data, size_t size);
