// The audio frame aligner's output: the frames held when the output starts, and from then
// on every frame as it is closed, each set against the stream's time so that audio lost or
// repeated in the middle neither moves what follows nor goes unreported.
#pragma once

#include <cstddef>
#include <cstdint>

#include "audio/frame_headers.h"

struct stream_call;

// The whole frame in the current slot passes the check its syntax carries. A stream
// whose frames never match their CRC (an encoder that writes none) is taken as it is;
// once one has matched, a frame that fails is damaged.
bool frame_intact(const audio_variant& v, audio_aligner& a, bool fast);

// Bytes of the stream's output (none with option p).
void write_audio(stream_call& sc, const uint8_t* data, size_t n);

// A PES header's time stamp for the frames from the next byte on.
void add_mark(audio_aligner& a, uint64_t pts);

// The time stamp of a frame whose first sync byte is at stream offset `lead`: the latest
// mark at or before it, which is used up with the older ones. False when there is none.
bool take_mark(audio_aligner& a, uint64_t lead);

// Ticks that slot k's frame lasts (0 for a frame that goes along with the one before).
uint32_t slot_ticks(const audio_aligner& a, uint32_t k);

// Whether slot k is written when the output starts, given the decision on the slot before
// it: a frame that may begin the output is kept unless it ends before the video starts;
// any other goes along with the frame before it.
bool slot_kept(const stream_call& sc, const audio_aligner& a, uint32_t k, bool kept_before);

// Whether the output may start at the next collected byte. Between frame starts only the
// first video PTS can change it, and that only between calls. Frames whose time is not
// known yet wait.
bool start_ready(stream_call& sc, const audio_aligner& a);

// A time stamp has come after `count` frames counted on from before a damaged stretch,
// the last of them in slot `last`: their times, counted back from it.
void settle_times(audio_aligner& a, uint32_t last, uint32_t count);

// The output starts: the held frames that end after the first picture are written. With
// option z the current frame's bytes so far go out too, and every later byte unchanged.
void start_output(stream_call& sc, const audio_variant& v, audio_aligner& a);

// The held frames whose time is known go out (after the start), oldest first.
void release_held(stream_call& sc, const audio_variant& v, audio_aligner& a);

// The end of the stream: the held frames and the current one go out.
void finish_output(stream_call& sc, const audio_variant& v, audio_aligner& a);
