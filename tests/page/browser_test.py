#!/usr/bin/python3
# The station page in headless Chromium, against lumbra-cli watch --http with four emulated
# controllers on a station of four slots (one fails: its serial number is hostile markup, and its
# verification fails, or a build with the stand-in image refuses it for that serial number): their results, the counters, the records and their search, then a restart of the
# program that the page must follow by itself.
#
#   browser_test.py --cli PATH/lumbra-cli --screenshot OUT.png
#
# Exit status 0 when it passed, 1 with the reason on stderr when it failed.
import argparse, json, os, re, shutil, signal, statistics, subprocess, sys, tempfile, time, urllib.request
if not os.path.exists("/usr/bin/chromedriver"):
    sys.exit(print("browser_test: skipped: no /usr/bin/chromedriver (scripts/install-deps.sh --tests)") or 77)
from selenium import webdriver
from selenium.common.exceptions import NoAlertPresentException, UnexpectedAlertPresentException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.keys import Keys

HOSTILE = "<img src=x onerror=alert(1)>"
FAILING = ("verify failed", "refused")  # slot C's verdict: with the real image, with the stand-in
FLAGS = ("--headless=new --no-sandbox --disable-gpu --disable-quic --no-first-run --disable-background-networking "
         "--disable-component-update --disable-sync --window-size=1366,768").split()
# What the page shows, read in one round trip.
READ_PAGE = """
const all = (s) => [...document.querySelectorAll(s)], text = (e) => e.hidden ? '' : e.textContent;
const fields = (id) => Object.fromEntries(all('#' + id + ' [data-field]').map(e => [e.dataset.field, e.textContent]));
return {conn: text(document.getElementById('conn')), target: text(document.getElementById('target')),
  tiles: all('#tiles .tile').map(t => ({name: t.querySelector('.tile-name').textContent,
    serial: t.querySelector('.serial').textContent, verdict: text(t.querySelector('.verdict'))})),
  since_start: fields('since_start'), today: fields('today'), records: all('#records tr').map(text),
  elements_from_data: all('body img, body script:not([src])').length,
  latency: (window.__lumbraLatency || []).slice()};
"""


class Failure(Exception):
    pass


def check(ok, what):
    if not ok:
        raise Failure(what)


# Polls probe() for (done, value) until done; the last value is told on a failure.
def wait_for(what, seconds, probe):
    end = time.monotonic() + seconds
    while True:
        done, value = probe()
        if done:
            return value
        if time.monotonic() > end:
            raise Failure(f"{what}: not within {seconds} s; last seen {json.dumps(value)[:1500]}")
        time.sleep(0.25)


# lumbra-cli watch --http on the test's station and record file, its output in a log.
class Program:

    def __init__(self, cli, folder):
        self.cli, self.folder, self.proc, self.log = cli, folder, None, os.path.join(folder, "lumbra-cli.log")
        open(self.log, "w").close()

    def start(self, http):
        since, path = os.path.getsize(self.log), lambda name: os.path.join(self.folder, name)
        with open(self.log, "a") as log:
            self.proc = subprocess.Popen(
                [self.cli, "watch", "--simulate", "ok,ok,stuck:" + HOSTILE + ",ok", "--pace", "2", "--station",
                 path("station.json"), "--report", path("records.jsonl"), "--http", http],
                stdout=log, stderr=log, stdin=subprocess.DEVNULL)
        ports = wait_for("the line 'station page at http://127.0.0.1:PORT/'", 30, lambda: (lambda found: (
            found or self.proc.poll() is not None, found))(re.findall(r"station page at http://127\.0\.0\.1:(\d+)/",
                                                                      self.output(since))))
        check(ports, f"lumbra-cli exited with {self.proc.returncode} before serving the page")
        return int(ports[0])

    def output(self, since=0):
        with open(self.log, "rb") as f:
            f.seek(since)
            return f.read().decode(errors="replace")

    def stop(self, how=signal.SIGTERM):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(how)
            self.proc.wait(timeout=30)  # raises TimeoutExpired, and the program is killed below


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--cli", required=True)
    ap.add_argument("--screenshot", required=True)
    args = ap.parse_args()
    folder = tempfile.mkdtemp(prefix="lumbra-page-")
    with open(os.path.join(folder, "station.json"), "w") as f:
        json.dump({"name": "bench-1", "target": 3, "slots": [
            {"label": label, "port": f"emulated-port:{n}"} for n, label in enumerate("ABCD")]}, f)
    program, driver = Program(os.path.abspath(args.cli), folder), None
    try:
        port = program.start("127.0.0.1:0")
        url = f"http://127.0.0.1:{port}/"
        with urllib.request.urlopen(url, timeout=10) as res:  # else a CSP violation could not be seen
            check("default-src 'self'" in str(res.headers.get("Content-Security-Policy")),
                  f"the page is served without Content-Security-Policy: default-src 'self':\n{res.headers}")
        options = webdriver.ChromeOptions()
        for flag in FLAGS + ["--user-data-dir=" + os.path.join(folder, "chromium")]:
            options.add_argument(flag)
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        options.set_capability("unhandledPromptBehavior", "ignore")  # an alert stays to be found
        driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        driver.get(url)
        page = lambda: driver.execute_script(READ_PAGE)

        # The four results (at --pace 2 a cycle takes about 25 s), then their counters.
        wait_for("four tiles with a verdict and four records", 240, lambda: (lambda p: (
            len(p["tiles"]) == 4 and all(t["verdict"] for t in p["tiles"]) and len(p["records"]) == 4, p))(page()))
        driver.save_screenshot(args.screenshot)  # again below with the counters; this one stays on a failure
        wait_for("the counters of 3 verified and 1 failed", 10, lambda: (lambda p: (all(
            (c["verified"], c["failed"], c["yield"]) == ("3", "1", "75.0%") and any(f + ": 1" in c["breakdown"] for f in FAILING)
            for c in (p["since_start"], p["today"])), {k: p[k] for k in ("since_start", "today")}))(page()))
        driver.save_screenshot(args.screenshot)
        p = page()
        try:
            raise Failure(f"a JavaScript alert opened ({driver.switch_to.alert.text}): a controller's text ran")
        except NoAlertPresentException:
            pass
        verdicts = {t["name"]: t["verdict"] for t in p["tiles"]}
        check([n for n, v in verdicts.items() if "VERIFIED" in v] == ["A", "B", "D"]
              and "FAILED" in verdicts["C"] and any(f in verdicts["C"] for f in FAILING), f"verdicts: {verdicts}")
        check(p["tiles"][2]["serial"] == "SN " + HOSTILE, f"slot C's serial number: {p['tiles'][2]['serial']!r}")
        check(sum(HOSTILE in r for r in p["records"]) == 1, f"the records list: {p['records']}")
        check(p["elements_from_data"] == 0, "an element made from a controller's text is in the page")
        check("3 / 3" in p["target"] and "target reached" in p["target"], f"the target: {p['target']!r}")
        bad = {l["message"] for l in driver.get_log("browser")
               if "Content Security Policy" in l["message"] or "Uncaught" in l["message"]}
        check(not bad, "the console has CSP violations or uncaught errors:\n" + "\n".join(sorted(bad)[:5]))
        lat = p["latency"]
        check(lat, "window.__lumbraLatency is empty: no live event was applied")
        print(f"event->page latency: median {statistics.median(lat):.0f} ms, max {max(lat):.0f} ms, {len(lat)} events")

        # The search asks the server, with the hostile text in the query; clearing it shows the live list.
        search = driver.find_element("id", "search")
        search.send_keys("src=x onerror")
        wait_for("the search for 'src=x onerror'", 10,
                 lambda: (lambda r: (len(r) == 1 and HOSTILE in r[0], r))(page()["records"]))
        search.send_keys(Keys.CONTROL, "a", Keys.NULL, Keys.BACKSPACE)
        wait_for("the live list after the search is cleared", 10, lambda: (lambda r: (len(r) == 4, r))(page()["records"]))

        # A restart on the same port: the page reconnects by itself and shows the new program's
        # snapshot, where "today" is read back from the record file and "since start" is new.
        program.stop()
        wait_for("'reconnecting' once the program is gone", 15, lambda: (lambda c: (c != "live", c))(page()["conn"]))
        program.start(f"127.0.0.1:{port}")
        wait_for("the page live again with the new program's counters", 30, lambda: (lambda p: (
            p["conn"] == "live" and p["since_start"]["verified"] == "0" and p["today"]["verified"] == "3",
            {k: p[k] for k in ("conn", "since_start", "today")}))(page()))
        print("browser_test: passed")
        return 0
    except (Failure, UnexpectedAlertPresentException) as e:
        print(f"browser_test: FAILED: {e}\nlumbra-cli's output, last lines:\n{program.output()[-1500:]}", file=sys.stderr)
        return 1
    finally:
        if driver:
            driver.quit()
        program.stop(signal.SIGKILL)
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
