// DataBlocks: the binary part of a job line and of a data answer. ";DAT", '[' and a
// 3-character tag, then pieces (a 16-bit little-endian length and that many bytes), a zero
// length that ends them, and ']'. The reader walks a line's pieces once and hands handlers
// bounded views of them; the writer builds an answer's pieces and its closing.
#pragma once

#include <cstdint>

struct ResultLineBuffer;

// ";DAT", '[' and the tag: the bytes in front of the first piece.
constexpr uint32_t kDataBlockHeadLength = 8;
// Kept free behind an answer's pieces for its closing: two zero bytes, "];", a status of up
// to 11 characters and CR LF.
constexpr uint32_t kDataBlockClosingReserve = 17;

// Where a line's DataBlock lies, as the reader found it: offsets into the line.
struct DataBlockLayout {
    uint32_t at = 0;      // the ';' of ";DAT"
    uint32_t close = 0;   // the ']' behind the zero length; 0 when the line has no DataBlock
    uint32_t pieces = 0;  // pieces in front of the zero length
};

// Walks the pieces of the DataBlock whose ";DAT" is at offset at of text, reading nothing at
// or beyond offset end. True when the zero length and a ']' right behind it lie before end;
// layout_out then says where. Nothing is checked in the 8 bytes in front of the pieces.
bool gb_datablock_walk(const char* text, uint32_t at, uint32_t end, DataBlockLayout* layout_out);

// One piece's bytes: length of them at data, all inside the piece.
struct DataBlockPiece {
    const char* data = nullptr;
    uint16_t length = 0;
};

// A DataBlock's pieces, one after the other; it never reads past the block's zero length.
class DataBlockPieces {
  public:
    DataBlockPieces() = default;
    DataBlockPieces(const char* first, const char* end, uint32_t count)
        : at_(first), end_(end), count_(count) {}
    // The next piece into piece_out: true, or false at the zero length that ends them.
    bool next(DataBlockPiece* piece_out);
    // How many pieces the block holds in front of its zero length.
    uint32_t count() const { return count_; }

  private:
    const char* at_ = nullptr;
    const char* end_ = nullptr;  // the block's ']'
    uint32_t count_ = 0;
};

// The pieces of the current job line's DataBlock when text is where that block begins (its
// ";DAT"): true and pieces_out set; false for any other text.
bool gb_datablock_at(const char* text, DataBlockPieces* pieces_out);

// One piece written in place into bytes[0, room).
class DataBlockPieceSlot {
  public:
    DataBlockPieceSlot(char* bytes, uint32_t room) : bytes_(bytes), room_(room) {}
    // Writes the length of a piece of length bytes and returns where its bytes go; nullptr,
    // with nothing written, when the piece and its length field do not fit the room or their
    // size would not fit 16 bits (a piece's size is handed back as a 16-bit count).
    char* claim(uint32_t length);
    // The claimed piece's size, its length field included; 0 before a claim.
    uint32_t size() const { return size_; }

  private:
    char* bytes_;
    uint32_t room_;
    uint32_t size_ = 0;
};

// Writes a DataBlock answer into a ResultLineBuffer, whose pending length is where the
// answer's bytes end. An answer can span several calls of its handler: each call's output
// is appended to the ResultBuffer, and the next call goes on from the buffer's start.
// Pieces never take the closing's reserve, so the closing always fits.
class DataBlockWriter {
  public:
    explicit DataBlockWriter(ResultLineBuffer& out) : out_(out) {}
    // Starts the answer at the buffer's start: "<keyword>;DAT[<tag>".
    void open(const char* keyword, const char* tag);
    // Goes on with an answer opened in an earlier call, from the buffer's start.
    void resume();
    // Bytes the answer may still grow by in this call.
    uint32_t room() const;
    // A whole piece: its length and its bytes. false, with nothing written, when it does not
    // fit the room.
    bool put_piece(const void* bytes, uint16_t length);
    // The length of a piece whose bytes follow with put(), in this call and later ones.
    bool begin_piece(uint16_t length);
    bool put(const void* bytes, uint32_t length);
    // Where bytes filled in place go (room() of them are free there), and how many of them
    // were filled; commit() refuses more than the room.
    char* free_bytes() const;
    bool commit(uint32_t length);
    // Ends the answer: two zero bytes, "]" and ";<status>\r\n".
    void close(int32_t status);

  private:
    ResultLineBuffer& out_;
};
