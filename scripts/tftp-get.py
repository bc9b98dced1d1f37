#!/usr/bin/env python3
"""Reads one file from a TFTP server (RFC 1350, asking its size as RFC 2349 allows) and throws the
bytes away. For its first --slow seconds it waits --pause seconds before each acknowledgement, so
that the server's transfer stays in progress long enough to be looked at; then it goes at full
speed. Gives up after --limit seconds in any case. Exits 0 when the whole file came, 1 otherwise.

Usage: tftp-get.py SERVER FILE [--slow SECONDS] [--pause SECONDS] [--limit SECONDS]
"""
import argparse
import socket
import struct
import sys
import time

RRQ, DATA, ACK, ERROR, OACK = 1, 3, 4, 5, 6
BLOCK = 512


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("server")
    parser.add_argument("file")
    parser.add_argument("--slow", type=float, default=0.0)
    parser.add_argument("--pause", type=float, default=0.02)
    parser.add_argument("--limit", type=float, default=60.0)
    args = parser.parse_args()

    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.settimeout(1.0)
    last = struct.pack("!H", RRQ) + args.file.encode() + b"\0octet\0tsize\0" + b"0\0"
    peer = (args.server, 69)
    sock.sendto(last, peer)
    began = time.monotonic()
    expected, received, tries = 1, 0, 0
    while time.monotonic() - began < args.limit:
        try:
            packet, sender = sock.recvfrom(65536)
        except socket.timeout:
            tries += 1
            if tries > 5:
                break
            sock.sendto(last, peer)
            continue
        if len(packet) < 4:
            continue
        op, number = struct.unpack("!HH", packet[:4])
        if op == ERROR:
            print(f"tftp-get: {args.file}: error {number}: {packet[4:].rstrip(bytes(1)).decode(errors='replace')}",
                  file=sys.stderr)
            return 1
        # The server answers from a port of its own for this transfer, and only that port counts.
        if peer[1] == 69:
            peer = sender
        elif sender != peer:
            continue
        tries = 0
        if op == OACK:
            last = struct.pack("!HH", ACK, 0)
        elif op == DATA and number == expected % 65536:
            received += len(packet) - 4
            expected += 1
            if time.monotonic() - began < args.slow:
                time.sleep(args.pause)
            last = struct.pack("!HH", ACK, number)
            if len(packet) - 4 < BLOCK:
                sock.sendto(last, peer)
                print(f"tftp-get: {args.file}: {received} bytes")
                return 0
        elif op != DATA:
            continue
        sock.sendto(last, peer)
    print(f"tftp-get: {args.file}: gave up after {received} bytes", file=sys.stderr)
    return 1


if __name__ == "__main__":
    sys.exit(main())
