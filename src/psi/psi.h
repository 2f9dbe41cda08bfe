// Program tables: the PAT on PID 0 and the PMT of the chosen program, which together
// resolve the requested program and stream numbers to PIDs and stream types; and the
// section reader that they and the PSIP collectors frame their sections with.
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

struct pat_parser {
    uint32_t pat_pointer_pending = 0;  // next payload byte is a pointer_field
    section_reader reader;
    uint8_t body[psi_body_capacity] = {};
    uint32_t stored = 0;
    uint32_t section_start = 0;        // `stored` where the current section's body began
    uint32_t print_pending = 1;
};

// Program descriptor bytes kept for what they say about the program's streams
// (registrations come first in practice; later ones past this are not looked at).
constexpr uint32_t program_info_capacity = 256;

struct pmt_parser {
    uint32_t pmt_pointer_pending = 0;
    section_reader reader;
    uint16_t program_info_remaining = 0;
    uint8_t program_info[program_info_capacity] = {};
    uint32_t program_info_stored = 0;
    uint32_t descriptor_header_countdown = 0;
    uint32_t descriptor_remaining = 0;
    uint8_t body[psi_body_capacity] = {};
    uint32_t stored = 0;
    uint32_t section_start = 0;
    uint32_t print_pending = 1;
};

// A payload unit starts on PID 0 or on the PMT's PID: the next payload byte is a
// pointer_field.
void pat_unit_start(context& ctx);
void pmt_unit_start(context& ctx);

// Payload consumers: offered `available` bytes at `data`, they return how many they took.
uint32_t feed_pat(context& ctx, uint8_t* data, uint32_t available);
uint32_t feed_pmt(context& ctx, uint8_t* data, uint32_t available);

// ---- What a PMT entry is, from its stream_type and its descriptors. ----

// What the program descriptor loop says about every stream of the program.
struct program_facts {
    bool hdmv = false;    // HDMV input: option h, or a registration HDMV or HDPR
    bool splice = false;  // a registration CUEI: 0x86 streams carry splice information
    uint32_t registration = 0;  // format_identifier of the first registration, 0 = none
};

// A stream as kavel counts and handles it. `undecided`: a 0x06 audio stream without a
// descriptor that names its format; the PES layer picks its handler from its first bytes
// (`handler` is then the AC-3 aligner, taken when those bytes match no format).
struct stream_resolution {
    stream_kind kind = stream_kind::none;
    stream_handler handler = stream_handler::raw;
    bool mpeg_audio_ids = false;
    bool counted_late = false;
    bool undecided = false;
    const char* codec = "";  // in words, for the listing
};

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

// The handler that the first bytes of an audio payload call for: 0B 77 the AC-3 family,
// 7F FE 80 01 DTS, an ADTS syncword, a LATM syncword; `bytes` holds `count` of them (1..4).
// Returns false while more bytes are needed to tell.
bool audio_handler_from_start(const uint8_t* bytes, uint32_t count, stream_handler& handler);

// ---- Option l: the programs of the first complete PAT, each PMT's streams with the
// numbers that choose them. Reading stops once every PMT the PAT lists has been read. ----

constexpr uint32_t listing_section_capacity = 1024;  // a section of at most 1021 bytes after its head
constexpr uint32_t listing_program_capacity = 256;   // one PAT section lists at most 253

// One section gathered whole on one PID, framed by the section reader.
struct listing_section {
    uint16_t pid = 0;
    uint16_t program = 0;
    uint32_t pointer_pending = 0;  // the next payload byte is a pointer_field
    section_reader reader;
    uint32_t have = 0;             // bytes of the section so far, head included
    uint32_t need = 0;             // the whole section's bytes, once its head is read
    uint32_t done = 0;             // a complete section of the table and program asked for is kept
    uint8_t data[listing_section_capacity] = {};
};

struct program_listing {
    int32_t only_program = -1;  // the program asked for, -1 for every one
    bool hdmv_input = false;
    bool complete = false;
    listing_section pat;
    uint32_t programs = 0;
    uint32_t pending = 0;  // PMTs still to read
    listing_section pmts[listing_program_capacity];
};

// Brings a listing into its starting state.
void listing_init(program_listing& l, int32_t only_program, bool hdmv_input);
// A unit start on `pid`, and payload bytes of it; the payload is always taken whole.
void listing_unit_start(program_listing& l, uint16_t pid);
uint32_t feed_listing(program_listing& l, uint16_t pid, const uint8_t* data, uint32_t available);
// Prints what was read to `out`; returns false when the program asked for is not in the PAT.
bool print_listing(const program_listing& l, FILE* out);
