"""quenor from Python: find USB HID devices, open them, exchange reports, watch them come
and go. A thin layer over libquenor's C interface (ctypes; nothing to compile).

    import quenor

    for entry in quenor.devices(vid=0x1209, usage_page=0xFF00):
        with quenor.open(entry) as device:
            device.write(bytes([1, 0x10, 0x20]))
            print(device.read(timeout=1.0), device.strings.product)

Failures raise QuenorError, which carries the platform status and its text. Time-outs
are seconds (None: no limit). Report bytes go out and come in as the device numbers
them: with numbered reports, the report ID is the first byte.
"""

from __future__ import annotations

import ctypes
import threading
from dataclasses import dataclass
from typing import Callable, Optional

from . import _native
from ._native import lib

__all__ = ["Device", "Entry", "Identity", "Notice", "QuenorError", "Strings", "Watch",
           "devices", "open", "version", "watch"]

STATUS_TIMEOUT = -536870186  # kIOReturnTimeout: an input read found no report in time


class QuenorError(OSError):
    """A call failed; `status` is the platform status (an IOReturn), `text` says it in words."""

    def __init__(self, status: int, doing: str = "") -> None:
        self.status = status
        self.text = _native.status_text(status)
        super().__init__(f"{doing}: {self.text}" if doing else self.text)


def _check(status: int, doing: str) -> None:
    if status != 0:
        raise QuenorError(status, doing)


def _ms(timeout: Optional[float]) -> int:
    return -1 if timeout is None else max(0, int(round(timeout * 1000)))


def version() -> str:
    """The version of the loaded libquenor, "major.minor.patch"."""
    return lib.quenor_version_string().decode()


@dataclass(frozen=True)
class Identity:
    """What a device says about itself, read without opening it."""
    vendor_id: int
    product_id: int
    release_number: int
    usage_page: int
    usage: int
    primary_usage_page: int
    primary_usage: int
    max_input_report_size: int
    max_output_report_size: int
    max_feature_report_size: int
    location_id: int
    manufacturer: str
    product: str
    serial_number: str
    transport: str


@dataclass(frozen=True)
class Entry:
    """One usage pair of one HID device, as devices() lists it; open() takes it."""
    path: str
    pair_index: int
    entry_id: int
    identity: Identity

    @classmethod
    def _of(cls, entry: _native.CEntry) -> "Entry":
        raw = entry.identity
        text = {name: getattr(raw, name).decode("utf-8", "replace")
                for name in ("manufacturer", "product", "serial_number", "transport")}
        numbers = {name: getattr(raw, name) for name, _ in _native.CIdentity._fields_
                   if name not in text}
        return cls(entry.path.decode("utf-8", "replace"), entry.pair_index, entry.entry_id,
                   Identity(**numbers, **text))

    def _c(self) -> _native.CEntry:
        entry = _native.CEntry()
        entry.entry_id = self.entry_id
        entry.path = self.path.encode()
        entry.pair_index = self.pair_index
        return entry


def devices(vid: Optional[int] = None, pid: Optional[int] = None,
            usage_page: Optional[int] = None, usage: Optional[int] = None) -> list[Entry]:
    """The HID devices that match (None: any), one entry per usage pair, oldest first."""
    match = _native.match_of(vid, pid, usage_page, usage)
    entries = ctypes.POINTER(_native.CEntry)()
    count = ctypes.c_size_t()
    _check(lib.quenor_devices_list(ctypes.byref(match), ctypes.byref(entries),
                                   ctypes.byref(count)), "listing devices")
    try:
        return [Entry._of(entries[i]) for i in range(count.value)]
    finally:
        lib.quenor_entries_free(entries)


@dataclass(frozen=True)
class Strings:
    """The strings a device declared when it was opened."""
    manufacturer: str
    product: str
    serial_number: str


class Device:
    """An open device; use it as a context manager, or close() it. Any thread may call it,
    except that close() must not overlap other calls."""

    def __init__(self, handle: ctypes.c_void_p) -> None:
        self._handle: Optional[ctypes.c_void_p] = handle
        # What read() takes by default: the device's largest input report (fixed while open).
        self._read_size = max(int(lib.quenor_device_report_size(handle, 0)), 64)

    @property
    def _h(self) -> ctypes.c_void_p:
        if self._handle is None:
            raise QuenorError(-536870195, "device closed")  # kIOReturnNotOpen
        return self._handle

    def __enter__(self) -> "Device":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        self.close()

    def close(self) -> None:
        """Closes and frees the device; later calls raise QuenorError. Idempotent."""
        handle, self._handle = getattr(self, "_handle", None), None
        if handle is not None:
            lib.quenor_device_destroy(handle)

    @property
    def is_open(self) -> bool:
        """False once closed or unplugged."""
        return self._handle is not None and bool(lib.quenor_device_is_open(self._handle))

    def write(self, data: bytes, report_id: Optional[int] = None,
              timeout: Optional[float] = 1.0) -> None:
        """Sends an output report; the report ID defaults to the first byte."""
        rid = data[0] if report_id is None and data else (report_id or 0)
        _check(lib.quenor_write(self._h, rid, bytes(data), len(data), _ms(timeout)),
               "writing an output report")

    def send_feature(self, data: bytes, report_id: Optional[int] = None,
                     timeout: Optional[float] = 6.0) -> None:
        """Sends a feature report; the report ID defaults to the first byte."""
        rid = data[0] if report_id is None and data else (report_id or 0)
        _check(lib.quenor_send_feature(self._h, rid, bytes(data), len(data), _ms(timeout)),
               "sending a feature report")

    def get_feature(self, report_id: int, size: int, timeout: Optional[float] = 5.0) -> bytes:
        """Reads feature report `report_id`, asking the device for `size` bytes."""
        buffer = (ctypes.c_uint8 * max(size, 1))()
        length = ctypes.c_size_t()
        _check(lib.quenor_get_feature(self._h, report_id, buffer, size, ctypes.byref(length),
                                      _ms(timeout)), "reading a feature report")
        return bytes(buffer[:length.value])

    def read(self, timeout: Optional[float] = None, size: Optional[int] = None) -> Optional[bytes]:
        """The oldest input report, waiting up to `timeout` seconds; None when none came."""
        capacity = size or self._read_size
        buffer = (ctypes.c_uint8 * capacity)()
        length = ctypes.c_size_t()
        status = lib.quenor_read(self._h, buffer, capacity, ctypes.byref(length), _ms(timeout))
        if status == STATUS_TIMEOUT:
            return None
        _check(status, "reading an input report")
        return bytes(buffer[:length.value])

    def report_size(self, kind: str) -> int:
        """The largest "input", "output" or "feature" report the device declared."""
        types = {"input": 0, "output": 1, "feature": 2}
        return int(lib.quenor_device_report_size(self._h, types[kind]))

    @property
    def strings(self) -> Strings:
        def one(kind: int) -> str:
            text = ctypes.c_void_p()
            _check(lib.quenor_device_string(self._h, kind, ctypes.byref(text)), "reading a string")
            return _native.take_string(text)
        return Strings(one(0), one(1), one(2))

    def usb_string(self, index: int, timeout: Optional[float] = 5.0) -> str:
        """USB string descriptor `index` (0-255), fetched from the device."""
        text = ctypes.c_void_p()
        _check(lib.quenor_usb_string(self._h, index, ctypes.byref(text), _ms(timeout)),
               f"reading USB string {index}")
        return _native.take_string(text)

    @property
    def report_filtering(self) -> bool:
        """Drop input reports whose ID the opened usage page does not use."""
        return bool(lib.quenor_device_report_filtering(self._h))

    @report_filtering.setter
    def report_filtering(self, enabled: bool) -> None:
        lib.quenor_device_set_report_filtering(self._h, int(enabled))

    @property
    def dropped_reports(self) -> int:
        """Input reports lost to a full queue (30 unread) since the device was opened."""
        return int(lib.quenor_device_dropped_reports(self._h))

    def cancel(self) -> None:
        """Aborts the device's USB pipes (a Mac's HID driver refuses this)."""
        lib.quenor_device_cancel(self._h)


def open(entry: Entry, exclusive: bool = False) -> Device:  # noqa: A001 (as io.open)
    """Opens the device of `entry`, shared or seized; QuenorError says why it failed."""
    handle = ctypes.c_void_p()
    _check(lib.quenor_device_open(ctypes.byref(entry._c()), 1 if exclusive else 0,
                                  ctypes.byref(handle)), f"opening {entry.path}")
    return Device(handle)


_on_watch_thread = threading.local()  # .active while a relay runs a notice
_stopped_in_callback: list[object] = []  # relays kept past their watch (a few bytes each)


@dataclass(frozen=True)
class Notice:
    kind: str  # "arrival" or "removal"
    entry: Entry


class Watch:
    """A running hot-plug watch; stop() it, or use it as a context manager. Dropping the
    last reference stops it too."""

    def __init__(self, callback: Callable[[Notice], None], match: _native.Match,
                 present: bool) -> None:
        def relay(kind: int, entry: "ctypes._Pointer[_native.CEntry]", _: object) -> None:
            _on_watch_thread.active = True
            try:
                callback(Notice("arrival" if kind == 0 else "removal", Entry._of(entry.contents)))
            finally:
                _on_watch_thread.active = False

        self._relay = _native.NOTICE_CALLBACK(relay)  # kept alive while the monitor runs
        self._lock = threading.Lock()
        handle = ctypes.c_void_p()
        _check(lib.quenor_monitor_start(ctypes.byref(match), int(present), self._relay, None,
                                        ctypes.byref(handle)), "starting a watch")
        self._handle: Optional[ctypes.c_void_p] = handle

    def stop(self) -> None:
        """No callback runs once this returns; from the callback itself, none after it."""
        with self._lock:
            handle, self._handle = self._handle, None
        if handle is not None:
            lib.quenor_monitor_free(handle)
            if getattr(_on_watch_thread, "active", False):
                # Stopped from inside a notice: the C callback is still running in this
                # relay, which must outlive this object.
                _stopped_in_callback.append(self._relay)

    def __enter__(self) -> "Watch":
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop()

    def __del__(self) -> None:
        if getattr(self, "_handle", None) is not None:
            self.stop()


def watch(callback: Callable[[Notice], None], vid: Optional[int] = None,
          pid: Optional[int] = None, usage_page: Optional[int] = None,
          usage: Optional[int] = None, present: bool = True) -> Watch:
    """Calls `callback(notice)` for each matching device present now (unless `present` is
    False), then for each arrival and removal, on the watch's own thread, until stopped."""
    return Watch(callback, _native.match_of(vid, pid, usage_page, usage), present)
