"""Reading a rendition's MPEG-TS timing as a player's demuxer does: the
segments decrypted and joined in playlist order, each PES packet's PTS and
DTS per stream, and every clock reference (PCR), in file order. FFmpeg's own
readers forgive timestamps below zero and long gaps between clock
references; hardware and other software players do not."""

from __future__ import annotations

import re
import subprocess
from dataclasses import dataclass, field
from pathlib import Path

from media_checks import read_media_playlist

TS_PACKET = 188
PTS_HZ = 90000
PCR_HZ = 27000000
WRAP = 1 << 33
VIDEO_TYPES = {0x1B}  # H.264
AUDIO_TYPES = {0x0F}  # AAC in ADTS


@dataclass
class TransportTiming:
    dts: dict[str, list[int]] = field(default_factory=lambda: {"video": [], "audio": []})
    pts: dict[str, list[int]] = field(default_factory=lambda: {"video": [], "audio": []})
    pcr: list[int] = field(default_factory=list)  # 27 MHz, in file order

    def first_dts_seconds(self, kind: str) -> float:
        return _signed(self.dts[kind][0]) / PTS_HZ

    def lowest_seconds(self) -> float:
        """The lowest PTS or DTS of any stream, read as a signed 33-bit value:
        a timestamp written below zero wraps to near 2^33."""
        return min(_signed(t) for values in (*self.dts.values(), *self.pts.values())
                   for t in values) / PTS_HZ

    def largest_pcr_gap_seconds(self) -> float:
        gaps = [b - a for a, b in zip(self.pcr, self.pcr[1:])]
        return max(gaps, default=float("inf")) / PCR_HZ

    def dts_strictly_increasing(self, kind: str) -> bool:
        values = self.dts[kind]
        return all(b > a for a, b in zip(values, values[1:]))


def _signed(timestamp: int) -> int:
    return timestamp - WRAP if timestamp >= WRAP // 2 else timestamp


def _timestamp(data: bytes) -> int:
    return (((data[0] >> 1) & 0x07) << 30 | data[1] << 22 | (data[2] >> 1) << 15
            | data[3] << 7 | data[4] >> 1)


def _program_streams(payload: bytes) -> dict[int, str]:
    """{pid: "video"|"audio"} from a PMT section."""
    section = payload[1 + payload[0]:]
    length = ((section[1] & 0x0F) << 8) | section[2]
    info_length = ((section[10] & 0x0F) << 8) | section[11]
    position, end = 12 + info_length, 3 + length - 4
    streams = {}
    while position + 5 <= end:
        stream_type = section[position]
        pid = ((section[position + 1] & 0x1F) << 8) | section[position + 2]
        es_length = ((section[position + 3] & 0x0F) << 8) | section[position + 4]
        if stream_type in VIDEO_TYPES:
            streams[pid] = "video"
        elif stream_type in AUDIO_TYPES:
            streams[pid] = "audio"
        position += 5 + es_length
    return streams


def read_transport(data: bytes, timing: TransportTiming) -> None:
    assert len(data) % TS_PACKET == 0, len(data)
    pmt_pids: set[int] = set()
    streams: dict[int, str] = {}
    for offset in range(0, len(data), TS_PACKET):
        packet = data[offset:offset + TS_PACKET]
        assert packet[0] == 0x47, f"lost sync at byte {offset}"
        pid = ((packet[1] & 0x1F) << 8) | packet[2]
        unit_start = bool(packet[1] & 0x40)
        control = (packet[3] >> 4) & 0x3
        payload_at = 4
        if control & 0x2:
            length = packet[4]
            if length > 0 and packet[5] & 0x10:
                base = (packet[6] << 25 | packet[7] << 17 | packet[8] << 9 | packet[9] << 1
                        | packet[10] >> 7)
                extension = ((packet[10] & 0x01) << 8) | packet[11]
                timing.pcr.append(base * 300 + extension)
            payload_at = 5 + length
        if not control & 0x1 or not unit_start:
            continue
        payload = packet[payload_at:]
        if pid == 0:
            section = payload[1 + payload[0]:]
            for entry in range(8, 3 + (((section[1] & 0x0F) << 8) | section[2]) - 4, 4):
                number = section[entry] << 8 | section[entry + 1]
                if number:
                    pmt_pids.add(((section[entry + 2] & 0x1F) << 8) | section[entry + 3])
        elif pid in pmt_pids:
            streams.update(_program_streams(payload))
        elif pid in streams and payload[:3] == b"\x00\x00\x01":
            flags = payload[7] >> 6
            if flags & 0x2:
                pts = _timestamp(payload[9:14])
                timing.pts[streams[pid]].append(pts)
                timing.dts[streams[pid]].append(_timestamp(payload[14:19]) if flags == 0x3
                                                else pts)


def rendition_transport(playlist: str | Path) -> TransportTiming:
    """The timing of every segment of `playlist`, decrypted with the key and
    IV its #EXT-X-KEY names, read in playlist order as one stream."""
    media = read_media_playlist(playlist)
    timing = TransportTiming()
    for key_line, segment in zip(media.key_lines * len(media.segments), media.segment_paths()):
        uri = re.search(r'URI="([^"]+)"', key_line).group(1)
        iv = re.search(r"IV=0x([0-9a-fA-F]+)", key_line).group(1)
        key = (Path(playlist).parent / uri).read_bytes().hex()
        plain = subprocess.run(["openssl", "aes-128-cbc", "-d", "-K", key, "-iv", iv,
                                "-in", str(segment)], check=True, capture_output=True).stdout
        read_transport(plain, timing)
    return timing


def resend_audio_block(data: bytes, start: float, end: float) -> bytes:
    """MPEG-TS `data` with the audio PES packets whose PTS lies from `start`
    to `end` s after the first audio PTS sent once more right after the
    last of them, as a recorder that re-sends a block does: the sound's
    timestamps go back by about end - start while the pictures go on. The
    audio continuity counters are renumbered, so the copy reads as data."""
    packets = [bytearray(data[offset:offset + TS_PACKET])
               for offset in range(0, len(data), TS_PACKET)]
    pmt_pids: set[int] = set()
    audio_pids: set[int] = set()
    block: list[bytearray] = []
    in_block, first, insert_at = False, None, None
    for index, packet in enumerate(packets):
        pid = ((packet[1] & 0x1F) << 8) | packet[2]
        payload = packet[5 + packet[4]:] if packet[3] & 0x20 else packet[4:]
        if packet[1] & 0x40 and pid == 0:
            section = payload[1 + payload[0]:]
            pmt_pids.update(((section[entry + 2] & 0x1F) << 8) | section[entry + 3]
                            for entry in range(8, 3 + ((section[1] & 0x0F) << 8 | section[2]) - 4, 4)
                            if section[entry] << 8 | section[entry + 1])
        elif packet[1] & 0x40 and pid in pmt_pids:
            audio_pids.update(p for p, kind in _program_streams(payload).items() if kind == "audio")
        elif pid in audio_pids:
            if packet[1] & 0x40 and payload[:3] == b"\x00\x00\x01" and payload[7] & 0x80:
                pts = _timestamp(payload[9:14]) / PTS_HZ
                first = pts if first is None else first
                in_block = start <= pts - first < end
                if pts - first >= end and insert_at is None:
                    insert_at = index
            if in_block:
                block.append(bytearray(packet))
    assert block and insert_at is not None, "no audio between those times"
    packets[insert_at:insert_at] = block
    counter = 0
    for packet in packets:
        if ((packet[1] & 0x1F) << 8 | packet[2]) in audio_pids and packet[3] & 0x10:
            packet[3] = (packet[3] & 0xF0) | counter
            counter = (counter + 1) & 0x0F
    return b"".join(packets)
