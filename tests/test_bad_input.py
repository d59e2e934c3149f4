"""Bad input must never take the caller's process down: every file of a
generated corpus goes through hls_encoder in a child process built with
AddressSanitizer and UndefinedBehaviorSanitizer. The child must exit normally
within its time bound, with no sanitizer report, the call must return None,
and whatever renditions it lists must be complete and play."""

import random
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import make_source, run_ffmpeg
from sanitized_build import sanitizer_environment

CHILD_TIMEOUT_S = 180

CALL = """
import sys
import quorvane
result = quorvane.hls_encoder(sys.argv[1], "master.m3u8", ["360p"], [400000], sys.argv[2])
print("result:", repr(result))
print("module:", quorvane.__file__)
"""

pytestmark = pytest.mark.slow


def run_child(module_dir: Path, workdir: Path, source: str, key: str) -> subprocess.CompletedProcess:
    return subprocess.run(
        [sys.executable, "-c", CALL, source, key],
        cwd=workdir, env=sanitizer_environment(module_dir), capture_output=True, text=True,
        timeout=CHILD_TIMEOUT_S,
    )


def listed_renditions(master: Path) -> list[str]:
    if not master.exists():
        return []
    return [line for line in master.read_text().splitlines() if line.endswith(".m3u8")]


def assert_survived(result: subprocess.CompletedProcess, workdir: Path) -> None:
    report = result.stderr
    assert result.returncode == 0, f"child ended with {result.returncode}:\n{report[-4000:]}"
    assert "AddressSanitizer" not in report and "runtime error:" not in report, report[-4000:]
    assert "result: None" in result.stdout
    assert "/sanitized" in result.stdout.split("module:", 1)[1], "sanitized build not loaded"
    for playlist in listed_renditions(workdir / "master.m3u8"):
        assert "#EXT-X-ENDLIST" in (workdir / playlist).read_text()
        played = subprocess.run(
            ["ffmpeg", "-v", "error", "-allowed_extensions", "ALL", "-i", playlist,
             "-map", "0", "-f", "null", "-"],
            cwd=workdir, capture_output=True, text=True)
        assert played.returncode == 0 and not played.stderr.strip(), played.stderr


# --- the corpus -------------------------------------------------------------

def flip_bytes(data: bytes, seed: int, count: int = 12) -> bytes:
    rng = random.Random(seed)
    mutated = bytearray(data)
    for _ in range(count):
        position = rng.randrange(len(mutated))
        mutated[position] ^= 1 << rng.randrange(8)
    return bytes(mutated)


@pytest.fixture(scope="session")
def corpus(media_dir: Path) -> dict[str, Path]:
    folder = media_dir / "bad"
    folder.mkdir()
    mp4 = make_source(folder / "valid.mp4", size="160x90", seconds=1)
    ts = make_source(folder / "valid.ts", size="160x90", seconds=1)
    moov_first = make_source(folder / "faststart.mp4", size="160x90", seconds=1,
                             container_args=("-movflags", "+faststart"))
    files: dict[str, Path] = {}

    def add(name: str, data: bytes) -> None:
        files[name] = folder / name
        files[name].write_bytes(data)

    add("empty.mp4", b"")
    add("random.bin", random.Random(7).randbytes(64 * 1024))
    mp4_bytes = mp4.read_bytes()
    add("cut_in_media.mp4", moov_first.read_bytes()[: len(moov_first.read_bytes()) * 2 // 3])
    # Index (moov) at the end and cut off: the media data has no index at all.
    add("no_index.mp4", mp4_bytes[: mp4_bytes.rfind(b"moov") - 4])
    ts_bytes = ts.read_bytes()
    add("cut_mid_packet.ts", ts_bytes[: (len(ts_bytes) // 188 // 2) * 188 + 97])
    for seed in range(20):
        add(f"flipped_{seed:02}.mp4", flip_bytes(mp4_bytes, seed))
        add(f"flipped_{seed:02}.ts", flip_bytes(ts_bytes, 1000 + seed))
    # A raw picture stream that claims a 16384x16384 picture and holds a sliver of one.
    add("huge_claim.y4m", b"YUV4MPEG2 W16384 H16384 F30:1 Ip A1:1 C420jpeg\nFRAME\n" + bytes(4096))
    audio_only = folder / "audio_only.m4a"
    run_ffmpeg("-f", "lavfi", "-i", "sine=frequency=440", "-t", "1", "-c:a", "aac", str(audio_only))
    files["audio_only.m4a"] = audio_only
    files["a directory"] = folder
    non_ascii = folder / "vidéo ünïcødé 视频.mp4"
    shutil.copy2(mp4, non_ascii)
    files["non_ascii_path"] = non_ascii
    files["valid.mp4"] = mp4
    return files


CORPUS_NAMES = (
    ["empty.mp4", "random.bin", "cut_in_media.mp4", "no_index.mp4", "cut_mid_packet.ts",
     "huge_claim.y4m", "audio_only.m4a", "a directory", "non_ascii_path"]
    + [f"flipped_{seed:02}.{ext}" for seed in range(20) for ext in ("mp4", "ts")]
)


@pytest.mark.parametrize("name", CORPUS_NAMES)
def test_bad_input_is_survived(name: str, corpus: dict[str, Path], sanitized_module: Path,
                               key_info: Path, workdir: Path) -> None:
    result = run_child(sanitized_module, workdir, str(corpus[name]), str(key_info))
    assert_survived(result, workdir)


def test_non_ascii_path_still_encodes(corpus: dict[str, Path], sanitized_module: Path,
                                      key_info: Path, workdir: Path) -> None:
    result = run_child(sanitized_module, workdir, str(corpus["non_ascii_path"]), str(key_info))
    assert_survived(result, workdir)
    assert listed_renditions(workdir / "master.m3u8") == ["360p.m3u8"]


def write_key_info(workdir: Path, key_bytes: bytes, iv: str) -> Path:
    key = workdir / "bad.key"
    key.write_bytes(key_bytes)
    info = workdir / "bad.keyinfo"
    info.write_text(f"bad.key\n{key}\n{iv}\n")
    return info


@pytest.mark.parametrize("case", ["empty", "short_key", "iv_not_hex", "missing"])
def test_bad_key_info_is_survived(case: str, corpus: dict[str, Path], sanitized_module: Path,
                                  workdir: Path) -> None:
    if case == "empty":
        info = workdir / "empty.keyinfo"
        info.write_text("")
    elif case == "short_key":
        info = write_key_info(workdir, b"12345", "00" * 16)
    elif case == "iv_not_hex":
        info = write_key_info(workdir, bytes(range(16)), "not-hex-at-all-zz")
    else:
        info = workdir / "no-such.keyinfo"
    result = run_child(sanitized_module, workdir, str(corpus["valid.mp4"]), str(info))
    assert_survived(result, workdir)
