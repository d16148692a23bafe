"""python -m quenor list [--match vid=0x1209,pid=...,page=...,usage=...] [--json]

Lists the HID devices as quenor-list does: one line per usage pair (path, #pair index,
vendor:product, usage page:usage, manufacturer, product, serial), or a JSON array with
quenor-list's keys.
"""

from __future__ import annotations

import argparse
import json
import sys
from typing import Optional

import quenor

_KEYS = {"vid": "vid", "pid": "pid", "page": "usage_page", "usage": "usage"}


def _match(text: str) -> dict[str, int]:
    wanted: dict[str, int] = {}
    for item in text.split(","):
        key, _, value = item.partition("=")
        if key not in _KEYS or not value:
            raise argparse.ArgumentTypeError(f'bad --match "{text}"')
        try:
            number = int(value, 0)
        except ValueError:
            raise argparse.ArgumentTypeError(f'bad --match "{text}"') from None
        if not 0 <= number <= 0xFFFF:
            raise argparse.ArgumentTypeError(f'bad --match "{text}"')
        wanted[_KEYS[key]] = number
    return wanted


def _json(entry: quenor.Entry) -> dict[str, object]:
    i = entry.identity
    return {"path": entry.path, "index": entry.pair_index, "registryEntryId": entry.entry_id,
            "vendorId": i.vendor_id, "productId": i.product_id,
            "releaseNumber": i.release_number, "usagePage": i.usage_page, "usage": i.usage,
            "primaryUsagePage": i.primary_usage_page, "primaryUsage": i.primary_usage,
            "manufacturer": i.manufacturer, "product": i.product,
            "serialNumber": i.serial_number, "maxInputReportSize": i.max_input_report_size,
            "maxOutputReportSize": i.max_output_report_size,
            "maxFeatureReportSize": i.max_feature_report_size, "transport": i.transport,
            "usbStrings": i.usb_strings_available, "locationId": i.location_id}


def _line(entry: quenor.Entry) -> str:
    i = entry.identity
    return (f'{entry.path}  #{entry.pair_index}  {i.vendor_id:04x}:{i.product_id:04x}  '
            f'{i.usage_page:04x}:{i.usage:04x}  "{i.manufacturer}"  "{i.product}"  '
            f'"{i.serial_number}"  {i.transport or "?"}')


def main(argv: Optional[list[str]] = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m quenor")
    commands = parser.add_subparsers(dest="command", required=True)
    listing = commands.add_parser("list", help="list the HID devices, one line per usage pair")
    listing.add_argument("--match", type=_match, default={},
                         help="vid, pid, page, usage as comma-separated key=value pairs")
    listing.add_argument("--json", action="store_true", help="a JSON array")
    options = parser.parse_args(argv)

    found = quenor.devices(**options.match)
    if options.json:
        print(json.dumps([_json(entry) for entry in found], indent=2, ensure_ascii=False))
    else:
        for entry in found:
            print(_line(entry))
        if not found:
            print("quenor: no HID device found", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
