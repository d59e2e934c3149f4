"""The AES-128 key file and key-info file that hls_encoder's `key` names,
written the same way for the demo, the benchmarks and the tests."""

from __future__ import annotations

import secrets
from pathlib import Path


def write_key_info(folder: Path, *, name: str = "enc", key: bytes | None = None,
                   iv: str | None = None) -> Path:
    """Writes NAME.key and NAME.keyinfo (key URI, key file path, IV in hex) in `folder`."""
    key_file = folder / f"{name}.key"
    key_file.write_bytes(secrets.token_bytes(16) if key is None else key)
    info = folder / f"{name}.keyinfo"
    # Players fetch the key by its URI, relative to the playlist; the muxer reads the file.
    info.write_text(f"{key_file.name}\n{key_file}\n{secrets.token_hex(16) if iv is None else iv}\n")
    return info
