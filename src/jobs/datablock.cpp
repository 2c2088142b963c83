// The DataBlock reader and writer: the only place where piece lengths are read or written.
#include "jobs/datablock.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

#include "connection/worker_state.h"
#include "core/util.h"
#include "jobs/job_line.h"

namespace {
constexpr uint32_t kLengthField = 2;
}  // namespace

bool gb_datablock_walk(const char* text, uint32_t at, uint32_t end, DataBlockLayout* layout_out) {
    if (at > end || end - at < kDataBlockHeadLength) return false;
    uint32_t pos = at + kDataBlockHeadLength;
    uint32_t pieces = 0;
    for (;;) {
        if (end - pos < kLengthField) return false;
        const uint16_t length = gu16_load_le(text + pos);
        pos += kLengthField;
        if (length == 0) break;
        if (end - pos < length) return false;
        pos += length;
        ++pieces;
    }
    if (pos >= end || text[pos] != ']') return false;
    *layout_out = DataBlockLayout{at, pos, pieces};
    return true;
}

bool DataBlockPieces::next(DataBlockPiece* piece_out) {
    if (at_ == nullptr || end_ - at_ < static_cast<ptrdiff_t>(kLengthField)) return false;
    const uint16_t length = gu16_load_le(at_);
    const char* data = at_ + kLengthField;
    if (length == 0 || end_ - data < length) {
        at_ = end_;
        return false;
    }
    *piece_out = DataBlockPiece{data, length};
    at_ = data + length;
    return true;
}

bool gb_datablock_at(const char* text, DataBlockPieces* pieces_out) {
    const JobLine& line = g_job_line;
    const DataBlockLayout& block = line.datablock;
    const char* begin = line.text.get();
    if (line.form != JobLineForm::kDataBlock || begin == nullptr || block.close == 0 ||
        block.close >= line.length || text != begin + block.at) {
        return false;
    }
    *pieces_out =
        DataBlockPieces{begin + block.at + kDataBlockHeadLength, begin + block.close, block.pieces};
    return true;
}

char* DataBlockPieceSlot::claim(uint32_t length) {
    if (bytes_ == nullptr || length > room_ || room_ - length < kLengthField ||
        length + kLengthField > UINT16_MAX) {
        return nullptr;
    }
    gv_store_le16(bytes_, static_cast<uint16_t>(length));
    size_ = kLengthField + length;
    return bytes_ + kLengthField;
}

void DataBlockWriter::open(const char* keyword, const char* tag) {
    out_.pending_length = 0;
    if (!out_.data || out_.capacity == 0) return;
    const int written = snprintf(out_.data.get(), out_.capacity, "%s;DAT[%s", keyword, tag);
    if (written > 0) {
        out_.pending_length = static_cast<uint32_t>(written) < out_.capacity
                                  ? static_cast<uint32_t>(written)
                                  : out_.capacity - 1;
    }
}

void DataBlockWriter::resume() {
    out_.pending_length = 0;
}

uint32_t DataBlockWriter::room() const {
    if (!out_.data || out_.capacity < kDataBlockClosingReserve ||
        out_.pending_length >= out_.capacity - kDataBlockClosingReserve) {
        return 0;
    }
    return out_.capacity - kDataBlockClosingReserve - out_.pending_length;
}

bool DataBlockWriter::put_piece(const void* bytes, uint16_t length) {
    DataBlockPieceSlot slot{free_bytes(), room()};
    char* content = slot.claim(length);
    if (content == nullptr) return false;
    if (length > 0) memcpy(content, bytes, length);
    return commit(slot.size());
}

bool DataBlockWriter::begin_piece(uint16_t length) {
    char field[kLengthField];
    gv_store_le16(field, length);
    return put(field, sizeof field);
}

bool DataBlockWriter::put(const void* bytes, uint32_t length) {
    if (length > room()) return false;
    if (length > 0) memcpy(free_bytes(), bytes, length);
    return commit(length);
}

char* DataBlockWriter::free_bytes() const {
    return out_.data ? out_.data.get() + out_.pending_length : nullptr;
}

bool DataBlockWriter::commit(uint32_t length) {
    if (length > room()) return false;
    out_.pending_length += length;
    return true;
}

void DataBlockWriter::close(int32_t status) {
    if (!out_.data || out_.capacity < kDataBlockClosingReserve) return;
    uint32_t used = out_.pending_length;
    if (used > out_.capacity - kDataBlockClosingReserve) {
        used = out_.capacity - kDataBlockClosingReserve;
    }
    char* end = out_.data.get() + used;
    end[0] = '\0';
    end[1] = '\0';
    char tail[kDataBlockClosingReserve - 1];
    const int n = snprintf(tail, sizeof tail, "];%d\r\n", static_cast<int>(status));
    memcpy(end + 2, tail, static_cast<size_t>(n));
    out_.pending_length = used + 2 + static_cast<uint32_t>(n);
}
