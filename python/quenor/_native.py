"""The C interface of libquenor (quenor/quenor.h) as ctypes declarations.

Loading: the library named by the QUENOR_LIBRARY environment variable if set; else the
one installed beside this package (an install puts the package in
<libdir>/quenor/python/quenor); else whatever the system's loader finds by name.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import sys
from pathlib import Path
from typing import Optional

c_status = ctypes.c_int64


class Match(ctypes.Structure):
    _fields_ = [
        ("fields", ctypes.c_uint32),
        ("vendor_id", ctypes.c_uint16),
        ("product_id", ctypes.c_uint16),
        ("usage_page", ctypes.c_uint16),
        ("usage", ctypes.c_uint16),
    ]


class CIdentity(ctypes.Structure):
    _fields_ = [
        ("vendor_id", ctypes.c_uint16),
        ("product_id", ctypes.c_uint16),
        ("release_number", ctypes.c_uint16),
        ("usage_page", ctypes.c_uint16),
        ("usage", ctypes.c_uint16),
        ("primary_usage_page", ctypes.c_uint16),
        ("primary_usage", ctypes.c_uint16),
        ("max_input_report_size", ctypes.c_uint16),
        ("max_output_report_size", ctypes.c_uint16),
        ("max_feature_report_size", ctypes.c_uint16),
        ("location_id", ctypes.c_uint32),
        ("manufacturer", ctypes.c_char_p),
        ("product", ctypes.c_char_p),
        ("serial_number", ctypes.c_char_p),
        ("transport", ctypes.c_char_p),
    ]


class CEntry(ctypes.Structure):
    _fields_ = [
        ("entry_id", ctypes.c_uint64),
        ("path", ctypes.c_char_p),
        ("pair_index", ctypes.c_int32),
        ("identity", CIdentity),
    ]


NOTICE_CALLBACK = ctypes.CFUNCTYPE(None, ctypes.c_int, ctypes.POINTER(CEntry), ctypes.c_void_p)

_P = ctypes.POINTER
_u8p = _P(ctypes.c_uint8)
_size = ctypes.c_size_t
_vp = ctypes.c_void_p

# name: (result, arguments)
_FUNCTIONS = {
    "quenor_status_text": (_size, [c_status, ctypes.c_char_p, _size]),
    "quenor_version_string": (ctypes.c_char_p, []),
    "quenor_devices_list": (c_status, [_P(Match), _P(_P(CEntry)), _P(_size)]),
    "quenor_entries_free": (None, [_P(CEntry)]),
    "quenor_device_open": (c_status, [_P(CEntry), ctypes.c_uint32, _P(_vp)]),
    "quenor_device_close": (c_status, [_vp]),
    "quenor_device_destroy": (None, [_vp]),
    "quenor_device_is_open": (ctypes.c_int, [_vp]),
    "quenor_device_report_size": (_size, [_vp, ctypes.c_int]),
    "quenor_write": (c_status, [_vp, ctypes.c_uint8, ctypes.c_char_p, _size, ctypes.c_int64]),
    "quenor_send_feature": (c_status, [_vp, ctypes.c_uint8, ctypes.c_char_p, _size, ctypes.c_int64]),
    "quenor_get_feature": (c_status, [_vp, ctypes.c_uint8, _u8p, _size, _P(_size), ctypes.c_int64]),
    "quenor_read": (c_status, [_vp, _u8p, _size, _P(_size), ctypes.c_int64]),
    "quenor_device_set_report_filtering": (None, [_vp, ctypes.c_int]),
    "quenor_device_report_filtering": (ctypes.c_int, [_vp]),
    "quenor_device_dropped_reports": (ctypes.c_uint64, [_vp]),
    "quenor_device_cancel": (None, [_vp]),
    "quenor_device_string": (c_status, [_vp, ctypes.c_int, _P(_vp)]),
    "quenor_usb_string": (c_status, [_vp, ctypes.c_int, _P(_vp), ctypes.c_int64]),
    "quenor_string_free": (None, [_vp]),
    "quenor_monitor_start": (c_status, [_P(Match), ctypes.c_int, NOTICE_CALLBACK, _vp, _P(_vp)]),
    "quenor_monitor_stop": (None, [_vp]),
    "quenor_monitor_free": (None, [_vp]),
}


def _library_names() -> list[str]:
    if sys.platform == "darwin":
        return ["libquenor.1.dylib", "libquenor.dylib"]
    return ["libquenor.so.1", "libquenor.so"]


def _candidates() -> list[str]:
    explicit = os.environ.get("QUENOR_LIBRARY")
    if explicit:
        return [explicit]
    libdir = Path(__file__).resolve().parents[3]
    found = [str(libdir / name) for name in _library_names() if (libdir / name).exists()]
    system = ctypes.util.find_library("quenor")
    return found + ([system] if system else []) + _library_names()


def _load() -> ctypes.CDLL:
    errors = []
    for candidate in _candidates():
        try:
            library = ctypes.CDLL(candidate)
        except OSError as error:
            errors.append(f"{candidate}: {error}")
            continue
        for name, (result, arguments) in _FUNCTIONS.items():
            function = getattr(library, name)
            function.restype = result
            function.argtypes = arguments
        return library
    raise ImportError("quenor: libquenor not found (set QUENOR_LIBRARY to its path): "
                      + "; ".join(errors))


lib = _load()


def status_text(status: int) -> str:
    size = lib.quenor_status_text(status, None, 0)
    text = ctypes.create_string_buffer(size + 1)
    lib.quenor_status_text(status, text, size + 1)
    return text.value.decode("utf-8", "replace")


def take_string(pointer: ctypes.c_void_p) -> str:
    """The text of a string the library handed out, which is then freed."""
    try:
        return ctypes.string_at(pointer).decode("utf-8", "replace")
    finally:
        lib.quenor_string_free(pointer)


def match_of(vid: Optional[int], pid: Optional[int], usage_page: Optional[int],
             usage: Optional[int]) -> Match:
    match = Match()
    for bit, field, value in ((1, "vendor_id", vid), (2, "product_id", pid),
                              (4, "usage_page", usage_page), (8, "usage", usage)):
        if value is not None:
            if not 0 <= value <= 0xFFFF:
                raise ValueError(f"{field} must be 0..0xFFFF, not {value}")
            match.fields |= bit
            setattr(match, field, value)
    return match
