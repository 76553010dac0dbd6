// The Quill Framer web player. The plug-in and its host run as WebAssembly (quillframer-wasm.js);
// this script feeds them files, asks for Amiga volumes, and plays what they decode: pictures on
// a canvas, sound through Web Audio, the pictures timed by the audio clock.
// A classic script, not an ES module: module scripts do not load from file://.
(function () {
  'use strict';

  const FRAME_SECONDS = 0.04;  // a packet pair every 40 ms: 25 frames per second
  const AHEAD_SECONDS = 0.3;   // decoded and scheduled ahead of the audio clock
  const LEAD_SECONDS = 0.06;   // from pressing play to the first sound
  const SEEK_STEP_MS = 5000;
  const FAILURE_REFERENCED_FILE = 3;
  const FAILURE_VOLUME_WANTED = 4;
  const MOVIE_DISK = '/movie/disk';  // where a disk image holding the movie is mounted

  const $ = (id) => document.getElementById(id);
  const ui = {
    movieInput: $('movie-input'), demoButton: $('demo-button'), message: $('message'), player: $('player'),
    canvas: $('canvas'), seekbar: $('seekbar'), progress: $('progress'), marks: $('marks'), play: $('play'),
    back: $('back'), forward: $('forward'), time: $('time'), scene: $('scene'), loop: $('loop'),
    volume: $('volume'), scale: $('scale'), aspect: $('aspect'), fullscreen: $('fullscreen'), save: $('save'),
    facts: $('facts'), dialog: $('volume-dialog'), volumeName: $('volume-name'), volumeFolder: $('volume-folder'),
    volumeFiles: $('volume-files'), volumeCancel: $('volume-cancel'), volumeWhy: $('volume-why'),
    volumeDisk: $('volume-disk'), choices: $('choices'),
  };

  let wasm = null;
  const ready = QuillFramerWasm().then((m) => { wasm = m; });

  // ---- The WebAssembly host ---------------------------------------------------------------

  function text(pointer) { return wasm.UTF8ToString(pointer); }

  function withString(s, use) {
    const size = wasm.lengthBytesUTF8(s) + 1;
    const p = wasm._malloc(size);
    wasm.stringToUTF8(s, p, size);
    try { return use(p); } finally { wasm._free(p); }
  }

  function withBytes(bytes, use) {
    const p = wasm._malloc(Math.max(1, bytes.length));
    wasm.HEAPU8.set(bytes, p);
    try { return use(p, bytes.length); } finally { wasm._free(p); }
  }

  function addFile(path, bytes) { withBytes(bytes, (p, n) => withString(path, (s) => wasm._qfw_add_file(s, p, n))); }

  // The image's label; throws why the reader cannot read it.
  function mountDisk(root, bytes) {
    const ok = withBytes(bytes, (p, n) => withString(root, (r) => wasm._qfw_add_disk_image(r, p, n)));
    const message = text(wasm._qfw_disk_message());
    if (!ok) throw new Error(message);
    return message;
  }

  // What containers.js asks of the host's readers.
  const containerHost = {
    isMovie: (bytes) => withBytes(bytes.subarray(0, 64), (p, n) => wasm._qfw_is_movie(p, n)) !== 0,
    mountDisk,
    diskMovies(root) {
      const count = withString(root, (r) => wasm._qfw_disk_movies(r));
      return count ? text(wasm._qfw_disk_message()).split('\n').map((path) => path.slice(root.length + 1)) : [];
    },
    // Every file on the image at root, by its path there.
    diskFiles(root) {
      const count = withString(root, (r) => wasm._qfw_disk_files(r));
      return count ? text(wasm._qfw_disk_message()).split('\n').map((path) => path.slice(root.length + 1)) : [];
    },
    // The first maxBytes of one; throws why it cannot be read.
    diskRead(root, inside, maxBytes) {
      if (!withString(root + '/' + inside, (p) => wasm._qfw_disk_read(p, Math.min(maxBytes, 0xffffffff))))
        throw new Error(text(wasm._qfw_disk_message()));
      const p = wasm._qfw_disk_read_data();
      return wasm.HEAPU8.slice(p, p + wasm._qfw_disk_read_size());
    },
    forget(root) { withString(root, (r) => wasm._qfw_remove_files(r)); },
    // What an xz or bzip2 stream holds, or null past room bytes; throws why it cannot be read.
    unpack(kind, bytes, room) {
      if (!wasm._qfw_unpack) throw new Error('is ' + kind + '-compressed, which this build of the page does not read');
      const size = withBytes(bytes, (p, n) => wasm._qfw_unpack(kind === 'xz' ? 1 : 2, p, n, Math.min(room, 0xffffffff)));
      try {
        if (size === -1) throw new Error(text(wasm._qfw_unpack_message()));
        if (size < 0) return null;
        const p = wasm._qfw_unpack_data();
        return wasm.HEAPU8.slice(p, p + size);
      } finally {
        wasm._qfw_unpack_close();
      }
    },
    // Where an LHA archive begins behind a self-extracting stub, or -1 (see web_lha.cpp).
    lhaAfterStub(bytes) {
      if (!wasm._qfw_lha_after_stub) return -1;
      return withBytes(bytes.subarray(0, 65536), (p, n) => wasm._qfw_lha_after_stub(p, n));
    },
    // Every file of an LHA archive, charged to budget (see containers.js).
    lhaFiles(bytes, budget) {
      if (!wasm._qfw_lha_open)
        throw new Error('is an LHA archive, which this build of the page does not read: unpack it and pick the folder');
      const { limits } = budget;
      const count = withBytes(bytes, (p, n) =>
        wasm._qfw_lha_open(p, n, limits.expandedBytes - budget.expanded, limits.members - budget.members));
      try {
        const why = text(wasm._qfw_lha_message());
        if (count === -2 && why === 'bytes') budget.expand(limits.expandedBytes - budget.expanded + 1);
        if (count === -2) for (;;) budget.member();
        if (count < 0) {
          const tab = why.indexOf('\t');
          throw Object.assign(new Error(why.slice(tab + 1)), { member: tab < 0 ? null : why.slice(0, tab) });
        }
        const files = [];
        for (let i = 0; i < count; i++) {
          const p = wasm._qfw_lha_data(i), size = wasm._qfw_lha_size(i);
          budget.member();
          budget.expand(size);
          files.push({ path: text(wasm._qfw_lha_path(i)), bytes: wasm.HEAPU8.slice(p, p + size) });
        }
        return files;
      } finally {
        wasm._qfw_lha_close();
      }
    },
  };

  // ---- Volumes: answered once, remembered while the page is open ---------------------------

  const volumes = [];  // { name, root, label }
  let roots = 0;       // volume roots made so far: each answer gets its own
  // What the open movie came from, if a disk image or archive: { label, kind: 'disk' or 'archive' }.
  let movieHome = null;

  function homeText() { return 'the movie\'s ' + movieHome.kind + ' "' + movieHome.label + '"'; }

  // Files from a folder picker keep their path below the folder; loose files sit at the root.
  // One file that is a disk image or an archive stands for the volume instead: the image mounted
  // whole, the archive's files (answer.content, from useAnswer).
  // An answer replaces the volume's earlier one. answer.disk: the home the movie came from.
  async function mountVolume(name, answer) {
    let root = MOVIE_DISK, label = movieHome && movieHome.label;
    if (!answer.disk) {
      root = '/volumes/' + roots++;
      label = answer.label;
      const content = answer.content;
      if (content && content.disk) {
        try {
          label = mountDisk(root, content.disk);
        } catch (e) {
          throw new Error('"' + answer.entries[0].path + '" cannot be read as an Amiga disk: ' + e.message);
        }
      } else if (content) {
        label = answer.entries[0].path;
        for (const { path, bytes } of content.files) addFile(root + '/' + path, bytes);
      } else {
        for (const { path, file } of answer.entries) addFile(root + '/' + path, new Uint8Array(await file.arrayBuffer()));
      }
    }
    withString(name, (n) => withString(root, (r) => wasm._qfw_answer_volume(n, r)));
    dropVolume(name);
    volumes.push({ name, root, label });
  }

  function sameVolume(a, b) { return a.toLowerCase() === b.toLowerCase(); }

  function dropVolume(name) {
    for (let i = volumes.length - 1; i >= 0; i--) if (sameVolume(volumes[i].name, name)) volumes.splice(i, 1);
  }

  // The user's answer put to use: false (and why, said) when it cannot stand for a volume.
  async function useAnswer(volume, answer) {
    try {
      if (!answer.disk && answer.entries.length === 1) {
        const { path, file } = answer.entries[0];
        answer.content = await QuillFramerContainers.volumeContent(path, new Uint8Array(await file.arrayBuffer()),
                                                                    containerHost);
      }
      await mountVolume(volume, answer);
    } catch (e) {
      say(e.message, 'error');
      return false;
    }
    return true;
  }

  function pickedEntries(files) {
    return Array.from(files, (file) => {
      const relative = file.webkitRelativePath || file.name;
      const slash = relative.indexOf('/');
      return { path: file.webkitRelativePath && slash >= 0 ? relative.slice(slash + 1) : relative, file };
    });
  }

  function folderLabel(files) {
    const first = files[0] && files[0].webkitRelativePath;
    return first ? first.split('/')[0] : files.length + (files.length === 1 ? ' file' : ' files');
  }

  // A folder dropped on the page: its files with paths below it.
  async function droppedFolder(entry) {
    const out = [];
    async function walk(dir, prefix) {
      const reader = dir.createReader();
      for (;;) {
        const batch = await new Promise((resolve, reject) => reader.readEntries(resolve, reject));
        if (!batch.length) return;
        for (const e of batch) {
          if (e.isDirectory) await walk(e, prefix + e.name + '/');
          else out.push({ path: prefix + e.name, file: await new Promise((res, rej) => e.file(res, rej)) });
        }
      }
    }
    await walk(entry, '');
    return out;
  }

  let answerVolume = null;  // resolves the open dialog: entries and label, or null for cancel

  // The browser's counterpart of the plug-in's requester; why: what the last answer lacked.
  function askForVolume(name, why) {
    ui.volumeName.textContent = '"' + name + ':"';
    ui.volumeWhy.textContent = why || '';
    ui.volumeWhy.hidden = !why;
    ui.volumeDisk.hidden = movieHome === null;
    if (movieHome) ui.volumeDisk.textContent = 'Use ' + homeText();
    ui.volumeFolder.value = '';
    ui.volumeFiles.value = '';
    return new Promise((resolve) => {
      answerVolume = (answer) => { answerVolume = null; ui.dialog.close(); resolve(answer); };
      ui.dialog.showModal();
    });
  }

  for (const input of [ui.volumeFolder, ui.volumeFiles]) {
    input.addEventListener('change', () => {
      if (answerVolume && input.files.length) answerVolume({ entries: pickedEntries(input.files), label: folderLabel(input.files) });
    });
  }
  ui.volumeCancel.addEventListener('click', () => answerVolume && answerVolume(null));
  ui.volumeDisk.addEventListener('click', () => answerVolume && answerVolume({ disk: true }));
  ui.dialog.addEventListener('cancel', () => answerVolume && answerVolume(null));
  ui.dialog.addEventListener('dragover', (e) => e.preventDefault());
  ui.dialog.addEventListener('drop', async (e) => {
    e.preventDefault();
    e.stopPropagation();
    const entry = e.dataTransfer.items[0] && e.dataTransfer.items[0].webkitGetAsEntry();
    if (!entry || !answerVolume) return;
    if (entry.isDirectory) answerVolume({ entries: await droppedFolder(entry), label: entry.name });
    else answerVolume({ entries: pickedEntries(e.dataTransfer.files), label: folderLabel(e.dataTransfer.files) });
  });

  // ---- Messages ---------------------------------------------------------------------------

  function say(message, kind) {
    ui.message.textContent = message;
    ui.message.className = kind || 'info';
    ui.message.hidden = !message;
  }

  // ---- Opening a movie ----------------------------------------------------------------------

  // duration: where the scenes end, the seek range; length: how long the frames play, as shown.
  const movie = { name: '', path: '', width: 0, height: 0, duration: 0, length: 0, frames: 0, scenes: [] };

  // Opens until the plug-in is satisfied: each volume it asks for and the page has no folder for
  // is asked of the user, then the movie is opened again with the answer.
  // source (a choice of containers.js): { bytes } the movie's own; or { home, inside }, the movie
  // at inside of a disk image (home.disk) or of an archive's files (home.files, home.label).
  let opened = null;  // what openMovie was given last, to open again when an answer changes

  async function openMovie(name, source) {
    await ready;
    opened = { name, source };
    stopPlayback();
    ui.player.hidden = true;
    say('');
    withString('/movie/', (p) => wasm._qfw_remove_files(p));
    // The last movie's disk stands for no volume of this one.
    for (const v of volumes.filter((v) => v.root === MOVIE_DISK)) {
      withString(v.name, (n) => wasm._qfw_forget_volume(n));
      dropVolume(v.name);
    }
    movieHome = null;
    let path = '/movie/' + name.split(/[:/]/).pop();
    if (source.bytes) {
      addFile(path, source.bytes);
    } else {
      const home = source.home;
      const place = name.slice(0, name.length - source.inside.length - 1);
      if (home.disk) {
        try {
          movieHome = { kind: 'disk', label: mountDisk(MOVIE_DISK, home.disk) };
        } catch (e) {
          say('"' + place + '" cannot be read as an Amiga disk: ' + e.message, 'error');
          return false;
        }
      } else {
        for (const f of home.files) addFile(MOVIE_DISK + '/' + f.path, f.bytes);
        movieHome = { kind: 'archive', label: home.label };
      }
      path = MOVIE_DISK + '/' + source.inside;
    }
    const offered = new Set();  // volumes the movie's own disk was tried for
    for (;;) {
      if (withString(path, (p) => wasm._qfw_open(p))) break;
      const kind = wasm._qfw_failure_kind(), failure = text(wasm._qfw_failure_text());
      const volume = text(wasm._qfw_failure_volume());
      // A movie on a disk looks there first, as the command does.
      if (kind === FAILURE_VOLUME_WANTED && movieHome !== null && !offered.has(volume.toLowerCase())) {
        offered.add(volume.toLowerCase());
        await mountVolume(volume, { disk: true });
        continue;
      }
      // A file missing from the volume's answer: asked again, saying what was missing.
      const missing = kind === FAILURE_REFERENCED_FILE && volume !== '';
      if (kind !== FAILURE_VOLUME_WANTED && !missing) {
        say(failure, 'error');
        return false;
      }
      const answer = await askForVolume(volume, missing ? failure : '');
      if (!answer) {
        say(missing ? failure : 'No folder was chosen for the Amiga volume "' + volume + ':", so "' + name +
            '" cannot be opened: the movie reads its pictures or sounds from there.', 'error');
        return false;
      }
      if (!(await useAnswer(volume, answer))) return false;
    }
    Object.assign(movie, {
      name, path, width: wasm._qfw_width(), height: wasm._qfw_height(), duration: wasm._qfw_duration() >>> 0,
      frames: wasm._qfw_frames() >>> 0, length: wasm._qfw_length_ms() >>> 0,
    });
    movie.scenes = [];
    for (let k = 1; k <= wasm._qfw_scene_count(); k++) movie.scenes.push(wasm._qfw_scene_start(k) >>> 0);
    showFacts();
    drawMarks();
    ui.player.hidden = false;
    frameCanvas.width = Math.max(1, movie.width);
    frameCanvas.height = Math.max(1, movie.height);
    imageData = frameContext.createImageData(frameCanvas.width, frameCanvas.height);
    resize();
    // The first frame without a seek, so the timeline from here is exactly `dump`'s.
    const first = decodePair();
    if (first) show(first);
    else player.ended = true;
    return true;
  }

  function clock(ms) {
    const m = Math.floor(ms / 60000), s = Math.floor(ms / 1000) % 60, c = Math.floor(ms / 10) % 100;
    return m + ':' + String(s).padStart(2, '0') + '.' + String(c).padStart(2, '0');
  }

  function kib(bytes) { return (bytes / 1024).toFixed(1) + ' KB'; }

  function showFacts() {
    const kinds = { ILBM: 'picture', '8SVX': 'sound' };
    const referenced = { picture: 0, 'face set': 0, sound: 0 };
    const rows = [];
    for (let i = 0; i < wasm._qfw_found_count(); i++) {
      const asked = text(wasm._qfw_found_asked(i)), found = text(wasm._qfw_found_path(i));
      const kind = kinds[text(wasm._qfw_found_form(i))] || 'face set';
      referenced[kind]++;
      const volume = volumes.find((v) => found.startsWith(v.root + '/'));
      const below = (path) => (volume ? path.slice(volume.root.length + 1) : path);
      rows.push('<tr><td>' + kind + '</td><td>' + escape(volume ? volume.name + ':' + below(asked) : asked) +
                '</td><td>found as ' + escape(below(found)) + ' in ' + escape(volume ? '"' + volume.label + '"' : 'the page') +
                ' (' + kib(wasm._qfw_found_size(i)) + ')</td></tr>');
    }
    const count = (kind, n) => n + ' ' + kind + (n === 1 ? '' : 's') +
      (referenced[kind] ? ' (' + referenced[kind] + ' from a volume)' : '');
    ui.facts.innerHTML =
      '<table>' +
      '<tr><th>Movie</th><td>' + escape(movie.name) + '</td></tr>' +
      '<tr><th>Picture</th><td>' + movie.width + ' × ' + movie.height + '</td></tr>' +
      '<tr><th>Length</th><td>' + escape(text(wasm._qfw_length_text())) + ', ' + movie.frames +
        ' frames at 25 per second</td></tr>' +
      '<tr><th>Scenes</th><td>' + movie.scenes.length + '</td></tr>' +
      '<tr><th>Sound</th><td>' + (wasm._qfw_sample_rate() >>> 0) + ' Hz, 2 channels, 16-bit</td></tr>' +
      '<tr><th>Assets</th><td>' + count('picture', wasm._qfw_asset_count(0)) + ', ' +
        count('face set', wasm._qfw_asset_count(1)) + ', ' + count('sound', wasm._qfw_asset_count(2)) + '</td></tr>' +
      '<tr><th>Plug-in</th><td>' + escape(text(wasm._qfw_plugin_name())) + '</td></tr>' +
      volumes.map((v) => '<tr><th>' + escape(v.name) + ':</th><td>' +
        escape(v.root === MOVIE_DISK ? homeText() : '"' + v.label + '"') +
        ' <button type="button" class="change-volume" data-volume="' + escape(v.name) + '">Change…</button></td></tr>').join('') +
      '</table>' + (rows.length ? '<table class="assets">' + rows.join('') + '</table>' : '');
  }

  // Another answer for a volume, then the movie again with it, without reloading the page.
  async function changeVolume(name) {
    const answer = await askForVolume(name, '');
    if (!answer || !opened || !(await useAnswer(name, answer))) return;
    await openMovie(opened.name, opened.source);
  }

  ui.facts.addEventListener('click', (e) => {
    const name = e.target.dataset && e.target.dataset.volume;
    if (name) changeVolume(name);
  });

  function escape(s) {
    return s.replace(/[&<>"]/g, (c) => ({ '&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;' })[c]);
  }

  function drawMarks() {
    ui.marks.textContent = '';
    movie.scenes.forEach((start, i) => {
      if (i === 0 || !movie.length || start >= movie.duration) return;
      const mark = document.createElement('div');
      mark.className = 'mark';
      mark.style.left = (100 * start / movie.length) + '%';
      mark.title = 'Scene ' + (i + 1) + ' at ' + clock(start);
      ui.marks.appendChild(mark);
    });
  }

  // ---- Decoding: exactly `dump`'s steps, one packet pair at a time --------------------------

  // A pair: the picture (pixel words, bytes 0, R, G, B) and the 40 ms of sound for one time.
  function decodePair() {
    const pair = { time: -1, pixels: null, samples: null };
    while (!pair.pixels || !pair.samples) {
      let code = wasm._qfw_next();
      for (let retry = 0; code === -2 && retry < 8; retry++) code = wasm._qfw_next();  // payload memory ran out
      if (code !== 0) return null;
      if (wasm._qfw_packet_stream() === 0) {
        const p = wasm._qfw_pixels();
        pair.time = wasm._qfw_packet_time();
        pair.pixels = wasm.HEAPU8.slice(p, p + movie.width * movie.height * 4);
      } else {
        const p = wasm._qfw_samples();
        pair.samples = new Int16Array(wasm.HEAPU8.slice(p, p + 3528).buffer);
      }
    }
    if (window.qfRecorder) window.qfRecorder(pair);
    return pair;
  }

  // ---- Playback ---------------------------------------------------------------------------

  const frameCanvas = document.createElement('canvas');  // the frame at its own size
  const frameContext = frameCanvas.getContext('2d');
  const screen = ui.canvas.getContext('2d');
  let imageData = null;

  let audio = null;  // { context, gain }
  const player = { playing: false, queue: [], current: null, ended: false, nextAt: 0, sources: new Set() };

  function audioOut() {
    if (!audio) {
      const context = new AudioContext();
      const gain = context.createGain();
      gain.gain.value = Number(ui.volume.value);
      gain.connect(context.destination);
      audio = { context, gain };
    }
    if (audio.context.state === 'suspended') audio.context.resume();
    return audio;
  }

  // The time a pair is due, with its 40 ms of sound queued at that moment. The browser
  // resamples the movie's 22050 Hz to the device's rate.
  function schedule(pair) {
    pair.at = player.nextAt;
    player.nextAt += FRAME_SECONDS;
    const { context, gain } = audio;
    const buffer = context.createBuffer(2, pair.samples.length / 2, 22050);
    const left = buffer.getChannelData(0), right = buffer.getChannelData(1);
    for (let i = 0; i < left.length; i++) {
      left[i] = pair.samples[2 * i] / 32768;
      right[i] = pair.samples[2 * i + 1] / 32768;
    }
    const source = context.createBufferSource();
    source.buffer = buffer;
    source.connect(gain);
    source.onended = () => player.sources.delete(source);
    source.start(Math.max(pair.at, context.currentTime));
    player.sources.add(source);
  }

  function silence() {
    for (const source of player.sources) { source.onended = null; source.stop(); }
    player.sources.clear();
  }

  // The next pair of the timeline; at the end, the start again when looping.
  function nextPair() {
    let pair = decodePair();
    if (!pair && ui.loop.checked) {
      wasm._qfw_seek(0);
      pair = decodePair();
    }
    if (!pair) player.ended = true;
    return pair;
  }

  function pump() {
    if (!player.playing) return;
    const now = audio.context.currentTime;
    while (!player.ended) {
      const last = player.queue[player.queue.length - 1];
      // Timers run about once a second in a hidden tab: queue more sound there.
      if (last && last.at > now + (document.hidden ? 1.5 : AHEAD_SECONDS)) break;
      const pair = nextPair();
      if (!pair) break;
      schedule(pair);
      player.queue.push(pair);
    }
    let due = null;
    while (player.queue.length && player.queue[0].at <= now) due = player.queue.shift();
    if (due) show(due);
    const current = player.current;
    if (player.ended && !player.queue.length && (!current || current.at === undefined || now >= current.at + FRAME_SECONDS))
      pause();
  }

  function play() {
    if (!movie.path || player.playing) return;
    audioOut();
    player.playing = true;
    player.nextAt = audio.context.currentTime + LEAD_SECONDS;
    ui.play.textContent = 'Pause';
    if (player.ended && !player.queue.length) {
      seek(0);
      return;
    }
    // A frame shown by an open, a seek or a step was never heard: its sound comes first.
    if (player.current && player.current.at === undefined) player.queue.unshift(player.current);
    for (const pair of player.queue) schedule(pair);
    pump();
  }

  function pause() {
    player.playing = false;
    silence();
    for (const pair of player.queue) pair.at = undefined;
    ui.play.textContent = 'Play';
  }

  function stopPlayback() {
    pause();
    player.queue = [];
    player.current = null;
    player.ended = false;
  }

  // Seeks the plug-in and shows the first frame there; playing goes on from it.
  function seek(ms) {
    if (!movie.path) return;
    ms = Math.max(0, Math.min(Math.round(ms), movie.duration));
    const playing = player.playing;
    silence();
    player.queue = [];
    player.ended = false;
    wasm._qfw_seek(ms);
    const pair = decodePair();
    if (!pair) {
      player.ended = true;
      if (playing) pause();
      updateTime(ms);
      return;
    }
    if (playing) {
      player.nextAt = audio.context.currentTime + LEAD_SECONDS;
      schedule(pair);
      player.queue.push(pair);
      pump();
    } else {
      show(pair);
    }
  }

  function frameIndex() { return player.current ? Math.round(player.current.time * 25) : 0; }

  function step(direction) {
    if (!movie.path) return;
    if (player.playing) pause();
    if (direction < 0) {
      seek(Math.max(0, frameIndex() - 1) * 40);
      return;
    }
    const pair = player.queue.shift() || nextPair();
    if (pair) show(pair);
  }

  function show(pair) {
    player.current = pair;
    const rgba = imageData.data, words = pair.pixels;
    for (let i = 0, n = movie.width * movie.height * 4; i < n; i += 4) {
      rgba[i] = words[i + 1];
      rgba[i + 1] = words[i + 2];
      rgba[i + 2] = words[i + 3];
      rgba[i + 3] = 255;
    }
    frameContext.putImageData(imageData, 0, 0);
    screen.imageSmoothingEnabled = false;
    screen.drawImage(frameCanvas, 0, 0, ui.canvas.width, ui.canvas.height);
    updateTime(Math.floor(pair.time * 1000));  // whole milliseconds, truncated as the plug-in does
  }

  function updateTime(ms) {
    ui.time.textContent = clock(ms) + ' / ' + clock(movie.length);
    ui.progress.style.width = (movie.length ? Math.min(100, 100 * ms / movie.length) : 0) + '%';
    const scene = wasm._qfw_scene_at(ms);
    ui.scene.textContent = movie.scenes.length ? 'scene ' + scene + ' of ' + movie.scenes.length : 'no scenes';
  }

  // Integer scaling of the frame, with the chosen pixel shape applied to its width.
  function resize() {
    if (!movie.path) return;
    const [ax, ay] = ui.aspect.value.split(':').map(Number);
    const pixelWidth = ax / ay;
    let scale = Number(ui.scale.value);
    if (!scale) {
      const full = document.fullscreenElement === ui.player;
      const room = full ? { w: screen.canvas.parentElement.clientWidth, h: window.innerHeight - 80 }
                        : { w: ui.player.parentElement.clientWidth, h: window.innerHeight * 0.75 };
      scale = Math.max(1, Math.floor(Math.min(room.w / (movie.width * pixelWidth), room.h / movie.height)));
    }
    ui.canvas.width = Math.max(1, Math.round(movie.width * scale * pixelWidth));
    ui.canvas.height = Math.max(1, movie.height * scale);
    if (player.current) show(player.current);
  }

  function saveFrame() {
    if (!player.current) return;
    const ms = Math.floor(player.current.time * 1000);
    frameCanvas.toBlob((blob) => {
      const link = document.createElement('a');
      link.href = URL.createObjectURL(blob);
      link.download = movie.name.split(/[:/]/).pop().replace(/\.[^.]*$/, '') + '-' + ms + 'ms.png';
      link.click();
      setTimeout(() => URL.revokeObjectURL(link.href), 1000);
    }, 'image/png');
  }

  // ---- Controls ---------------------------------------------------------------------------

  ui.play.addEventListener('click', () => (player.playing ? pause() : play()));
  ui.back.addEventListener('click', () => step(-1));
  ui.forward.addEventListener('click', () => step(1));
  ui.volume.addEventListener('input', () => { if (audio) audio.gain.gain.value = Number(ui.volume.value); });
  ui.scale.addEventListener('change', resize);
  ui.aspect.addEventListener('change', resize);
  ui.save.addEventListener('click', saveFrame);
  ui.fullscreen.addEventListener('click', toggleFullscreen);
  window.addEventListener('resize', resize);
  document.addEventListener('fullscreenchange', resize);

  // A clicked button or box keeps no focus, or space would press it again besides playing.
  ui.player.addEventListener('click', (e) => {
    const control = e.target.closest('button, input[type=checkbox]');
    if (control) control.blur();
  });

  function toggleFullscreen() {
    if (document.fullscreenElement) document.exitFullscreen();
    else ui.player.requestFullscreen();
  }

  function seekFromPointer(e) {
    const box = ui.seekbar.getBoundingClientRect();
    seek(Math.min(1, Math.max(0, (e.clientX - box.left) / box.width)) * movie.length);
  }
  ui.seekbar.addEventListener('pointerdown', (e) => {
    ui.seekbar.setPointerCapture(e.pointerId);
    seekFromPointer(e);
  });
  ui.seekbar.addEventListener('pointermove', (e) => {
    if (ui.seekbar.hasPointerCapture(e.pointerId)) seekFromPointer(e);
  });

  function currentMs() { return player.current ? Math.floor(player.current.time * 1000) : 0; }

  document.addEventListener('keydown', (e) => {
    if (!movie.path || ui.dialog.open || e.ctrlKey || e.metaKey || e.altKey) return;
    if (e.target instanceof HTMLSelectElement) return;
    if (e.target instanceof HTMLInputElement && e.target.type !== 'checkbox' && e.target.type !== 'range') return;
    const keys = {
      ' ': () => (player.playing ? pause() : play()),
      ArrowLeft: () => seek(currentMs() - SEEK_STEP_MS),
      ArrowRight: () => seek(currentMs() + SEEK_STEP_MS),
      '.': () => step(1),
      ',': () => step(-1),
      Home: () => seek(0),
      f: toggleFullscreen,
    };
    const action = keys[e.key];
    if (!action) return;
    e.preventDefault();
    action();
  });

  setInterval(pump, 20);  // keeps sound queued while the tab is hidden and frames are not drawn
  (function frame() { pump(); requestAnimationFrame(frame); })();

  // ---- Opening: picker, drag and drop, the built-in demo -----------------------------------

  // A movie, or a disk image or archive holding movies: one plays; several are listed to choose.
  async function openFile(file) {
    if (!file) return;
    await ready;
    stopPlayback();
    ui.player.hidden = true;
    showChoices([]);
    say('Reading "' + file.name + '"…');
    let choices;
    try {
      choices = await QuillFramerContainers.choices(file.name, new Uint8Array(await file.arrayBuffer()), containerHost);
    } catch (e) {
      say(e.message, 'error');
      return;
    }
    if (choices.length === 1) {
      if (await openMovie(choices[0].path, choices[0])) say('');
    } else if (!choices.length) {
      say('"' + file.name + '" holds no movie.', 'error');
    } else {
      say('"' + file.name + '" holds ' + choices.length + ' movies: choose one.');
      showChoices(choices);
    }
  }

  function showChoices(choices) {
    ui.choices.textContent = '';
    ui.choices.hidden = !choices.length;
    for (const choice of choices) {
      const item = document.createElement('li');
      const button = document.createElement('button');
      button.type = 'button';
      button.textContent = choice.path;
      button.addEventListener('click', async () => {
        for (const b of ui.choices.querySelectorAll('button')) b.classList.toggle('current', b === button);
        if (await openMovie(choice.path, choice)) say('');
      });
      item.appendChild(button);
      ui.choices.appendChild(item);
    }
  }

  ui.movieInput.addEventListener('change', () => {
    const file = ui.movieInput.files[0];
    ui.movieInput.value = '';  // so choosing the same file again opens it again
    openFile(file);
  });
  document.addEventListener('dragover', (e) => { e.preventDefault(); document.body.classList.add('dragging'); });
  document.addEventListener('dragleave', () => document.body.classList.remove('dragging'));
  document.addEventListener('drop', (e) => {
    e.preventDefault();
    document.body.classList.remove('dragging');
    openFile(e.dataTransfer.files[0]);
  });

  function fromBase64(s) { return Uint8Array.from(atob(s), (c) => c.charCodeAt(0)); }

  // The demo page carries its movie and volume in demo-data.js.
  const demo = window.QUILLFRAMER_DEMO;
  if (demo) {
    ui.demoButton.hidden = false;
    ui.demoButton.addEventListener('click', async () => {
      await ready;
      if (!volumes.some((v) => v.name === demo.volume.name)) {
        const entries = demo.volume.files.map((f) => ({ path: f.path, file: new Blob([fromBase64(f.data)]) }));
        await mountVolume(demo.volume.name, { entries, label: demo.volume.name });
      }
      if (await openMovie(demo.movie.name, { bytes: fromBase64(demo.movie.data) })) play();
    });
  }

  // For tests and measurements: the page's own functions, nothing more.
  window.quillFramerPage = {
    ready, movie, player, seek, step, play, pause, decodePair, frameCanvas,
    decodeAllTimed(draw) {
      const start = performance.now();
      wasm._qfw_seek(0);
      let pairs = 0;
      for (let pair; (pair = decodePair()); pairs++) if (draw) show(pair);
      const ms = performance.now() - start;
      seek(0);
      return { pairs, ms };
    },
  };
})();
