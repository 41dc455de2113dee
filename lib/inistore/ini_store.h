// libinistore: the INI configuration store every program of the system reads
// and writes its text configuration through (/etc/streams.ini, /etc/user.cfg,
// /etc/timer.ini, ...).
//
// A store is the whole file loaded into one heap block as a list of lines:
// every kept line a NUL-terminated string, back to back, the list closed by an
// empty string (a lone NUL). Look-ups are linear scans of that list; every edit
// builds a complete new block before the old one is freed, so a failed edit
// ("No memory") leaves the old list valid. Nothing of the file stays open
// between ConfigOpen and ConfigClose; the file is read whole at open and
// replaced whole at commit.
//
// Text format read:
//  - lines are separated by line feeds; every line loses its trailing blank
//    bytes, a line empty after that is dropped; a NUL byte ends a line's text;
//  - a blank byte is any byte that, taken as a signed 8-bit number, is below
//    33 (0x01-0x20 and 0x80-0xFF; the terminating NUL counts as blank where a
//    word boundary is tested);
//  - "#", ";" or "/" as first non-blank byte: comment line; "[" as first
//    non-blank byte of a non-comment line: section header, whose name is found
//    by searching it inside the header line; anything else: a key line, the key
//    being the leading word and the value everything after the following run
//    of blank and "=" bytes;
//  - lines before the first section header are reached with a null section;
//  - a value read as text loses a leading ' or " and, if the result then ends
//    with the same quote, that last byte too.
// Names and keys match ignoring ASCII case; the first match in file order wins.
//
// Paths given to ConfigOpen and write_md5 are logical system paths
// ("/etc/streams.ini"); they are resolved through dv::sys_path() before the
// file system is touched, and the logical name is what the store and the md5
// sidecar record.
//
// Commit: a name beginning with "/tmp" is written directly. Any other target is
// replaced atomically: the new text is staged beside the target (same folder,
// "<target>.tmp-<pid>"), flushed to disc, its md5 sidecar ("<target>.md5",
// digest, two blanks, logical name) is written, and the staged file is renamed
// over the target; readers see either the old or the new file, never a missing
// or half-written one. On failure the old file stays as it was and no staged
// file is left behind.
//
// No locking: each process edits its own copy, and the last commit wins. A
// handle is used by one thread at a time. Nothing here installs signal
// handlers; ExecExternalToBuffer and write_md5 start a shell (popen).
#pragma once

#include <cstdint>

// One open store. Fields in this order; callers read them through the
// accessors below.
struct ConfigHandle {
  int32_t writable;  // non-zero when opened for writing; edits and commit refuse otherwise
  int32_t modified;  // set by every successful edit; ConfigClose commits when set
  int32_t size;      // bytes of the line list, closing NUL included; 0 for an empty store
  char* lines;       // the line list block, or null for an empty store
  char* filename;    // heap copy of the logical path; null for a memory store
  char* search;      // next line at which ConfigSearchSection continues
  int32_t borrowed;  // non-zero when the line list belongs to the caller (ConfigOpenMem)
};

// Result codes of every status-returning operation.
enum {
  CONFIG_OK = 0,
  CONFIG_NO_SECTION = 1,  // "Section is not found"
  CONFIG_NO_KEY = 2,      // "Key is not found"
  CONFIG_NO_MEMORY = 3,   // "No memory"
  CONFIG_FILE_ERROR = 4,  // "File error"
  CONFIG_READONLY = 5,    // "Config is readonly"
};
// ConfigCommit / ConfigClose also return -1: the md5 sidecar could not be made
// or the new file could not be renamed into place (ConfigError(-1) gives
// "Commit failed"; the old file is intact).

// ---------------------------------------------------------------------------
// Opening and closing

// Opens the file at the logical path. Writable: the file is opened for reading
// and writing and created empty when it does not exist (never truncated
// otherwise). Read-only: the file must exist. Returns null when the file cannot
// be opened or read, is larger than a 32-bit size, or memory runs out.
ConfigHandle* ConfigOpen(const char* path, int writable);

// A read-only store over the caller's line list (size bytes, closing NUL
// included), which must stay live and unchanged while the handle is open and is
// never written or freed by the library. A null buffer or size <= 0 gives an
// empty store. Returns null when the buffer is not a closed line list (its last
// bytes are not "\0\0", or "\0" for size 1) or memory runs out.
ConfigHandle* ConfigOpenMem(const char* buffer, int32_t size);

// Commits a modified store, then frees everything the handle owns. Null is
// allowed (result 0). Returns the commit's result, else 0.
int ConfigClose(ConfigHandle* h);

// Writes a modified store back to its file: 0 (also when not modified), 4 (an
// empty store, or the file cannot be created/written), 5 (read-only) or -1 (md5
// sidecar or rename failed). Clears the modified flag on success.
int ConfigCommit(ConfigHandle* h);

// ---------------------------------------------------------------------------
// Reading

// Copies the value, quotes removed, into dest (at most size-1 bytes and a NUL).
// 0; 1 when size is 0, the store is empty or the section is missing; 2 when the
// key is missing. dest is untouched unless the result is 0.
int ConfigGetStr(ConfigHandle* h, char* dest, const char* section, const char* key, int32_t size);

// Sets *value to 0, then to the value converted with C base prefix rules
// (decimal, "0x" hexadecimal, leading "0" octal; stops at the first unusable
// byte, so a quoted number reads as 0; out-of-range numbers saturate at the
// 32-bit limits). 0, 1 or 2 as ConfigGetStr.
int ConfigGetInt(ConfigHandle* h, int32_t* value, const char* section, const char* key);

// ---------------------------------------------------------------------------
// Editing (all: 5 when read-only; the store must not be empty and the section
// must exist, else 1; 3 when memory runs out, the old list then unchanged)

// Sets the key to the formatted value (at most 2046 bytes, trailing blanks
// removed, cut at a line feed). An existing key line is replaced by
// "key = value"; a new key goes directly after the section header (before the
// first line for a null section).
int ConfigPrintf(ConfigHandle* h, const char* section, const char* key, const char* fmt, ...)
    __attribute__((format(printf, 4, 5)));
// The value "'text'" (nothing escaped).
int ConfigWriteStr(ConfigHandle* h, const char* section, const char* key, const char* text);
// The value "text".
int ConfigWriteStrWoQuotes(ConfigHandle* h, const char* section, const char* key, const char* text);
// The value "%d".
int ConfigWriteInt(ConfigHandle* h, const char* section, const char* key, int32_t value);

// Appends "[ name ]" unless the section exists (then 0, no change). 0, 1 (null
// name), 3 or 5.
int ConfigAddSection(ConfigHandle* h, const char* name);
// Removes the header and every line up to the next header. A missing section
// (or null name, or an empty store) gives 0. 0, 3 or 5.
int ConfigDelSection(ConfigHandle* h, const char* name);
// Removes the first line of the key in the section. A missing key gives 0.
// 0, 1, 3 or 5.
int ConfigDelKey(ConfigHandle* h, const char* section, const char* key);

// ---------------------------------------------------------------------------
// Section iteration

// Continues from the search cursor. With a prefix: the next header in which the
// prefix occurs (first occurrence, ignoring case) after a blank or "["; returns
// the address just after the prefix inside that header line ("[ stream_1 ]"
// with "stream_" gives "1 ]"). Without a prefix: the next header line itself.
// Null at the end of the list (the cursor stays there) and for an empty store.
// Any edit resets the cursor to the start.
const char* ConfigSearchSection(ConfigHandle* h, const char* prefix);
// Sets the search cursor to the first line and returns it (null when empty).
const char* ConfigSearchRewind(ConfigHandle* h);

// ---------------------------------------------------------------------------
// Accessors

const char* ConfigGetBuffer(ConfigHandle* h);    // the line list block, or null
int32_t ConfigGetSize(ConfigHandle* h);          // size of the line list in bytes
const char* ConfigGetFilename(ConfigHandle* h);  // logical file name, null for memory

// The text of a result code: the table texts for 0-5, "Commit failed" for -1,
// "Unknown error" for any other code. Never null.
const char* ConfigError(int code);

// ---------------------------------------------------------------------------
// General utilities

// Runs the command line through the shell ("<cmd> 2>/dev/null") and collects
// its standard output into a new heap buffer (malloc; the caller frees it),
// NUL-terminated; empty output gives "". The command is shell syntax by design:
// quote data put into it with dv::shell_quote. On success the old *buffer is
// freed first. Returns 0, or -1 (the command cannot be started: *buffer
// untouched; memory runs out: *buffer freed and set to null).
int ExecExternalToBuffer(const char* cmd, char** buffer);

// Hashes file (logical path) with md5sum and writes the sidecar "<name>.md5"
// (name resolved) holding the digest, two blanks and the logical name, with no
// line feed; the sidecar is replaced atomically. Returns 0, or -1 after one of
// "Error in calculating md5 of %s", "Error in getting md5 of %s", "Error in
// writing md5 of %s" (with name, no line feed) on standard error.
int write_md5(const char* file, const char* name);

// ---------------------------------------------------------------------------
// Building blocks of the above, exported for callers that walk a line list.

// Removes the trailing blanks of s in place. Returns the address one past the
// NUL that now follows the last non-blank byte, or s itself when s was all
// blanks (then s is "").
char* stripTail(char* s);
// The address after the next NUL.
char* nextString(char* s);
const char* nextString(const char* s);
// 1 when the first non-blank byte is "#", ";" or "/".
int is_comment(const char* line);
// 1 for a non-comment line whose first non-blank byte is "[".
int is_section(const char* line);
// In the line list starting at lines: the first line after the first header
// that names the section, or null. A null name gives lines itself.
char* find_section(char* lines, const char* name);
// From the first line of a section: the address of the key's value inside the
// first matching key line (the line's NUL for an empty value), or null when a
// section header or the end of the list comes first.
char* find_key(char* line, const char* key);

// Line editors: build a new block with one line inserted / replaced / removed,
// free the old block (unless borrowed), set modified and reset the search
// cursor. The formatted text is cut at 2046 bytes and at a line feed; an empty
// result changes nothing (result 0). before/at must lie inside the handle's list (before
// may be the closing NUL: append; an address inside a line means that line;
// before may be null for an empty store). Return 0, or 3 (no memory, or an
// address outside the list) leaving the list unchanged.
int addLine(ConfigHandle* h, char* before, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));
int replaceLine(ConfigHandle* h, char* at, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));
int delLine(ConfigHandle* h, char* at);
