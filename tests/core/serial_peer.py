#!/usr/bin/python3
"""The far end of a serial line for the peer test, written against pyserial.

serial_peer.py PORT COUNT
Sends every byte value (forwards, then backwards), then reads COUNT bytes and
sends each of them back XOR 0x5A. Exits 0 when all of it went through.
"""
import sys

import serial

port, count = sys.argv[1], int(sys.argv[2])
# No time-out: the reads wait for every byte, however slowly a loaded machine
# lets the other end send them.
with serial.Serial(port, 9600, bytesize=serial.EIGHTBITS, parity=serial.PARITY_NONE,
                   stopbits=serial.STOPBITS_ONE, timeout=None) as line:
    line.write(bytes(range(256)) + bytes(reversed(range(256))))
    line.flush()
    received = line.read(count)
    if len(received) != count:
        sys.exit("peer: got %d of %d bytes" % (len(received), count))
    line.write(bytes(b ^ 0x5A for b in received))
    line.flush()
