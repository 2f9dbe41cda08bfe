#include "h264_units.h"

namespace kt {

bytes h264_aud(uint8_t primary_pic_type) { return {0x00, 0x00, 0x01, 0x09, uint8_t(primary_pic_type << 5 | 0x10)}; }

bytes h264_sps(uint8_t profile_idc, bool constraint_set3, uint8_t level_idc, uint8_t header) {
    return {0x00, 0x00, 0x01, header, profile_idc, uint8_t(constraint_set3 ? 0x10 : 0x00), level_idc, 0xAC, 0xD9};
}

bytes h264_slice(bool idr, uint32_t size) {
    bytes b = {0x00, 0x00, 0x01, uint8_t(idr ? 0x65 : 0x41)};
    for (uint32_t k = 0; k < size; ++k) b.push_back(uint8_t(0x88 + k % 0x70));
    return b;
}

bytes h264_access_unit(uint8_t primary_pic_type, uint32_t size) {
    return h264_aud(primary_pic_type) + h264_slice(primary_pic_type == 0, size);
}

bytes h264_end_unit(bool end_of_stream) { return {0x00, 0x00, 0x01, uint8_t(end_of_stream ? 0x0B : 0x0A)}; }

bytes h264_ends_as_filler(bytes es) {
    for (size_t at = 0; at + 3 < es.size(); ++at)
        if (es[at] == 0 && es[at + 1] == 0 && es[at + 2] == 1 && (es[at + 3] & 0xFE) == 0x0A) es[at + 3] = 0x0C;
    return es;
}

}  // namespace kt
