// Program tables: the PAT on PID 0 and the PMT of the chosen program, which together
// resolve the requested program and stream numbers to PIDs and stream types; and the
// section reader that they and the PSIP collectors frame their sections with.
#pragma once

#include <cstdint>

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

struct pmt_parser {
    uint32_t pmt_pointer_pending = 0;
    section_reader reader;
    uint16_t program_info_remaining = 0;
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
