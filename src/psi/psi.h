// Program tables: the PAT on PID 0 and the PMT of the chosen program, which together
// resolve the requested program and stream numbers to PIDs and stream types.
#pragma once

#include <cstdint>

struct context;

constexpr uint32_t psi_body_capacity = 1024;

struct pat_parser {
    uint32_t pat_pointer_pending = 0;  // next payload byte is a pointer_field
    uint32_t pointer_skip = 0;
    uint32_t head_countdown = 0;       // table_id and the two section_length bytes
    uint32_t extension_countdown = 0;  // the five bytes after section_length
    uint32_t collecting = 0;
    uint16_t section_remaining = 0;
    uint8_t section_number = 0;
    uint8_t last_section_number = 0;
    uint8_t body[psi_body_capacity] = {};
    uint32_t stored = 0;
    uint32_t print_pending = 1;
};

struct pmt_parser {
    uint32_t pmt_pointer_pending = 0;
    uint32_t pointer_skip = 0;
    uint32_t head_countdown = 0;
    uint32_t extension_countdown = 0;  // the nine bytes after section_length
    uint16_t program_info_remaining = 0;
    uint32_t descriptor_header_countdown = 0;
    uint32_t descriptor_remaining = 0;
    uint32_t collecting = 0;
    uint16_t section_remaining = 0;
    uint8_t section_number = 0;
    uint8_t last_section_number = 0;
    uint8_t body[psi_body_capacity] = {};
    uint32_t stored = 0;
    uint32_t print_pending = 1;
};

// Payload consumers: offered `available` bytes at `data`, they return how many they took.
uint32_t feed_pat(context& ctx, uint8_t* data, uint32_t available);
uint32_t feed_pmt(context& ctx, uint8_t* data, uint32_t available);
