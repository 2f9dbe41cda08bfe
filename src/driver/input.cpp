// Input: files mapped and handed out block by block, pipes read in large requests, parts
// of a split recording joined with their repeated packets left out.
//
// A regular file is mapped whole: its blocks are handed out where they lie in the page
// cache, with no copy into a read block (the handlers may write into a block; the
// mapping is private, so that touches no file). What has been handed out is given back
// every few MiB, so that the memory in use stays small however large the file. Mapping
// measured faster than reading in large requests (the kernel maps pages in batches
// rather than copying them). The pages are mapped in a few MiB ahead of the reads, one
// call per 2 MiB, rather than by a page fault per 64 KiB as the reads reach them: a
// twentieth less time for a parse-only run. A pipe, or a file that cannot be mapped, is
// read in requests of up to 1 MiB: a system call per 64 blocks from such a file, one per
// pipeful from a pipe, rather than one per block.
//
// Recorders that split a recording into parts may start a part with the last packets of
// the part before. The join is looked at once, at the start, from both files' bytes as
// stored: the repeated packets at the start of the later part are never handed out, so
// that neither a continuity error nor a frame twice follows from them.
#include "driver/input.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "driver/driver.h"

namespace {

constexpr uint64_t read_request = 1 << 20;
// Pages of a mapped file already parsed are given back every 2 MiB, and pages ahead are
// mapped in 512 KiB at a time, 1 MiB ahead of the reads (further ahead is no faster
// here): the run's resident memory stays a few MiB whatever the file's size.
constexpr uint64_t release_step = 2 << 20;
constexpr uint64_t populate_step = 512 << 10;
constexpr uint64_t populate_ahead = 1 << 20;
// How far back a repeat may reach: a few hundred packets of the largest size.
constexpr uint64_t repeat_window = 512 * 204;
constexpr uint32_t unit_sizes[] = {188, 192, 204};

bool open_file(input_part& p, const char* name) {
    p.fd = open(name, O_RDONLY);
    if (p.fd < 0) return false;
    struct stat st;
    p.regular = fstat(p.fd, &st) == 0 && S_ISREG(st.st_mode);
    p.size = p.regular ? uint64_t(st.st_size) : 0;
    return true;
}

bool read_at(int fd, uint8_t* to, uint64_t length, uint64_t offset) {
    while (length > 0) {
        const ssize_t got = pread(fd, to, length, off_t(offset));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        to += got;
        length -= uint64_t(got);
        offset += uint64_t(got);
    }
    return true;
}

// The repeat at the join of two regular files, read from both as stored.
void find_repeat(const input_part& before, input_part& after) {
    const uint64_t tail_length = before.size < repeat_window ? before.size : repeat_window;
    const uint64_t head_length = after.size < repeat_window ? after.size : repeat_window;
    if (tail_length == 0 || head_length == 0) return;
    auto* tail = static_cast<uint8_t*>(std::malloc(tail_length + head_length));
    if (!tail) return;
    uint8_t* head = tail + tail_length;
    if (read_at(before.fd, tail, tail_length, before.size - tail_length) && read_at(after.fd, head, head_length, 0))
        after.skip = repeated_prefix(tail, tail_length, head, head_length, &after.repeated_packets);
    std::free(tail);
}

// Maps in the pages of the mapped part up to `populate_ahead` bytes past the position, a
// step at a time. Where the kernel knows no such request it fails, and the pages come by
// page faults as before.
void populate(input_source& in) {
#ifdef MADV_POPULATE_READ
    const uint64_t size = in.parts[in.part].size;
    while (in.populated < size && in.populated < in.position + populate_ahead) {
        const uint64_t length = size - in.populated < populate_step ? size - in.populated : populate_step;
        madvise(in.data + in.populated, length, MADV_POPULATE_READ);
        in.populated += length;
    }
#else
    (void)in;
#endif
}

// Makes the current part's bytes ready: mapped, or the read buffer set up.
void start_part(input_source& in) {
    input_part& p = in.parts[in.part];
    in.position = 0;
    in.end = 0;
    in.released = 0;
    in.populated = 0;
    in.at_end = false;
    in.mapped = false;
    if (p.regular && p.size > 0) {
        void* map = mmap(nullptr, p.size, PROT_READ | PROT_WRITE, MAP_PRIVATE, p.fd, 0);
        if (map != MAP_FAILED) {
            madvise(map, p.size, MADV_SEQUENTIAL);
            in.data = static_cast<uint8_t*>(map);
            in.end = p.size;
            in.at_end = true;
            in.mapped = true;
            in.position = p.skip;
            in.populated = p.skip & ~(populate_step - 1);
        }
    }
    if (!in.mapped) {
        in.data = in.buffer;
        if (p.skip > 0 && lseek(p.fd, off_t(p.skip), SEEK_SET) < 0) in.failed = true;
    }
    in.given += p.skip;
    if (p.skip > 0) in.joined_part = in.part + 1;
}

void end_part(input_source& in) {
    if (in.mapped) munmap(in.data, in.parts[in.part].size);
    in.mapped = false;
    close(in.parts[in.part].fd);
    in.parts[in.part].fd = -1;
}

// Reads on at least to a whole block (or the end), keeping the part of a block left over:
// one request of up to 1 MiB takes whatever a pipe holds, and its blocks are handed on at
// once, so that the writer fills the pipe again while they are parsed.
void fill(input_source& in) {
    const uint64_t left = in.end - in.position;
    std::memmove(in.buffer, in.buffer + in.position, left);
    in.position = 0;
    in.end = left;
    const int fd = in.parts[in.part].fd;
    while (in.end < read_block_size) {
        const ssize_t got = read(fd, in.buffer + in.end, read_request - in.end);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            in.failed = true;
            return;
        }
        if (got == 0) {
            in.at_end = true;
            return;
        }
        in.end += uint64_t(got);
    }
}

}  // namespace

uint64_t repeated_prefix(const uint8_t* tail, uint64_t tail_length, const uint8_t* head, uint64_t head_length,
                         uint32_t* packets) {
    const uint64_t most = tail_length < head_length ? tail_length : head_length;
    uint64_t best = 0;
    *packets = 0;
    for (const uint32_t size : unit_sizes) {
        const uint32_t sync_at = size == 192 ? 4 : 0;
        if (head_length <= sync_at || head[sync_at] != 0x47) continue;
        for (uint64_t count = most / size; count > 0 && count * size > best; --count) {
            const uint64_t length = count * size;
            if (std::memcmp(tail + tail_length - length, head, length) == 0) {
                best = length;
                *packets = uint32_t(count);
                break;
            }
        }
    }
    return best;
}

bool input_open(input_source& in, const char* argument, const char** bad_name) {
    *bad_name = argument;
    in.buffer = static_cast<uint8_t*>(std::malloc(read_request));
    if (!in.buffer) return false;
    input_part& first = in.parts[0];
    in.part_names[0] = argument;
    in.part_count = 1;
    if (std::strcmp(argument, "-") == 0) {
        if (isatty(0)) return false;
        first.fd = 0;
    } else if (!open_file(first, argument)) {
        // Not a file of that name: parts joined by '+', when there is one.
        if (errno != ENOENT || !std::strchr(argument, '+')) return false;
        in.names = strdup(argument);
        if (!in.names) return false;
        in.part_count = 0;
        for (char* name = in.names; name && in.part_count < input_max_parts;) {
            char* plus = std::strchr(name, '+');
            if (plus) *plus = '\0';
            in.part_names[in.part_count] = name;
            if (!open_file(in.parts[in.part_count], name)) {
                *bad_name = name;
                return false;
            }
            ++in.part_count;
            name = plus ? plus + 1 : nullptr;
        }
    }
    bool sizes_known = true;
    for (uint32_t i = 0; i < in.part_count; ++i) {
        sizes_known = sizes_known && in.parts[i].regular;
        in.total_size += in.parts[i].size;
        if (i > 0 && in.parts[i - 1].regular && in.parts[i].regular) find_repeat(in.parts[i - 1], in.parts[i]);
    }
    if (!sizes_known) in.total_size = 0;
    start_part(in);
    return true;
}

bool input_next(input_source& in, uint8_t** block, uint32_t* length) {
    while (!in.failed) {
        if (!in.at_end && in.end - in.position < read_block_size) {
            fill(in);
            continue;
        }
        if (in.position == in.end) {
            end_part(in);
            if (in.part + 1 >= in.part_count) return false;
            in.part += 1;
            start_part(in);
            continue;
        }
        const uint64_t left = in.end - in.position;
        const uint32_t n = left < read_block_size ? uint32_t(left) : read_block_size;
        if (in.mapped) populate(in);
        *block = in.data + in.position;
        *length = n;
        in.position += n;
        in.given += n;
        // The blocks before this one are done with: their pages go back.
        if (in.mapped && in.position - n - in.released >= release_step) {
            const uint64_t upto = (in.position - n) & ~uint64_t(release_step - 1);
            madvise(in.data + in.released, upto - in.released, MADV_DONTNEED);
            in.released = upto;
        }
        return true;
    }
    return false;
}

void input_close(input_source& in) {
    if (in.part < in.part_count && in.parts[in.part].fd >= 0) end_part(in);
    for (uint32_t i = 0; i < in.part_count; ++i)
        if (in.parts[i].fd > 0) close(in.parts[i].fd);
    std::free(in.buffer);
    std::free(in.names);
    in.buffer = nullptr;
    in.names = nullptr;
}
