"""Virtual gadgets, for tests: present only when libquenor was built for the virtual
platform (vmac), whose C controls (<vmac/cvmac.h>) this wraps. Elsewhere importing it
raises ImportError.

    from quenor.virtual import Gadget

    with Gadget("IOService:/vmac/MyGadget", vid=0x1209, pid=0x0001) as gadget:
        entry, = quenor.devices(pid=0x0001)
        with quenor.open(entry) as device:
            gadget.inject(bytes([1, 2, 3]))
            assert device.read(timeout=1.0) == bytes([1, 2, 3])
"""

from __future__ import annotations

import ctypes
from dataclasses import dataclass
from typing import Optional

from ._native import lib

_P = ctypes.POINTER
_u8p = ctypes.c_char_p
_vp = ctypes.c_void_p


class _Description(ctypes.Structure):
    _fields_ = [
        ("path", ctypes.c_char_p),
        ("vendor_id", ctypes.c_uint16),
        ("product_id", ctypes.c_uint16),
        ("release_number", ctypes.c_uint16),
        ("usage_page", ctypes.c_uint16),
        ("usage", ctypes.c_uint16),
        ("max_input_report_size", ctypes.c_uint16),
        ("max_output_report_size", ctypes.c_uint16),
        ("max_feature_report_size", ctypes.c_uint16),
        ("location_id", ctypes.c_uint32),
        ("manufacturer", ctypes.c_char_p),
        ("product", ctypes.c_char_p),
        ("serial_number", ctypes.c_char_p),
        ("transport", ctypes.c_char_p),
    ]


class _Call(ctypes.Structure):
    _fields_ = [("kind", ctypes.c_int), ("type", ctypes.c_int), ("report_id", ctypes.c_uint32),
                ("length", ctypes.c_size_t)]


# The controls live in libvmac, which libquenor loads; looking them up through libquenor
# finds them there, and fails (ImportError) in a build for the real platform.
try:
    _FUNCTIONS = {
        "cvmac_plug": (_vp, [_P(_Description)]),
        "cvmac_gadget_free": (None, [_vp]),
        "cvmac_unplug": (ctypes.c_int, [_vp, ctypes.c_int64]),
        "cvmac_reset": (None, []),
        "cvmac_queue_get_report_answer": (ctypes.c_int, [_vp, ctypes.c_int32, _u8p,
                                                         ctypes.c_size_t]),
        "cvmac_queue_set_report_answer": (ctypes.c_int, [_vp, ctypes.c_int32]),
        "cvmac_report_calls": (ctypes.c_size_t, [_vp, ctypes.c_size_t, ctypes.c_int64]),
        "cvmac_report_call_at": (ctypes.c_int, [_vp, ctypes.c_size_t, _P(_Call),
                                                _P(ctypes.c_uint8), ctypes.c_size_t]),
        "cvmac_inject_input_report": (ctypes.c_int, [_vp, ctypes.c_uint32, _u8p,
                                                     ctypes.c_size_t, ctypes.c_int64]),
        "cvmac_set_usb_string": (ctypes.c_int, [_vp, ctypes.c_uint8, ctypes.c_char_p]),
        "cvmac_live_object_count": (ctypes.c_long, []),
    }
    for _name, (_result, _arguments) in _FUNCTIONS.items():
        _function = getattr(lib, _name)
        _function.restype = _result
        _function.argtypes = _arguments
except AttributeError as missing:
    raise ImportError("quenor.virtual: libquenor was not built for the virtual platform") \
        from missing

_OUTCOMES = {0: "pending", 1: "delivered", 2: "dropped"}
_REPORT_TYPES = {0: "input", 1: "output", 2: "feature"}


def _ms(timeout: float) -> int:
    return max(0, int(round(timeout * 1000)))


@dataclass(frozen=True)
class ReportCall:
    """A SetReport ("set": its bytes) or GetReport ("get") call that reached a gadget."""
    kind: str
    type: str
    report_id: int
    length: int
    data: bytes


class Gadget:
    """A virtual HID gadget, plugged at `path` with one usage pair until unplug() (or the
    end of its `with` block)."""

    def __init__(self, path: str, *, vid: int = 0x1209, pid: int = 0x0001,
                 usage_page: int = 0xFF00, usage: int = 0x0001, release: int = 0x0100,
                 input_size: int = 8, output_size: int = 8, feature_size: int = 8,
                 manufacturer: str = "Quenor Labs", product: str = "Virtual Gadget",
                 serial_number: str = "", transport: str = "USB", location_id: int = 0) -> None:
        self.path = path
        description = _Description(path.encode(), vid, pid, release, usage_page, usage,
                                   input_size, output_size, feature_size, location_id,
                                   manufacturer.encode(), product.encode(),
                                   serial_number.encode(), transport.encode())
        handle = lib.cvmac_plug(ctypes.byref(description))
        if not handle:
            raise ValueError(f"cannot plug a gadget at {path} (is one plugged there?)")
        self._handle: Optional[int] = handle

    def __enter__(self) -> "Gadget":
        return self

    def __exit__(self, *exc: object) -> None:
        self.unplug()

    def __del__(self) -> None:
        handle, self._handle = getattr(self, "_handle", None), None
        if handle:
            lib.cvmac_gadget_free(handle)

    @property
    def _h(self) -> int:
        if not self._handle:
            raise ValueError("the gadget was unplugged")
        return self._handle

    def queue_feature(self, data: bytes = b"", status: int = 0) -> None:
        """The answer to the next feature read: `data`, or a failure `status` (an IOReturn)."""
        lib.cvmac_queue_get_report_answer(self._h, _int32(status), bytes(data), len(data))

    def queue_send_result(self, status: int) -> None:
        """The result of the next report sent to the gadget (an IOReturn; 0 succeeds)."""
        lib.cvmac_queue_set_report_answer(self._h, _int32(status))

    def calls(self, wait_for: int = 0, timeout: float = 5.0) -> list[ReportCall]:
        """The report calls that reached the gadget, after waiting up to `timeout` seconds
        for at least `wait_for` of them."""
        count = lib.cvmac_report_calls(self._h, wait_for, _ms(timeout))
        calls = []
        for index in range(count):
            call = _Call()
            data = (ctypes.c_uint8 * 4096)()
            if lib.cvmac_report_call_at(self._h, index, ctypes.byref(call), data, 4096) == 0:
                sent = bytes(data[:min(call.length, 4096)]) if call.kind == 0 else b""
                calls.append(ReportCall("set" if call.kind == 0 else "get",
                                        _REPORT_TYPES.get(call.type, str(call.type)),
                                        call.report_id, call.length, sent))
        return calls

    def inject(self, data: bytes, report_id: Optional[int] = None, timeout: float = 5.0) -> str:
        """Sends an input report (report ID: the first byte unless given) and waits up to
        `timeout` seconds: "delivered", "dropped" (nobody had the gadget open) or "pending"."""
        rid = data[0] if report_id is None and data else (report_id or 0)
        return _OUTCOMES[lib.cvmac_inject_input_report(self._h, rid, bytes(data), len(data),
                                                       _ms(timeout))]

    def set_usb_string(self, index: int, text: str) -> None:
        """Serves USB string descriptor `index` with `text`."""
        lib.cvmac_set_usb_string(self._h, index, text.encode())

    def unplug(self, timeout: float = 5.0) -> str:
        """Unplugs the gadget and waits up to `timeout` seconds for open devices to hear
        of it: "delivered", "dropped" or "pending". Idempotent ("dropped" again)."""
        handle, self._handle = self._handle, None
        if not handle:
            return "dropped"
        try:
            return _OUTCOMES[lib.cvmac_unplug(handle, _ms(timeout))]
        finally:
            lib.cvmac_gadget_free(handle)


def _int32(status: int) -> int:
    """An IOReturn written as 0xE00002BC or as its signed value."""
    return status - (1 << 32) if status >= 1 << 31 else status


def reset() -> None:
    """Unplugs every gadget."""
    lib.cvmac_reset()


def live_objects() -> int:
    """Live platform objects: a test can end where it began."""
    return int(lib.cvmac_live_object_count())
