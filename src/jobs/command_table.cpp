// The CommandTable and the reset of the handlers' states. Every row has its handler; a
// handler with step state across calls resets it in ms32_njch_reset_command_states. A row
// without a handler would be skipped by the interpreter with a log line.
#include "jobs/command_table.h"

#include "datapool/datapool_commands.h"
#include "jobs/dbus_command.h"
#include "jobs/simple_commands.h"
#include "logger/logger_commands.h"

const CommandRow g_command_table[] = {
    {"#", 0, ms32_njch_acknowledge},
    {"FWLI", 3, ms32_njch_acknowledge},
    {"FWLO", 0, ms32_njch_acknowledge},
    {"FWSW", 1, ms32_njch_set_wakeup_cycle_time},
    {"APLI", 1, ms32_njch_acknowledge},
    {"DLGN", 4, ms32_njch_dl_get_by_name},
    {"DLCN", 1, ms32_njch_dl_clear_by_name},
    {"KFGV", 1, ms32_njch_get_var_value},
    {"KFSV", 2, ms32_njch_set_var_value},
    {"DLTS", 1, ms32_njch_set_dl_max_transfer_size},
    {"DBUS", 5, ms32_njch_send_nextjob_cmd_to_dbus},
    {"SYNTAXERR", 0, ms32_njch_syntax_error},
};

const int16_t g_command_count =
    static_cast<int16_t>(sizeof g_command_table / sizeof g_command_table[0]);

static_assert(sizeof g_command_table / sizeof g_command_table[0] == kCommandRowCount);

int32_t ms32_njch_reset_command_states() {
    gv_njch_reset_simple_commands();
    gv_njch_reset_dbus_command();
    gv_njch_reset_datapool_commands();
    gv_njch_reset_logger_commands();
    return 0;
}
