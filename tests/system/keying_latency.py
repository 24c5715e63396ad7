#!/usr/bin/env python3
"""Keying latency as a radio program meets it: raises and drops RTS on the PTT/CW port and
finds, in the uhid simulator's log (monotonic microseconds), when the device got the line
report with the PTT bit. Prints one line per round and the median and maximum.

   keying_latency.py <PTT/CW port> <device log> [rounds]
"""
import re
import sys
import time

import serial

# The simulator logs a report as "<microseconds> REPORT <id>: <bytes in hex>".
LINE_REPORT = re.compile(r"^(\d+) REPORT 3: ([0-9A-F]{2})")


def line_reports(log_path, since_us):
    with open(log_path) as log:
        for text in log:
            match = LINE_REPORT.match(text)
            if match and int(match.group(1)) >= since_us:
                yield int(match.group(1)), int(match.group(2), 16)


def wait_for_ptt(log_path, since_us, keyed, timeout_s=5.0):
    deadline = time.monotonic() + timeout_s
    while time.monotonic() < deadline:
        for stamp, flags in line_reports(log_path, since_us):
            if bool(flags & 0x01) == keyed:
                return stamp - since_us
        time.sleep(0.002)
    raise SystemExit("no line report with PTT %s within %.0f s" % ("on" if keyed else "off", timeout_s))


def main():
    port, log_path = sys.argv[1], sys.argv[2]
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 10
    latencies = []
    with serial.Serial(port, 9600, rtscts=False, dsrdtr=False) as link:
        link.rts = False
        for keyed in [True, False] * rounds:
            start_us = time.monotonic_ns() // 1000
            link.rts = keyed
            latencies.append(wait_for_ptt(log_path, start_us, keyed) / 1000.0)
            print("RTS %d: %.2f ms" % (keyed, latencies[-1]))
    latencies.sort()
    print("keying latency: median %.2f ms, maximum %.2f ms over %d changes" %
          (latencies[len(latencies) // 2], latencies[-1], len(latencies)))


if __name__ == "__main__":
    main()
