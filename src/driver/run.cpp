#include <stdio_ext.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <new>

#include "core/context.h"
#include "driver/driver.h"
#include "driver/input.h"

namespace {

// An output file that had a write error must not be reported as a success.
//
// The video handler cuts a sequence end code that straddles two payload runs by moving
// the file position back over the bytes of it already written, so that what follows
// overwrites them. When nothing follows (the end code closes the stream) those bytes
// would stay behind the real end; the file is cut at its position to drop them.
}  // namespace

bool close_output(FILE* f) {
    bool ok = fflush(f) == 0 && !ferror(f);
    const off_t end = ftello(f);
    struct stat st;
    if (end >= 0 && fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > end)
        ok = ftruncate(fileno(f), end) == 0 && ok;
    return fclose(f) == 0 && ok;
}

namespace {

// A program that no PAT listed, or a requested stream that its PMT did not have, would
// otherwise leave empty output files behind a run that looks successful. Returns false
// after saying which.
// After such a message: where to find the numbers to give.
void point_to_listing(FILE* err, const char* input_path) {
    fprintf(err, "The programs and the numbers of their streams: kavel -l %s\n", input_path);
}

bool stream_found(const context& ctx, stream_kind kind, int32_t number) {
    for (uint32_t k = 0; k < ctx.stream_count; ++k)
        if (ctx.streams[k].kind == kind && ctx.streams[k].number == number) return true;
    return false;
}

bool selection_found(const context& ctx, FILE* err, const char* input_path) {
    const stream_selection& s = ctx.selection;
    if (s.pmt_pid == no_pid) {
        fprintf(err, "Program %d not found\n", s.program_number);
        point_to_listing(err, input_path);
        return false;
    }
    bool found = true;
    if (s.video_index != 0 && !stream_found(ctx, stream_kind::video, s.video_index)) {
        fprintf(err, "Video stream %d not found in program %d\n", s.video_index, s.program_number);
        found = false;
    }
    for (uint32_t i = 0; i < s.audio_request_count && !s.audio_all; ++i) {
        const int32_t n = s.audio_request_count == 1 ? s.audio_index : s.audio_requests[i];
        if (n != 0 && !stream_found(ctx, stream_kind::audio, n)) {
            fprintf(err, "Audio stream %d not found in program %d\n", n, s.program_number);
            found = false;
        }
    }
    if (!found) point_to_listing(err, input_path);
    return found;
}

// Option l: reads until the PAT and every PMT it lists have been read, or to the end of
// the file, and lists them. Nothing else is reported and nothing is written.
int list_programs(context& ctx, input_source& input, const char* input_path) {
    auto* listing = static_cast<program_listing*>(std::calloc(1, sizeof(program_listing)));
    FILE* quiet = fopen("/dev/null", "w");
    if (!listing || !quiet || !demux_init(ctx)) {
        fprintf(stderr, "Cannot allocate memory\n");
        return -1;
    }
    listing_init(*listing, ctx.selection.program_number, ctx.options.hdmv_input);
    ctx.listing = listing;
    ctx.report = quiet;  // continuity and sync messages
    ctx.input_path = input_path;
    const bool read_ok = read_stream(ctx, input);
    int status = 0;
    bool listed;
    if (ctx.options.json_report) {
        print_json_listing(ctx, stdout);
        listed = listing->pat.done && (listing->only_program < 0 || listing->programs > 0);
    } else {
        listed = print_listing(*listing, stdout);
    }
    if (!listed) {
        if (ctx.selection.program_number < 0)
            fprintf(stderr, "No complete PAT found\n");
        else
            fprintf(stderr, "Program %d not found\n", ctx.selection.program_number);
        point_to_listing(stderr, input_path);
        status = -1;
    }
    if (!read_ok) {
        fprintf(stderr, "Error reading bitstream file <%s>\n", input_path);
        status = -1;
    }
    fflush(stdout);
    fclose(quiet);
    ctx.listing = nullptr;
    std::free(listing);
    return status;
}

// The banner's second line: the numbers as read. Several audio numbers are listed.
void print_request(const context& ctx) {
    const stream_selection& s = ctx.selection;
    FILE* out = ctx.report;
    fprintf(out, "program = %d, video channel = %d, audio channel = ", s.program_number, s.video_index);
    if (s.audio_all) {
        fprintf(out, "all\n");
        return;
    }
    if (s.audio_request_count <= 1) {
        fprintf(out, "%d\n", s.audio_index);
        return;
    }
    for (uint32_t i = 0; i < s.audio_request_count; ++i) fprintf(out, i ? ",%d" : "%d", s.audio_requests[i]);
    fprintf(out, "\n");
}

}  // namespace

bool read_stream(context& ctx, input_source& input) {
    progress_meter progress;
    progress_start(progress, ctx.options.list_programs ? 0 : input.total_size);
    uint8_t* block;
    uint32_t length;
    while (!(ctx.options.list_programs && ctx.listing->complete) && input_next(input, &block, &length)) {
        if (input.joined_part) {
            const uint32_t part = input.joined_part;
            fprintf(ctx.report, "Part %u repeats the last %u packets of part %u: skipped, at %d\n", part,
                    input.parts[part - 1].repeated_packets, part - 1, ctx.stats.packet_number);
            input.joined_part = 0;
        }
        demux_buffer(ctx, length, block);
        progress_update(progress, input.given);
    }
    progress_end(progress);
    demux_end(ctx);
    return !input.failed;
}

namespace {

const chosen_stream* video_stream(const context& ctx) {
    for (uint32_t k = 0; k < ctx.stream_count; ++k)
        if (ctx.streams[k].kind == stream_kind::video) return &ctx.streams[k];
    return nullptr;
}

// Where a stream's time stamps end: its largest PTS and one step more, modulo 2^33.
uint64_t stream_end(const chosen_stream& s) { return (s.max_pts + s.last_pts_step) & ((uint64_t{1} << 33) - 1); }

void print_ending(FILE* out, const chosen_stream* audio, const chosen_stream* video) {
    int64_t difference;
    if (const char* missing = ending_difference(audio, video, difference)) {
        fprintf(out, "Ending audio to video PTS difference: no %s time stamps\n", missing);
        return;
    }
    fprintf(out, "Ending audio to video PTS difference = %lld ticks, %f milliseconds\n", (long long)difference,
            double(difference) / 90.0);
}

}  // namespace

const char* ending_difference(const chosen_stream* audio, const chosen_stream* video, int64_t& ticks) {
    ticks = 0;
    if (!audio || !audio->has_pts) return "audio";
    if (!video || !video->has_pts) return "video";
    ticks = pts_diff(stream_end(*audio), stream_end(*video));
    return nullptr;
}

void print_final_report(context& ctx) {
    FILE* out = ctx.report;
    fputc('\n', out);  // ends the line of the live rate display
    for (uint32_t pid = 0; pid < pid_count; ++pid) {
        if (ctx.pids.packet_count[pid] == 0) continue;
        fprintf(out, "packets for pid %4d <0x%04x> = %d, first = %d, last = %d\n", pid, pid,
                ctx.pids.packet_count[pid], ctx.pids.first_packet[pid], ctx.pids.last_packet[pid]);
    }
    const chosen_stream* video = video_stream(ctx);
    const video_counts counts = video ? video->counts : video_counts{};
    fprintf(out,
            counts.progressive_flag ? "coded pictures = %d, video frames = %d\n"
                                    : "coded pictures = %d, video fields = %d\n",
            counts.coded_pictures, counts.display_count);
    if (video && video->repairs.loss_places)
        fprintf(out, "Video pictures lost = %u, at %u places\n", video->repairs.lost_pictures,
                video->repairs.loss_places);
    bool any_audio = false;
    for (uint32_t k = 0; k < ctx.stream_count; ++k) {
        const chosen_stream& s = ctx.streams[k];
        if (s.kind != stream_kind::audio) continue;
        any_audio = true;
        FILE* report = s.report ? s.report : out;
        const stream_repairs& r = s.repairs;
        if (r.gaps || r.overlaps || r.time_base_jumps || r.damaged_frames)
            fprintf(report,
                    "Audio gaps filled = %u (%u frames), overlaps dropped = %u (%u frames), damaged frames = %u, "
                    "time base jumps = %u\n",
                    r.gaps, r.frames_filled, r.overlaps, r.frames_dropped, r.damaged_frames, r.time_base_jumps);
        print_ending(report, &s, video);
    }
    if (!any_audio) print_ending(out, nullptr, video);
    const uint32_t dropped = ctx.pat.g.damaged + ctx.pmt.g.damaged;
    if (dropped != 0) fprintf(out, "PAT and PMT sections dropped for their CRC_32 = %u\n", dropped);
}

void print_output_files(const context& ctx) {
    if (!outputs_named(ctx)) return;
    for (uint32_t k = 0; k < ctx.stream_count; ++k) {
        const chosen_stream& s = ctx.streams[k];
        struct stat st;
        if (s.out_name[0] && stat(s.out_name, &st) == 0)
            fprintf(ctx.report, "Output file <%s> = %lld bytes\n", s.out_name, (long long)st.st_size);
    }
}

namespace {

// Option j: the text report goes nowhere and the live display is off; the programs of the
// first complete PAT are gathered beside the run, for the document written at the end.
bool start_json_report(context& ctx) {
    auto* listing = static_cast<program_listing*>(std::calloc(1, sizeof(program_listing)));
    FILE* quiet = fopen("/dev/null", "w");
    if (!listing || !quiet) return false;
    listing_init(*listing, -1, ctx.options.hdmv_input);
    ctx.listing = listing;  // lives to the end of the process
    ctx.report = quiet;
    ctx.options.suppress_rate = 1;
    return true;
}

// The run, once the context exists: returns the exit status.
int run(context* ctx, int argc, char** argv) {
    const char* input_path = nullptr;
    if (parse_command_line(*ctx, argc, argv, stderr, &input_path) == command_line_result::usage) {
        print_usage(stderr);
        return -1;
    }

    // Closed on every way out: nothing here needs it once the process ends. Initialized
    // before the program starts: a static set up at run time would need a guard, and the
    // guard the C++ runtime library.
    constinit static input_source input;
    const char* bad_name = nullptr;
    if (!input_open(input, input_path, &bad_name)) {
        fprintf(stderr, "Cannot open bitstream file <%s>\n", bad_name);
        return -1;
    }
    if (ctx->options.list_programs) {
        const int status = list_programs(*ctx, input, input_path);
        input_close(input);
        return status;
    }
    ctx->input_path = input_path;
    ctx->attach_stream = attach_stream;
    if (ctx->options.json_report && !start_json_report(*ctx)) {
        fprintf(stderr, "Cannot allocate memory\n");
        return -1;
    }
    if (!open_default_outputs(*ctx)) return -1;

    ctx->report_is_terminal = isatty(fileno(ctx->report)) ? 1 : 0;
    fprintf(ctx->report, "kavel Transport Stream Demuxer 1.01\n");
    print_request(*ctx);
    if (!demux_init(*ctx)) {
        fprintf(stderr, "Cannot allocate memory\n");
        return -1;
    }

    bool read_ok = read_stream(*ctx, input);
    print_final_report(*ctx);

    input_close(input);
    // With option p the run is only a look at the stream: nothing asked for is missing.
    int status = 0;
    if (!ctx->options.parse_only && !selection_found(*ctx, stderr, input_path)) status = -1;
    if (!read_ok) {
        fprintf(stderr, "Error reading bitstream file <%s>\n", input_path);
        status = -1;
    }
    if (!close_outputs(*ctx) || ctx->output_failed) status = -1;
    if (ctx->options.json_report)
        print_json_report(*ctx, stdout);
    else
        print_output_files(*ctx);
    fflush(stdout);
    return status;
}

}  // namespace

// Nothing here has a destructor to run on the way out, so the program needs no unwinding
// support, and with it no C++ runtime library to load at start: a few milliseconds of
// every run, however short.
int kavel_main(int argc, char** argv) {
    // The context is over a megabyte, most of it the audio frame rings, of which a run
    // uses one slot or a few. From calloc it comes as fresh zero pages from the kernel,
    // each first touched (and faulted in) only when the run uses it; a value-initialized
    // context would write zeros over all of it at start.
    void* storage = std::calloc(1, sizeof(context));
    if (!storage) {
        fprintf(stderr, "Cannot allocate memory\n");
        return -1;
    }
    context* ctx = new (storage) context;
    const int status = run(ctx, argc, argv);
    ctx->~context();
    std::free(storage);
    return status;
}
