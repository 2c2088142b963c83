// A datapool for the fuzz targets and the benchmark: a base directory with one datapool
// "pool" whose lists "pool/l0.dpl", "pool/l1.dpl", ... each have a real segment (64 KiB
// unless the maker asks for another size) and a semaphore set, removed when the process ends
// (or by the next run after a crash); and its base directory as the KFGV and KFSV handlers'
// base path source.
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

// Made on the first call, one list file per text, each list with a segment of segment_size
// bytes. Aborts when the machine has no System V IPC to give.
const DatapoolWorld& gr_datapool_world(const std::vector<std::string>& lists,
                                       size_t segment_size = kWorldSegmentSize);
// Rewrites list file index in place (same inode, so the same key).
void gv_world_write_list(size_t index, const uint8_t* data, size_t size);
// Zeroes every list's segment, so that each fuzz input starts from the same values.
void gv_world_clear_segments();

// A DatapoolListFile whose variables a fuzz input chooses, from the bytes at data (size of
// them). Numbers are written seven bits a byte, low bits first, while bit 7 is set (up to
// 2^32-1 in five bytes), so that small ones cost one byte and every 32-bit value is there.
// One byte whose bit 0 asks for VERSION=2; NUMOFVARS as a number; then, while bytes are
// left and fewer sections than NUMOFVARS are written, one section each: a byte choosing its
// TYPE (one of the table's, a prefix of one, an unknown one, or none), its SIZE and its
// ADDRESS as numbers. When the bytes end before NUMOFVARS sections, the count disagrees, as
// a damaged file's would. *used_out is the number of bytes read.
std::string gs_world_list_from_bytes(const uint8_t* data, size_t size, size_t* used_out);
// The base directory into buffer, as the datapool service would answer it: 0, or -5 when
// it does not fit. A DpBasePathSource (datapool/datapool_commands.h).
int32_t gs32_world_base_path(char* buffer, uint32_t size);
// Base directories handed out so far.
uint32_t gu32_world_base_path_calls();
