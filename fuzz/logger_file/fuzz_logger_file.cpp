// Feeds arbitrary bytes as a LoggerFile through the data start search and the block reader.
// The first input byte picks the blocks skipped by the first read, the second the room of
// each read (small rooms, a room that grows after a step back, or the largest). Besides the
// sanitizers (each room is its own heap buffer, so a write past it is caught) it checks the
// codes, the piece's head against the length handed back, that a step back leaves the file
// where the read began, that a size left to the logger is 0 and comes only where the file
// ends, and that the reads come to an end.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/heap.h"
#include "core/log.h"
#include "logger/logger_file.h"

namespace {

#define mv_check(condition) \
    ((condition) ? (void)0 : (fprintf(stderr, "check failed at line %d\n", __LINE__), abort()))

constexpr uint32_t kLargestRoom = 70000;  // more than any piece a 16-bit length can say

uint32_t mu32_le16(const char* p) {
    return static_cast<uint8_t>(p[0]) | static_cast<uint32_t>(static_cast<uint8_t>(p[1])) << 8;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = gs32_log_open("/dev/null") == 0;
    (void)ready;
    if (size < 3) return 0;
    const uint32_t skip = data[0] & 0x0f;
    const uint8_t room_choice = data[1];
    std::vector<char> bytes(data + 2, data + size);
    UniqueFile file{fmemopen(bytes.data(), bytes.size(), "rb")};
    mv_check(file != nullptr);

    // The size is left to the logger only where no block head is left to read, with the
    // size 0 until the caller has asked.
    const long file_size = static_cast<long>(bytes.size());
    auto check_ask = [&](uint8_t ask, uint32_t max_size) {
        mv_check(!ask || (max_size == 0 && file_size - ftell(file.get()) < 4));
    };
    uint32_t max_size = 0;
    uint8_t ask = 7;
    mv_check(gs32_dlf_set_startpos(file.get(), 2, &max_size, &ask) == -10 && ask == 0);
    const int32_t start = gs32_dlf_set_startpos(file.get(), 1, &max_size, &ask);
    mv_check(start == 0 || start == -2);
    if (start != 0) return 0;
    check_ask(ask, max_size);
    uint16_t length = 7;
    char probe[1];
    mv_check(gs32_dlf_get_next_block(file.get(), 0, 0, probe, 0, &length, &max_size, &ask) ==
                 -5 &&
             length == 0);

    uint32_t room = room_choice == 255 ? kLargestRoom : 1u + room_choice * 8u;
    for (int call = 0;; ++call) {
        mv_check(call < 1 << 20);  // every call moves on or ends the reads
        HeapBuffer out{static_cast<char*>(malloc(room))};
        const long before = ftell(file.get());
        const uint8_t first = call == 0 && skip > 0 ? 1 : 0;
        const int32_t r = gs32_dlf_get_next_block(file.get(), skip, first, out.get(), room,
                                                  &length, &max_size, &ask);
        check_ask(ask, max_size);
        mv_check(!ask || r == 0);
        if (r == -4) {
            const uint32_t block = mu32_le16(out.get() + 2);
            mv_check(length == block + 4 && length < room);
            mv_check(mu32_le16(out.get()) == block + 2);
            continue;
        }
        mv_check(length == 0);
        if (r == 0) break;
        mv_check(r == -6);
        if (!first) mv_check(ftell(file.get()) == before);
        if (room == kLargestRoom) break;  // a piece longer than 16 bits can say
        room = room * 4 > kLargestRoom ? kLargestRoom : room * 4;
    }
    return 0;
}
