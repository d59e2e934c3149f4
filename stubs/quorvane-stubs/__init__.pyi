"""Types of the quorvane extension module, for editors and type checkers."""

from collections.abc import Generator, Set as AbstractSet, ValuesView
from typing import Any, SupportsIndex

# A path or name the binding turns into a C++ string.
_Text = str | bytes | bytearray
_Name = str | bytes | bytearray

# The binding reads a sequence, a set, a generator, a dict view or a map
# object, but refuses a bare str or bytes (sequences of names or numbers as far
# as types go) and other iterators. A type cannot say "not str", so the
# containers are listed instead; list is invariant, hence one entry per item
# type.
_Names = (
    list[str]
    | list[bytes]
    | list[_Name]
    | tuple[_Name, ...]
    | AbstractSet[_Name]
    | ValuesView[_Name]
    | Generator[_Name, Any, Any]
    | map[_Name]
)

# Bitrates are 32-bit integers. Items need __index__: float has __int__ but
# the binding refuses floats.
_Bitrates = (
    list[int]
    | list[SupportsIndex]
    | tuple[SupportsIndex, ...]
    | range
    | Generator[SupportsIndex, Any, Any]
    | map[SupportsIndex]
)

def hls_encoder(
    input: _Text,
    output: _Text,
    resolution: _Names = ...,
    bitrate: _Bitrates = ...,
    key: _Text = ...,
) -> None:
    """Transcode video to HLS with dynamic ABR"""
