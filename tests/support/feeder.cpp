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
        ctx_->sinks.video_out = tmpfile();
        ctx_->sinks.audio_out = tmpfile();
    } else {
        ctx_->options.parse_only = 1;
    }
}

capture::~capture() {
    fclose(report_);
    free(report_buffer_);
    if (ctx_->sinks.video_out) fclose(ctx_->sinks.video_out);
    if (ctx_->sinks.audio_out) fclose(ctx_->sinks.audio_out);
}

std::string capture::report() {
    fflush(report_);
    return std::string(report_buffer_, report_size_);
}

bytes capture::video() { return read_all(ctx_->sinks.video_out); }
bytes capture::audio() { return read_all(ctx_->sinks.audio_out); }

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
        fclose(cap->ctx().sinks.video_out);
        fclose(cap->ctx().sinks.audio_out);
        cap->ctx().sinks = {};
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

void choose_streams(context& ctx, uint16_t video_pid, uint8_t video_type, uint16_t audio_pid, uint8_t audio_type) {
    stream_selection& s = ctx.selection;
    s.video_pid = video_pid;
    s.video_stream_type = video_type;
    s.audio_pid = audio_pid;
    s.audio_stream_type = audio_type;
    const stream_type_row* v = stream_type_as(video_type, stream_kind::video);
    const stream_type_row* a = stream_type_as(audio_type, stream_kind::audio);
    s.video_handler = v ? v->handler : stream_handler::raw;
    s.audio_handler = a ? a->handler : stream_handler::raw;
    s.audio_mpeg_ids = a && a->mpeg_audio_ids;
}

}  // namespace kt
