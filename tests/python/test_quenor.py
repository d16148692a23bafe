"""The Python package against virtual gadgets: listing, opening, every report path,
strings, failures as QuenorError, unplug, hot-plug, and `python -m quenor list`."""

from __future__ import annotations

import json
import os
import queue
import subprocess
import threading

import pytest

import quenor
import quenor.__main__
from quenor.virtual import Gadget, live_objects

NOT_OPEN = -536870195       # kIOReturnNotOpen
NO_DEVICE = -536870208      # kIOReturnNoDevice
NOT_PERMITTED = 0xE00002E2  # kIOReturnNotPermitted, as a gadget is scripted with it


@pytest.fixture
def gadget(request: pytest.FixtureRequest):
    """A gadget of its own per test (its path names the test), unplugged
    after it; the test must end with as many live platform objects as it began with."""
    before = live_objects()
    with Gadget(f"IOService:/vmac/PyGadget/{request.node.name}", pid=0xA001, usage_page=0xFF00,
                usage=0x0001, input_size=8, output_size=8, feature_size=4,
                serial_number="PY-1", location_id=0x14400000) as plugged:
        yield plugged
    assert live_objects() == before


def only(pid: int = 0xA001) -> quenor.Entry:
    (entry,) = quenor.devices(vid=0x1209, pid=pid)
    return entry


def test_listing_matches_and_identity(gadget: Gadget) -> None:
    entry = only()
    assert entry.path == gadget.path and entry.pair_index == 0 and entry.entry_id > 0
    assert entry.identity == quenor.Identity(
        vendor_id=0x1209, product_id=0xA001, release_number=0x0100, usage_page=0xFF00,
        usage=1, primary_usage_page=0xFF00, primary_usage=1, max_input_report_size=8,
        max_output_report_size=8, max_feature_report_size=4, location_id=0x14400000,
        manufacturer="Quenor Labs", product="Virtual Gadget", serial_number="PY-1",
        transport="USB", usb_strings_available=True)
    for wanted in ({"usage_page": 0xFF00, "usage": 1}, {"pid": 0xA001}):
        assert [e.path for e in quenor.devices(**wanted)] == [gadget.path]
    for unwanted in ({"usage_page": 0x0001}, {"pid": 0xA002}, {"vid": 0x1208}):
        assert quenor.devices(**unwanted) == []
    with pytest.raises(ValueError):
        quenor.devices(vid=0x10000)


def test_reports_strings_and_failures(gadget: Gadget) -> None:
    entry = only()
    with quenor.open(entry) as device:
        assert device.is_open and device.report_size("output") == 8
        device.write(b"\x02\xaa\xbb")
        device.send_feature(b"\x03\x01\x02")
        gadget.queue_feature(b"\x04\x09\x08\x07")
        assert device.get_feature(4, 4) == b"\x04\x09\x08\x07"
        sent = gadget.calls(wait_for=3)
        assert [(c.kind, c.type, c.report_id, c.data) for c in sent] == [
            ("set", "output", 2, b"\x02\xaa\xbb"), ("set", "feature", 3, b"\x03\x01\x02"),
            ("get", "feature", 4, b"")]

        gadget.queue_feature(status=NOT_PERMITTED)
        with pytest.raises(quenor.QuenorError) as failed:
            device.get_feature(4, 4)
        assert failed.value.status == NOT_PERMITTED - (1 << 32)
        assert "kIOReturnNotPermitted" in failed.value.text and "kIOReturnNotPermitted" in str(
            failed.value)

        assert gadget.inject(b"\x01\x05\x06") == "delivered"
        assert device.read(timeout=1.0) == b"\x01\x05\x06"
        assert device.read(timeout=0.02) is None

        assert device.strings == quenor.Strings("Quenor Labs", "Virtual Gadget", "PY-1")
        gadget.set_usb_string(4, "Grüße \U0001F50C")
        assert device.usb_string(4) == "Grüße \U0001F50C"

        assert device.dropped_reports == 0  # counted as the C test counts them
        device.report_filtering = True
        assert device.report_filtering

        assert gadget.unplug() == "delivered"
        assert not device.is_open
        with pytest.raises(quenor.QuenorError) as failed:
            device.read(timeout=1.0)
        assert failed.value.status == NOT_OPEN
    with pytest.raises(quenor.QuenorError):
        device.write(b"\x00")  # closed by the with block
    with pytest.raises(quenor.QuenorError) as failed:
        quenor.open(entry, exclusive=True)
    assert failed.value.status == NO_DEVICE and "kIOReturnNoDevice" in failed.value.text


def test_watch_reports_arrivals_and_removals() -> None:
    notices: queue.Queue[quenor.Notice] = queue.Queue()
    threads: set[int] = set()

    def seen(notice: quenor.Notice) -> None:
        threads.add(threading.get_ident())
        notices.put(notice)

    before = live_objects()
    with quenor.watch(seen, pid=0xA0FF):
        for _ in range(2):  # plugged, unplugged, and again
            gadget = Gadget("IOService:/vmac/PyWatched", pid=0xA0FF)
            arrival = notices.get(timeout=10)
            assert (arrival.kind, arrival.entry.path) == ("arrival", gadget.path)
            gadget.unplug()
            removal = notices.get(timeout=10)
            assert (removal.kind, removal.entry.entry_id) == ("removal", arrival.entry.entry_id)
    assert notices.empty() and threading.get_ident() not in threads
    assert live_objects() == before


def test_list_command_speaks_like_quenor_list(gadget: Gadget, capsys) -> None:
    assert quenor.__main__.main(["list", "--json", "--match", "vid=0x1209,pid=0xa001"]) == 0
    (listed,) = json.loads(capsys.readouterr().out)
    assert listed["path"] == gadget.path and listed["productId"] == 0xA001
    assert quenor.__main__.main(["list", "--match", "pid=0xA001"]) == 0
    assert capsys.readouterr().out == (
        f'{gadget.path}  #0  1209:a001  ff00:0001  "Quenor Labs"  "Virtual Gadget"  "PY-1"  USB\n')
    tool = os.environ.get("QUENOR_LIST")
    if tool:  # quenor-list's own gadgets live in its process: compare the keys
        theirs = json.loads(subprocess.run([tool, "--simulate", "--json"], check=True,
                                           capture_output=True, text=True).stdout)
        assert list(theirs[0]) == list(listed)
