#!/usr/bin/python3
"""The browser player's decoding speed beside the native `dump`, on the demo movie.

Usage: bench/web_decode.py [BUILD_DIR]   (default build/release; run with Debian's /usr/bin/python3)
Prints the WebAssembly script's size, the page's time to decode every packet pair of the demo (and
to decode and draw them), and the native dump's time for the same movie, medians of five runs.
"""
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from selenium import webdriver
from selenium.webdriver.chrome.service import Service

build = Path(sys.argv[1] if len(sys.argv) > 1 else "build/release").resolve()
tool = build / "quillframer"
work = Path(tempfile.mkdtemp(prefix="qf-web-bench-"))
subprocess.run([str(tool), "demo", "--web-only", "-o", str(work)], check=True, capture_output=True)

native = []
for _ in range(5):
    start = time.perf_counter()
    subprocess.run([str(tool), "dump", str(work / "demo.qf"), "--volume", "DemoDisk=" + str(work / "DemoDisk"),
                    "--video", str(work / "v.bin"), "--audio", str(work / "a.bin")], check=True, capture_output=True)
    native.append((time.perf_counter() - start) * 1000)

options = webdriver.ChromeOptions()
options.binary_location = "/usr/bin/chromium"
for flag in ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             "--user-data-dir=" + str(work / "profile")]:
    options.add_argument(flag)
driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
try:
    driver.get((work / "web" / "index.html").as_uri())
    driver.execute_async_script("quillFramerPage.ready.then(arguments[0])")
    driver.find_element("id", "demo-button").click()
    time.sleep(1)
    driver.execute_script("quillFramerPage.pause()")
    runs = {draw: [driver.execute_script(f"return quillFramerPage.decodeAllTimed({str(draw).lower()})") for _ in range(5)]
            for draw in (False, True)}
finally:
    driver.quit()

pairs = runs[False][0]["pairs"]
size = (work / "web" / "quillframer-wasm.js").stat().st_size
print(f"quillframer-wasm.js            {size / 1024:8.1f} KB (WebAssembly inside, base64)")
print(f"page: decode {pairs} pairs        {statistics.median(r['ms'] for r in runs[False]):8.1f} ms")
print(f"page: decode and draw          {statistics.median(r['ms'] for r in runs[True]):8.1f} ms")
print(f"native dump (whole process)    {statistics.median(native):8.1f} ms")
