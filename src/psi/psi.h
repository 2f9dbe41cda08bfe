// Program tables: the PAT on PID 0 and the PMT of the chosen program, which together
// resolve the requested program and stream numbers to the chosen streams; the section
// reader that they and the PSIP collectors frame their sections with; and option l.
#pragma once

#include <cstdint>
#include <cstdio>
#include "psi/stream_types.h"

struct context;

constexpr uint32_t psi_body_capacity = 1024;

// Frames long-form sections in the payload of one PID: the pointer_field of a unit start,
// the gap before the section, the 3-byte head (table_id, section_length), the fixed bytes
// after section_length, the body. The table's own parser acts on what each step met and
// keeps the body. The owner keeps the unit-start flag (set by its unit-start entry, which
// the transport layer calls) and passes it to section_read.
//
// By the transport syntax, the first payload byte of a unit-start packet is always the
// pointer_field, whatever the reader is doing: the section in progress may take at most
// that many bytes more, and the next section starts after them. A section that would need
// more (packets were lost) is dropped there; bytes left after one that needed fewer are
// skipped.
struct section_reader {
    uint32_t pointer_skip = 0;         // bytes before the section the last pointer_field announced
    uint32_t start_armed = 0;          // that section has not begun yet
    uint32_t head_countdown = 0;       // table_id and the two section_length bytes
    uint32_t extension_countdown = 0;  // fixed bytes after section_length still to read
    uint32_t fixed_bytes = 0;          // how many the owner accepted the section with
    uint32_t collecting = 0;           // the body is being read
    uint16_t section_remaining = 0;    // section bytes after section_length not yet taken
    uint8_t table_id = 0;
    uint8_t version = 0;               // version_number, 5 bits
    uint8_t section_number = 0;
    uint8_t last_section_number = 0;
};

enum class section_event : uint8_t {
    none,      // pointer_field, pointer gap, stuffing, bytes of an ignored section
    table_id,  // reader.table_id was read
    length,    // section_length is in section_remaining: accept with section_accept
    field,     // a fixed byte after section_length; extension_countdown (after it) says which
    body,      // `taken` body bytes
};

struct section_step {
    uint32_t taken = 1;
    section_event event = section_event::none;
    bool dropped = false;  // the section in progress was cut short by the next one (lost packets)
};

// One step over the payload run at `data` (`available` bytes, at least 1): one byte of the
// head or the fixed fields, or a run of body, gap or ignored bytes. After acting on the
// step the owner asks section_ended whether the section is complete.
section_step section_read(section_reader& r, uint32_t& pointer_pending, const uint8_t* data, uint32_t available);

// At the length event: read the section with `fixed_bytes` bytes before its body (the
// first five are table_id_extension, version, section_number and last_section_number,
// which the reader records). A section too short for them is ignored; returns whether
// it is read.
bool section_accept(section_reader& r, uint16_t fixed_bytes);

// The rest of the section is skipped up to the next pointer_field.
void section_ignore(section_reader& r);

// True once, when the section's last byte has been taken.
bool section_ended(section_reader& r);

// A whole section gathered from its table_id to its CRC_32, through the section reader,
// for the tables that are decoded only once complete and intact (PAT, PMT).
constexpr uint32_t psi_section_capacity = 1024;  // 3 head bytes and at most 1021 more

struct section_gatherer {
    uint32_t pointer_pending = 0;  // the next payload byte is a pointer_field
    section_reader reader;
    uint32_t have = 0;             // bytes of the section so far, head included
    uint32_t need = 0;             // the whole section's bytes, once its head is read
    uint32_t crc_matched = 0;      // a section on this PID had a CRC_32 that matched
    uint32_t damaged = 0;          // sections dropped for a CRC_32 that did not match
    uint8_t data[psi_section_capacity] = {};
};

// One step of the section reader over the run at `data` (at least 1 byte); returns the
// bytes taken. A section over 1021 bytes is reported on `report` as "<table> Section
// length = N" (no line with a null report) and passed over, as is one too short for its
// `fixed_bytes`. `complete` is set once `data` holds a whole section.
uint32_t gather_section(section_gatherer& g, const uint8_t* data, uint32_t available, uint16_t fixed_bytes,
                        FILE* report, const char* table, bool& complete);

// Whether a whole section's CRC_32 (its last four bytes) matches its bytes.
bool section_crc_ok(const uint8_t* section, uint32_t size);

// What the complete section in `g` must be to be used: long enough for its fixed fields
// and CRC_32, with the table_id, current (a section whose current_next_indicator is 0
// describes a table not yet in force), and with a CRC_32 that matches: a damaged copy is
// dropped and counted. Some muxers write no valid CRC_32 at all: until one has matched on
// a PID, its sections are used all the same; from then on a copy whose CRC_32 fails is
// damage.
bool section_usable(section_gatherer& g, uint8_t table_id, uint32_t fixed_bytes);

inline uint16_t psi_be16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }

struct pat_parser {
    section_gatherer g;
    uint32_t entries = 0;        // programs of the table so far
    uint16_t program[256] = {};  // program_number, PMT PID of each
    uint16_t pmt_pid[256] = {};
    uint32_t print_pending = 1;
};

// ---- What a PMT entry is, from its stream_type and its descriptors. ----

// What the program descriptor loop says about every stream of the program.
struct program_facts {
    bool hdmv = false;    // HDMV input: option h, or a registration HDMV or HDPR
    uint32_t registration = 0;  // format_identifier of the first registration, 0 = none
};

// A stream as kavel counts and handles it. `undecided`: a 0x06 audio stream without a
// descriptor that names its format; the PES layer picks its handler from its first bytes
// (`handler` is then raw, kept when those bytes show no known frames).
struct stream_resolution {
    stream_kind kind = stream_kind::none;
    stream_handler handler = stream_handler::raw;
    bool mpeg_audio_ids = false;
    uint8_t count_round = 0;  // see stream_type_row
    bool undecided = false;
    const char* codec = "";  // in words, for the listing
};

// One PMT section decoded, its streams numbered as kavel counts them: video and audio each
// from 1, the types counted first in PMT order, then those counted late. Pointers are into
// the section, valid as long as it is.
constexpr uint32_t max_pmt_entries = 204;  // 5 bytes each in at most 1021

struct pmt_entry {
    uint8_t type = 0;
    uint16_t pid = 0;
    const uint8_t* descriptors = nullptr;
    uint32_t length = 0;
    stream_resolution what;
    int32_t number = 0;  // 0: not counted
    char language[4] = {};
};

struct program_map {
    uint16_t program_number = 0;
    uint8_t version = 0;
    uint16_t pcr_pid = 0;
    const uint8_t* info = nullptr;  // the program descriptors
    uint32_t info_length = 0;
    program_facts facts;
    uint32_t count = 0;
    pmt_entry entries[max_pmt_entries];
};

// Decodes a usable PMT section of `size` bytes (see section_usable).
void decode_pmt(const uint8_t* section, uint32_t size, bool hdmv_option, program_map& m);

struct pmt_parser {
    section_gatherer g;
    uint32_t print_pending = 1;
    program_map map;       // scratch for the section being applied
};

// A payload unit starts on PID 0 or on the PMT's PID: the next payload byte is a
// pointer_field.
void pat_unit_start(context& ctx);
void pmt_unit_start(context& ctx);

// Payload consumers: offered `available` bytes at `data`, they return how many they took.
uint32_t feed_pat(context& ctx, uint8_t* data, uint32_t available);
uint32_t feed_pmt(context& ctx, uint8_t* data, uint32_t available);

// Applies a usable PMT section of the program to the chosen streams: makes the records of
// the streams asked for that it names, follows those that moved or changed type. Marks in
// `chosen` (one flag per entry of `m`) the entries that are chosen streams.
void choose_streams(context& ctx, const program_map& m, bool* chosen);

// Makes the record of a chosen stream (the `number`th of its kind) from its PMT entry:
// its handler made, its output attached, its PID routed to it. Null when the PID is
// another chosen stream's or there is no room.
struct chosen_stream;
chosen_stream* add_chosen_stream(context& ctx, stream_kind kind, int32_t number, const pmt_entry& e);

program_facts read_program_facts(const uint8_t* descriptors, uint32_t length, bool hdmv_option);
stream_resolution resolve_stream(uint8_t stream_type, const uint8_t* descriptors, uint32_t length,
                                 const program_facts& program);

// The format_identifier of a registration descriptor (tag 0x05) at `d` (tag, length,
// data), 0 for any other descriptor or one too short.
uint32_t registration_of(const uint8_t* d);

// Calls `f(tag, data, length)` for each descriptor of the loop of `length` bytes at `d`
// that lies whole in it.
template <class F>
void each_descriptor(const uint8_t* d, uint32_t length, F f) {
    uint32_t k = 0;
    while (k + 2 <= length && k + 2 + d[k + 1] <= length) {
        f(d[k], d + k + 2, uint32_t(d[k + 1]));
        k += 2 + d[k + 1];
    }
}

// What the first bytes of an audio stream say of its handler: `told`, the handler of the
// sync word they begin with (0B 77 the AC-3 family, an ADTS, MPEG audio or LATM syncword,
// 7F FE 80 01 a DTS core, 64 58 20 25 a DTS extension substream); `more` while more
// bytes are needed to tell; `none` when they begin no sync word kavel knows. `bytes`
// holds `count` of them.
enum class start_verdict : uint8_t { more, told, none };
start_verdict audio_handler_from_start(const uint8_t* bytes, uint32_t count, stream_handler& handler);

// ---- Option l: the programs of the first complete PAT, each PMT's streams with the
// numbers that choose them. Reading stops once every PMT the PAT lists has been read. ----

constexpr uint32_t listing_program_capacity = 256;   // one PAT section lists at most 253

// One PID's sections, gathered until the one asked for is complete and usable.
struct listing_section {
    uint16_t pid = 0;
    uint16_t program = 0;
    uint32_t done = 0;  // a complete section of the table and program asked for is kept
    section_gatherer g;
};

struct program_listing {
    int32_t only_program = -1;  // the program asked for, -1 for every one
    bool hdmv_input = false;
    bool complete = false;
    listing_section pat;
    uint32_t programs = 0;
    uint32_t pending = 0;  // PMTs still to read
    listing_section pmts[listing_program_capacity];
    program_map map;  // the PMT being printed
};

// Brings a listing into its starting state.
void listing_init(program_listing& l, int32_t only_program, bool hdmv_input);
// A unit start on `pid`, and payload bytes of it; the payload is always taken whole.
void listing_unit_start(program_listing& l, uint16_t pid);
uint32_t feed_listing(program_listing& l, uint16_t pid, const uint8_t* data, uint32_t available);
// Prints what was read to `out`; returns false when the program asked for is not in the PAT.
bool print_listing(program_listing& l, FILE* out);
