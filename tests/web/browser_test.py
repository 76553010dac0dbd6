#!/usr/bin/python3
"""The web player in headless Chromium, from file://, against `quillframer dump` of the same movie.

Every pair the page decodes (pixel words and audio packet) is hashed in the page as it is decoded
and compared with the frames and packets of dump's output, byte for byte.
Run with Debian's /usr/bin/python3 (python3-selenium); needs QF_BUILD_DIR and QF_SOURCE_DIR.
"""
import bz2
import gzip
import hashlib
import json
import lzma
import os
import re
import shutil
import subprocess
import tarfile
import tempfile
import time
import unittest
import zipfile
from pathlib import Path

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import WebDriverWait

BUILD = Path(os.environ["QF_BUILD_DIR"]).resolve()
SOURCE = Path(os.environ["QF_SOURCE_DIR"]).resolve()
TOOL = BUILD / "quillframer"
PAGE = BUILD / "web-page" / "index.html"
AUDIO_PACKET = 3528

# Hashes every decoded pair in the page, in decode order.
RECORDER = """
window.qfRecords = [];
window.qfRecorder = (pair) => {
  const digest = (bytes) => crypto.subtle.digest('SHA-256', bytes).then((h) =>
    Array.from(new Uint8Array(h), (b) => b.toString(16).padStart(2, '0')).join(''));
  window.qfRecords.push(Promise.all([digest(pair.pixels), digest(new Uint8Array(pair.samples.buffer))])
    .then(([video, audio]) => ({ time: pair.time, video, audio })));
};
"""
TAKE_RECORDS = """
const done = arguments[arguments.length - 1];
const records = window.qfRecords;
window.qfRecords = [];
Promise.all(records).then(done);
"""


def sha(data):
    return hashlib.sha256(data).hexdigest()


class Dump:
    """Per-frame and per-packet hashes of `quillframer dump`."""

    def __init__(self, movie, volume, workdir, seek=None):
        video, audio = workdir / "v.bin", workdir / "a.bin"
        command = [str(TOOL), "dump", str(movie), "--volume", "Work=" + str(volume), "--video", str(video),
                   "--audio", str(audio)]
        if seek is not None:
            command += ["--seek", str(seek)]
        out = subprocess.run(command, check=True, capture_output=True, text=True).stdout
        self.info = json.loads(out)
        size = self.info["width"] * self.info["height"] * 4
        v, a = video.read_bytes(), audio.read_bytes()
        self.frames = [v[i:i + size] for i in range(0, len(v), size)]
        self.video = [sha(f) for f in self.frames]
        self.audio = [sha(a[i:i + AUDIO_PACKET]) for i in range(0, len(a), AUDIO_PACKET)]


def rgba(frame):
    """What the canvas holds for a frame of pixel words (0, R, G, B): R, G, B, opaque."""
    out = bytearray(len(frame))
    out[0::4], out[1::4], out[2::4] = frame[1::4], frame[2::4], frame[3::4]
    out[3::4] = b"\xff" * (len(frame) // 4)
    return bytes(out)


class BrowserTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = Path(tempfile.mkdtemp(prefix="qf-web-"))
        # The bounce example with every asset on volume Work:, lengthened past one seek step.
        script = json.loads((SOURCE / "docs/examples/bounce/bounce.json").read_text())
        script["embed"] = False
        script["scenes"].append({"repeat": 31})
        # 39 scenes of 220 ms: a length that is no whole number of 40 ms pictures.
        script["scenes"][0]["ticks"] = 11
        for asset in Path(SOURCE / "docs/examples/bounce").iterdir():
            shutil.copy(asset, cls.work)
        (cls.work / "bounce.json").write_text(json.dumps(script))
        cls.movie = cls.work / "bounce.qf"
        subprocess.run([str(TOOL), "make", str(cls.work / "bounce.json"), "-o", str(cls.movie)], check=True,
                       capture_output=True)
        # The page must find them whatever their case: rename the folder and a file.
        cls.volume = cls.work / "bounce-volume"
        (cls.volume / "Bounce").rename(cls.volume / "bOUNCE")
        (cls.volume / "bOUNCE" / "field").rename(cls.volume / "bOUNCE" / "FIELD")
        cls.incomplete = cls.work / "incomplete"
        shutil.copytree(cls.volume, cls.incomplete)
        (cls.incomplete / "bOUNCE" / "Boing").unlink()
        # The same movie with its directory turned into one that climbs out of the volume.
        cls.escaping = cls.work / "escaping.qf"
        cls.escaping.write_bytes(cls.movie.read_bytes().replace(b"Work:Bounce\0", b"Work:../nce\0"))
        assert b"Work:../nce" in cls.escaping.read_bytes()
        cls.disk_image = cls.work / "Work.adf"
        cls.disk_image.write_bytes(bytes(901120))
        cls.archive = cls.work / "Work.lha"
        cls.archive.write_bytes(b"not read at all")
        # The same volumes on floppies made by our writer.
        cls.adf, cls.incomplete_adf = cls.work / "Work-disk.adf", cls.work / "Incomplete.adf"
        (cls.work / "movie-disk" / "Movies").mkdir(parents=True)
        shutil.copy(cls.movie, cls.work / "movie-disk" / "Movies")
        (cls.work / "movie-disk" / "ReadMe").write_text("A movie starts with xQuillframer.\n")
        cls.movie_adf, cls.movie_dms = cls.work / "Movies.adf", cls.work / "Movies.dms"
        # The movie and its files on one disk whose label is not the volume's.
        shutil.copytree(cls.volume, cls.work / "full-disk")
        shutil.copy(cls.movie, cls.work / "full-disk")
        cls.full_adf = cls.work / "Full.adf"
        subprocess.run([os.environ["QF_MAKE_ADF"], str(cls.full_adf), "Anims", str(cls.work / "full-disk")], check=True)
        for image, folder in [(cls.adf, cls.volume), (cls.incomplete_adf, cls.incomplete),
                              (cls.movie_adf, cls.work / "movie-disk"), (cls.movie_dms, cls.work / "movie-disk")]:
            subprocess.run([os.environ["QF_MAKE_ADF"], str(image), "Work", str(folder)], check=True)
        # Hostile disks: directories 15,000 deep, and a partition whose first byte wraps past 2^64.
        cls.deep_adf = cls.work / "Deep.adf"
        subprocess.run([os.environ["QF_MAKE_ADF"], str(cls.deep_adf), "--deep", "15000"], check=True)
        cls.wrapped_hdf = cls.work / "Wrapped.hdf"
        shutil.copy(SOURCE / "fuzz" / "regressions" / "adf_reader" / "geometry-wraps-before-image.hdf",
                    cls.wrapped_hdf)
        cls.junk = cls.work / "notes.txt"
        cls.junk.write_text("not a movie at all, just text\n")
        cls.make_containers()

        cls.dumps = {}
        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        for flag in ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                     "--disable-background-networking", "--disable-component-update", "--disable-sync",
                     "--autoplay-policy=no-user-gesture-required", "--window-size=1100,900",
                     "--user-data-dir=" + str(cls.work / "profile")]:
            options.add_argument(flag)
        cls.driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        cls.driver.set_script_timeout(60)

    @classmethod
    def make_containers(cls):
        # The movie and its files on a floppy from `make`, gzipped, zipped beside a text file.
        cls.floppy = cls.work / "bounce.adf"
        subprocess.run([str(TOOL), "make", str(cls.work / "bounce.json"), "-o", str(cls.floppy)], check=True,
                       capture_output=True)
        adz = gzip.compress(cls.floppy.read_bytes())
        cls.set_zip = cls.work / "set.zip"
        with zipfile.ZipFile(cls.set_zip, "w", zipfile.ZIP_DEFLATED) as z:
            z.writestr("ReadMe.txt", "Disk 1 holds the bounce.\n")
            z.writestr("Disk1.adz", adz)
        # Two movies: the floppy's, and the movie with its files loose in the archive.
        cls.two_zip = cls.work / "two.zip"
        with zipfile.ZipFile(cls.two_zip, "w", zipfile.ZIP_DEFLATED) as z:
            z.writestr("Disks/Disk1.adz", adz)
            z.write(cls.movie, "bounce.qf")
            for f in sorted(cls.volume.rglob("*")):
                if f.is_file():
                    z.write(f, f.relative_to(cls.volume).as_posix())
        # Volumes as containers: the folder zipped, the floppy gzipped.
        cls.volume_zip = cls.work / "Work.zip"
        with zipfile.ZipFile(cls.volume_zip, "w", zipfile.ZIP_DEFLATED) as z:
            for f in sorted(cls.volume.rglob("*")):
                z.write(f, f.relative_to(cls.volume).as_posix())
        cls.volume_adz = cls.work / "Work.adz"
        cls.volume_adz.write_bytes(gzip.compress(cls.adf.read_bytes()))
        # The movie and its files in an LHA archive, made by jlha (-lh7-).
        cls.movie_lha = cls.work / "bounce.lha"
        stage = cls.work / "lha-stage"
        shutil.copytree(cls.volume, stage)
        shutil.copy(cls.movie, stage)
        subprocess.run(["lha", "ao7", str(cls.movie_lha)] +
                       [f.relative_to(stage).as_posix() for f in sorted(stage.rglob("*")) if f.is_file()],
                       check=True, capture_output=True, cwd=stage)
        # That archive on a floppy.
        (cls.work / "packed-disk").mkdir()
        shutil.copy(cls.movie_lha, cls.work / "packed-disk")
        cls.packed_adf = cls.work / "Packed.adf"
        subprocess.run([os.environ["QF_MAKE_ADF"], str(cls.packed_adf), "Packed", str(cls.work / "packed-disk")],
                       check=True)
        # Hostile archives: a bomb past the page's cap, nesting past its depth, a damaged member.
        cls.bomb = cls.work / "bomb.zip"
        with zipfile.ZipFile(cls.bomb, "w", zipfile.ZIP_DEFLATED, compresslevel=1) as z:
            with z.open("big.adf", "w") as f:
                for _ in range(600):
                    f.write(bytes(1 << 20))
        # deep.zip holds 1.zip, which holds 2.zip, ... 8.zip holds set.zip.
        name, inner = "set.zip", cls.set_zip.read_bytes()
        for level in range(8, -1, -1):
            out = cls.work / (f"{level}.zip" if level else "deep.zip")
            with zipfile.ZipFile(out, "w") as z:
                z.writestr(name, inner)
            name, inner = out.name, out.read_bytes()
        cls.deep_zip = cls.work / "deep.zip"
        cls.damaged_zip = cls.work / "damaged.zip"
        with zipfile.ZipFile(cls.damaged_zip, "w", zipfile.ZIP_STORED) as z:
            z.write(cls.movie, "bounce.qf")
        data = bytearray(cls.damaged_zip.read_bytes())
        at = data.index(b"Work:Bounce")
        data[at + 1] ^= 0x20
        cls.damaged_zip.write_bytes(bytes(data))
        # A member that inflates past the size it states, and more members than the page takes.
        cls.liar_zip = cls.work / "liar.zip"
        with zipfile.ZipFile(cls.liar_zip, "w", zipfile.ZIP_DEFLATED) as z:
            z.writestr("zeros", bytes(100000))
        data = bytearray(cls.liar_zip.read_bytes())
        for header, size_at in [(b"PK\x03\x04", 22), (b"PK\x01\x02", 24)]:
            at = data.index(header) + size_at
            data[at:at + 4] = (1000).to_bytes(4, "little")
        cls.liar_zip.write_bytes(bytes(data))
        cls.many_zip = cls.work / "many.zip"
        with zipfile.ZipFile(cls.many_zip, "w") as z:
            for i in range(10001):
                z.writestr(f"{i}", b"")
        cls.damaged_lha = cls.work / "damaged.lha"
        subprocess.run(["lha", "az", str(cls.damaged_lha), "bounce.qf"], check=True, capture_output=True, cwd=stage)
        data = bytearray(cls.damaged_lha.read_bytes())
        data[data.index(b"Work:Bounce") + 1] ^= 0x20
        cls.damaged_lha.write_bytes(bytes(data))

        cls.make_tars()
        cls.make_zip64()
        cls.make_self_extracting()

    # A folder too long for a plain tar header's name: each format keeps it its own way.
    LONG = "Floppies/" + "Collection of a long name " * 5 + "/Disk1.adf"

    @classmethod
    def make_tars(cls):
        # Gzipped (known as tar by what it holds once inflated): the floppy and the movie loose
        # with its files. And the floppy in plain tars: a POSIX prefix, a GNU long name.
        cls.movie_tgz = cls.work / "bounce.tar.gz"
        with tarfile.open(cls.movie_tgz, "w:gz", format=tarfile.PAX_FORMAT) as t:
            t.add(cls.floppy, cls.LONG)
            t.add(cls.movie, "bounce.qf")
            t.add(cls.volume, ".")
        cls.plain_tars = []
        for name, form in [("ustar.tar", tarfile.USTAR_FORMAT), ("gnu.tar", tarfile.GNU_FORMAT)]:
            with tarfile.open(cls.work / name, "w", format=form) as t:
                t.add(cls.floppy, cls.LONG)
            cls.plain_tars.append(cls.work / name)
        # xz and bzip2: the movie and its files in a .tar.xz, the floppy alone in a .bz2.
        cls.movie_txz = cls.work / "bounce.tar.xz"
        with tarfile.open(cls.movie_txz, "w:xz") as t:
            t.add(cls.movie, "bounce.qf")
            t.add(cls.volume, ".")
        cls.floppy_bz2 = cls.work / "bounce.adf.bz2"
        cls.floppy_bz2.write_bytes(bz2.compress(cls.floppy.read_bytes()))
        # Hostile streams: xz cut short, bzip2 with a flipped byte, xz past the page's cap.
        cls.cut_xz, cls.bad_bz2, cls.bomb_xz = cls.work / "cut.tar.xz", cls.work / "bad.adf.bz2", cls.work / "bomb.xz"
        cls.cut_xz.write_bytes(cls.movie_txz.read_bytes()[:-100])
        data = bytearray(cls.floppy_bz2.read_bytes())
        data[len(data) // 2] ^= 0x01
        cls.bad_bz2.write_bytes(bytes(data))
        packer, zeros = lzma.LZMACompressor(preset=0), bytes(1 << 20)
        cls.bomb_xz.write_bytes(b"".join(packer.compress(zeros) for _ in range(600)) + packer.flush())
        cls.seven_zip = cls.work / "set.7z"  # its signature is all the page looks at
        cls.seven_zip.write_bytes(b"7z\xbc\xaf\x27\x1c" + bytes(100))
        cls.volume_tar = cls.work / "Work.tar"
        with tarfile.open(cls.volume_tar, "w") as t:
            t.add(cls.volume, ".")
        # Hostile: a header whose checksum fails, a member cut short, a path out of the archive,
        # more members than the page takes.
        cls.bad_sum_tar, cls.cut_tar = cls.work / "badsum.tar", cls.work / "cut.tar"
        cls.climb_tar, cls.many_tar = cls.work / "climb.tar", cls.work / "many.tar"
        with tarfile.open(cls.climb_tar, "w") as t:
            t.add(cls.movie, "../bounce.qf")
        with tarfile.open(cls.bad_sum_tar, "w", format=tarfile.USTAR_FORMAT) as t:
            t.add(cls.movie, "bounce.qf")
        data = bytearray(cls.bad_sum_tar.read_bytes())
        cls.cut_tar.write_bytes(bytes(data[:512 + 1000]))
        data[0] ^= 0x20  # the name's case: only the checksum can tell
        cls.bad_sum_tar.write_bytes(bytes(data))
        with tarfile.open(cls.many_tar, "w") as t:
            for i in range(10001):
                t.addfile(tarfile.TarInfo(str(i)))

    @classmethod
    def make_zip64(cls):
        # ZIP64 records from Python's own writer, its thresholds lowered so a small archive needs them.
        limits = zipfile.ZIP64_LIMIT, zipfile.ZIP_FILECOUNT_LIMIT
        zipfile.ZIP64_LIMIT, zipfile.ZIP_FILECOUNT_LIMIT = 100, 2
        try:
            cls.zip64 = cls.work / "wide.zip"
            with zipfile.ZipFile(cls.zip64, "w", zipfile.ZIP_DEFLATED) as z:
                z.write(cls.movie, "bounce.qf")
                for f in sorted(cls.volume.rglob("*")):
                    z.write(f, f.relative_to(cls.volume).as_posix())
            big = cls.work / "big64.zip"
            with zipfile.ZipFile(big, "w", zipfile.ZIP_DEFLATED) as z:
                z.writestr("zeros", bytes(1000))
        finally:
            zipfile.ZIP64_LIMIT, zipfile.ZIP_FILECOUNT_LIMIT = limits
        data = bytearray(cls.zip64.read_bytes())
        assert data[-42:-38] == b"PK\x06\x07" and data.count(b"PK\x06\x06") == 1
        # Hostile: a member whose ZIP64 field states 1 TiB, a locator pointing nowhere.
        cls.big_zip64 = big
        data = bytearray(big.read_bytes())
        at = data.index(b"PK\x01\x02") + 46 + len("zeros") + 4  # the extra field's first value
        data[at:at + 8] = (1 << 40).to_bytes(8, "little")
        big.write_bytes(bytes(data))
        cls.lost_zip64 = cls.work / "lost64.zip"
        data = bytearray(cls.zip64.read_bytes())
        data[-42 + 8:-42 + 16] = (len(data) * 2).to_bytes(8, "little")
        cls.lost_zip64.write_bytes(bytes(data))

    @classmethod
    def make_self_extracting(cls):
        # The LHA archive behind an Amiga executable's stub, which carries a method id that starts
        # no header; behind an MS-DOS stub on a floppy; and past the 64 KB searched.
        lha = cls.movie_lha.read_bytes()
        decoy = b"\x00\x00\x03\xf3" + bytes(1000) + b"xx-lh5-" + bytes(30) + b"\x00\x00\x03\xf2"
        cls.amiga_sfx = cls.work / "bounce.run"
        cls.amiga_sfx.write_bytes(decoy + lha)
        (cls.work / "sfx-disk").mkdir()
        (cls.work / "sfx-disk" / "bounce.exe").write_bytes(b"MZ" + bytes(3000) + lha)
        cls.sfx_adf = cls.work / "Sfx.adf"
        subprocess.run([os.environ["QF_MAKE_ADF"], str(cls.sfx_adf), "Sfx", str(cls.work / "sfx-disk")], check=True)
        cls.far_sfx = cls.work / "far.run"
        cls.far_sfx.write_bytes(b"MZ" + bytes(70000) + lha)

    @classmethod
    def tearDownClass(cls):
        cls.driver.quit()
        shutil.rmtree(cls.work, ignore_errors=True)

    def dump(self, seek=None):
        if seek not in self.dumps:
            self.dumps[seek] = Dump(self.movie, self.volume, self.work, seek)
        return self.dumps[seek]

    # ---- driving the page ----

    def load(self, url=None):
        self.driver.get(url or PAGE.as_uri())
        self.driver.execute_async_script("quillFramerPage.ready.then(arguments[0])")
        self.driver.execute_script(RECORDER)

    def wait(self, condition, what, timeout=30):
        WebDriverWait(self.driver, timeout).until(lambda d: d.execute_script(condition), what)

    def open_movie(self, path):
        self.driver.find_element(By.ID, "movie-input").send_keys(str(path))

    def answer_volume(self, folder):
        self.wait("return document.getElementById('volume-dialog').open", "the volume is asked for")
        self.assertEqual(self.driver.find_element(By.ID, "volume-name").text, '"Work:"')
        self.driver.find_element(By.ID, "volume-folder").send_keys(str(folder))

    def asked_again(self, why):
        """The volume is asked for again, saying what the last answer lacked."""
        self.wait("const d = document.getElementById('volume-dialog'), w = document.getElementById('volume-why');"
                  f"return d.open && !w.hidden && w.textContent.includes({json.dumps(why)})", "asked again: " + why)

    def cancel_asked_again(self, why):
        self.asked_again(why)
        self.driver.find_element(By.ID, "volume-cancel").click()
        self.assert_error(why)

    def assert_error(self, text):
        self.wait(f"return document.getElementById('message').textContent.includes({json.dumps(text)})", text)
        element = self.driver.find_element(By.ID, "message")
        self.assertTrue(element.is_displayed())
        self.assertEqual(element.get_attribute("class"), "error")

    def records(self):
        return self.driver.execute_async_script(TAKE_RECORDS)

    def key(self, key):
        self.driver.find_element(By.TAG_NAME, "body").send_keys(key)

    def assert_same_as_dump(self, records, dump, first=0, what=""):
        self.assertTrue(records, what + ": nothing decoded")
        for i, record in enumerate(records):
            self.assertLess(first + i, len(dump.video), what + ": more frames than dump")
            self.assertEqual(record["video"], dump.video[first + i], f"{what}: frame {first + i}")
            self.assertEqual(record["audio"], dump.audio[first + i], f"{what}: audio packet {first + i}")

    def open_playable(self):
        self.load()
        self.open_movie(self.movie)
        self.answer_volume(self.volume)
        self.wait("return !document.getElementById('player').hidden", "the player")

    # ---- the cases ----

    def test_failures_are_named(self):
        self.load()
        self.open_movie(self.junk)
        self.assert_error('"notes.txt" is not a Quill Framer movie')

        self.open_movie(self.movie)
        self.wait("return document.getElementById('volume-dialog').open", "the volume is asked for")
        self.driver.find_element(By.ID, "volume-cancel").click()
        self.assert_error('No folder was chosen for the Amiga volume "Work:"')

        self.open_movie(self.movie)
        self.wait("return document.getElementById('volume-dialog').open", "the volume is asked for again")
        self.driver.find_element(By.ID, "volume-files").send_keys(str(self.disk_image))
        self.assert_error('"Work.adf" cannot be read as an Amiga disk: not an AmigaDOS disk')

        self.open_movie(self.movie)
        self.wait("return document.getElementById('volume-dialog').open", "the volume is asked for again")
        self.driver.find_element(By.ID, "volume-files").send_keys(str(self.archive))
        self.assert_error('"Work.lha" holds no LHA entry that can be read')

        self.load()  # a fresh page: answers are remembered only while it is open
        self.open_movie(self.movie)
        self.answer_volume(self.incomplete)
        self.cancel_asked_again('a file the movie needs is missing: "Bounce/Boing" on Amiga volume "Work:"')

        self.open_movie(self.escaping)  # Work: is answered now; the join is refused before any lookup
        self.assert_error('a path that is refused, "../nce" on Amiga volume "Work:": ".." climbs out of the directory')

    def test_playing_decodes_what_dump_gives_and_loops(self):
        self.open_playable()
        whole, from_start = self.dump(), self.dump(0)
        facts = self.driver.find_element(By.ID, "facts").text
        self.assertIn(f"{whole.info['width']} × {whole.info['height']}", facts)
        # The page's counts are info's and export's: the pictures delivered and how long they play.
        volume = ["--volume", "Work=" + str(self.volume)]
        info = json.loads(subprocess.run([str(TOOL), "info", str(self.movie), "--json"] + volume, check=True,
                                         capture_output=True, text=True).stdout)
        summary = subprocess.run([str(TOOL), "export", str(self.movie), "-o", str(self.work / "x.gif"), "-y"] + volume,
                                 check=True, capture_output=True, text=True).stdout
        frames, seconds = re.search(r": (\d+) frames, \d+x\d+, ([\d.]+ s), ", summary).groups()
        self.assertEqual(int(frames), info["frames"])
        self.assertEqual(int(frames), len(whole.video))
        self.assertNotEqual(info["pluginDuration"] % 40, 0, "scenes that end inside a picture")
        self.assertIn(f"{seconds} ({info['length']}), {info['frames']} frames at 25 per second", facts)
        self.assertIn("Work:Bounce/field", facts)
        self.assertIn("found as bOUNCE/FIELD", facts)

        self.driver.find_element(By.ID, "loop").click()
        self.driver.find_element(By.ID, "play").click()
        wrapped = len(whole.video) + 5
        self.wait(f"return window.qfRecords.length >= {wrapped}", "playing through the end and around",
                  timeout=whole.info["duration"] / 1000 + 30)
        self.key(" ")
        records = self.records()
        # Decoding ahead may run a little past the pause; every pair still counts.
        self.assert_same_as_dump(records[:len(whole.video)], whole, what="playing")
        self.assert_same_as_dump(records[len(whole.video):], from_start, what="after the loop")

        # The canvas shows the current pair, converted to RGBA and nothing else.
        shown = self.driver.execute_async_script("""
            const done = arguments[0], page = quillFramerPage, c = page.frameCanvas;
            const data = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
            Promise.all([page.player.current.pixels, data].map((b) => crypto.subtle.digest('SHA-256', b)))
              .then((h) => done(h.map((x) => Array.from(new Uint8Array(x), (b) => b.toString(16).padStart(2, '0')).join(''))));
        """)
        frames = {h: f for d in (whole, from_start) for h, f in zip(d.video, d.frames)}
        self.assertIn(shown[0], frames)
        self.assertEqual(shown[1], sha(rgba(frames[shown[0]])))

    def test_seek_step_and_keys_give_dump_seek_frames(self):
        self.open_playable()
        self.records()
        self.driver.execute_script("quillFramerPage.seek(1234)")
        for _ in range(3):
            self.key(".")
        self.assert_same_as_dump(self.records(), self.dump(1234), what="seek 1234 then three steps")

        self.key(",")  # back from 1.354 s to the previous whole frame, 1.32 s
        self.assert_same_as_dump(self.records(), self.dump(1320), what="step back")

        self.key(Keys.ARROW_RIGHT)
        self.assert_same_as_dump(self.records(), self.dump(6320), what="five seconds on")
        self.key(Keys.ARROW_LEFT)
        self.key(Keys.HOME)
        records = self.records()
        self.assertEqual(len(records), 2)
        self.assert_same_as_dump(records[:1], self.dump(1320), what="five seconds back")
        self.assert_same_as_dump(records[1:], self.dump(0), what="home")

    def test_volume_on_a_disk_image(self):
        self.load()
        self.open_movie(self.movie)
        self.wait("return document.getElementById('volume-dialog').open", "the volume is asked for")
        self.driver.find_element(By.ID, "volume-files").send_keys(str(self.incomplete_adf))
        self.cancel_asked_again('a file the movie needs is missing: "Bounce/Boing" on Amiga volume "Work:" '
                                '(no file "Bounce/Boing" on the disk)')

        self.load()
        self.open_movie(self.movie)
        self.wait("return document.getElementById('volume-dialog').open", "the volume is asked for")
        self.driver.find_element(By.ID, "volume-files").send_keys(str(self.adf))
        self.wait("return !document.getElementById('player').hidden", "the player")
        self.assertIn('found as bOUNCE/FIELD in "Work"', self.driver.find_element(By.ID, "facts").text)
        self.driver.execute_script("while (quillFramerPage.decodePair());")
        records = self.records()
        dump = Dump(self.movie, self.adf, self.work)
        self.assertEqual(len(records), len(dump.video))
        self.assert_same_as_dump(records, dump, what="from the disk image")

        # The movie itself on a floppy, found by its signature; Work: is still the disk above.
        self.open_movie(self.movie_adf)
        self.wait("return quillFramerPage.movie.name === 'Movies.adf:Movies/bounce.qf' && "
                  "!document.getElementById('player').hidden", "the movie from its disk")
        self.driver.execute_script("while (quillFramerPage.decodePair());")
        self.assert_same_as_dump(self.records(), dump, what="a movie on a disk image")
        # The same floppy packed as a DMS archive.
        self.open_movie(self.movie_dms)
        self.wait("return quillFramerPage.movie.name === 'Movies.dms:Movies/bounce.qf' && "
                  "!document.getElementById('player').hidden", "the movie from its DMS archive")
        self.driver.execute_script("while (quillFramerPage.decodePair());")
        self.assert_same_as_dump(self.records(), dump, what="a movie in a DMS archive")

    def test_a_movies_disk_is_its_volume_and_answers_change_without_reloading(self):
        self.load()
        # Labelled otherwise, holding the movie and its files: no question at all.
        self.open_movie(self.full_adf)
        self.wait("return !document.getElementById('player').hidden", "the movie from its own disk")
        self.assertFalse(self.driver.execute_script("return document.getElementById('volume-dialog').open"))
        facts = self.driver.find_element(By.ID, "facts").text
        self.assertIn('Work: the movie\'s disk "Anims"', facts)
        self.driver.execute_script("while (quillFramerPage.decodePair());")
        dump = self.dump()
        self.assert_same_as_dump(self.records(), dump, what="from the movie's own disk")

        # Another answer: one that lacks a file is asked again, then the full folder plays.
        self.driver.find_element(By.CSS_SELECTOR, "button.change-volume").click()
        self.answer_volume(self.incomplete)
        self.asked_again('"Bounce/Boing" on Amiga volume "Work:"')
        self.assertTrue(self.driver.find_element(By.ID, "volume-disk").is_displayed())
        self.driver.find_element(By.ID, "volume-folder").send_keys(str(self.volume))
        self.wait("return !document.getElementById('player').hidden && "
                  "document.getElementById('facts').textContent.includes('\"bounce-volume\"')", "the folder's answer")
        self.driver.execute_script("while (quillFramerPage.decodePair());")
        self.assert_same_as_dump(self.records(), dump, what="after the answer changed")

    def test_hostile_disks_are_refused_and_the_page_keeps_working(self):
        self.load()
        for image, why in [(self.deep_adf, "directories nest deeper than 1000 levels at"),
                           (self.wrapped_hdf, "partition 0 (DH0) lies outside the image")]:
            self.open_movie(self.movie)
            self.wait("return document.getElementById('volume-dialog').open", "the volume is asked for")
            self.driver.find_element(By.ID, "volume-files").send_keys(str(image))
            self.assert_error(f'"{image.name}" cannot be read as an Amiga disk: {why}')
        self.open_movie(self.movie)
        self.wait("return document.getElementById('volume-dialog').open", "the volume is asked for once more")
        self.driver.find_element(By.ID, "volume-files").send_keys(str(self.adf))
        self.wait("return !document.getElementById('player').hidden", "the player after the hostile disks")

    def screenshot(self, name):
        shot = BUILD / "web-test" / name
        shot.parent.mkdir(exist_ok=True)
        self.assertTrue(self.driver.save_screenshot(str(shot)))

    def play_through(self, name, dump, what):
        self.wait(f"return quillFramerPage.movie.name === {json.dumps(name)} && "
                  "!document.getElementById('player').hidden || document.getElementById('message').className === "
                  "'error'", what)
        self.assertTrue(self.driver.find_element(By.ID, "player").is_displayed(),
                        what + ": " + self.driver.find_element(By.ID, "message").text)
        self.assertEqual(self.driver.execute_script("return quillFramerPage.movie.name"), name, what)
        self.driver.execute_script("while (quillFramerPage.decodePair());")
        records = self.records()
        self.assertEqual(len(records), len(dump.video), what)
        self.assert_same_as_dump(records, dump, what=what)

    def test_containers_open_as_the_command_opens_them(self):
        self.load()
        floppy = Dump(self.floppy, self.volume, self.work)
        # A gzipped floppy in a ZIP: its one movie plays, the disk standing for its volume.
        self.open_movie(self.set_zip)
        self.play_through("set.zip:Disk1.adz:bounce.movie", floppy, "a floppy gzipped in a ZIP")
        self.assertFalse(self.driver.execute_script("return document.getElementById('volume-dialog').open"))
        self.assertIn('Work: the movie\'s disk "Work"', self.driver.find_element(By.ID, "facts").text)
        self.screenshot("zip-playing.png")

        # Two movies: listed to choose; the loose one has its archive's files for its volume.
        self.open_movie(self.two_zip)
        self.wait("return document.querySelectorAll('#choices button').length === 2", "the choices")
        self.assertIn('"two.zip" holds 2 movies: choose one.', self.driver.find_element(By.ID, "message").text)
        self.screenshot("zip-choices.png")
        buttons = self.driver.find_elements(By.CSS_SELECTOR, "#choices button")
        self.assertEqual([b.text for b in buttons], ["two.zip:Disks/Disk1.adz:bounce.movie", "two.zip:bounce.qf"])
        buttons[1].click()
        self.play_through("two.zip:bounce.qf", self.dump(), "a movie loose in a ZIP with its files")
        self.assertIn('Work: the movie\'s archive "two.zip"', self.driver.find_element(By.ID, "facts").text)
        self.driver.find_elements(By.CSS_SELECTOR, "#choices button")[0].click()
        self.play_through("two.zip:Disks/Disk1.adz:bounce.movie", floppy, "the other choice")

        # The movie and its files in an LHA archive.
        self.open_movie(self.movie_lha)
        self.play_through("bounce.lha:bounce.qf", self.dump(), "a movie in an LHA archive")
        self.assertIn('Work: the movie\'s archive "bounce.lha"', self.driver.find_element(By.ID, "facts").text)

        self.open_movie(self.packed_adf)  # an archive on a disk
        self.play_through("Packed.adf:bounce.lha:bounce.qf", self.dump(), "a movie in an LHA archive on a floppy")

        # Volumes answered with a ZIP of the folder and a gzipped floppy.
        for answer, label in [(self.volume_zip, '"Work.zip"'), (self.volume_adz, '"Work"')]:
            self.load()
            self.open_movie(self.movie)
            self.wait("return document.getElementById('volume-dialog').open", "the volume is asked for")
            self.driver.find_element(By.ID, "volume-files").send_keys(str(answer))
            self.play_through("bounce.qf", self.dump(), "Work: from " + answer.name)
            self.assertIn("Work: " + label, self.driver.find_element(By.ID, "facts").text)

    def test_tar_zip64_and_self_extracting_archives_open_as_the_command_opens_them(self):
        def native(path, volume=None):  # the command's reading of the same place
            return Dump(path, volume or path, self.work)

        self.load()
        tgz, floppy = self.movie_tgz, self.LONG + ":bounce.movie"
        self.open_movie(tgz)
        self.wait("return document.querySelectorAll('#choices button').length === 2", "the choices")
        self.screenshot("tar-gz-choices.png")
        buttons = self.driver.find_elements(By.CSS_SELECTOR, "#choices button")
        self.assertEqual([b.text for b in buttons], ["bounce.tar.gz:" + floppy, "bounce.tar.gz:bounce.qf"])
        buttons[1].click()
        self.play_through("bounce.tar.gz:bounce.qf", native(f"{tgz}:bounce.qf", tgz), "a movie loose in a .tar.gz")
        self.assertIn('Work: the movie\'s archive "bounce.tar.gz"', self.driver.find_element(By.ID, "facts").text)
        self.screenshot("tar-gz-playing.png")
        self.driver.find_elements(By.CSS_SELECTOR, "#choices button")[0].click()
        self.play_through("bounce.tar.gz:" + floppy, native(f"{tgz}:{floppy}", f"{tgz}:{self.LONG}"),
                          "a floppy under a pax path in a .tar.gz")
        for tar in self.plain_tars:
            self.open_movie(tar)
            self.play_through(f"{tar.name}:{floppy}", native(f"{tar}:{floppy}", f"{tar}:{self.LONG}"),
                              "a floppy under a long name in " + tar.name)

        self.open_movie(self.movie_txz)
        self.play_through("bounce.tar.xz:bounce.qf", native(f"{self.movie_txz}:bounce.qf", self.movie_txz),
                          "a movie in a .tar.xz")
        self.open_movie(self.floppy_bz2)
        self.play_through("bounce.adf.bz2:bounce.movie", native(f"{self.floppy_bz2}:bounce.movie", self.floppy_bz2),
                          "a floppy in bzip2")

        self.open_movie(self.zip64)
        self.play_through("wide.zip:bounce.qf", native(f"{self.zip64}:bounce.qf", self.zip64), "a ZIP64 archive")

        # Self-extracting LHA: found past the stub's decoy as the command finds it, also on a disk.
        self.open_movie(self.amiga_sfx)
        self.play_through("bounce.run:bounce.qf", native(f"{self.amiga_sfx}:bounce.qf", self.amiga_sfx),
                          "behind an Amiga executable")
        self.open_movie(self.sfx_adf)
        sfx = f"{self.sfx_adf}:bounce.exe"
        self.play_through("Sfx.adf:bounce.exe:bounce.qf", native(sfx + ":bounce.qf", sfx),
                          "behind an MS-DOS stub on a floppy")

        # A tar of the folder answers for the volume.
        self.load()
        self.open_movie(self.movie)
        self.wait("return document.getElementById('volume-dialog').open", "the volume is asked for")
        self.driver.find_element(By.ID, "volume-files").send_keys(str(self.volume_tar))
        self.play_through("bounce.qf", self.dump(), "Work: from a tar archive")
        self.assertIn('Work: "Work.tar"', self.driver.find_element(By.ID, "facts").text)

    def test_hostile_archives_are_refused_naming_the_limit(self):
        self.load()
        for archive, why in [
                (self.bomb, '"bomb.zip:big.adf" expands to more than 512 MiB taken out of containers '
                            '(the page\'s limit on bytes expanded)'),
                (self.deep_zip, '"deep.zip:1.zip:2.zip:3.zip:4.zip:5.zip:6.zip:7.zip:8.zip:set.zip" nests '
                                'containers more than 8 deep (the page\'s limit on nesting)'),
                (self.many_zip, '"many.zip" holds more than 10000 entries inside containers (the page\'s limit on '
                                'members)'),
                (self.liar_zip, '"liar.zip:zeros" is damaged (it inflates past the 1000 bytes it states)'),
                (self.damaged_zip, '"damaged.zip:bounce.qf" is damaged (its CRC does not match)'),
                (self.damaged_lha, '"damaged.lha:bounce.qf" is damaged (its CRC does not match)'),
                (self.bad_sum_tar, '"badsum.tar" is a damaged tar archive (the header at byte 0 has a bad checksum)'),
                (self.cut_tar, '"cut.tar:bounce.qf" is cut short by the end of the archive'),
                (self.many_tar, '"many.tar" holds more than 10000 entries inside containers (the page\'s limit on '
                                'members)'),
                (self.climb_tar, '"climb.tar" holds no movie.'),
                (self.big_zip64, '"big64.zip:zeros" expands to more than 512 MiB taken out of containers (the '
                                 'page\'s limit on bytes expanded)'),
                (self.lost_zip64, '"lost64.zip" is a damaged ZIP archive (its ZIP64 end record is not where its '
                                  'locator says)'),
                (self.far_sfx, '"far.run" is not a Quill Framer movie'),
                (self.seven_zip, '"set.7z" is a 7-Zip archive, which this page does not read: unpack it and open '
                                 'what it holds'),
                (self.cut_xz, '"cut.tar.xz" is cut short (its xz stream ends early)'),
                (self.bad_bz2, '"bad.adf.bz2" is damaged (its bzip2 data is corrupt or fails its CRC)'),
                (self.bomb_xz, '"bomb.xz" expands to more than 512 MiB taken out of containers (the page\'s limit '
                               'on bytes expanded)')]:
            self.open_movie(archive)
            self.assert_error(why)
            self.assertTrue(self.driver.find_element(By.ID, "player").get_attribute("hidden"))
            self.screenshot("refused-" + archive.stem + ".png")
        self.open_movie(self.set_zip)  # the page still opens what it can
        self.wait("return !document.getElementById('player').hidden", "the player after the refusals")

    def test_demo_page_plays(self):
        demo = self.work / "demo"
        out = subprocess.run([str(TOOL), "demo", "--web-only", "-o", str(demo)], check=True, capture_output=True,
                             text=True).stdout
        page = demo / "web" / "index.html"
        self.assertIn(str(page), out)
        self.load(page.as_uri())
        self.driver.find_element(By.ID, "demo-button").click()
        self.wait("return quillFramerPage.player.playing && quillFramerPage.player.current.time > 2", "the demo plays")
        self.assertFalse(self.driver.execute_script("return document.getElementById('volume-dialog').open"))
        shot = BUILD / "web-test" / "demo-playing.png"
        shot.parent.mkdir(exist_ok=True)
        self.assertTrue(self.driver.save_screenshot(str(shot)))


if __name__ == "__main__":
    unittest.main(verbosity=2)
