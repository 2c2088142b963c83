// Keywords of the CommandTable's rows, in row order.
#include "jobs/command_rows.h"

namespace {
const char* const kKeywords[kCommandRowCount] = {"#",    "FWLI", "FWLO", "FWSW",
                                                 "APLI", "DLGN", "DLCN", "KFGV",
                                                 "KFSV", "DLTS", "DBUS", "SYNTAXERR"};
}  // namespace

const char* gpc_ch_command_keyword(int16_t row) {
    if (row < 0 || row >= kCommandRowCount) return "";
    return kKeywords[row];
}
