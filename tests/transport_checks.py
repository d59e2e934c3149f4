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


def _transport_packets(data: bytes):
    """Each 188-byte packet of `data` as (index, pid, its stream's kind or
    None, the packet, and its payload when a PES or section starts there)."""
    assert len(data) % TS_PACKET == 0, len(data)
    pmt_pids: set[int] = set()
    streams: dict[int, str] = {}
    for index in range(len(data) // TS_PACKET):
        packet = data[index * TS_PACKET:(index + 1) * TS_PACKET]
        assert packet[0] == 0x47, f"lost sync at packet {index}"
        pid = ((packet[1] & 0x1F) << 8) | packet[2]
        control = (packet[3] >> 4) & 0x3
        starts = control & 0x1 and packet[1] & 0x40
        payload = packet[5 + packet[4] if control & 0x2 else 4:] if starts else None
        if payload is not None and pid == 0:
            section = payload[1 + payload[0]:]
            for entry in range(8, 3 + (((section[1] & 0x0F) << 8) | section[2]) - 4, 4):
                if section[entry] << 8 | section[entry + 1]:
                    pmt_pids.add(((section[entry + 2] & 0x1F) << 8) | section[entry + 3])
        elif payload is not None and pid in pmt_pids:
            streams.update(_program_streams(payload))
        yield index, pid, streams.get(pid), packet, payload


def _pes_timestamps(payload: bytes | None) -> tuple[int, int] | None:
    """(PTS, DTS) of a PES packet that starts in `payload` and carries them."""
    if payload is None or payload[:3] != b"\x00\x00\x01" or not payload[7] & 0x80:
        return None
    pts = _timestamp(payload[9:14])
    return pts, _timestamp(payload[14:19]) if payload[7] >> 6 == 0x3 else pts


def read_transport(data: bytes, timing: TransportTiming) -> None:
    for _, _, kind, packet, payload in _transport_packets(data):
        if packet[3] & 0x20 and packet[4] > 0 and packet[5] & 0x10:
            base = (packet[6] << 25 | packet[7] << 17 | packet[8] << 9 | packet[9] << 1
                    | packet[10] >> 7)
            timing.pcr.append(base * 300 + (((packet[10] & 0x01) << 8) | packet[11]))
        stamps = _pes_timestamps(payload) if kind else None
        if stamps:
            timing.pts[kind].append(stamps[0])
            timing.dts[kind].append(stamps[1])


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
    packets = [bytearray(data[i:i + TS_PACKET]) for i in range(0, len(data), TS_PACKET)]
    audio = [(index, _pes_timestamps(payload)) for index, _, kind, _, payload
             in _transport_packets(data) if kind == "audio"]
    first = next(stamps[0] for _, stamps in audio if stamps) / PTS_HZ
    block, inside, insert_at = [], False, None
    for index, stamps in audio:
        if stamps:
            inside = start <= stamps[0] / PTS_HZ - first < end
            if insert_at is None and stamps[0] / PTS_HZ - first >= end:
                insert_at = index
        if inside:
            block.append(bytearray(packets[index]))
    assert block and insert_at is not None, "no audio between those times"
    audio_pids = {((packets[index][1] & 0x1F) << 8) | packets[index][2] for index, _ in audio}
    packets[insert_at:insert_at] = block
    counter = 0
    for packet in packets:
        if ((packet[1] & 0x1F) << 8 | packet[2]) in audio_pids and packet[3] & 0x10:
            packet[3] = (packet[3] & 0xF0) | counter
            counter = (counter + 1) & 0x0F
    return b"".join(packets)
