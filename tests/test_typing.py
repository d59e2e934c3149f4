"""The type stub installed beside the module (site-packages/quorvane-stubs):
mypy finds it there, accepts the calls the binding accepts, and refuses the
argument types the binding refuses at run time."""

from __future__ import annotations

import ast
import subprocess
import sys
import sysconfig
import textwrap
from pathlib import Path

import pytest

import quorvane
from sanitized_build import sanitized_suite_modules

INSTALLED_STUB = Path(sysconfig.get_paths()["platlib"]) / "quorvane-stubs" / "__init__.pyi"

# Calls mypy must accept. The input does not exist, so running them encodes
# nothing: it only shows that the binding takes these arguments too.
GOOD = """\
import quorvane

names: list[str] = ["720p", "360p"]
rates: list[int] = [2500000, 400000]

quorvane.hls_encoder("missing.mp4", "master.m3u8")
quorvane.hls_encoder(b"missing.mp4", bytearray(b"master.m3u8"), names, rates, "enc.keyinfo")
quorvane.hls_encoder("missing.mp4", "master.m3u8", resolution=("720p", b"360p"), bitrate=(True, 7))
quorvane.hls_encoder("missing.mp4", "master.m3u8", {"720p"}, [1], key=b"enc.keyinfo")
quorvane.hls_encoder("missing.mp4", "master.m3u8", (n.lower() for n in names), range(1, 3))
quorvane.hls_encoder("missing.mp4", "master.m3u8", {"720p": 1}.keys(), map(int, ["7"]))
quorvane.hls_encoder("missing.mp4", "master.m3u8", map(str.lower, names), (r for r in rates))
quorvane.hls_encoder(input="missing.mp4", output="m.m3u8", resolution=["1080p"], bitrate=[5000000])
reveal_type(quorvane.hls_encoder)
"""

# One wrong call each, with the start of the error mypy must give for it.
BAD = [
    pytest.param('quorvane.hls_encoder(5, "master.m3u8")',
                 'Argument 1 to "hls_encoder" has incompatible type "int"', id="number-as-input"),
    pytest.param('quorvane.hls_encoder("in.mp4", "master.m3u8", bitrate=["2500000"])',
                 'Argument "bitrate" to "hls_encoder" has incompatible type "list[str]"',
                 id="strings-as-bitrate"),
    pytest.param('quorvane.hls_encoder("in.mp4", "master.m3u8", "720p")',
                 'Argument 3 to "hls_encoder" has incompatible type "str"', id="bare-str-resolution"),
    pytest.param('quorvane.hls_encoder("in.mp4", "master.m3u8", bitrate=b"12")',
                 'Argument "bitrate" to "hls_encoder" has incompatible type "bytes"', id="bytes-as-bitrate"),
    pytest.param('quorvane.hls_encoder("in.mp4", "master.m3u8", bitrate=[2.5e6])',
                 'Argument "bitrate" to "hls_encoder" has incompatible type "list[float]"',
                 id="float-bitrate"),
    pytest.param('quorvane.hls_encoder("in.mp4", "master.m3u8", iter(["720p"]))',
                 'Argument 3 to "hls_encoder" has incompatible type "Iterator[str]"',
                 id="list-iterator-resolution"),
]


@pytest.fixture(scope="module")
def mypy_cache(tmp_path_factory: pytest.TempPathFactory) -> Path:
    return tmp_path_factory.mktemp("mypy_cache")


def run_mypy(folder: Path, source: str, cache: Path, *options: str) -> subprocess.CompletedProcess:
    """mypy --strict on `source`, from a folder outside the source tree, so
    that only the installed stub can tell it about quorvane."""
    (folder / "script.py").write_text(source)
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--config-file=", f"--cache-dir={cache}",
         *options, "script.py"],
        cwd=folder, capture_output=True, text=True, timeout=300,
    )


@pytest.mark.skipif(sanitized_suite_modules() is not None,
                    reason="the sanitized build runs from its build folder, not installed")
def test_stub_is_installed_beside_the_module():
    assert INSTALLED_STUB.is_file()
    assert Path(quorvane.__file__).parent == INSTALLED_STUB.parent.parent


def test_mypy_reads_the_installed_stub_and_accepts_correct_calls(tmp_path, mypy_cache):
    result = run_mypy(tmp_path, GOOD, mypy_cache, "--verbose")
    assert result.returncode == 0, result.stdout
    # The stub mypy parsed for quorvane is the installed one.
    assert f"Parsing {INSTALLED_STUB} (quorvane)" in result.stderr
    revealed = [line for line in result.stdout.splitlines() if "Revealed type" in line]
    assert len(revealed) == 1 and "input: str | bytes | bytearray" in revealed[0], result.stdout


def test_binding_takes_the_calls_the_stub_accepts(tmp_path):
    (tmp_path / "script.py").write_text(GOOD.replace("reveal_type(", "print("))
    result = subprocess.run([sys.executable, "script.py"], cwd=tmp_path, capture_output=True,
                            text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert sorted(path.name for path in tmp_path.iterdir()) == ["script.py"]


@pytest.mark.parametrize(("call", "error"), BAD)
def test_mypy_refuses_wrong_argument_types(tmp_path, mypy_cache, call, error):
    result = run_mypy(tmp_path, f"import quorvane\n{call}\n", mypy_cache)
    assert result.returncode == 1, result.stdout
    errors = [line for line in result.stdout.splitlines() if ": error: " in line]
    assert len(errors) == 1, result.stdout
    assert errors[0].startswith(f"script.py:2: error: {error}"), errors[0]
    assert errors[0].endswith("[arg-type]"), errors[0]


@pytest.mark.parametrize(("call", "error"), BAD)
def test_binding_refuses_what_the_stub_refuses(workdir, call, error):
    with pytest.raises(TypeError):
        exec(call, {"quorvane": quorvane})
    assert list(workdir.iterdir()) == []


def test_stub_parameters_match_the_binding():
    """Names, order and which parameters have defaults, as the binding's own
    signature line (the first line of its docstring) gives them."""
    stub = ast.parse(INSTALLED_STUB.read_text())
    (function,) = [node for node in stub.body
                   if isinstance(node, ast.FunctionDef) and node.name == "hls_encoder"]
    stub_parameters = [(arg.arg, index >= len(function.args.args) - len(function.args.defaults))
                       for index, arg in enumerate(function.args.args)]
    signature = quorvane.hls_encoder.__doc__.splitlines()[0]
    runtime = ast.parse(f"def {signature.split(' -> ')[0]}: pass").body[0]
    assert isinstance(runtime, ast.FunctionDef)
    runtime_parameters = [(arg.arg, index >= len(runtime.args.args) - len(runtime.args.defaults))
                          for index, arg in enumerate(runtime.args.args)]
    assert stub_parameters == runtime_parameters
