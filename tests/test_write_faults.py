"""Faults while the ladder is written: a working directory that cannot be
written, a disk that fills up, a key-info file removed mid-encode. The call
returns None, the process survives, renditions that could not be written are
not listed, and those listed are complete and play."""

from __future__ import annotations

import hashlib
import os
import subprocess
import time
from pathlib import Path

import pytest

from conftest import make_source
from media_checks import (
    assert_rendition_plays,
    call_returned_none,
    finish_child,
    listed_renditions,
    start_hls_encoder,
)

# A full disk, as far as the child can tell: writes past DISK_LIMIT bytes
# fail. The kernel cuts the write that crosses the limit short at the limit.
DISK_LIMIT = 600_000
FULL_DISK = f"""
import resource, signal
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, ({DISK_LIMIT}, {DISK_LIMIT}))
"""
# The working directory disappears under the call: nothing can be created in it.
NO_WORKDIR = """
import os
os.rmdir(os.getcwd())
"""
LADDER = {"resolution": ["1080p", "360p"], "bitrate": [5000000, 400000]}


def start_call(workdir: Path, source: Path, output: Path, key: Path,
               prelude: str = "") -> subprocess.Popen:
    return start_hls_encoder(source, output=output, key=key, cwd=workdir, prelude=prelude,
                             **LADDER)


def finish(child: subprocess.Popen) -> str:
    return call_returned_none(finish_child(child, timeout=600)).stderr


def test_unwritable_working_directory_lists_nothing(tmp_path: Path, media_dir: Path,
                                                    key_info: Path) -> None:
    source = make_source(media_dir / "faults_short.mp4", size="160x90", seconds=1)
    gone = tmp_path / "gone"
    gone.mkdir()
    master = tmp_path / "master.m3u8"
    finish(start_call(gone, source, master, key_info, prelude=NO_WORKDIR))
    assert not gone.exists(), "the working directory was not removed"
    assert master.read_text() == "#EXTM3U\n#EXT-X-VERSION:3\n"


def test_full_disk_fails_only_the_renditions_it_hits(workdir: Path, media_dir: Path,
                                                     key_info: Path) -> None:
    source = make_source(media_dir / "faults_busy.mp4", size="320x180", seconds=13)
    digest = hashlib.sha256(source.read_bytes()).hexdigest()
    # 1080p segments at 5 Mb/s outgrow the limit; 360p ones stay below it.
    finish(start_call(workdir, source, workdir / "master.m3u8", key_info,
                      prelude=FULL_DISK))
    # The disk really filled: a 1080p segment was cut off at the limit.
    sizes = {name: [p.stat().st_size for p in workdir.glob(f"{name}_*.ts")]
             for name in ("1080p", "360p")}
    assert sizes["1080p"] and max(sizes["1080p"]) == DISK_LIMIT, sizes
    assert sizes["360p"] and max(sizes["360p"]) < DISK_LIMIT, sizes
    # The 1080p rung stopped at its first lost segment, mid-ladder; the 360p
    # rung, which shares its pictures, went on to the end without it.
    assert len(sizes["1080p"]) < len(sizes["360p"]) == 3, sizes
    assert listed_renditions(workdir / "master.m3u8") == ["360p.m3u8"]
    assert_rendition_plays(workdir / "360p.m3u8")
    assert hashlib.sha256(source.read_bytes()).hexdigest() == digest


def test_key_info_removed_mid_encode(workdir: Path, media_dir: Path, key_info: Path) -> None:
    source = make_source(media_dir / "faults_long.mp4", size="160x90", seconds=12)
    child = start_call(workdir, source, workdir / "master.m3u8", key_info)
    # Until the first 360p segment is written or the child ends; however long
    # a busy machine takes. The bound only keeps a hung child from hanging the
    # suite, and finish() then reports it.
    deadline = time.monotonic() + 600
    while (not (workdir / "360p_000.ts").exists() and child.poll() is None
           and time.monotonic() < deadline):
        time.sleep(0.01)
    segment_begun, call_running = (workdir / "360p_000.ts").exists(), child.poll() is None
    key_info.unlink()
    finish(child)
    # The fault landed mid-encode: the first segment was begun and the call still ran.
    assert segment_begun and call_running, {"segment begun": segment_begun,
                                            "call running": call_running}
    # FFmpeg's HLS muxer reads the key-info file as it begins encrypting, so
    # a rendition begun before the file vanished may finish with the key it
    # read (12 s make two segments); one cut short must not be listed.
    segments_written = {name: len(list(workdir.glob(f"{name}_*.ts"))) for name in ("1080p", "360p")}
    renditions = listed_renditions(workdir / "master.m3u8")
    for playlist in renditions:
        assert_rendition_plays(workdir / playlist)
    for name, count in segments_written.items():
        listed = f"{name}.m3u8" in renditions
        assert listed == (count == 2), (name, segments_written, renditions)


# Stands in for FFmpeg's option setters: the one named by
# QUORVANE_REFUSED_OPTION is refused with EINVAL, as an FFmpeg that lacks it
# or rejects its value would; every other call goes through. Named
# "stream_info", the reading of the input's stream information fails (EIO).
REFUSING_SETTERS = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <link.h>
#include <stdlib.h>
#include <string.h>
static int refused(const char* key) {
  const char* name = getenv("QUORVANE_REFUSED_OPTION");
  return name != NULL && key != NULL && strcmp(key, name) == 0;
}
/* FFmpeg is loaded with the module, into its own scope: found by name. The
   call's passes open the input on threads of their own, at once: the search
   keeps its state on the caller's stack. */
struct search { const char* wanted; void* found; };
static int find_library(struct dl_phdr_info* info, size_t size, void* data) {
  struct search* search = data;
  (void)size;
  if (strstr(info->dlpi_name, search->wanted) != NULL)
    search->found = dlopen(info->dlpi_name, RTLD_LAZY | RTLD_NOLOAD);
  return search->found != NULL;
}
static void* real(const char* library, const char* symbol) {
  struct search search = {library, NULL};
  dl_iterate_phdr(find_library, &search);
  return dlsym(search.found, symbol);
}
int av_opt_set(void* object, const char* key, const char* value, int flags) {
  if (refused(key)) return -22;
  int (*set)(void*, const char*, const char*, int) = real("libavutil", "av_opt_set");
  return set(object, key, value, flags);
}
int av_dict_set(void** dictionary, const char* key, const char* value, int flags) {
  if (refused(key)) return -22;
  int (*set)(void**, const char*, const char*, int) = real("libavutil", "av_dict_set");
  return set(dictionary, key, value, flags);
}
int avformat_find_stream_info(void* input, void** options) {
  if (refused("stream_info")) return -5;
  int (*find)(void*, void**) = real("libavformat", "avformat_find_stream_info");
  return find(input, options);
}
"""


@pytest.mark.parametrize("option, logged", [
    ("hls_key_info_file", "360p: setting the key-info file: Invalid argument"),
    ("hls_segment_options", "360p: setting the transport stream's options: Invalid argument"),
    ("protocol_whitelist", "all rungs: setting the protocol whitelist: Invalid argument"),
    ("format_whitelist", "all rungs: setting the format whitelist: Invalid argument"),
    ("enable_drefs", "all rungs: setting enable_drefs: Invalid argument"),
    ("stream_info", "all rungs: reading the input's streams: Input/output error"),
])
def test_a_guard_option_refused_fails_the_call_closed(tmp_path: Path, media_dir: Path,
                                                      key_info: Path, option: str,
                                                      logged: str) -> None:
    """An option that guards the input or encrypts the output, refused by
    FFmpeg, fails the rung or the call with its reason: nothing is written
    without it. Stream information that cannot be read refuses the call
    once, before any rung starts."""
    shim = tmp_path / "refusing_setters.so"
    (tmp_path / "refusing_setters.c").write_text(REFUSING_SETTERS)
    subprocess.run(["cc", "-shared", "-fPIC", "-o", str(shim), str(tmp_path / "refusing_setters.c"),
                    "-ldl"], check=True)
    source = make_source(media_dir / "faults_short.mp4", size="160x90", seconds=1)
    workdir = tmp_path / "out"
    workdir.mkdir()
    stderr = finish(start_hls_encoder(source, key=key_info, cwd=workdir,
                                      # after a sanitizer runtime already preloaded
                                      env={"LD_PRELOAD": " ".join(filter(None, [
                                               os.environ.get("LD_PRELOAD"), str(shim)])),
                                           "QUORVANE_REFUSED_OPTION": option}))
    assert [line for line in stderr.splitlines() if line.startswith(("all rungs: ", "360p: "))] \
        == [logged], stderr[-2000:]
    master = workdir / "master.m3u8"
    assert not master.exists() or listed_renditions(master) == []
    assert not list(workdir.glob("*.ts"))
