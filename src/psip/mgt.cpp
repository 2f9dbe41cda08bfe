// Master Guide Table (table_id 0xC7): the list of the PSIP tables in the stream, with the
// PID, version and size of each. Besides printing it, the MGT steers the collection: the
// PIDs of the channel ETT, EIT-0 to EIT-3 and ETT-0 to ETT-3 join the PSIP routing, each with
// a fresh collector, and remember their table_type (an EIT's index is its low two bits).
#include "psip/table_reader.h"

namespace {

// The routing slot that a table_type fills, or -1 for types not followed.
int slot_of(uint32_t table_type) {
    if (table_type == 0x0004) return 0;                                  // channel ETT
    if (table_type >= 0x0100 && table_type <= 0x0103) return int(table_type - 0x0100) + 1;  // EIT-0..3
    if (table_type >= 0x0200 && table_type <= 0x0203) return int(table_type - 0x0200) + 5;  // ETT-0..3
    return -1;
}

// Whether `pid` is the base PID or one that the MGTs announce now.
bool announced(const context& ctx, uint16_t pid) {
    if (pid == psip_routing::base) return true;
    for (uint16_t p : ctx.psip_routes.slot)
        if (p == pid) return true;
    return false;
}

// Follows the table on `type_pid`. The collector of the PID being printed is in use, so
// its replacement waits (*replace_own) until the print is over. A PID that the slot held
// before and that no slot holds any longer is no longer collected: its collector goes, so
// that MGTs announcing ever new PIDs cannot pile up a collector on every PID.
void follow(context& ctx, uint16_t pid, uint32_t table_type, uint16_t type_pid, bool* replace_own) {
    const int slot = slot_of(table_type);
    if (slot < 0) return;
    const uint16_t before = ctx.psip_routes.slot[slot];
    ctx.psip_routes.slot[slot] = type_pid;
    ctx.psip_routes.table_type[type_pid] = uint16_t(table_type);
    if (type_pid == pid)
        *replace_own = true;
    else
        psip_new_collector(ctx, type_pid);  // if it cannot be had, the old one stays
    if (before != no_pid && before != pid && !announced(ctx, before)) psip_release_collector(ctx, before);
}

// One entry of the table loop; false when the table is cut short.
bool print_entry(context& ctx, uint16_t pid, psip::table_cursor& t, bool* replace_own) {
    FILE* out = ctx.report;
    uint32_t type, type_pid, version, size, descriptors;
    if (!t.read(2, type)) return false;
    fprintf(out, "MGT table type = 0x%04x\n", type);
    if (!t.read(2, type_pid)) return false;
    type_pid &= 0x1FFF;
    fprintf(out, "MGT table type pid = 0x%04x\n", type_pid);
    follow(ctx, pid, type, uint16_t(type_pid), replace_own);
    if (!t.read(1, version)) return false;
    fprintf(out, "MGT table type version = 0x%02x\n", version & 0x1F);
    if (!t.read(4, size)) return false;
    fprintf(out, "MGT table bytes = 0x%08x\n", size);
    if (!t.read(2, descriptors)) return false;
    descriptors &= 0x0FFF;
    fprintf(out, "MGT table desc bytes = 0x%04x\n\n", descriptors);
    return t.skip(descriptors);
}

void print_fields(context& ctx, uint16_t pid, psip::table_cursor& t, bool* replace_own) {
    FILE* out = ctx.report;
    uint32_t tables;
    if (!t.read(2, tables)) return;
    fprintf(out, "MGT tables defined = %d\n\n", tables);
    for (uint32_t i = 0; i < tables; ++i)
        if (!print_entry(ctx, pid, t, replace_own)) return;
    psip::print_closing(out, t, "MGT", "desc bytes", 0x0FFF);
}

}  // namespace

namespace psip {

void print_mgt(context& ctx, uint16_t pid, section_collector& c) {
    psip_state& s = ctx.psip;
    if (s.mgt_version == s.mgt_version_seen) return;
    s.mgt_version_seen = s.mgt_version;
    c.read_position = 0;
    table_cursor t{c};
    bool replace_own = false;
    print_fields(ctx, pid, t, &replace_own);
    if (replace_own)
        psip_new_collector(ctx, pid);
    else if (!announced(ctx, pid))
        psip_release_collector(ctx, pid);  // an MGT that moved its own PID's table away
}

}  // namespace psip
