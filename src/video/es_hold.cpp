// Holding an access unit back until its first slice says whether the output starts at
// it, and the parameter sets kept for a start unit that carries none.
#include <cstring>

#include "core/stream.h"
#include "video/es_output.h"

void es_hold_append(es_hold& h, const void* data, uint32_t n) {
    if (h.overflow) return;
    if (n > es_hold_capacity - h.size) {
        h.overflow = 1;
        return;
    }
    memcpy(h.data + h.size, data, n);
    h.size += n;
}

uint32_t es_nal_next(const es_hold& h, uint32_t at, uint32_t& end) {
    const uint8_t* d = h.data;
    uint32_t k = at + 1;
    while (k + 2 < h.size && !(d[k] == 0 && d[k + 1] == 0 && d[k + 2] == 1)) ++k;
    if (k + 2 >= h.size) {
        end = h.size;
        return h.size;
    }
    end = k;
    while (end > at + 1 && d[end - 1] == 0) --end;
    return k + 3;
}

uint32_t es_unescape(const uint8_t* p, uint32_t avail, uint8_t* out, uint32_t n) {
    uint32_t w = 0, zeros = 0;
    for (uint32_t k = 0; k < avail && w < n; ++k) {
        if (zeros >= 2 && p[k] == 3) {
            zeros = 0;
            continue;
        }
        zeros = p[k] == 0 ? zeros + 1 : 0;
        out[w++] = p[k];
    }
    return w;
}

void es_keep_parameter_set(es_parameter_set& ps, const uint8_t* p, uint32_t n) {
    if (n > es_parameter_capacity) return;
    memcpy(ps.data, p, n);
    ps.size = n;
}

void es_write_held(stream_call& sc, const es_call& o, const es_hold& h, uint32_t insert_at,
                   const es_parameter_set* const* sets, uint32_t set_count) {
    static constexpr uint8_t start_code[4] = {0x00, 0x00, 0x00, 0x01};
    if (insert_at > 0) {
        es_insert(sc, o, start_code, 4);
        es_insert(sc, o, h.data, insert_at);
    }
    for (uint32_t k = 0; k < set_count; ++k) {
        if (sets[k]->size == 0) continue;
        es_insert(sc, o, start_code, 4);
        es_insert(sc, o, sets[k]->data, sets[k]->size);
    }
    if (insert_at == 0) es_insert(sc, o, start_code, 4);
    es_insert(sc, o, h.data + insert_at, h.size - insert_at);
}

uint32_t es_read_ue(const uint8_t* p, uint32_t n, uint32_t& pos) {
    const auto bit = [&](uint32_t at) -> uint32_t { return at / 8 < n ? (p[at / 8] >> (7 - at % 8)) & 1 : 0; };
    uint32_t zeros = 0;
    while (bit(pos) == 0) {
        ++pos;
        if (++zeros > 31) return ~uint32_t{0};
    }
    ++pos;
    uint32_t v = 0;
    for (uint32_t k = 0; k < zeros; ++k) v = v << 1 | bit(pos++);
    return (uint32_t{1} << zeros) - 1 + v;
}
