// DataBlocks: the one walk over a line's pieces, the views handlers get from it, and the
// writer's room and closing. Whole answers are proved by the KFGV, KFSV and DLGN system tests.
#include "jobs/datablock.h"

#include "job_harness.h"

using namespace std::string_literals;
using namespace jobs_test;

TEST(DataBlock, PiecesAreWalkedWithinTheBytesAndViewedFromTheLine) {
    const std::string kLargest(65535, 'x');
    struct Case {
        std::string block;  // from ";DAT" on
        bool walked;
        std::vector<std::string> pieces;
    } cases[] = {
        {";DAT[VL2\0\0]"s, true, {}},
        {";DAT[VL2\x01\0\x07\0\0]"s, true, {"\x07"}},
        {";DAT[VL2\x03\0;\r\n\x02\0\0b\0\0]"s, true, {";\r\n", "\0b"s}},
        {";DAT[VL2\x02\0ab\0\0"s, false, {}},   // no ']'
        {";DAT[VL2\x02\0ab\0\0x"s, false, {}},  // not ']'
        {";DAT[VL2\x02\0ab\0"s, false, {}},     // the zero length cut off
        {";DAT[V"s, false, {}},
        // The largest piece a 16-bit length can say, with its bytes there and one short.
        {";DAT[VL2\xff\xff"s + kLargest + "\0\0]"s, true, {kLargest}},
        {";DAT[VL2\xff\xff"s + kLargest.substr(1) + "\0\0]"s, false, {}},
    };
    start_worker();
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.block));
        DataBlockLayout layout;
        // The block ends exactly where the bytes do.
        const auto size = static_cast<uint32_t>(c.block.size());
        ASSERT_EQ(c.walked, gb_datablock_walk(c.block.data(), 0, size, &layout));
        if (!c.walked) continue;
        EXPECT_EQ(size - 1, layout.close);
        EXPECT_EQ(c.pieces.size(), layout.pieces);

        const std::string job = "KFSV" + c.block + "  \r\n";
        ASSERT_EQ(0, gs32_ch_set_job_data(job.data(), static_cast<uint32_t>(job.size())));
        gv_connhandler_reset_job_reader();
        ASSERT_EQ(-4, ms32_connhandler_get_nextjobFileLine());
        const char* text = gp_connhandler_job_line()->cursor;
        DataBlockPieces pieces;
        EXPECT_FALSE(gb_datablock_at(text + 1, &pieces));
        ASSERT_TRUE(gb_datablock_at(text, &pieces));
        EXPECT_EQ(c.pieces.size(), pieces.count());
        std::vector<std::string> seen;
        for (DataBlockPiece piece; pieces.next(&piece);)
            seen.emplace_back(piece.data, piece.length);
        EXPECT_EQ(c.pieces, seen);
    }
}

// Pieces never take the closing's 17 bytes, so the closing of the largest status always fits.
TEST(DataBlock, WriterKeepsTheClosingsRoom) {
    ResultLineBuffer out;
    out.capacity = 64;
    out.data.reset(static_cast<char*>(malloc(out.capacity)));
    DataBlockWriter answer{out};
    answer.open("KFGV", "VL1");
    EXPECT_EQ("KFGV;DAT[VL1", std::string(out.data.get(), out.pending_length));
    EXPECT_EQ(64u - 17 - 12, answer.room());
    const std::string bytes(answer.room(), 'x');
    EXPECT_FALSE(answer.put_piece(bytes.data(), static_cast<uint16_t>(answer.room() - 1)));
    EXPECT_TRUE(answer.begin_piece(7));
    EXPECT_TRUE(answer.put_piece(bytes.data(), static_cast<uint16_t>(answer.room() - 2)));
    EXPECT_EQ(0u, answer.room());
    EXPECT_FALSE(answer.put("y", 1));
    EXPECT_FALSE(answer.commit(1));
    answer.close(INT32_MIN);
    EXPECT_EQ(64u, out.pending_length);
    EXPECT_EQ("\x07\0\x1f\0"s + std::string(31, 'x') + "\0\0];-2147483648\r\n"s,
              std::string(out.data.get() + 12, 52));
    // A later call goes on from the buffer's start.
    answer.resume();
    answer.close(0);
    EXPECT_EQ("\0\0];0\r\n"s, std::string(out.data.get(), out.pending_length));
}
