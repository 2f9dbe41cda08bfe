// ATSC PSIP inspection (option g): sections of the base PID 0x1FFB and of the PIDs that
// the MGT announces are collected per PID, and complete MGT, TVCT and EIT tables are
// printed field by field, each once per version.
#pragma once

#include <cstdint>

#include "psi/psi.h"

struct context;

constexpr uint32_t psip_data_capacity = 4098;

// The table_ids of the tables that are printed.
namespace psip_table_id {
constexpr uint8_t mgt = 0xC7;
constexpr uint8_t tvct = 0xC8;
constexpr uint8_t eit = 0xCB;
}  // namespace psip_table_id

// Section assembly of one PID. Created all zero (the MGT printer gives a PID a fresh one
// each time it announces it), owned by psip_routing.
struct section_collector {
    uint32_t pointer_pending;  // next payload byte is a pointer_field; set on unit starts with g
    section_reader reader;
    uint32_t stored;           // bytes held in data
    uint32_t read_position;    // the printer's cursor into data
    uint8_t joined_table_id;   // table_id of the sections collected so far
    uint8_t next_section;      // section_number that may be joined on next; 0: none
    uint8_t data[psip_data_capacity];  // bodies after protocol_version, CRC_32 included
};

// Version registers. The current ones hold the version_number of the last section head of
// each kind that any collector read; the seen ones what was printed last (0xFF: nothing,
// which no 5-bit version equals).
struct psip_state {
    uint8_t mgt_version = 0;
    uint8_t tvct_version = 0;
    uint8_t eit_version = 0;
    uint8_t mgt_version_seen = 0xFF;
    uint8_t tvct_version_seen = 0xFF;
    uint8_t eit_version_seen[4] = {0xFF, 0xFF, 0xFF, 0xFF};  // per EIT index
};

// Gives `pid` a fresh collector in place of the one it had. Returns false, leaving the
// old one (or none), when it cannot be allocated.
bool psip_new_collector(context& ctx, uint16_t pid);

// Frees the collector of `pid` (if any), which is no longer collected.
void psip_release_collector(context& ctx, uint16_t pid);

// A payload unit starts on `pid`, one of the routed PSIP PIDs: with option g its next
// payload byte is a pointer_field.
void collector_unit_start(context& ctx, uint16_t pid);

// Payload consumer for the routed PSIP PIDs; without a collector the bytes are taken
// without effect.
uint32_t feed_collector(context& ctx, uint16_t pid, uint8_t* data, uint32_t available);

// Prints the table that the collector of `pid` has just completed (MGT, TVCT or EIT), if
// its version was not printed yet.
void psip_print_table(context& ctx, uint16_t pid);
