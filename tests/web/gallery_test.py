#!/usr/bin/python3
"""The collection gallery in headless Chromium, from file://, over a hand-made catalogue.

The media are the demo movie's own: `quillframer demo` writes demo.mp4 and demo.gif, and
`quillframer thumbnail` its poster. Run with Debian's /usr/bin/python3 (python3-selenium); needs
QF_BUILD_DIR. Exits 77 (skipped) when Chromium, its driver or Selenium is absent.
QF_GALLERY_SCREENSHOT names a PNG to keep a screenshot of the page in.
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    print("skipped: python3-selenium is not installed")
    sys.exit(77)
CHROMIUM, DRIVER = Path("/usr/bin/chromium"), Path("/usr/bin/chromedriver")
if not CHROMIUM.exists() or not DRIVER.exists():
    print("skipped: Chromium or its driver is not installed")
    sys.exit(77)

TOOL = Path(os.environ["QF_BUILD_DIR"]).resolve() / "quillframer"
HOSTILE = '</script><script>window.broken = 1</script><!-- "Flüge" & \'✈\''
FILLERS = 300  # more than one batch of cards


def movie(sha, name, locations, media, **extra):
    line = {"type": "movie", "sha256": sha * 64, "name": name, "locations": locations, "size": 1000,
            "width": 320, "height": 256, "frames": 50, "length": 2.0, "lengthText": "00:02.000", "scenes": 3,
            "assets": [], "volumes": [], "media": media}
    line.update(extra)
    return line


class GalleryTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = Path(tempfile.mkdtemp(prefix="qf-gallery-"))
        demo, cls.dir = cls.work / "demo", cls.work / "collection"
        subprocess.run([str(TOOL), "demo", "-o", str(demo), "-q"], check=True, capture_output=True)
        media = cls.dir / "media"
        media.mkdir(parents=True)
        shutil.copy(demo / "demo.mp4", media / "flight #1-aaaaaaaa.mp4")  # '#' must stay part of the name
        shutil.copy(demo / "demo.gif", media / "bounce-bbbbbbbb.gif")
        shutil.copy(demo / "sheet.png", media / "flight-sheet.png")
        subprocess.run([str(TOOL), "thumbnail", str(demo / "demo.qf"), str(media / "poster.png"), "-q"],
                       check=True, capture_output=True)
        lines = [
            movie("a", HOSTILE, ["set.zip:Disk1.adz:Anims/Flight", "Disk7.adf:Anims/Flight"],
                  {"poster": "media/poster.png", "sheet": "media/flight-sheet.png",
                   "video": "media/flight #1-aaaaaaaa.mp4"},
                  volumes=[{"label": "Art2", "chosen": "Disk2.adf", "candidates": ["Disk2.adf"]}]),
            movie("b", "Bounce", ["Disk3.adf:Bounce"], {"poster": "media/poster.png", "video": "media/bounce-bbbbbbbb.gif"},
                  assets=[{"kind": "faces", "amigaPath": "Work:Faces/Boing", "foundAt": None, "missing": True}]),
            movie("c", "Silent", ["Disk4.adf:Silent"], {}),
        ]
        lines += [movie("d", f"Filler {i}", [f"Filler{i}.adf:M"], {"poster": "media/poster.png"})
                  for i in range(FILLERS)]
        lines += [{"type": "container", "location": "broken.adf", "reason": "root block 880 has a bad checksum"},
                  {"type": "summary", "containers": 9, "movies": len(lines), "damaged": 1, "seconds": 1.5}]
        (cls.dir / "catalogue.jsonl").write_text("".join(json.dumps(line) + "\n" for line in lines))
        cls.total = FILLERS + 3

        options = webdriver.ChromeOptions()
        options.binary_location = str(CHROMIUM)
        for flag in ["--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-sync",
                     "--disable-background-networking", "--disable-component-update",
                     "--autoplay-policy=no-user-gesture-required", "--window-size=1100,900",
                     "--user-data-dir=" + str(cls.work / "profile")]:
            options.add_argument(flag)
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        cls.driver = webdriver.Chrome(service=Service(str(DRIVER)), options=options)

    @classmethod
    def tearDownClass(cls):
        cls.driver.quit()
        shutil.rmtree(cls.work, ignore_errors=True)

    def load(self):
        subprocess.run([str(TOOL), "gallery", str(self.dir), "-q"], check=True, capture_output=True)
        self.driver.get((self.dir / "index.html").as_uri())
        self.driver.get_log("browser")  # what earlier pages logged

    def wait(self, condition, what, timeout=20):
        WebDriverWait(self.driver, timeout).until(lambda d: d.execute_script(condition), what)

    def js(self, script):
        return self.driver.execute_script(script)

    def count(self):
        return self.driver.find_element(By.ID, "count").text

    def assert_quiet_console(self):
        problems = [e for e in self.driver.get_log("browser") if e["level"] in ("SEVERE", "WARNING")]
        self.assertEqual(problems, [])

    def test_cards_filter_and_damage(self):
        self.load()
        self.assertEqual(self.count(), f"{self.total} movies")
        self.assertIn("9 containers scanned", self.driver.find_element(By.ID, "summary").text)
        # Only the first batch of cards is made; the rest come as the grid's end nears the view.
        self.assertEqual(self.js("return quillFramerGallery.rendered()"), 120)
        self.wait("return [...document.querySelectorAll('#grid img')].slice(0, 8)"
                  ".every((i) => i.complete && i.naturalWidth > 0)", "the first posters")
        # The hostile name is text on its card and ran nothing.
        cards = self.driver.find_elements(By.CSS_SELECTOR, "#grid .card")
        self.assertEqual(cards[0].find_element(By.CLASS_NAME, "name").text, HOSTILE)
        self.assertIn("set.zip (+1 more)", cards[0].text)
        self.assertIn("00:02.000 · 3 scenes · 320×256", cards[0].text)
        self.assertIsNone(self.js("return window.broken"))
        self.assertEqual(len(self.driver.find_elements(By.TAG_NAME, "script")), 2)
        self.assertIn("Missing: Work:Faces/Boing", cards[1].text)
        self.assertIn("no video: run scan with --export mp4", cards[2].text)

        self.js("document.getElementById('more').scrollIntoView()")
        self.wait("return quillFramerGallery.rendered() > 120", "more cards on scrolling")

        search = self.driver.find_element(By.ID, "filter")
        # Every word must be found, in any case: "filler 29" is Filler 29, 129, 229 and 290 to 299.
        for words, expected, names in [("FLÜGE", 1, [HOSTILE]), ("art2", 1, [HOSTILE]), ("disk3.adf", 1, ["Bounce"]),
                                       ("filler29.adf", 1, ["Filler 29"]), ("filler 29", 13, None),
                                       ("nothing", 0, [])]:
            search.clear()
            search.send_keys(words)
            self.wait(f"return quillFramerGallery.shown() === {expected}", words)
            self.assertEqual(self.count(), f"{expected} of {self.total} movies")
            if names is not None:
                shown = [e.text for e in self.driver.find_elements(By.CSS_SELECTOR, "#grid .name")]
                self.assertEqual(shown, names, words)
        search.clear()
        search.send_keys(" ")
        self.wait(f"return quillFramerGallery.shown() === {self.total}", "all again")

        damaged = self.driver.find_element(By.ID, "damaged")
        self.assertTrue(damaged.is_displayed())
        self.assertIn("broken.adf: root block 880 has a bad checksum", damaged.text)
        shot = os.environ.get("QF_GALLERY_SCREENSHOT")
        if shot:
            self.js("window.scrollTo(0, 0)")
            self.driver.save_screenshot(shot)
        self.assert_quiet_console()

    def test_playing_from_the_keyboard_and_closing(self):
        self.load()
        button = self.driver.find_element(By.CSS_SELECTOR, "#grid .card button.poster")
        button.send_keys(Keys.ENTER)
        self.wait("return document.getElementById('viewer').open", "the viewer")
        self.wait("const v = document.querySelector('#viewer video');"
                  "return v && (v.readyState >= 2 && v.currentTime > 0)", "the video plays")
        self.assertIn("flight%20%231", self.js("return document.querySelector('#viewer video').src"))
        self.driver.switch_to.active_element.send_keys(Keys.ESCAPE)
        self.wait("return !document.getElementById('viewer').open", "Escape closes")
        self.assertIsNone(self.js("return document.querySelector('#viewer video')"))

        self.driver.find_elements(By.CSS_SELECTOR, "#grid .card button.poster")[1].click()
        self.wait("const i = document.querySelector('#viewer img'); return i && i.complete && i.naturalWidth > 0",
                  "the gif shows")
        self.driver.find_element(By.ID, "viewer-close").click()
        self.wait("return !document.getElementById('viewer').open", "Close closes")
        self.assert_quiet_console()

    def test_a_movie_without_video_links_the_player_when_there_is_one(self):
        (self.dir / "player").mkdir(exist_ok=True)
        (self.dir / "player" / "index.html").write_text("<!DOCTYPE html><title>player</title>")
        try:
            self.load()
            silent = self.driver.find_elements(By.CSS_SELECTOR, "#grid .card")[2]
            self.assertNotIn("no video", silent.text)
            link = silent.find_element(By.LINK_TEXT, "open the player")
            self.assertEqual(link.get_attribute("href"), (self.dir / "player" / "index.html").as_uri())
        finally:
            shutil.rmtree(self.dir / "player")


if __name__ == "__main__":
    unittest.main(verbosity=2)
