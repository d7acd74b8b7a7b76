#!/usr/bin/python3
"""The line's page on a week of records: UNITS units (a start and an end
record each) of ten stations spread over the last seven days, imported into a
collector's database. Measures the time to serve the page's data for a shift
(the last 8 h) and for the week, the board, `line report` for the week, the
page's load in headless chromium (to its figures drawn), and the server's
RSS with 20 pages listening to its events, each loading its data again on a
change as a page does.

    bench/line_page.py [CLI] [UNITS]
"""
import http.client
import json
import os
import random
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request
from datetime import datetime, timedelta, timezone

CLI = os.path.realpath(sys.argv[1] if len(sys.argv) > 1 else "build-native/cli/kt3916flash-cli")
UNITS = int(sys.argv[2]) if len(sys.argv) > 2 else 100000
STATIONS = 10
CLIENTS = 20
work = tempfile.mkdtemp()


def utc(t):
    return t.strftime("%Y-%m-%dT%H:%M:%S.") + f"{t.microsecond // 1000:03d}Z"


def rss_kib(pid, field="VmRSS"):
    with open(f"/proc/{pid}/status") as f:
        return int(re.search(field + r":\s+(\d+)", f.read()).group(1))


def generate():
    """One log per station: start and end of each unit, 3 % failed (by three
    reasons), each failed serial tried again later."""
    random.seed(7)
    now = datetime.now(timezone.utc)
    first = now - timedelta(days=7)
    step = timedelta(days=7) / UNITS
    logs = [open(os.path.join(work, f"s{s}.log"), "w") for s in range(STATIONS)]
    retry = []
    for n in range(UNITS):
        s = n % STATIONS
        start = first + step * n
        serial = retry.pop(0) if retry and random.random() < 0.5 else f"SN{n:07d}"
        failed = random.random() < 0.03
        reason = random.choices(["send-failure", "no-return", "wrong-revision"], [6, 3, 1])[0] if failed else "success"
        if failed:
            retry.append(serial)
        duration = random.randint(13400, 16000) if not failed or reason != "send-failure" else random.randint(300, 900)
        unit = f"r{s}-u{n}"
        common = {"unit": unit, "run": f"r{s}", "device": "D:", "node": "/dev/sg1", "identity": "KTDEV KT3916 FLASHER",
                  "serial": serial, "checksum": "1A2B"}
        logs[s].write(json.dumps({"record": "unit-start", "id": unit + "-s", "time": utc(start), **common}) + "\n")
        end = start + timedelta(milliseconds=duration)
        logs[s].write(json.dumps({"record": "unit-end", "id": unit + "-e", "time": utc(end), **common,
                                  "result": "failed" if failed else "passed", "exit_code": 6 if failed else 0,
                                  "exit_name": reason, "duration_ms": duration, "blocks_sent": 9, "blocks": 9}) + "\n")
    for log in logs:
        log.close()


def get(port, path):
    t = time.monotonic()
    with urllib.request.urlopen(f"http://127.0.0.1:{port}{path}") as response:
        body = response.read()
    return time.monotonic() - t, body


def timed(port, path, times=10):
    """Computed: each with another end of the range past now (the same units,
    a fresh answer); cached: the same again, as the other open pages get it."""
    later = datetime.now(timezone.utc) + timedelta(days=1)
    computed = sorted(get(port, f"{path}&until={(later + timedelta(minutes=i)).strftime('%Y-%m-%dT%H:%M')}")[0]
                      for i in range(times))
    cached = sorted(get(port, path)[0] for _ in range(times))
    return (f"computed median {statistics.median(computed) * 1000:.0f} ms (max {computed[-1] * 1000:.0f}), "
            f"cached {statistics.median(cached) * 1000:.1f} ms")


def listen(port, since, heard, done):
    """One open page: its events; on each change its data again."""
    connection = http.client.HTTPConnection("127.0.0.1", port)
    connection.request("GET", "/api/events")
    response = connection.getresponse()
    while True:
        line = response.readline()
        if not line:
            return
        if line.startswith(b"event: change"):
            get(port, "/api/board")
            get(port, "/api/figures?since=" + since)
            heard.append(time.monotonic())
            done.release()


def main():
    t = time.monotonic()
    generate()
    print(f"generated {UNITS} units ({2 * UNITS} records) of {STATIONS} stations in {time.monotonic() - t:.1f} s")
    t = time.monotonic()
    for s in range(STATIONS):
        subprocess.run([CLI, "line", "collect", "--db", "records.db", "--import", f"s{s}.log", "--station-name",
                        f"station-{s}"], cwd=work, check=True, capture_output=True)
    print(f"imported in {time.monotonic() - t:.1f} s; database {os.path.getsize(os.path.join(work, 'records.db')) >> 20} MiB")

    serve = subprocess.Popen([CLI, "line", "serve", "--db", "records.db", "--http", "127.0.0.1:0"], cwd=work,
                             stderr=subprocess.PIPE, text=True)
    port = int(re.search(r":(\d+)/", serve.stderr.readline()).group(1))
    now = datetime.now(timezone.utc)
    shift = (now - timedelta(hours=8)).strftime("%Y-%m-%dT%H:%M")
    week = (now - timedelta(days=7, minutes=1)).strftime("%Y-%m-%dT%H:%M")
    print(f"server RSS at the start: {rss_kib(serve.pid) / 1024:.1f} MiB")
    print(f"/api/figures, a shift (8 h): {timed(port, '/api/figures?since=' + shift)}")
    print(f"/api/figures, the week:      {timed(port, '/api/figures?since=' + week)}")
    board = sorted(get(port, "/api/board")[0] for _ in range(10))
    print(f"/api/board:                  first {board[-1] * 1000:.0f} ms, cached {statistics.median(board) * 1000:.1f} ms")
    search = sorted(get(port, "/api/units?serial=SN0000042")[0] for _ in range(5))
    print(f"/api/units, one serial:      median {statistics.median(search) * 1000:.0f} ms (not cached)")
    seconds = []
    for _ in range(5):
        t = time.monotonic()
        subprocess.run([CLI, "line", "report", "--db", "records.db", "--json", "--since", week], cwd=work, check=True,
                       capture_output=True)
        seconds.append(time.monotonic() - t)
    print(f"line report --json, the week (process included): median {statistics.median(seconds) * 1000:.0f} ms")
    print(f"server RSS after the queries: {rss_kib(serve.pid) / 1024:.1f} MiB")

    page_load(port)

    heard, done = [], threading.Semaphore(0)
    for _ in range(CLIENTS):
        threading.Thread(target=listen, args=(port, shift, heard, done), daemon=True).start()
    for _ in range(CLIENTS):
        done.acquire()  # each page loaded once
    print(f"server RSS with {CLIENTS} pages open: {rss_kib(serve.pid) / 1024:.1f} MiB")
    # New records: every page hears of them and loads its data again.
    with open(os.path.join(work, "more.log"), "w") as log:
        log.write(json.dumps({"record": "unit-end", "id": "extra-1", "unit": "extra", "run": "x", "time": utc(now),
                              "result": "passed", "exit_name": "success", "duration_ms": 14000}) + "\n")
    heard.clear()
    subprocess.run([CLI, "line", "collect", "--db", "records.db", "--import", "more.log", "--station-name", "station-0"],
                   cwd=work, check=True, capture_output=True)
    t = time.monotonic()
    for _ in range(CLIENTS):
        done.acquire()
    print(f"a new record: all {CLIENTS} pages loaded their data again {max(heard) - t:.2f} s after it was stored "
          f"(the first {min(heard) - t:.2f} s)")
    print(f"server RSS with {CLIENTS} pages open after that: {rss_kib(serve.pid) / 1024:.1f} MiB, "
          f"peak {rss_kib(serve.pid, 'VmHWM') / 1024:.1f} MiB")
    serve.kill()


def page_load(port):
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--window-size=1280,1200", "--user-data-dir=" + os.path.join(work, "profile")]:
        options.add_argument(flag)
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    try:
        loads = []
        for _ in range(5):
            driver.get("about:blank")
            t = time.monotonic()
            driver.get(f"http://127.0.0.1:{port}/")
            while not driver.execute_script("return !!(window.lineData && window.lineData.figures)"):
                time.sleep(0.005)
            loads.append(time.monotonic() - t)
        print(f"page load to the shift's figures drawn (headless chromium): median {statistics.median(loads) * 1000:.0f} ms"
              f", max {max(loads) * 1000:.0f} ms")
        t = time.monotonic()
        driver.find_element("css selector", "button[data-hours='168']").click()
        while not driver.execute_script("const f = window.lineData.figures; "
                                        "return Date.now() - Date.parse(f.since) > 6 * 86400e3"):
            time.sleep(0.005)
        print(f"the page switched to the week, figures drawn: {(time.monotonic() - t) * 1000:.0f} ms")
    finally:
        driver.quit()


try:
    main()
finally:
    shutil.rmtree(work, ignore_errors=True)
