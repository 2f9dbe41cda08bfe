// WAV output for HDMV LPCM: the RIFF/WAVE header, written before the samples with its
// sizes 0 and filled in when the length is known; the byte swap from the big-endian
// samples of the stream to WAV's little-endian ones; and the HDMV channel layouts as WAVE
// speaker positions.
//
//     wav_begin(f, layout.channels, 48000, 24, layout.channel_mask);
//     ... for whole sample groups: n = hdmv_lpcm_to_wav(bytes, n, assignment, 3), write n
//     wav_finish(f, bytes_written);
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Writes the header at the current position (the start of the file). Up to two channels
// of up to 16 bits get the canonical 44-byte header (PCM format tag 1); more channels or
// wider samples get WAVE_FORMAT_EXTENSIBLE (68 bytes), which carries the channel mask and
// the valid bits: 20-bit samples sit in 24-bit containers, as in the stream. False on a
// write error.
bool wav_begin(FILE* f, uint32_t channels, uint32_t sample_rate, uint32_t bits_per_sample, uint32_t channel_mask);

// Completes the file once the samples are written: the file position must be just after
// the last of the data_bytes written behind the header. Pads the data chunk to an even
// length, as RIFF chunks are, then fills the RIFF and data chunk sizes (0xFFFFFFFF when
// they do not fit in 32 bits; readers then take the data to the end of the file). False
// when the file cannot be seeked or written.
bool wav_finish(FILE* f, uint64_t data_bytes);

// Big-endian samples of bytes_per_sample bytes (2, or 3 for 20- and 24-bit samples) made
// little-endian in place. Whole samples only: n must be a multiple of bytes_per_sample
// (a trailing part sample is left alone), so the caller carries a sample cut between two
// PES packets over to the next call.
void wav_swap_samples(uint8_t* bytes, size_t n, uint32_t bytes_per_sample);

// The HDMV LPCM channel_assignment (the header's top 4 bits) as WAV sees it. The stream
// pads a group of samples (one per channel) to an even channel count, and in some layouts
// puts the channels in an order other than WAV's, which is that of the speaker bits:
// FL FR FC LFE BL BR ... BC SL SR. Reserved assignments read as two channels of no
// known position, as the LPCM handler takes them.
struct hdmv_lpcm_layout {
    uint32_t channel_mask;   // WAVE speaker bits: FL 0x1 FR 0x2 FC 0x4 LFE 0x8 BL 0x10 BR 0x20 BC 0x100 SL 0x200 SR 0x400
    uint8_t channels;        // channels in the WAV file
    uint8_t coded_channels;  // channels in a group of the stream, padding included
    uint8_t wav_slot[8];     // per channel as carried: its place in the WAV frame, or 0xFF for padding
};

const hdmv_lpcm_layout& hdmv_lpcm_layout_of(uint32_t channel_assignment);

inline uint32_t hdmv_lpcm_channel_mask(uint32_t channel_assignment) {
    return hdmv_lpcm_layout_of(channel_assignment).channel_mask;
}

// Whole groups of samples as the stream carries them (coded_channels samples each) made
// WAV frames in place: swapped to little-endian, put in WAV order, the padding channel
// left out. Returns the length of the WAV data now at the start of `bytes`; a trailing
// part group is left out, so the caller hands over whole groups (with option 2 the
// handler keeps channels 0 and 1 only: those are stereo frames for wav_swap_samples).
size_t hdmv_lpcm_to_wav(uint8_t* bytes, size_t n, uint32_t channel_assignment, uint32_t bytes_per_sample);
