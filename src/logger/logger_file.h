// The LoggerFile reader: takes a LoggerFile over as the working copy in the exchange folder,
// finds the start of its data and copies it out block by block. It works on files alone and
// asks no service: where only the logger knows something (the file's path, a dataset size
// the file does not show), the DLGN handler asks and hands the answer in or takes it over.
//
// A LoggerFile is a text header of key/value lines, the 9 bytes "DATASTART" and 2 bytes
// that are not read, then blocks: START_TAG (1970 as 16-bit little-endian, 0xB2 0x07), the
// block length L (16-bit little-endian) and L data bytes. Anything else where a block is
// expected starts a search for the next "DATASTART".
#pragma once

#include <cstdint>
#include <cstdio>

constexpr uint16_t kDlfStartTag = 1970;
// Bytes of a block in front of its data: the START_TAG and the length.
constexpr uint32_t kDlfBlockHead = 4;
// Size of the path buffers of the working copy and its position file.
constexpr uint32_t kDlfPathSize = 512;

// The working copy "<folder>/<name>_tmp" and, when pos_path is given, its position file
// "<folder>/<name>_tmp_pos" (each kDlfPathSize bytes). 0, or -1 when a path does not fit.
int32_t gs32_dlf_working_paths(const char* folder, const char* name, char* copy_path,
                               char* pos_path);

// The exchange folder belongs to the daemon alone: it runs as root and opens files there by
// name, so whoever may plant a link in it could have root create or overwrite any file.
// A missing folder is created when create is 1 (each level made gets mode 0700) and counts
// as empty otherwise. An existing one must be a directory and no link, owned by the daemon's
// effective user and not writable by group or others; with writable 1 it must also take
// writes (a read-only file system is found before any logger is asked for a file). 0 when
// it may be used; -10 after one log line of function that names the folder.
int32_t gs32_dlf_check_folder(const char* folder, uint8_t create, uint8_t writable,
                              const char* function);

// 1 when path is a regular file itself, not a link to one (lstat); 0 otherwise.
int32_t gs32_dlf_is_plain_file(const char* path);

// A working copy or position file path that holds anything but a regular file (a link
// planted there above all) is left alone: -10 after a log line of function; 0 when the path
// is free or a regular file.
int32_t gs32_dlf_check_entry(const char* path, const char* function);

// Opens a file in the exchange folder through stdio without following a link in its place
// (O_NOFOLLOW, and O_CLOEXEC so that no worker's child inherits it). flags are open()'s
// access and creation flags, mode fdopen()'s to match them. A file created gets 0666 less
// the umask, as fopen() would give it. nullptr with errno set when it cannot be opened.
FILE* gp_dlf_open_plain(const char* path, int flags, const char* mode);

// Logs a file operation in the exchange folder that failed, with errno's reason:
// "<function>: Can't <operation> <path>: <reason>".
void gv_dlf_log_failure(const char* function, const char* operation, const char* path);

// Takes the LoggerFile at path over as the working copy of logger name: checks its header,
// creates folder if needed, renames the file to "<folder>/<name>_tmp" and creates the
// position file "<folder>/<name>_tmp_pos" holding "0\r\n0\r\n" when there is none yet. 0
// when the working copy and its position file are ready; -10 otherwise (also when path is
// not a regular file of its own, which is logged only when something else is there).
int32_t gs32_dlf_take_over(const char* path, const char* name, const char* folder);

// The header check of a LoggerFile at path: its LogFile value must begin with name. Each
// missing header key is logged. 0, or -10 after logging that the name does not fit (also
// when the file cannot be opened or has no LogFile line).
int32_t gs32_dlf_check_header(const char* path, const char* name);

// Finds the next "DATASTART" (from the start of the file when from_start is 1, else from
// where the file stands) and leaves the file at the START_TAG behind it. *max_dataset_size
// becomes the size of that first block with its head, or 0 when no size is known.
// *ask_logger_out becomes 1 when the file ends (or fails to read) before that block's head:
// then only the logger can tell the size, and the caller asks it; else 0. 0; -2 no
// "DATASTART" before the end of the file; -10 an argument missing or from_start above 1.
int32_t gs32_dlf_set_startpos(FILE* file, uint8_t from_start, uint32_t* max_dataset_size,
                              uint8_t* ask_logger_out);

// Copies the next block as one piece into out: L + 2 and L as 16-bit little-endian, then
// the L data bytes. With skip 1 the first block_number blocks are passed over first. -4 a
// piece was written (*length_out = L + 4); -6 the piece needs room + 1 bytes or more, or is
// longer than a 16-bit length can say (the file stands at its START_TAG again); 0 the end
// of the data (end of the file, a read error, a block cut short by the end of the file, or
// anything but a START_TAG where the block to deliver is expected, even when another
// "DATASTART" follows); -5 file, out, max_dataset_size or ask_logger_out missing, or room 0.
// While blocks are being skipped a new "DATASTART" section is searched for and the skip
// goes on there, which updates *max_dataset_size and *ask_logger_out as gs32_dlf_set_startpos
// does (*ask_logger_out is 0 when no section was searched).
int32_t gs32_dlf_get_next_block(FILE* file, uint32_t block_number, uint8_t skip, char* out,
                                uint32_t room, uint16_t* length_out, uint32_t* max_dataset_size,
                                uint8_t* ask_logger_out);
