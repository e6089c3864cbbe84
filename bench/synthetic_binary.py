#!/usr/bin/env python3
"""A synthetic data file in krrard's binary format: N rows of D features uniform on [0, 1)
(a 64-bit linear congruential generator, the same as tests/cli/mpi_test.py's long run), then
the target cos(4 x1) - x3 + 0.5 x2 x4 (D >= 4).

usage: synthetic_binary.py N D FILE.bin"""
import math
import struct
import sys

n, d = int(sys.argv[1]), int(sys.argv[2])
state = 1
values = []
for j in range(n):
    row = []
    for _ in range(d):
        state = (state * 6364136223846793005 + 1442695040888963407) % 2**64
        row.append((state >> 11) / 2**53)
    values += row + [math.cos(4 * row[0]) - row[2] + 0.5 * row[1] * row[3]]
with open(sys.argv[3], "wb") as f:
    f.write(b"KRRDATA\0" + struct.pack("<IIQQ", 1, 0, n, d + 1))
    f.write(struct.pack(f"<{len(values)}d", *values))
