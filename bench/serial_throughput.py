#!/usr/bin/python3
"""pyserial's side of the serial throughput benchmark.

serial_throughput.py PORT VOLUME CHUNK
Writes VOLUME bytes in CHUNK-sized writes, then reads VOLUME bytes in
CHUNK-sized reads; prints the seconds the exchange took.
"""
import sys
import time

import serial

port, volume, chunk = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
block = bytes(i & 0xFF for i in range(chunk))
with serial.Serial(port, 115200, timeout=5, write_timeout=30) as line:
    start = time.perf_counter()
    sent = 0
    while sent < volume:
        sent += line.write(block[:min(chunk, volume - sent)])
    received = 0
    while received < volume:
        data = line.read(min(chunk, volume - received))
        if not data:
            sys.exit("pyserial side: read timed out after %d bytes" % received)
        received += len(data)
    print("%.6f" % (time.perf_counter() - start))
