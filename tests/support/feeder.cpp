#include "feeder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <random>

#include "driver/driver.h"

namespace kt {

namespace {

// The file up to its current position: a video handler that cut out an end code closing
// the stream moved back over its first bytes, and the driver cuts the file there.
bytes read_all(FILE* f) {
    bytes out;
    if (!f) return out;
    fflush(f);
    const long at = ftell(f);
    out.resize(size_t(at));
    fseek(f, 0, SEEK_SET);
    if (at > 0 && fread(out.data(), 1, out.size(), f) != out.size()) out.clear();
    fseek(f, at, SEEK_SET);
    return out;
}

}  // namespace

capture::capture(bool outputs) : ctx_(std::make_unique<context>()) {
    report_ = open_memstream(&report_buffer_, &report_size_);
    ctx_->report = report_;
    if (outputs) {
        ctx_->video_file = tmpfile();
        ctx_->audio_file = tmpfile();
    } else {
        ctx_->options.parse_only = 1;
    }
}

capture::~capture() {
    fclose(report_);
    free(report_buffer_);
    if (ctx_->video_file) fclose(ctx_->video_file);
    if (ctx_->audio_file) fclose(ctx_->audio_file);
}

std::string capture::report() {
    fflush(report_);
    return std::string(report_buffer_, report_size_);
}

bytes capture::video() { return read_all(ctx_->video_file); }
bytes capture::audio() { return read_all(ctx_->audio_file); }

std::string chunking::name() const {
    return random ? "random" + std::to_string(seed) : std::to_string(size);
}

std::vector<chunking> standard_chunkings() {
    return {{1}, {187}, {188}, {189}, {16384, true, 7}, {16384}};
}

void feed(context& ctx, const bytes& input, const chunking& how) {
    std::mt19937 rng(how.seed);
    std::vector<uint8_t> block;
    size_t at = 0;
    while (at < input.size()) {
        size_t n = how.random ? 1 + rng() % how.size : how.size;
        n = std::min(n, input.size() - at);
        block.assign(input.begin() + at, input.begin() + at + n);
        (how.per_byte ? demux_buffer_per_byte : demux_buffer)(ctx, uint32_t(n), block.data());
        at += n;
    }
    demux_end(ctx);
}

std::unique_ptr<capture> run_capture(const bytes& input, const chunking& how, const setup_fn& setup) {
    auto cap = std::make_unique<capture>(true);
    if (setup) setup(cap->ctx());
    if (cap->ctx().options.parse_only) {  // as the driver: no output files at all
        fclose(cap->ctx().video_file);
        fclose(cap->ctx().audio_file);
        cap->ctx().video_file = cap->ctx().audio_file = nullptr;
        for (uint32_t k = 0; k < cap->ctx().stream_count; ++k) cap->ctx().streams[k].out.file = nullptr;
    }
    demux_init(cap->ctx());
    feed(cap->ctx(), input, how);
    return cap;
}

run_result run_demux(const bytes& input, const chunking& how, const setup_fn& setup, bool final_report) {
    const auto cap = run_capture(input, how, setup);
    if (final_report) print_final_report(cap->ctx());
    return {cap->report(), cap->video(), cap->audio()};
}

run_result expect_split_invariant(const bytes& input, const setup_fn& setup, bool final_report) {
    const run_result whole = run_demux(input, {}, setup, final_report);
    for (const chunking& how : standard_chunkings()) {
        const run_result part = run_demux(input, how, setup, final_report);
        EXPECT_EQ(part.report, whole.report) << "report differs with blocks of " << how.name();
        EXPECT_TRUE(part.video == whole.video) << "video output differs with blocks of " << how.name();
        EXPECT_TRUE(part.audio == whole.audio) << "audio output differs with blocks of " << how.name();
    }
    return whole;
}

bytes read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool file_exists(const std::string& path) { return std::ifstream(path).good(); }

namespace {

chosen_stream* add_stream(context& ctx, stream_kind kind, uint16_t pid, uint8_t type) {
    const stream_type_row* row = stream_type_as(type, kind);
    pmt_entry e;
    e.type = type;
    e.pid = pid;
    e.what.kind = kind;
    e.what.handler = row ? row->handler : stream_handler::raw;
    e.what.mpeg_audio_ids = row && row->mpeg_audio_ids;
    e.what.codec = row ? row->codec : "";
    e.number = 1;
    return add_chosen_stream(ctx, kind, 1, e);
}

}  // namespace

void choose_streams(context& ctx, uint16_t video_pid, uint8_t video_type, uint16_t audio_pid, uint8_t audio_type) {
    if (video_pid != no_pid) add_stream(ctx, stream_kind::video, video_pid, video_type);
    if (audio_pid != no_pid) add_stream(ctx, stream_kind::audio, audio_pid, audio_type);
}

chosen_stream& test_stream(context& ctx, stream_handler h) {
    const bool video = h == stream_handler::mpeg2_video || h == stream_handler::h264_video ||
                       h == stream_handler::vc1_video || h == stream_handler::hevc_video;
    const stream_kind kind = video ? stream_kind::video : stream_kind::audio;
    for (uint32_t k = 0; k < ctx.stream_count; ++k)
        if (ctx.streams[k].kind == kind) return ctx.streams[k];
    pmt_entry e;
    e.pid = video ? 0x100 : 0x101;
    e.what.kind = kind;
    e.what.handler = h;
    e.number = 1;
    return *add_chosen_stream(ctx, kind, 1, e);
}

chosen_stream& chosen(context& ctx, stream_kind kind) {
    for (uint32_t k = 0; k < ctx.stream_count; ++k)
        if (ctx.streams[k].kind == kind) return ctx.streams[k];
    static chosen_stream none;  // tests only: what an absent stream reads as
    none = chosen_stream{};
    return none;
}

uint16_t chosen_pid(context& ctx, stream_kind kind) { return chosen(ctx, kind).pid; }
uint8_t chosen_type(context& ctx, stream_kind kind) { return chosen(ctx, kind).stream_type; }

void call_handler(context& ctx, stream_handler h, bool per_byte, uint8_t* bytes, uint32_t n, uint64_t pts,
                  uint8_t flag, uint16_t lpcm_header) {
    chosen_stream& s = test_stream(ctx, h);
    s.pes.current_pts = pts;
    s.pes.header_had_dts = flag;
    s.pes.pts_arrived = flag;
    s.pes.lpcm_header = lpcm_header;
    stream_call sc{s, ctx.timing};
    handler_entry_of(h, per_byte)(sc, bytes, n);
}

}  // namespace kt
