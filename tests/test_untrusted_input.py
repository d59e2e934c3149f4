"""Inputs are untrusted uploads. Whatever their content asks for, a call reads
the input file and nothing else: no other file, no network or pseudo
protocol, no pipe or device. An input named as an HLS playlist (.m3u8, .m3u)
may also read the regular files it lists inside its own folder. An input the
rules refuse writes nothing, like one that cannot be opened.

Every attack is checked to work on FFmpeg without the rules (the ffmpeg tool
opens the private file), and every file opened during a call is seen through
inotify, whose events the kernel queues as the files are opened."""

from __future__ import annotations

import ctypes
import os
import shutil
import socket
import struct
import subprocess
from collections.abc import Iterator
from pathlib import Path

import pytest

from conftest import make_source, run_ffmpeg
from media_checks import complete_rendition, encode_ok, listed_renditions, run_python

IN_ACCESS, IN_OPEN = 0x1, 0x20
CHILD_TIMEOUT_S = 120


class OpenWatch:
    """The names of the files opened or read in some folders, by inotify."""

    def __init__(self, *folders: Path) -> None:
        self._libc = ctypes.CDLL("libc.so.6", use_errno=True)
        self._fd = self._libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
        assert self._fd >= 0, ctypes.get_errno()
        self._folders: dict[int, Path] = {}
        for folder in folders:
            watch = self._libc.inotify_add_watch(self._fd, os.fsencode(folder), IN_OPEN | IN_ACCESS)
            assert watch >= 0, ctypes.get_errno()
            self._folders[watch] = folder

    def opened(self) -> set[Path]:
        """Every file opened or read since the last call."""
        names: set[Path] = set()
        while True:
            try:
                data = os.read(self._fd, 65536)
            except BlockingIOError:
                return names
            offset = 0
            while offset < len(data):
                watch, _mask, _cookie, length = struct.unpack_from("iIII", data, offset)
                name = data[offset + 16:offset + 16 + length].rstrip(b"\0")
                names.add(self._folders[watch] / os.fsdecode(name))
                offset += 16 + length

    def close(self) -> None:
        os.close(self._fd)


class Listener:
    """A TCP port on the loopback that never answers; a call that connects
    to it blocks, and the connection waits in its backlog."""

    def __init__(self) -> None:
        self.socket = socket.create_server(("127.0.0.1", 0))
        self.port = self.socket.getsockname()[1]

    def was_connected(self) -> bool:
        self.socket.setblocking(False)
        try:
            connection, _ = self.socket.accept()
        except BlockingIOError:
            return False
        connection.close()
        return True


@pytest.fixture
def listener() -> Iterator[Listener]:
    server = Listener()
    yield server
    server.socket.close()


@pytest.fixture(scope="module")
def tiny_ts(media_dir: Path) -> Path:
    # A keyframe every half second, so that it splits into segments.
    return make_source(media_dir / "untrusted_tiny.ts", size="160x90", seconds=1,
                       extra_output_args=("-g", "15"))


@pytest.fixture
def folders(workdir: Path, tiny_ts: Path) -> tuple[Path, Path]:
    """upload/ (the caller's folder of uploads, holding one harmless
    neighbour file) and secret/ (a private media file and key outside it)."""
    upload, secret = workdir / "upload", workdir / "secret"
    upload.mkdir()
    secret.mkdir()
    shutil.copy(tiny_ts, upload / "neighbour.ts")
    shutil.copy(tiny_ts, secret / "private.ts")
    (secret / "private.key").write_bytes(bytes(range(16)))
    return upload, secret


def media_playlist(entries: list[str], key_line: str = "") -> str:
    lines = ["#EXTM3U", "#EXT-X-VERSION:3", "#EXT-X-TARGETDURATION:2", "#EXT-X-MEDIA-SEQUENCE:0"]
    if key_line:
        lines.append(key_line)
    for entry in entries:
        lines += ["#EXTINF:1.0,", entry]
    return "\n".join(lines + ["#EXT-X-ENDLIST", ""])


def split_into_segments(source: Path, folder: Path, prefix: str) -> list[Path]:
    folder.mkdir(parents=True, exist_ok=True)
    run_ffmpeg("-i", str(source), "-c", "copy", "-f", "segment", "-segment_time", "0.5",
               "-segment_format", "mpegts", str(folder / f"{prefix}%03d.ts"))
    return sorted(folder.glob(f"{prefix}*.ts"))


def ffmpeg_reads(path: str, watch: OpenWatch, input_format: str | None = None) -> set[Path]:
    """What the ffmpeg tool, without our rules, opens to read `path` through
    (as `input_format` when given, else as what it detects)."""
    forced = ["-f", input_format] if input_format else []
    subprocess.run(["ffmpeg", "-v", "quiet", *forced, "-allowed_extensions", "ALL", "-i", path,
                    "-map", "0", "-f", "null", "-"], timeout=CHILD_TIMEOUT_S, check=False)
    return watch.opened()


# Which of these the FFmpeg the module loaded can read: a wheel's own FFmpeg
# has fewer demuxers than the tools' (no DASH without libxml2), and takes a
# file whose format it lacks for plain bad data.
_MODULE_DEMUXERS = """
import ctypes, os, sys
import quorvane
with open("/proc/self/maps") as maps:
    library = next(line.split()[-1] for line in maps
                   if os.path.basename(line.split()[-1]).startswith("libavformat"))
find = ctypes.CDLL(library).av_find_input_format
find.restype = ctypes.c_void_p
print(" ".join(name for name in sys.argv[1:] if find(name.encode())))
"""
# Each attack by file, and the demuxer FFmpeg reads it with.
DEMUXER = {"playlist-leaving-its-folder": "hls", "playlist-absolute-path": "hls",
           "playlist-neighbour": "hls", "concat-script": "concat", "dash-manifest": "dash",
           "vobsub-index": "vobsub"}


@pytest.fixture(scope="module")
def module_demuxers() -> set[str]:
    found = run_python(_MODULE_DEMUXERS, *sorted(set(DEMUXER.values())))
    assert found.returncode == 0, found.stderr[-2000:]
    return set(found.stdout.split())


def call(workdir: Path, source: str, key_info: Path) -> subprocess.CompletedProcess:
    return encode_ok(source, key=key_info, cwd=workdir, timeout=CHILD_TIMEOUT_S)


def assert_wrote_nothing(workdir: Path, before: set[str]) -> None:
    assert set(os.listdir(workdir)) == before


# --- Inputs whose content names other files or URLs ----------------------------

def disguised_input(kind: str, upload: Path, secret: Path, port: int) -> Path:
    """An upload named clip.mp4 whose content makes FFmpeg read elsewhere."""
    clip = upload / "clip.mp4"
    if kind == "playlist-leaving-its-folder":
        clip.write_text(media_playlist(["../secret/private.ts"]))
    elif kind == "playlist-absolute-path":
        clip.write_text(media_playlist([str(secret / "private.ts")]))
    elif kind == "playlist-neighbour":
        clip.write_text(media_playlist(["neighbour.ts"]))
    elif kind == "playlist-url":
        clip.write_text(media_playlist([f"http://127.0.0.1:{port}/private.ts"]))
    elif kind == "concat-script":
        clip.write_text("ffconcat version 1.0\nfile neighbour.ts\n")
    elif kind == "dash-manifest":
        clip.write_text(
            '<?xml version="1.0"?>\n'
            '<MPD xmlns="urn:mpeg:dash:schema:mpd:2011" type="static" '
            'mediaPresentationDuration="PT1S" minBufferTime="PT1S" '
            'profiles="urn:mpeg:dash:profile:isoff-on-demand:2011"><Period>'
            '<AdaptationSet mimeType="video/mp2t"><Representation id="0" bandwidth="100000">'
            '<BaseURL>../secret/private.ts</BaseURL></Representation></AdaptationSet>'
            '</Period></MPD>\n')
    elif kind == "vobsub-index":
        # The VobSub demuxer reads the .sub file named like its index.
        clip.write_text("# VobSub index file, v7 (do not modify this line!)\nsize: 720x480\n")
        shutil.copy(upload / "neighbour.ts", upload / "clip.sub")
    else:
        raise AssertionError(kind)
    return clip


FILE_ATTACKS = list(DEMUXER)
# FFmpeg 7.1 no longer detects an HLS playlist in a file not named .m3u8 or
# .m3u; taken for a playlist, it still reads the files it names.
PLAYLISTS = {"playlist-leaving-its-folder", "playlist-absolute-path", "playlist-neighbour"}


# FFmpeg 5.1 itself already keeps a playlist read from a file off http; the
# URL case guards that the rules keep it so.
@pytest.mark.parametrize("kind", FILE_ATTACKS + ["playlist-url"])
def test_disguised_reference_reads_nothing_else(workdir, key_info, folders, listener,
                                                module_demuxers, kind):
    upload, secret = folders
    clip = disguised_input(kind, upload, secret, listener.port)
    watch = OpenWatch(upload, secret)
    detected = False  # the module's FFmpeg takes the file for what it is, by its content
    try:
        if kind != "playlist-url":  # the tool would wait for the silent port
            elsewhere = ffmpeg_reads(str(clip), watch) - {clip}
            detected = bool(elsewhere) and DEMUXER[kind] in module_demuxers
            if not elsewhere and kind in PLAYLISTS:
                elsewhere = ffmpeg_reads(str(clip), watch, "hls") - {clip}
            assert elsewhere, "the attack does not work on FFmpeg"
        before = set(os.listdir(workdir))
        finished = call(workdir, str(clip), key_info)
        assert watch.opened() <= {clip}
    finally:
        watch.close()
    if detected:   # the refusal says what the upload is, not "Invalid argument"
        assert "input refused: the input is" in finished.stderr, finished.stderr[-2000:]
    assert not listener.was_connected()
    assert_wrote_nothing(workdir, before)


@pytest.mark.parametrize("make_url", [
    pytest.param(lambda port, clip: f"http://127.0.0.1:{port}/clip.mp4", id="http"),
    pytest.param(lambda port, clip: f"tcp://127.0.0.1:{port}", id="tcp"),
    pytest.param(lambda port, clip: f"file:{clip}", id="file-scheme"),
    pytest.param(lambda port, clip: f"subfile,,start,0,end,0,,:{clip}", id="subfile"),
    pytest.param(lambda port, clip: f"concat:{clip}|{clip}", id="concat"),
])
def test_input_named_by_a_url_is_not_opened(workdir, key_info, folders, listener, tiny_ts,
                                            make_url):
    upload, _ = folders
    clip = upload / "clip.ts"
    shutil.copy(tiny_ts, clip)
    watch = OpenWatch(upload)
    try:
        before = set(os.listdir(workdir))
        call(workdir, make_url(listener.port, clip), key_info)
        assert watch.opened() == set()
    finally:
        watch.close()
    assert not listener.was_connected()
    assert_wrote_nothing(workdir, before)


@pytest.mark.parametrize("name", ["clip,v2.ts", "./odd:name.ts", "#1 clip?.ts"])
def test_file_names_with_url_characters_are_still_read(workdir, key_info, tiny_ts, name):
    shutil.copy(tiny_ts, workdir / name)
    call(workdir, name, key_info)
    complete_rendition("360p", workdir)


# --- Inputs named as playlists ----------------------------------------------

@pytest.mark.parametrize("layout", ["segments-below", "encrypted"])
def test_playlist_reading_inside_its_folder_is_transcoded(workdir, key_info, folders, tiny_ts,
                                                          layout):
    upload, secret = folders
    if layout == "segments-below":
        segments = split_into_segments(tiny_ts, upload / "media", "seg")
        text = media_playlist([f"media/{segment.name}" for segment in segments])
    else:
        # AES-128 segments with the key beside the playlist, as a packager writes them.
        plain = split_into_segments(tiny_ts, workdir / "plain", "seg")
        key, iv = os.urandom(16), os.urandom(16)
        (upload / "keys").mkdir()
        (upload / "keys" / "media.key").write_bytes(key)
        for segment in plain:
            subprocess.run(["openssl", "aes-128-cbc", "-K", key.hex(), "-iv", iv.hex(),
                            "-in", str(segment), "-out", str(upload / segment.name)], check=True)
        shutil.rmtree(workdir / "plain")
        text = media_playlist([segment.name for segment in plain],
                              f'#EXT-X-KEY:METHOD=AES-128,URI="keys/media.key",IV=0x{iv.hex()}')
    playlist = upload / "list.m3u8"
    playlist.write_text(text)
    assert len(segments if layout == "segments-below" else plain) >= 2
    watch = OpenWatch(secret)
    try:
        call(workdir, str(playlist), key_info)
        assert watch.opened() == set()
    finally:
        watch.close()
    complete_rendition("360p", workdir)
    assert listed_renditions(workdir / "master.m3u8") == ["360p.m3u8"]


def bad_entry(kind: str, upload: Path, secret: Path, port: int) -> tuple[str, str, str]:
    """A playlist entry (or key line) that leaves the playlist's folder, and
    the reason the call logs for refusing it."""
    outside = "lies outside the playlist's folder"
    if kind == "leaving-its-folder":
        return "../secret/private.ts", "", f"entry ../secret/private.ts {outside}"
    if kind == "absolute-path":
        return str(secret / "private.ts"), "", f"entry {secret / 'private.ts'} {outside}"
    if kind == "symbolic-link-out":
        (upload / "inside.ts").symlink_to(secret / "private.ts")
        return "inside.ts", "", f"entry inside.ts {outside}"
    if kind == "key-outside":
        return ("", '#EXT-X-KEY:METHOD=AES-128,URI="../secret/private.key",IV=0x' + "00" * 16,
                f"entry ../secret/private.key {outside}")
    if kind in ("url", "url-in-media-playlist"):
        url = f"http://127.0.0.1:{port}/private.ts"
        return url, "", f"entry {url} names a protocol"
    if kind == "named-pipe":
        os.mkfifo(upload / "pipe.ts")
        return "pipe.ts", "", "entry pipe.ts is a named pipe"
    if kind.startswith("live"):   # no end, and a reload due in a day
        media = upload / ("media.m3u8" if kind in ("live-media-playlist", "live-bare-rendition-uri")
                          else "list.m3u8")
        return "", "", (f"playlist {media} has no #EXT-X-ENDLIST: FFmpeg would wait for a live "
                        "playlist to grow")
    if kind == "empty-rendition":   # ended, but no segment: FFmpeg 5.1 crashes on it
        (upload / "audio.m3u8").write_text("#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXT-X-ENDLIST\n")
        return "", "", f"playlist {upload / 'audio.m3u8'} lists no segment"
    raise AssertionError(kind)


# How FFmpeg treats a URL entry depends on its build (one without network
# protocols drops the entry and plays the rest): the call decides by reading
# the playlist, and a master playlist's media playlists, itself.
@pytest.mark.parametrize("kind", ["leaving-its-folder", "absolute-path", "symbolic-link-out",
                                  "key-outside", "url", "url-in-media-playlist", "named-pipe",
                                  "live", "live-media-playlist", "live-segments-after-a-nul",
                                  "live-end-before-the-segments", "live-bare-rendition-uri",
                                  "empty-rendition"])
def test_playlist_entry_past_its_folder_refuses_the_whole_input(workdir, key_info, folders,
                                                                listener, tiny_ts, kind):
    upload, secret = folders
    segments = split_into_segments(tiny_ts, upload, "seg")
    entry, key_line, reason = bad_entry(kind, upload, secret, listener.port)
    if key_line:
        # The segments are encrypted with the key the playlist points at.
        key = (secret / "private.key").read_bytes()
        for segment in segments:
            subprocess.run(["openssl", "aes-128-cbc", "-K", key.hex(), "-iv", "00" * 16,
                            "-in", str(segment), "-out", f"{segment}.enc"], check=True)
            os.replace(f"{segment}.enc", segment)
    # The good segments first: the refused one comes only once reading is under way.
    entries = [segment.name for segment in segments] + ([entry] if entry else [])
    playlist = upload / "list.m3u8"
    media = media_playlist(entries, key_line)
    if kind.startswith("live"):
        media = media.replace("#EXT-X-ENDLIST\n", "").replace("#EXTINF:1.0,", "#EXTINF:86400,")
        # Each live case read otherwise than FFmpeg reads it: the segments'
        # lines begun after a NUL, under an empty rendition that makes the
        # list look like a master playlist; the end before any segment,
        # which FFmpeg's demuxer passes over; a live rendition named by a
        # bare URI after a blank.
        if kind == "live-segments-after-a-nul":
            media = media.replace("#EXTINF:86400,\n", "#EXTINF:86400,\0").replace(
                "#EXTM3U\n", '#EXTM3U\n#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID="a",NAME="a",URI=""\n')
        if kind == "live-end-before-the-segments":
            media = media.replace("#EXTM3U\n", "#EXTM3U\n#EXT-X-ENDLIST\n")
    masters = {"url-in-media-playlist": "", "live-media-playlist": "",
               "empty-rendition": 'URI="audio.m3u8"', "live-bare-rendition-uri": " URI=media.m3u8"}
    if kind in masters:
        (upload / "media.m3u8").write_text(media)
        variant = "media.m3u8"
        if kind == "live-bare-rendition-uri":
            variant = "video.m3u8"
            (upload / variant).write_text(media_playlist(entries))
        rendition = (f'#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID="a",NAME="a",{masters[kind]}\n'
                     if masters[kind] else "")
        audio = ',AUDIO="a"' if rendition else ""
        playlist.write_text(f"#EXTM3U\n{rendition}#EXT-X-STREAM-INF:BANDWIDTH=400000{audio}\n{variant}\n")
    else:
        playlist.write_text(media)
    watch = OpenWatch(secret)
    try:
        if kind in ("leaving-its-folder", "absolute-path", "symbolic-link-out", "key-outside"):
            assert ffmpeg_reads(str(playlist), watch), "the attack does not work on FFmpeg"
        before = set(os.listdir(workdir))
        finished = call(workdir, str(playlist), key_info)
        assert watch.opened() == set()
    finally:
        watch.close()
    assert not listener.was_connected()
    assert_wrote_nothing(workdir, before)
    # The child configures no logging: Python's last-resort handler prints
    # the record's message alone.
    assert f"all rungs: input refused: {reason}\n" in finished.stderr


# --- Pipes and devices --------------------------------------------------------

@pytest.mark.parametrize("kind", ["named-pipe", "dev-stdin"])
def test_pipe_input_returns_at_once_unread_and_writes_nothing(workdir, key_info, tiny_ts, kind):
    """Media waits in the pipe, and the pipe stays open for writing, so a call
    that opened and read it would get those bytes and then block for more."""
    media = tiny_ts.read_bytes()[:16 * 1024]
    if kind == "named-pipe":
        pipe = workdir / "upload.ts"
        os.mkfifo(pipe)
        # Read and write at once: opening never blocks, and the bytes stay queued.
        reader = writer = os.open(pipe, os.O_RDWR | os.O_NONBLOCK)
        source, stdin = str(pipe), subprocess.DEVNULL
    else:
        reader, writer = os.pipe()
        os.set_blocking(reader, False)
        source, stdin = "/dev/stdin", reader
    os.write(writer, media)
    before = set(os.listdir(workdir))
    try:
        encode_ok(source, key=key_info, cwd=workdir, stdin=stdin, timeout=CHILD_TIMEOUT_S)
        # Every byte is still waiting in the pipe: nobody read any.
        assert os.read(reader, len(media) + 1) == media
    finally:
        os.close(reader)
        if writer != reader:
            os.close(writer)
    assert_wrote_nothing(workdir, before)
