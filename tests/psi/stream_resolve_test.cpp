// What a PMT entry is counted and handled as, by its type, its descriptors and the
// program's, and for 0x06 audio that no descriptor names, by its first payload bytes.
#include <gtest/gtest.h>

#include "feeder.h"
#include "program.h"

using namespace kt;

namespace {

constexpr uint16_t pmt_pid = 0x1000, apid = 0x101;

bytes reg(const char* f) { return {0x05, 0x04, uint8_t(f[0]), uint8_t(f[1]), uint8_t(f[2]), uint8_t(f[3])}; }

constexpr auto none = stream_handler::raw;  // with `counted` false: not chosen at all

// A program whose one stream is `type` with `descriptors`, then PES packets on it with
// the payloads given; audio 1 is asked for.
struct resolve_case {
    const char* name;
    uint8_t type;
    bytes descriptors;
    bytes program_descriptors;
    std::vector<bytes> payloads;
    bool counted;
    stream_handler handler;
};

const bytes adts = {0xFF, 0xF1, 0x50, 0x80, 0x02, 0x1F, 0xFC, 0x21, 0x10};
const bytes dts = {0x7F, 0xFE, 0x80, 0x01, 0xFC, 0x3C, 0x11, 0x22};
const bytes latm = {0x56, 0xE0, 0x20, 0x20, 0x00, 0x11, 0x22};
const bytes other = {0x12, 0x34, 0x56, 0x78, 0x9A};
const bytes aac = read_file(test_data("codecs.a6.aac")), mp3 = read_file(test_data("codecs.a2.mp3"));

}  // namespace

TEST(StreamResolve, KindAndHandlerByDescriptorsAndFirstBytes) {
    const resolve_case cases[] = {
        {"teletext", 0x06, {0x56, 0x05, 'd', 'e', 'u', 0x09, 0x00}, {}, {other}, false, none},
        {"subtitles", 0x06, {0x59, 0x08, 'f', 'r', 'a', 0x10, 0, 1, 0, 1}, {}, {other}, false, none},
        {"ISDB data", 0x06, {0xFD, 0x03, 0x00, 0x08, 0x3D}, {}, {other}, false, none},
        {"registration not audio", 0x06, reg("KLVA"), {}, {adts}, false, none},
        {"AC-3 descriptor", 0x06, {0x6A, 0x01, 0x00}, {}, {adts}, true, stream_handler::ac3_audio},
        {"E-AC-3 registration", 0x06, reg("EAC3"), {}, {adts}, true, stream_handler::ac3_audio},
        {"DTS-HD extension", 0x06, {0x7F, 0x02, 0x0E, 0x00}, {}, {adts}, true, stream_handler::dts_audio},
        {"AAC descriptor", 0x06, {0x7C, 0x01, 0x51}, {}, {other}, true, stream_handler::aac_adts_audio},
        {"Opus", 0x06, reg("Opus"), {}, {adts}, true, stream_handler::raw},
        {"ADTS start", 0x06, {0x0A, 0x04, 'e', 'n', 'g', 0}, {}, {adts, adts}, true, stream_handler::aac_adts_audio},
        {"DTS start", 0x06, {}, {}, {dts, dts}, true, stream_handler::dts_audio},
        {"LATM start", 0x06, {}, {}, {latm, latm}, true, stream_handler::aac_latm_audio},
        // A first payload too short to tell: the next one's bytes tell; no sync word at
        // the start and no frames after it: written as it came.
        {"short first payload", 0x06, {}, {}, {{0x7F, 0xFE}, slice(dts, 2)}, true, stream_handler::dts_audio},
        {"no sync word", 0x06, {}, {}, {other, adts}, true, stream_handler::raw},
        {"AC-4", 0x06, {0x7F, 0x01, 0x15}, {}, {adts}, true, stream_handler::raw},
        // Frames after bytes that begin none; frames of another syntax than the type's,
        // found at the end of the input or once the bytes kept fill up.
        {"frames after no sync word", 0x06, {}, {}, {other + slice(mp3, 0, 3000)}, true, stream_handler::mpeg_audio},
        {"ADTS under 0x03", 0x03, {}, {}, {slice(aac, 0, 3000)}, true, stream_handler::aac_adts_audio},
        {"ADTS under 0x11", 0x11, {}, {}, {slice(aac, 0, 5000), slice(aac, 5000, 12000)}, true,
         stream_handler::aac_adts_audio},
        {"MPEG-H 3D audio", 0x2D, {}, {}, {adts}, true, stream_handler::raw},
        {"splice, program CUEI", 0x86, {}, reg("CUEI"), {other}, false, none},
        {"splice, cue identifier", 0x86, {0x8A, 0x01, 0x00}, {}, {other}, false, none},
        {"0x86 on HDMV", 0x86, {}, reg("HDMV") + reg("CUEI"), {other}, true, stream_handler::dts_audio},
        {"0x80 on HDPR", 0x80, {}, reg("HDPR"), {}, true, stream_handler::lpcm_audio},
        {"AAC", 0x0F, {}, {}, {adts}, true, stream_handler::aac_adts_audio},
    };
    const setup_fn audio_1 = [](context& c) { c.selection.video_index = 0; };
    for (const resolve_case& c : cases) {
        ts_writer w;
        w.pat({{1, pmt_pid}});
        w.pmt(pmt_pid, 1, apid, {{c.type, apid, c.descriptors}}, c.program_descriptors);
        bytes joined;
        for (const bytes& p : c.payloads) {
            w.pes(apid, {.stream_id = 0xBD, .pts = 9000 + joined.size(), .payload = p});
            joined = joined + p;
        }
        const run_result r = expect_split_invariant(w.out, audio_1, false);
        const auto cap = run_capture(w.out, {}, audio_1);
        const chosen_stream& s = chosen(cap->ctx(), stream_kind::audio);
        EXPECT_EQ(s.pid, c.counted ? apid : no_pid) << c.name;
        if (!c.counted) continue;
        EXPECT_EQ(int(s.handler), int(c.handler)) << c.name;
        // Written unchanged, the held first bytes go out first, in order.
        if (c.handler == stream_handler::raw) {
            EXPECT_TRUE(r.audio == joined) << c.name;
        }
    }
}
