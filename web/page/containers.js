// Containers the page opens itself, as the command does: gzip (.adz, .adf.gz) through the
// browser's own DecompressionStream, ZIP read here, LHA and disk images through the host's readers
// in WebAssembly (given as `host`). A container is walked for the movies it holds, on disk images
// and in containers inside it, within limits a page can afford.
// A classic script, like player.js: module scripts do not load from file://.
(function () {
  'use strict';

  const MIB = 1024 * 1024;
  const LIMITS = { depth: 8, expandedBytes: 512 * MIB, members: 10000 };

  // The running cost of opening one file against LIMITS; each refusal names its limit.
  class Budget {
    constructor(limits) {
      this.limits = limits;
      this.depth = 0;
      this.expanded = 0;
      this.members = 0;
    }
    expand(bytes) {
      const cap = this.limits.expandedBytes;
      if (bytes > cap - this.expanded)
        throw new Error('expands to more than ' + cap / MIB + ' MiB taken out of containers (the page\'s limit on ' +
                        'bytes expanded)');
      this.expanded += bytes;
    }
    member() {
      if (this.members === this.limits.members)
        throw new Error('holds more than ' + this.limits.members + ' entries inside containers (the page\'s limit ' +
                        'on members)');
      this.members++;
    }
    async nested(work) {
      if (this.depth === this.limits.depth)
        throw new Error('nests containers more than ' + this.limits.depth + ' deep (the page\'s limit on nesting)');
      this.depth++;
      try { return await work(); } finally { this.depth--; }
    }
  }

  // An error about one place, named as the command names it: "set.zip:Disk1.adz" ...
  function placed(where, e) {
    if (e.placed) return e;
    const out = new Error('"' + where + '" ' + e.message);
    out.placed = true;
    return out;
  }

  function ascii(bytes, at, text) {
    for (let i = 0; i < text.length; i++) if (bytes[at + i] !== text.charCodeAt(i)) return false;
    return true;
  }

  // ---- What a file holds, by its first bytes (and, for damaged ones, its name) ---------------

  function looksLikeLha(bytes) {
    // A member header: its method, e.g. "-lh5-", two bytes in.
    return bytes.length > 21 && bytes[2] === 0x2d && bytes[6] === 0x2d &&
      /^-(lh[0-9a-z]|lz[s45]|pm[0-2s])-$/.test(String.fromCharCode(...bytes.subarray(2, 7)));
  }

  // An AmigaDOS image; a DMS one goes to the same reader, which says why when it cannot read it.
  function looksLikeDisk(bytes) {
    if (bytes.length >= 1024 && ascii(bytes, 0, 'DOS')) return true;
    if (ascii(bytes, 0, 'DMS!')) return true;
    for (let block = 0; block < 16 && (block + 1) * 512 <= bytes.length; block++)
      if (ascii(bytes, block * 512, 'RDSK')) return true;
    return false;
  }

  // The name of what a gzipped file holds.
  function gunzippedName(name) { return name.replace(/\.adz$/i, '.adf').replace(/\.gz$/i, ''); }

  const KIND_BY_NAME = [[/\.(adz|gz)$/i, 'gzip'], [/\.zip$/i, 'zip'], [/\.(lha|lzh)$/i, 'lha'], [/\.(adf|hdf|dms)$/i, 'disk']];

  // 'gzip', 'zip', 'lha', 'disk', 'movie' or null. byName: a name that says what content does
  // not, so the reader for it says why it cannot read it.
  function kindOf(bytes, name, host, byName) {
    if (bytes[0] === 0x1f && bytes[1] === 0x8b) return 'gzip';
    if (ascii(bytes, 0, 'PK\x03\x04') || ascii(bytes, 0, 'PK\x05\x06')) return 'zip';
    if (looksLikeLha(bytes)) return 'lha';
    if (looksLikeDisk(bytes)) return 'disk';
    if (host.isMovie(bytes)) return 'movie';
    if (byName) for (const [pattern, kind] of KIND_BY_NAME) if (pattern.test(name)) return kind;
    return null;
  }

  // ---- Inflating, within a cap ------------------------------------------------------------

  // The bytes format (a DecompressionStream format) inflates to, or null past cap bytes.
  async function inflate(bytes, format, cap) {
    const reader = new Blob([bytes]).stream().pipeThrough(new DecompressionStream(format)).getReader();
    const chunks = [];
    let total = 0;
    try {
      for (;;) {
        const { done, value } = await reader.read();
        if (done) break;
        total += value.length;
        if (total > cap) {
          reader.cancel().catch(() => {});
          return null;
        }
        chunks.push(value);
      }
    } catch (e) {
      throw new Error('is damaged (its compressed data does not inflate: ' + e.message + ')');
    }
    const out = new Uint8Array(total);
    let at = 0;
    for (const c of chunks) { out.set(c, at); at += c.length; }
    return out;
  }

  async function gunzip(bytes, budget) {
    const room = budget.limits.expandedBytes - budget.expanded;
    const out = await inflate(bytes, 'gzip', room);
    budget.expand(out ? out.length : room + 1);
    return out;
  }

  // ---- ZIP --------------------------------------------------------------------------------

  let crcTable = null;

  function crc32(bytes) {
    if (!crcTable) {
      crcTable = new Uint32Array(256);
      for (let n = 0; n < 256; n++) {
        let c = n;
        for (let k = 0; k < 8; k++) c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
        crcTable[n] = c;
      }
    }
    let crc = 0xffffffff;
    for (let i = 0; i < bytes.length; i++) crc = crcTable[(crc ^ bytes[i]) & 0xff] ^ (crc >>> 8);
    return (crc ^ 0xffffffff) >>> 0;
  }

  // A member's path, '/'-separated, or null when it would climb out of the archive.
  function memberPath(name) {
    const parts = name.replace(/\\/g, '/').split('/').filter((p) => p !== '' && p !== '.');
    return parts.includes('..') ? null : parts.join('/');
  }

  // The central directory: each member's name, sizes and where its data lies.
  function zipMembers(bytes) {
    const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
    let end = -1;
    for (let at = bytes.length - 22; at >= 0 && at >= bytes.length - 22 - 65535; at--)
      if (view.getUint32(at, true) === 0x06054b50) { end = at; break; }
    if (end < 0) throw new Error('is a damaged ZIP archive (no central directory at its end)');
    const count = view.getUint16(end + 10, true), size = view.getUint32(end + 12, true);
    const start = view.getUint32(end + 16, true);
    if (count === 0xffff || size === 0xffffffff || start === 0xffffffff ||
        (end >= 20 && view.getUint32(end - 20, true) === 0x07064b50))
      throw new Error('is a ZIP64 archive, which this page does not read');
    if (view.getUint16(end + 4, true) !== 0 || view.getUint16(end + 6, true) !== 0)
      throw new Error('is one part of a ZIP archive split over several files');
    if (start + size > end) throw new Error('is a damaged ZIP archive (its central directory lies past its end)');
    const members = [];
    for (let at = start, i = 0; i < count; i++) {
      if (at + 46 > end || view.getUint32(at, true) !== 0x02014b50)
        throw new Error('is a damaged ZIP archive (entry ' + (i + 1) + ' of its central directory is unreadable)');
      const nameLength = view.getUint16(at + 28, true), flags = view.getUint16(at + 8, true);
      const raw = bytes.subarray(at + 46, at + 46 + nameLength);
      const name = new TextDecoder(flags & 0x800 ? 'utf-8' : 'latin1').decode(raw);
      members.push({
        name, flags, method: view.getUint16(at + 10, true), crc: view.getUint32(at + 16, true),
        packed: view.getUint32(at + 20, true), size: view.getUint32(at + 24, true),
        header: view.getUint32(at + 42, true),
      });
      at += 46 + nameLength + view.getUint16(at + 30, true) + view.getUint16(at + 32, true);
    }
    return members;
  }

  // A member's bytes, checked against its stated size and CRC.
  async function zipMember(bytes, m, budget) {
    const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
    if (m.packed === 0xffffffff || m.size === 0xffffffff) throw new Error('is a ZIP64 member, which this page does not read');
    if (m.flags & 1) throw new Error('is encrypted');
    if (m.method !== 0 && m.method !== 8)
      throw new Error('is compressed with method ' + m.method + ', which this page does not read (only stored and deflated)');
    if (m.header + 30 > bytes.length || view.getUint32(m.header, true) !== 0x04034b50)
      throw new Error('is damaged (its local header is missing)');
    const data = m.header + 30 + view.getUint16(m.header + 26, true) + view.getUint16(m.header + 28, true);
    if (data + m.packed > bytes.length) throw new Error('is cut short by the end of the archive');
    budget.expand(m.size);
    const packed = bytes.subarray(data, data + m.packed);
    let out = packed;
    if (m.method === 8) {
      out = await inflate(packed, 'deflate-raw', m.size);
      if (!out) throw new Error('is damaged (it inflates past the ' + m.size + ' bytes it states)');
    }
    if (out.length !== m.size) throw new Error('is damaged (it states ' + m.size + ' bytes and holds ' + out.length + ')');
    if (crc32(out) !== m.crc) throw new Error('is damaged (its CRC does not match)');
    return out;
  }

  // Every file of a ZIP archive: { path, bytes }.
  async function zipFiles(name, bytes, budget) {
    const out = [];
    for (const m of zipMembers(bytes)) {
      budget.member();
      const path = memberPath(m.name);
      if (!path || m.name.endsWith('/')) continue;
      try {
        out.push({ path, bytes: await zipMember(bytes, m, budget) });
      } catch (e) {
        throw placed(name + ':' + path, e);
      }
    }
    return out;
  }

  // Every file of an LHA archive, by the host's reader: { path, bytes }.
  async function lhaFiles(name, bytes, budget, host) {
    const out = [];
    let files;
    try {
      files = host.lhaFiles(bytes, budget);
    } catch (e) {
      throw e.member ? placed(name + ':' + e.member, e) : e;
    }
    for (const m of files) {
      const path = memberPath(m.path);
      if (path) out.push({ path, bytes: m.bytes });
    }
    return out;
  }

  // ---- Walking ------------------------------------------------------------------------------

  const SCAN_ROOT = '/scan';

  const HEAD_BYTES = 16 * 512;  // enough for every test of kindOf

  // The movies on a disk image, as choices, and the containers on it walked in turn.
  async function diskChoices(place, bytes, budget, host) {
    let out;
    const inner = [];
    try {
      host.mountDisk(SCAN_ROOT, bytes);
      out = host.diskMovies(SCAN_ROOT).map((inside) => ({ path: place + ':' + inside, home: { disk: bytes }, inside }));
    } catch (e) {
      host.forget(SCAN_ROOT);
      throw Object.assign(new Error('"' + place + '" cannot be read as an Amiga disk: ' + e.message), { placed: true });
    }
    const movies = new Set(out.map((c) => c.inside));
    // Containers are taken out while the disk is mounted: walking them mounts others in its place.
    try {
      for (const inside of host.diskFiles(SCAN_ROOT)) {
        if (movies.has(inside)) continue;
        let whole;
        try {
          const kind = kindOf(host.diskRead(SCAN_ROOT, inside, HEAD_BYTES), '', host, false);
          if (kind === null || kind === 'movie') continue;
          whole = host.diskRead(SCAN_ROOT, inside, budget.limits.expandedBytes - budget.expanded + 1);
        } catch (e) {
          continue;  // a damaged file: the disk's other files are still offered
        }
        budget.member();
        budget.expand(whole.length);
        inner.push({ inside, bytes: whole });
      }
    } finally {
      host.forget(SCAN_ROOT);
    }
    for (const f of inner) out.push(...(await walk(place + ':' + f.inside, f.bytes, budget, host, false)));
    return out;
  }

  // The choices in one file (at place): each { path, bytes } for a movie on its own, or
  // { path, home, inside } for one inside a disk image (home.disk) or an archive (home.files,
  // home.label). top: the file the user gave, read as a movie when it is nothing else.
  // named: the name that tells what a file is where its content does not.
  async function walk(place, bytes, budget, host, top, named = place) {
    try {
      const kind = kindOf(bytes, named, host, top);
      if (kind === null) return top ? [{ path: place, bytes }] : [];
      if (kind === 'movie') return [{ path: place, bytes }];
      if (kind === 'disk') return await (top ? diskChoices(place, bytes, budget, host)
                                              : budget.nested(() => diskChoices(place, bytes, budget, host)));
      const open = async () => {
        if (kind === 'gzip') {
          const inner = await gunzip(bytes, budget);
          // A gzipped file is the file it holds, under the same name.
          return walk(place, inner, budget, host, top && kindOf(inner, '', host, false) === null, gunzippedName(named));
        }
        const files = kind === 'zip' ? await zipFiles(place, bytes, budget) : await lhaFiles(place, bytes, budget, host);
        const home = { files, label: place.slice(place.lastIndexOf(':') + 1).split('/').pop() };
        const out = [];
        for (const f of files) {
          const found = await walk(place + ':' + f.path, f.bytes, budget, host, false);
          // A movie directly in the archive keeps the archive's other files beside it.
          for (const c of found) out.push(c.bytes === f.bytes ? { path: c.path, home, inside: f.path } : c);
        }
        return out;
      };
      // The file given is no level of nesting: what it holds is the first.
      return await (top ? open() : budget.nested(open));
    } catch (e) {
      throw placed(place, e);
    }
  }

  // A file the user gave for a volume: what stands for it. { disk: bytes } for a disk image,
  // { files } for an archive, or null when it is neither (a loose file). gzip is unwrapped.
  async function volumeContent(name, bytes, host, budget = new Budget(LIMITS), named = name) {
    try {
      const kind = kindOf(bytes, named, host, true);
      if (kind === 'gzip') {
        const inner = await gunzip(bytes, budget);
        return await budget.nested(() => volumeContent(name, inner, host, budget, gunzippedName(named)));
      }
      if (kind === 'disk') return { disk: bytes };
      if (kind === 'zip') return { files: await zipFiles(name, bytes, budget) };
      if (kind === 'lha') return { files: await lhaFiles(name, bytes, budget, host) };
      return null;
    } catch (e) {
      throw placed(name, e);
    }
  }

  window.QuillFramerContainers = {
    LIMITS,
    // Every movie the file holds, or those it is (see walk); throws a line naming the cause.
    choices(name, bytes, host) { return walk(name, bytes, new Budget(LIMITS), host, true); },
    volumeContent,
  };
})();
