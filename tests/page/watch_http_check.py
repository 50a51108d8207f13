#!/usr/bin/python3
"""watch_http_check.py COMMAND...: runs COMMAND (a `lumbra-cli watch --simulate 2 --pace 0
--http 127.0.0.1:0`, under Wine for the Windows build), and checks over HTTP that it serves the
page with its security headers and, on the event stream, a snapshot and then both controllers'
results (in the snapshot when they came first). Exit 0 when it does."""
import http.client
import json
import re
import subprocess
import sys
import threading
import time

DEADLINE = 120  # seconds, for the program to start under a cold Wine and to flash


def fail(message, program):
    program.kill()
    sys.exit(f"watch_http_check: {message}")


def main():
    program = subprocess.Popen(sys.argv[1:], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.PIPE, text=True, errors="replace")
    found = {}

    def read_stderr():
        for line in program.stderr:
            sys.stderr.write(line)
            match = re.search(r"station page at http://127\.0\.0\.1:(\d+)/", line)
            if match:
                found["port"] = int(match.group(1))

    threading.Thread(target=read_stderr, daemon=True).start()
    start = time.monotonic()
    while "port" not in found:
        if program.poll() is not None or time.monotonic() - start > DEADLINE:
            fail("no station page was announced", program)
        time.sleep(0.1)

    page = http.client.HTTPConnection("127.0.0.1", found["port"], timeout=DEADLINE)
    page.request("GET", "/")
    reply = page.getresponse()
    body = reply.read().decode()
    if reply.status != 200 or "<html" not in body.lower():
        fail(f"GET / answered {reply.status}", program)
    if reply.getheader("Content-Security-Policy") != "default-src 'self'" or \
            reply.getheader("X-Content-Type-Options") != "nosniff":
        fail(f"GET / lacks the security headers: {reply.getheaders()}", program)

    events = http.client.HTTPConnection("127.0.0.1", found["port"], timeout=DEADLINE)
    events.request("GET", "/events")
    stream = events.getresponse()
    if stream.status != 200 or not stream.getheader("Content-Type", "").startswith("text/event-stream"):
        fail(f"GET /events answered {stream.status}", program)
    first, verdicts = None, {}
    while len(verdicts) < 2:
        line = stream.fp.readline().decode()
        if not line:
            fail("the event stream ended", program)
        if not line.startswith("data: "):
            continue
        try:
            event = json.loads(line[6:])
        except ValueError:
            fail(f"not a JSON message: {line!r}", program)
        first = first or event["event"]
        tiles = event["tiles"] if event["event"] == "snapshot" else [event.get("tile", {})]
        for tile in tiles:
            if tile.get("verdict"):
                verdicts[tile["key"]] = tile["verdict"]
    program.kill()
    program.wait(timeout=DEADLINE)
    if first != "snapshot" or set(verdicts.values()) != {"verified"}:
        sys.exit(f"watch_http_check: first event {first}, verdicts {verdicts}")
    print(f"watch_http_check: snapshot, then {verdicts}")


main()
