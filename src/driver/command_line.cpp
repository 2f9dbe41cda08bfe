#include <climits>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "core/context.h"
#include "driver/driver.h"

namespace {

const char* const usage_lines[] = {
    "kavel Transport Stream Demuxer 1.01\n\n",
    "Usage:\n",
    "\tkavel <-pavtdszgher2nj> <infile> <program number> <video stream number> <audio stream numbers>\n",
    "\tkavel -l[hj] <infile> [<program number>]\n\n",
    "Options:\n",
    "\tp = parse only, do not demux to video and audio files\n",
    "\ta = dump audio PTS\n",
    "\tv = dump video PTS\n",
    "\tt = GOP timecode mode, count repeated fields/frames\n",
    "\td = dump all PID's (useful for debugging muxers, but tons of output)\n",
    "\ts = suppress TS rate dumping (useful when piping output to a file)\n",
    "\tz = demux to PES streams (instead of elementary streams)\n",
    "\tg = dump ATSC PSIP information\n",
    "\th = input file is in HDMV (AVCHD and Blu-ray) format (192 byte packets)\n",
    "\te = dump HDMV arrival_time_stamp difference\n",
    "\tr = dump PCR\n",
    "\t2 = only extract 2 channels of HDMV LPCM audio from multi-channel tracks\n",
    "\tl = list the programs and their streams with the numbers to give, then stop\n",
    "\tn = name the output files after the input and each stream's PID and language\n",
    "\tj = print the report as one JSON document\n",
    "\tThe audio stream numbers: a number, a comma list (1,3), or all.\n",
};

// The flag an option letter sets, or null for a character that is no option.
uint32_t* option_flag(run_options& o, char c) {
    switch (c) {
    case 'p': case 'P': return &o.parse_only;
    case 'a': case 'A': return &o.dump_audio_pts;
    case 'v': case 'V': return &o.dump_video_pts;
    case 't': case 'T': return &o.gop_timecode_mode;
    case 'd': case 'D': return &o.dump_all_pids;
    case 's': case 'S': return &o.suppress_rate;
    case 'z': case 'Z': return &o.pes_output;
    case 'g': case 'G': return &o.dump_psip;
    case 'h': case 'H': return &o.hdmv_input;
    case 'e': case 'E': return &o.dump_ats_delta;
    case 'r': case 'R': return &o.dump_pcr;
    case '2': return &o.lpcm_two_channels;
    case 'l': case 'L': return &o.list_programs;
    case 'n': case 'N': return &o.name_outputs;
    case 'j': case 'J': return &o.json_report;
    default: return nullptr;
    }
}

// A number of the command line, read as atoi reads it (leading blanks, a sign, the digits
// up to the first other character; no digits give 0), but a value beyond the range of
// int is clamped to its nearest end rather than left undefined.
int32_t read_number(const char* text) {
    const long v = strtol(text, nullptr, 10);
    return int32_t(v < INT_MIN ? INT_MIN : v > INT_MAX ? INT_MAX : v);
}

// Option l may be given without its '-' (`kavel l capture.ts`): an options argument of
// option letters only, one of them l.
bool is_bare_listing(const char* opts) {
    run_options o;
    for (const char* c = opts; *c; ++c) {
        uint32_t* flag = option_flag(o, *c);
        if (!flag) return false;
        *flag = 1;
    }
    return o.list_programs != 0;
}

// The audio argument: a number, a comma list of numbers, or `all`. Each number is read as
// read_number reads it; repeats are taken once.
void read_audio_numbers(const char* text, stream_selection& s) {
    s.audio_all = 0;
    s.audio_request_count = 0;
    if (strcasecmp(text, "all") == 0) {
        s.audio_all = 1;
        s.audio_index = 1;
        return;
    }
    const char* p = text;
    while (s.audio_request_count < max_audio_requests) {
        const int32_t n = read_number(p);
        bool seen = false;
        for (uint32_t i = 0; i < s.audio_request_count; ++i) seen = seen || s.audio_requests[i] == n;
        if (!seen) s.audio_requests[s.audio_request_count++] = n;
        p = std::strchr(p, ',');
        if (!p) break;
        ++p;
    }
    s.audio_index = s.audio_requests[0];
}

}  // namespace

void print_usage(FILE* err) {
    for (const char* line : usage_lines) fputs(line, err);
}

command_line_result parse_command_line(context& ctx, int argc, char** argv, FILE* err,
                                       const char** input_path) {
    // Four arguments: the stream and the three numbers. Five: options first, which must
    // start with '-'. With four, a leading '-' is part of the file name. Option l lists
    // the programs: two arguments (options and stream) will do, and its '-' may be left out.
    const bool listing = (argc == 3 || argc == 4 || argc == 6) && (argv[1][0] == '-' || is_bare_listing(argv[1]));
    if (argc != 5 && argc != 6 && !((argc == 3 || argc == 4) && listing)) return command_line_result::usage;
    int first = 1;
    if (argc == 6 || argc == 3 || argc == 4) {
        const char* opts = argv[1];
        if (opts[0] != '-' && !listing) return command_line_result::usage;
        for (const char* c = opts + (opts[0] == '-'); *c; ++c) {
            if (uint32_t* flag = option_flag(ctx.options, *c))
                *flag = 1;
            else
                fprintf(err, "Unsupported Option: %c\n", *c);
        }
        first = 2;
    }
    *input_path = argv[first];
    if (argc == 3 || argc == 4) {
        if (!ctx.options.list_programs) return command_line_result::usage;
        // Every program, or the one given.
        ctx.selection.program_number = argc == 4 ? read_number(argv[first + 1]) : -1;
        return command_line_result::run;
    }
    ctx.selection.program_number = read_number(argv[first + 1]);
    ctx.selection.video_index = read_number(argv[first + 2]);
    read_audio_numbers(argv[first + 3], ctx.selection);
    return command_line_result::run;
}
