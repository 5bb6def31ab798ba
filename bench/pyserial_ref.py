# The reference: pyserial's rfc2217:// client (Debian's python3-serial)
# against the same ser2net, timing what kp6-netbench times. ser2net in
# front of a pseudo-terminal never acknowledges SET-CONTROL, which pyserial
# waits for; ?ign_set_control lets it open at all.
#   /usr/bin/python3 bench/pyserial_ref.py rfc2217://127.0.0.1:PORT RUNS
import statistics
import sys
import time

import serial

url, runs = sys.argv[1] + "?ign_set_control", int(sys.argv[2])
SELECT = bytes([0x60, 0x01, 0x00, 0xF8, 0xC0])
REGISTERS = [0x78, 0x79, 0x72, 0x74, 0x75, 0x77]


def read_all(line):
    for reg in REGISTERS:
        line.write(SELECT)
        if line.read(1) != b"\xc0":
            raise SystemExit("pyserial: no answer to the selection")
        line.write(bytes([0xCA, reg, 0x00, 0x01, 0x00]))
        if len(line.read(3)) != 3:
            raise SystemExit("pyserial: no answer to the read")


def open_line():
    for _ in range(50):
        try:
            return serial.serial_for_url(url, baudrate=4800, timeout=1)
        except serial.SerialException:
            time.sleep(0.02)
    raise SystemExit("pyserial: cannot open " + url)


opens, closes = [], []
for _ in range(runs):
    t = time.perf_counter()
    line = open_line()
    opens.append((time.perf_counter() - t) * 1000)
    read_all(line)
    t = time.perf_counter()
    line.close()
    closes.append((time.perf_counter() - t) * 1000)
    time.sleep(0.05)
line = open_line()
read_all(line)
reads = []
for _ in range(3 * runs):
    t = time.perf_counter()
    read_all(line)
    reads.append((time.perf_counter() - t) * 1000)
line.close()
print("pyserial open   %3d runs: median %7.2f ms (%.2f to %.2f)"
      % (runs, statistics.median(opens), min(opens), max(opens)))
print("pyserial Read   %3d runs: median %7.2f ms through the server"
      % (len(reads), statistics.median(reads)))
print("pyserial close  %3d runs: median %7.3f ms" % (runs, statistics.median(closes)))
