#!/usr/bin/env python3
"""Times how long headless Chromium takes to open an HTML page, and lists its console messages.

The browser is driven over its DevTools pipe (no network port, standard library only). Each
round navigates a fresh tab to the page and reads the page's own navigation timing: from the
start of navigation to the end of its load event, then to the first frame painted after it
(layout and paint of what is shown included). Browser start-up is not counted. Pages are
alternated when several are given, and the median of each is printed as JSON, with every
console or log message the pages produced.

Usage: page_timer.py CHROMIUM ROUNDS PAGE.html [PAGE.html ...]
       page_timer.py --shot CHROMIUM PAGE.html OUT.png SELECTOR HEIGHT
         (a screenshot 1280 pixels wide and HEIGHT high from the top of the element SELECTOR
         matches, opened first when it is a <details>: the viewport scrolled to it)
"""

import json
import os
import statistics
import subprocess
import sys
import tempfile
import time


class Pipe:
    def __init__(self, browser, profile):
        read_cmd, self.write_cmd = os.pipe()   # we write commands, the browser reads fd 3
        self.read_ans, write_ans = os.pipe()   # the browser writes answers on fd 4
        os.set_inheritable(read_cmd, True)
        os.set_inheritable(write_ans, True)

        def setup():
            os.dup2(read_cmd, 3)
            os.dup2(write_ans, 4)

        self.process = subprocess.Popen(
            [browser, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             "--remote-debugging-pipe", f"--user-data-dir={profile}", "--window-size=1280,2000",
             "about:blank"],
            preexec_fn=setup, close_fds=False, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        os.close(read_cmd)
        os.close(write_ans)
        self.buffer = b""
        self.next_id = 0
        self.events = []

    def send(self, method, params=None, session=None):
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        os.write(self.write_cmd, json.dumps(message).encode() + b"\0")
        return self.wait(lambda m: m.get("id") == self.next_id)

    def wait(self, match, timeout=60):
        deadline = time.time() + timeout
        while True:
            for index, message in enumerate(self.events):
                if match(message):
                    return self.events.pop(index)
            if time.time() > deadline:
                raise TimeoutError("no answer from the browser")
            while b"\0" not in self.buffer:
                chunk = os.read(self.read_ans, 1 << 20)
                if not chunk:
                    raise EOFError("the browser closed its pipe")
                self.buffer += chunk
            raw, self.buffer = self.buffer.split(b"\0", 1)
            self.events.append(json.loads(raw))

    def close(self):
        try:
            self.send("Browser.close")
        except Exception:
            pass
        self.process.wait(timeout=30)


def open_once(pipe, url, messages):
    target = pipe.send("Target.createTarget", {"url": "about:blank"})["result"]["targetId"]
    session = pipe.send("Target.attachToTarget", {"targetId": target, "flatten": True})
    session = session["result"]["sessionId"]
    for domain in ("Page", "Runtime", "Log"):
        pipe.send(f"{domain}.enable", session=session)
    pipe.events.clear()
    pipe.send("Page.navigate", {"url": url}, session=session)
    pipe.wait(lambda m: m.get("method") == "Page.loadEventFired" and m.get("sessionId") == session)
    # The first frame after load: the page has been laid out and painted as it shows.
    expression = ("new Promise(r => requestAnimationFrame(() => requestAnimationFrame(() => {"
                  "const n = performance.getEntriesByType('navigation')[0];"
                  "r(JSON.stringify({load: n.loadEventEnd, painted: performance.now()}));})))")
    answer = pipe.send("Runtime.evaluate", {"expression": expression, "awaitPromise": True},
                       session=session)
    timing = json.loads(answer["result"]["result"]["value"])
    for event in pipe.events:
        if event.get("method") in ("Runtime.consoleAPICalled", "Log.entryAdded",
                                   "Runtime.exceptionThrown"):
            messages.append(event["params"])
    pipe.events.clear()
    pipe.send("Target.closeTarget", {"targetId": target})
    return timing


def shot(browser, page, out, selector, height):
    import base64
    with tempfile.TemporaryDirectory() as profile:
        pipe = Pipe(browser, profile)
        try:
            target = pipe.send("Target.createTarget", {"url": "about:blank"})["result"]["targetId"]
            session = pipe.send("Target.attachToTarget", {"targetId": target, "flatten": True})
            session = session["result"]["sessionId"]
            pipe.send("Page.enable", session=session)
            pipe.send("Emulation.setDeviceMetricsOverride",
                      {"width": 1280, "height": height, "deviceScaleFactor": 1, "mobile": False},
                      session=session)
            pipe.send("Page.navigate", {"url": "file://" + os.path.abspath(page)}, session=session)
            pipe.wait(lambda m: m.get("method") == "Page.loadEventFired")
            expression = ("(() => { const e = document.querySelector(%s);"
                          " if (e.tagName === 'DETAILS') e.open = true;"
                          " e.scrollIntoView(); return new Promise(r => requestAnimationFrame(() =>"
                          " requestAnimationFrame(() => r(e.getBoundingClientRect().top +"
                          " window.scrollY)))); })()" % json.dumps(selector))
            pipe.send("Runtime.evaluate", {"expression": expression, "awaitPromise": True},
                      session=session)
            # The viewport as it shows, the element at its top (or as near as the page's end lets
            # it come).
            image = pipe.send("Page.captureScreenshot", {"format": "png"},
                              session=session)["result"]["data"]
            with open(out, "wb") as f:
                f.write(base64.b64decode(image))
        finally:
            pipe.close()


def main():
    if sys.argv[1] == "--shot":
        shot(sys.argv[2], sys.argv[3], sys.argv[4], sys.argv[5], int(sys.argv[6]))
        return
    browser, rounds, pages = sys.argv[1], int(sys.argv[2]), sys.argv[3:]
    with tempfile.TemporaryDirectory() as profile:
        pipe = Pipe(browser, profile)
        try:
            results = {page: [] for page in pages}
            messages = []
            for _ in range(rounds):
                for page in pages:
                    url = "file://" + os.path.abspath(page)
                    results[page].append(open_once(pipe, url, messages))
        finally:
            pipe.close()
    out = {"pages": {}, "messages": messages}
    for page, timings in results.items():
        out["pages"][page] = {
            "loadMs": statistics.median(t["load"] for t in timings),
            "paintedMs": statistics.median(t["painted"] for t in timings),
            "rounds": len(timings), "bytes": os.path.getsize(page)}
    print(json.dumps(out, indent=1))


if __name__ == "__main__":
    main()
