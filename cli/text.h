// Text helpers of the dorvex tool: UTF-16 names to UTF-8, escaping for the
// terminal and for JSON, case-insensitive name comparison, FAT's wall-clock
// times.
#ifndef DORVEX_CLI_TEXT_H
#define DORVEX_CLI_TEXT_H

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

#include "dorvex/dorvex.h"

namespace dvcli {

// UTF-16 units to code points; a lone surrogate stays as its own value
// (0xD800..0xDFFF) so callers can tell it apart.
std::u32string utf16_to_u32(const uint16_t *units, size_t len);
std::u32string name_to_u32(const dv_name &name);

// UTF-8 text to code points; false if `text` is not valid UTF-8.
bool utf8_to_u32(std::string_view text, std::u32string &out);

// A name as UTF-8 (dv_name_to_utf8). Lone surrogates become U+FFFD: the
// result is always valid UTF-8, fit for a host file name.
std::string name_to_utf8(const dv_name &name);

// For the terminal: UTF-8 with control characters, lone surrogates and the
// backslash escaped (\n, \t, \xNN, \uNNNN, \\).
std::string escape_display(std::u32string_view cps);
std::string display_name(const dv_name &name);
// Host text (possibly invalid UTF-8) escaped the same way.
std::string escape_display_utf8(std::string_view text);

// Code points as UTF-8; lone surrogates become U+FFFD.
std::string to_utf8(std::u32string_view cps);
// Whether the name holds UTF-16 units that are no characters (lone
// surrogates), which no UTF-8 text can carry.
bool has_lone_surrogate(const dv_name &name);

// A JSON string literal, quotes included, valid UTF-8: lone surrogates
// become U+FFFD (strict parsers refuse them escaped).
std::string json_string(std::u32string_view cps);
std::string json_string_utf8(std::string_view text);

// Case folding of a whole string by the library's rule (dv_foldcase, the one
// its lookups and the write path use), ASCII letters then in upper case.
std::u32string fold(std::u32string_view cps);

// The options that hold for the whole run, whatever the command: filled by run() from
// --codepage and --utc before the command starts.
struct GlobalOptions {
    std::string codepage = "cp437"; // of 8.3 names and labels: what DOS and the FAT tools assume
    bool utc = false;               // FAT times are UTC rather than the host's local time
};

// Makes `o` the options that short_codepage() and utc_times() read while it
// lives, for the helpers that get no Args; run() holds one around the command.
class UseOptions {
  public:
    explicit UseOptions(const GlobalOptions &o);
    ~UseOptions();
    UseOptions(const UseOptions &) = delete;
    UseOptions &operator=(const UseOptions &) = delete;

  private:
    const GlobalOptions *previous_;
};

// The global options of the command running (made current by UseOptions), or their
// defaults when none is.
// --codepage: the single-byte code page of 8.3 names, cp437 unless set.
const char *short_codepage();
// Whether `name` is a single-byte charset, as --codepage needs.
bool is_short_codepage(const std::string &name);
// --utc: FAT times are UTC rather than the host's local time.
bool utc_times();

// The 8.3 name as stored, as "BASE.EXT" (no dot without an extension, no
// lower-case flags applied) in short_codepage(). Empty for an empty name.
std::u32string short_name_u32(const char shortname[12]);

// The volume label's 11 bytes in short_codepage() (a byte it lacks as '?'):
// trailing spaces trimmed, no dot between the eighth and ninth byte.
std::u32string label_text_u32(const char bytes[11]);
// The text of a volume-label record: its 11 bytes as above on FAT, its name
// on exFAT (whose label entry holds UTF-16 text).
std::u32string label_u32(const dv_entry &e);

// What a host file of type `mode` (st_mode) is, for messages: "a regular
// file", "a directory", "a symbolic link", "a character device", "a block
// device", "a FIFO", "a socket".
const char *file_kind(unsigned mode);

// FAT stores a wall-clock time without a zone; dv_entry's 64-bit times give
// it as seconds read as UTC. The tool takes that wall clock as the host's
// local time, or as UTC with --utc.

// "2024-05-01T12:30:04" (".37" after the seconds when `nsec` is not zero), a
// "Z" after it when `utc`; "2024-05-01" when `date_only`; "-" for
// DV_TIME_NONE.
std::string fat_time(int64_t wall, bool utc, int32_t nsec = 0, bool date_only = false);
// The host time a wall clock stands for. A local time in the hour repeated
// when clocks go back is the second of the two instants (as mtools and 7-Zip
// read it); one in the hour they skip going forward is read with the offset
// before the change (02:30 becomes 03:30 summer time). False for DV_TIME_NONE
// or a time the host cannot hold.
bool host_time(int64_t wall, bool utc, time_t &out);
// The wall clock of host time `t`, as seconds read as UTC.
int64_t wall_clock(time_t t, bool utc);

// exFAT records may carry a UTC offset per time (dv_entry.utc_offset): with
// it (bit 7 set) the 64-bit time is true UTC, without it the wall clock as
// on FAT. FAT records, which carry no 8.3 name only on exFAT, never have one.
inline bool exfat_record(const dv_entry &e) {
    return e.shortname[0] == '\0';
}
// The offset of a UTC-offset byte with bit 7 set, in minutes (bits 0-6 are a
// signed count of quarter hours).
int offset_minutes(uint8_t off);
// "+09:00", "-05:00"; "" without an offset.
std::string offset_text(uint8_t off);
// A time as listings show it: a wall clock (no offset) as fat_time does; a
// true UTC time in the host's zone, or with "Z" in UTC with --utc.
std::string listing_time(int64_t t, uint8_t off, int32_t nsec = 0, bool date_only = false);
// A time as recorded: a wall clock as listing_time; a true UTC time as the
// writer's clock showed it, its offset after it ("2024-05-01T18:00:00+09:00").
std::string recorded_time(int64_t t, uint8_t off, int32_t nsec = 0, bool date_only = false);
// The host time of a record's time: host_time for a wall clock, the time
// itself when it is true UTC.
bool entry_host_time(int64_t t, uint8_t off, bool utc, time_t &out);

// "1.5 MiB" style.
std::string human_size(uint64_t bytes);

// A byte count: digits with an optional binary suffix K, M, G or T (also k, KiB, ...) or B.
// False when malformed or past 64 bits.
bool parse_size(std::string_view text, uint64_t &out);
// As ls -h shows sizes: "512", "1.0K", "23M" (rounded up, powers of 1024).
std::string human_size_ls(uint64_t bytes);

} // namespace dvcli

#endif
