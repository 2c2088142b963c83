// The rows of the CommandTable by number and their keywords, below the handlers: a handler
// names its command in its result line without depending on the table itself.
#pragma once

#include <cstdint>

enum : int16_t {
    kCommentRow = 0,
    kFwliRow,
    kFwloRow,
    kFwswRow,
    kApliRow,
    kDlgnRow,
    kDlcnRow,
    kKfgvRow,
    kKfsvRow,
    kDltsRow,
    kDbusRow,
    kSyntaxErrorRow,
    kCommandRowCount
};

// The row's keyword, or "" for a row that does not exist.
const char* gpc_ch_command_keyword(int16_t row);
