// Input: the stream as the demultiplexer takes it, in blocks of read_block_size bytes,
// from a file, from standard input (`-`), or from the parts of a split recording named
// one after another with '+' (00001.ts+00002.ts) and read as one stream.
#pragma once

#include <cstdint>

constexpr uint32_t input_max_parts = 256;

struct input_part {
    int fd = -1;
    uint64_t size = 0;       // of a regular file; 0 when unknown (a pipe)
    bool regular = false;
    uint64_t skip = 0;       // leading bytes that repeat the end of the part before
    uint32_t repeated_packets = 0;
};

struct input_source {
    char* names = nullptr;   // the argument, cut at each '+'
    const char* part_names[input_max_parts] = {};
    input_part parts[input_max_parts];
    uint32_t part_count = 0;
    uint32_t part = 0;       // the part being read
    uint64_t total_size = 0; // sum of the parts' sizes; 0 when one of them is unknown
    uint64_t given = 0;      // bytes handed out so far, the skipped repeats included

    // The part being read: a mapping of the whole file, or the read buffer.
    uint8_t* data = nullptr;
    uint64_t position = 0;   // next byte to hand out
    uint64_t end = 0;        // bytes present in `data`
    bool mapped = false;
    bool at_end = false;     // `end` is the part's end
    uint64_t released = 0;   // mapped bytes up to here have been given back
    uint64_t populated = 0;  // mapped bytes up to here have had their pages mapped in
    uint8_t* buffer = nullptr;

    // Set when a part that repeats packets of the one before has just begun; the reader
    // reports it and clears it.
    uint32_t joined_part = 0;
    bool failed = false;     // a read error
};

// Opens the input that the argument names: `-` is standard input (an error when it is a
// terminal, which would only wait for typing); a name that exists is that file; otherwise
// a name with '+' in it names parts, each of which must open. Returns false when
// something cannot be opened; *bad_name then names it.
bool input_open(input_source& in, const char* argument, const char** bad_name);

// The next block: false at the end of the input, or after a read error (in.failed).
bool input_next(input_source& in, uint8_t** block, uint32_t* length);

void input_close(input_source& in);

// The bytes at the start of `head` that repeat the end of `tail`: the longest run of whole
// packets (188, 192 or 204 bytes) starting at a packet start, as a part of a split
// recording may begin. Returns the byte count and sets *packets.
uint64_t repeated_prefix(const uint8_t* tail, uint64_t tail_length, const uint8_t* head, uint64_t head_length,
                         uint32_t* packets);
