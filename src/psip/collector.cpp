// PSIP section collector: the payload of one PSIP PID into whole tables.
//
// The section reader frames the sections (after the 3-byte head come six fixed bytes:
// table_id_extension, version, section_number, last_section_number, protocol_version).
// The body, up to and including the CRC_32, goes into `data`; a table of several sections
// has their bodies joined in order. A section is joined on only when it has the table_id
// of the sections before it and the next section_number, so that one table's bytes are
// never read as another's; any other section but a section 0 drops what was collected,
// as does a section cut short by lost packets. When the last section of an MGT, TVCT or
// EIT completes, the table goes to the printer.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "core/context.h"

namespace {

constexpr uint16_t fixed_bytes = 6;

void forget_table(section_collector& c) {
    c.stored = 0;
    c.next_section = 0;
}

void record_version(psip_state& psip, const section_reader& r) {
    switch (r.table_id) {
    case psip_table_id::mgt: psip.mgt_version = r.version; break;
    case psip_table_id::tvct: psip.tvct_version = r.version; break;
    case psip_table_id::eit: psip.eit_version = r.version; break;
    default: break;  // other tables are not printed
    }
}

// At section_number: a section 0 starts a table; another joins only the table it continues.
void join_or_skip(section_collector& c) {
    section_reader& r = c.reader;
    if (r.section_number == 0) {
        c.stored = 0;
        c.joined_table_id = r.table_id;
    } else if (c.next_section == 0 || r.section_number != c.next_section || r.table_id != c.joined_table_id) {
        forget_table(c);
        section_ignore(r);
    }
}

void fixed_byte(context& ctx, section_collector& c) {
    switch (c.reader.extension_countdown) {
    case 3: record_version(ctx.psip, c.reader); break;
    case 2: join_or_skip(c); break;
    default: break;  // table_id_extension, last_section_number, protocol_version
    }
}

void store(section_collector& c, const uint8_t* data, uint32_t n) {
    const uint32_t kept = std::min(n, psip_data_capacity - c.stored);  // the excess is dropped
    std::memcpy(c.data + c.stored, data, kept);
    c.stored += kept;
}

// The collector may be replaced by the printer: nothing touches it afterwards.
void section_complete(context& ctx, uint16_t pid, section_collector& c) {
    const section_reader& r = c.reader;
    if (r.section_number != r.last_section_number) {
        c.next_section = uint8_t(r.section_number + 1);
        return;
    }
    c.next_section = 0;
    if (r.table_id == psip_table_id::mgt || r.table_id == psip_table_id::tvct || r.table_id == psip_table_id::eit)
        psip_print_table(ctx, pid);
}

}  // namespace

bool psip_new_collector(context& ctx, uint16_t pid) {
    void* fresh = std::malloc(sizeof(section_collector));
    if (!fresh) return false;
    std::memset(fresh, 0, sizeof(section_collector));
    std::free(ctx.psip_routes.collector[pid]);
    ctx.psip_routes.collector[pid] = static_cast<section_collector*>(fresh);
    return true;
}

void psip_release_collector(context& ctx, uint16_t pid) {
    std::free(ctx.psip_routes.collector[pid]);
    ctx.psip_routes.collector[pid] = nullptr;
}

void collector_unit_start(context& ctx, uint16_t pid) {
    // Without option g no PSIP section ever starts.
    section_collector* c = ctx.psip_routes.collector[pid];
    if (ctx.options.dump_psip && c) c->pointer_pending = 1;
}

uint32_t feed_collector(context& ctx, uint16_t pid, uint8_t* data, uint32_t available) {
    section_collector* c = ctx.psip_routes.collector[pid];
    if (!c) return available;
    section_reader& r = c->reader;
    const section_step s = section_read(r, c->pointer_pending, data, available);
    if (s.dropped) forget_table(*c);
    switch (s.event) {
    case section_event::length: section_accept(r, fixed_bytes); break;  // any length up to 4095
    case section_event::field: fixed_byte(ctx, *c); break;
    case section_event::body: store(*c, data, s.taken); break;
    default: break;  // any table_id is collected
    }
    if (section_ended(r)) section_complete(ctx, pid, *c);
    return s.taken;
}
