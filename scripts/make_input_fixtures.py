#!/usr/bin/env python3
"""Make the fixtures of input as users have it, from two 188-byte fixtures.

  * mpeg2_ac3_44k_parity.ts: mpeg2_ac3_44k.ts as a DVB card or an ISDB recorder stores
    it, 204-byte packets: 16 bytes of (stand-in) Reed-Solomon parity after every packet.
  * mpeg2_mp2_2997.split1.ts, .split2.ts, .split3.ts: mpeg2_mp2_2997.ts cut in three, as a
    recorder splits a recording, where part 2 begins with the last 100 packets of part 1
    once more. Joined with '+' they must read as the whole.
  * mpeg2_ac3_44k_late_pmt.ts: mpeg2_ac3_44k.ts with every PAT and PMT packet before
    the second audio PES packet moved to just before it, behind the first I picture and
    the first audio frames, as in a clip cut from a broadcast. It must give the outputs of
    the original.

  python3 scripts/make_input_fixtures.py [DATA_FOLDER]   (default tests/data)
"""
import sys

PACKET = 188
REPEAT = 100
# FFmpeg's PIDs: the PAT, the PMT, the video and the audio stream.
PAT_PID, PMT_PID, VIDEO_PID, AUDIO_PID = 0, 0x1000, 0x100, 0x101


def pid_of(packet):
    return (packet[1] & 0x1F) << 8 | packet[2]


def unit_start(packet):
    return packet[1] & 0x40 != 0


def move_tables_late(plain):
    """The PAT and PMT packets before the later of the second video and the second audio
    PES packet, moved there in their order."""
    packets = [plain[at:at + PACKET] for at in range(0, len(plain), PACKET)]
    starts = {VIDEO_PID: [], AUDIO_PID: []}
    for n, p in enumerate(packets):
        if unit_start(p) and pid_of(p) in starts:
            starts[pid_of(p)].append(n)
    point = max(starts[VIDEO_PID][1], starts[AUDIO_PID][1])
    tables = [p for p in packets[:point] if pid_of(p) in (PAT_PID, PMT_PID)]
    rest = [p for p in packets[:point] if pid_of(p) not in (PAT_PID, PMT_PID)]
    return b"".join(rest + tables + packets[point:])


def main():
    data = sys.argv[1] if len(sys.argv) > 1 else "tests/data"
    plain = open(f"{data}/mpeg2_ac3_44k.ts", "rb").read()
    assert len(plain) % PACKET == 0
    out = bytearray()
    for at in range(0, len(plain), PACKET):
        n = at // PACKET
        out += plain[at:at + PACKET]
        out += bytes((n * 7 + i * 13) & 0xFF for i in range(16))
    open(f"{data}/mpeg2_ac3_44k_parity.ts", "wb").write(out)
    open(f"{data}/mpeg2_ac3_44k_late_pmt.ts", "wb").write(move_tables_late(plain))

    whole = open(f"{data}/mpeg2_mp2_2997.ts", "rb").read()
    count = len(whole) // PACKET
    cut1, cut2 = count // 3, 2 * count // 3
    parts = [(0, cut1), (cut1 - REPEAT, cut2), (cut2, count)]
    for i, (first, end) in enumerate(parts, 1):
        open(f"{data}/mpeg2_mp2_2997.split{i}.ts", "wb").write(whole[first * PACKET:end * PACKET])


if __name__ == "__main__":
    main()
