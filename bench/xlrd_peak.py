#!/usr/bin/python3
# python-xlrd reading a workbook, alone in its process: prints its peak
# resident size (VmHWM and ru_maxrss, KiB) to compare the engine's round trip
# with (roundtrip_bench). Usage: xlrd_peak.py PATH
import resource
import sys
import time

import xlrd


def vmhwm_kib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return -1


start = time.monotonic()
book = xlrd.open_workbook(sys.argv[1])
seconds = time.monotonic() - start
print("seconds=%.3f vmhwm_kib=%d maxrss_kib=%d sheets=%d" %
      (seconds, vmhwm_kib(), resource.getrusage(resource.RUSAGE_SELF).ru_maxrss, book.nsheets))
