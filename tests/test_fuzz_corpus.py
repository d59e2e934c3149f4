"""The fuzz targets (scripts/fuzz.sh) replay their checked-in corpus, the
inputs of every finding among it, and then fuzz a fixed number of runs from
a fixed seed: a fixed finding stays fixed, and the same build always runs
the same inputs. A run's time is no property here (the machine may be busy):
scripts/fuzz.sh holds each run to 10 s."""

import subprocess
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parent.parent
TARGETS = sorted(path.name.removesuffix("_fuzzer.cpp") for path in (REPO / "fuzz").glob("*_fuzzer.cpp"))
# Runs after the corpus: enough to step off every seed a little.
RUNS_PAST_CORPUS = {"rendition": 20}
DEFAULT_RUNS = 3000


@pytest.fixture(scope="module")
def fuzz_targets() -> Path:
    subprocess.run(["bash", str(REPO / "scripts" / "fuzz.sh"), "--build"], check=True)
    return REPO / "build" / "fuzz" / "objects" / "fuzz"


@pytest.mark.parametrize("target", TARGETS)
def test_target_replays_its_corpus_and_fuzzes_on(fuzz_targets: Path, target: str, tmp_path: Path):
    corpus = sorted((REPO / "fuzz" / "corpus" / target).iterdir())
    assert corpus, f"{target} has no seed"
    runs = len(corpus) + RUNS_PAST_CORPUS.get(target, DEFAULT_RUNS)
    working = tmp_path / "corpus"
    working.mkdir()
    run = subprocess.run(
        [str(fuzz_targets / f"fuzz_{target}"), str(working), str(REPO / "fuzz" / "corpus" / target),
         f"-runs={runs}", "-seed=1", "-timeout=300", "-rss_limit_mb=2048", "-malloc_limit_mb=2048",
         f"-artifact_prefix={tmp_path}/"],
        env={"TMPDIR": str(tmp_path), "UBSAN_OPTIONS": "print_stacktrace=1", "PATH": "/usr/bin:/bin",
             "LSAN_OPTIONS": f"suppressions={REPO / 'fuzz' / 'lsan.supp'}",
             # FFmpeg omits frame pointers: the whole call's leaks are traced by
             # DWARF, so that the one FFmpeg leak lsan.supp names is told from ours.
             "ASAN_OPTIONS": f"fast_unwind_on_malloc={int(target != 'rendition')}"},
        capture_output=True, text=True)
    assert run.returncode == 0, run.stderr[-4000:]
    assert "Done " in run.stderr
