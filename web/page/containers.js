// Containers the page opens itself, as the command does: gzip (.adz, .adf.gz, .tar.gz) through the
// browser's own DecompressionStream, ZIP and tar read here, xz and bzip2 streams, LHA archives and
// disk images through the host's readers in WebAssembly (given as `host`). A container is walked for the movies it holds, on disk
// images and in containers inside it, within limits a page can afford.
// A classic script, like player.js: module scripts do not load from file://.
(function () {
  'use strict';

  const MIB = 1024 * 1024;
  const LIMITS = { depth: 8, expandedBytes: 512 * MIB, members: 10000 };
  const BLOCK = 512;  // of a tar archive

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

  // A self-extracting archive's stub: an Amiga executable (HUNK_HEADER) or an MS-DOS one.
  function looksLikeStub(bytes) {
    return (bytes[0] === 0 && bytes[1] === 0 && bytes[2] === 0x03 && bytes[3] === 0xf3) || ascii(bytes, 0, 'MZ');
  }

  // An AmigaDOS image; a DMS one goes to the same reader, which says why when it cannot read it.
  function looksLikeDisk(bytes) {
    if (bytes.length >= 1024 && ascii(bytes, 0, 'DOS')) return true;
    if (ascii(bytes, 0, 'DMS!')) return true;
    for (let block = 0; block < 16 && (block + 1) * 512 <= bytes.length; block++)
      if (ascii(bytes, block * 512, 'RDSK')) return true;
    return false;
  }

  // The name of what a compressed file holds.
  function unpackedName(name) {
    return name.replace(/\.adz$/i, '.adf').replace(/\.t(gz|xz|bz2?)$/i, '.tar').replace(/\.(gz|xz|bz2)$/i, '');
  }

  const STREAMS = ['gzip', 'xz', 'bzip2'];  // compressed files that are what they hold

  const KIND_BY_NAME = [[/\.(adz|gz|tgz)$/i, 'gzip'], [/\.t?xz$/i, 'xz'], [/\.(bz2|tbz2?)$/i, 'bzip2'],
                        [/\.zip$/i, 'zip'], [/\.tar$/i, 'tar'], [/\.(lha|lzh)$/i, 'lha'], [/\.(adf|hdf|dms)$/i, 'disk']];

  // A bzip2 stream: "BZh", the block size, then a block's or the end's 48-bit magic.
  function looksLikeBzip2(bytes) {
    return ascii(bytes, 0, 'BZh') && bytes[3] >= 0x31 && bytes[3] <= 0x39 &&
      (ascii(bytes, 4, '\x31\x41\x59\x26\x53\x59') || ascii(bytes, 4, '\x17\x72\x45\x38\x50\x90'));
  }

  // 'gzip', 'xz', 'bzip2', 'zip', '7z', 'tar', 'lha', 'disk', 'movie' or null. byName: a name that says
  // what content does not, so the reader for it says why it cannot read it.
  function kindOf(bytes, name, host, byName) {
    if (bytes[0] === 0x1f && bytes[1] === 0x8b) return 'gzip';
    if (ascii(bytes, 0, '\xfd7zXZ\x00')) return 'xz';
    if (looksLikeBzip2(bytes)) return 'bzip2';
    if (ascii(bytes, 0, 'PK\x03\x04') || ascii(bytes, 0, 'PK\x05\x06')) return 'zip';
    if (ascii(bytes, 0, '7z\xbc\xaf\x27\x1c')) return '7z';
    if (bytes.length >= BLOCK && ascii(bytes, 257, 'ustar')) return 'tar';
    if (looksLikeLha(bytes)) return 'lha';
    if (looksLikeDisk(bytes)) return 'disk';
    if (looksLikeStub(bytes) && host.lhaAfterStub(bytes) >= 0) return 'lha';
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

  // What a compressed file holds, charged to budget: gzip inflated by the browser, the others by
  // the host.
  async function unpack(kind, bytes, budget, host) {
    const room = budget.limits.expandedBytes - budget.expanded;
    const out = kind === 'gzip' ? await inflate(bytes, 'gzip', room) : host.unpack(kind, bytes, room);
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

  // A 64-bit little-endian field; past 2^53 it is no longer exact, but then it lies far past any
  // archive a page holds, which is all the checks ask.
  function uint64(view, at) { return view.getUint32(at, true) + view.getUint32(at + 4, true) * 0x100000000; }

  // The ZIP64 end record's count, size and start of the central directory, found by the locator
  // just before the end record at end; null when there is no locator.
  function zip64End(view, end) {
    if (end < 20 || view.getUint32(end - 20, true) !== 0x07064b50) return null;
    const locator = end - 20;
    if (view.getUint32(locator + 4, true) !== 0 || view.getUint32(locator + 16, true) > 1)
      throw new Error('is one part of a ZIP archive split over several files');
    const at = uint64(view, locator + 8);
    if (at + 56 > locator || view.getUint32(at, true) !== 0x06064b50)
      throw new Error('is a damaged ZIP archive (its ZIP64 end record is not where its locator says)');
    if (view.getUint32(at + 16, true) !== 0 || view.getUint32(at + 20, true) !== 0)
      throw new Error('is one part of a ZIP archive split over several files');
    return { count: uint64(view, at + 32), size: uint64(view, at + 40), start: uint64(view, at + 48), end: at };
  }

  // A central directory entry's ZIP64 extra field fills in those of its sizes and offset that are
  // 0xffffffff, in that order.
  function zip64Fields(view, m, extraAt, extraEnd, entry) {
    const wanted = ['size', 'packed', 'header'].filter((k) => m[k] === 0xffffffff);
    if (!wanted.length) return;
    for (let at = extraAt; at + 4 <= extraEnd;) {
      const id = view.getUint16(at, true), length = view.getUint16(at + 2, true);
      if (at + 4 + length > extraEnd) break;
      if (id === 1) {
        if (length < 8 * wanted.length) break;
        wanted.forEach((k, i) => { m[k] = uint64(view, at + 4 + 8 * i); });
        return;
      }
      at += 4 + length;
    }
    throw new Error('is a damaged ZIP archive (entry ' + entry + ' of its central directory lacks its ZIP64 sizes)');
  }

  // The central directory: each member's name, sizes and where its data lies.
  function zipMembers(bytes) {
    const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
    let end = -1;
    for (let at = bytes.length - 22; at >= 0 && at >= bytes.length - 22 - 65535; at--)
      if (view.getUint32(at, true) === 0x06054b50) { end = at; break; }
    if (end < 0) throw new Error('is a damaged ZIP archive (no central directory at its end)');
    let count = view.getUint16(end + 10, true), size = view.getUint32(end + 12, true);
    let start = view.getUint32(end + 16, true);
    if (view.getUint16(end + 4, true) !== 0 || view.getUint16(end + 6, true) !== 0)
      throw new Error('is one part of a ZIP archive split over several files');
    const wide = zip64End(view, end);
    if (wide) ({ count, size, start, end } = wide);
    else if (size === 0xffffffff || start === 0xffffffff)
      throw new Error('is a damaged ZIP archive (it needs a ZIP64 end record and has none)');
    if (start + size > end) throw new Error('is a damaged ZIP archive (its central directory lies past its end)');
    const members = [];
    for (let at = start, i = 0; i < count; i++) {
      if (at + 46 > end || view.getUint32(at, true) !== 0x02014b50)
        throw new Error('is a damaged ZIP archive (entry ' + (i + 1) + ' of its central directory is unreadable)');
      const nameLength = view.getUint16(at + 28, true), flags = view.getUint16(at + 8, true);
      const extraAt = at + 46 + nameLength, extraEnd = Math.min(end, extraAt + view.getUint16(at + 30, true));
      const raw = bytes.subarray(at + 46, at + 46 + nameLength);
      const name = new TextDecoder(flags & 0x800 ? 'utf-8' : 'latin1').decode(raw);
      const m = {
        name, flags, method: view.getUint16(at + 10, true), crc: view.getUint32(at + 16, true),
        packed: view.getUint32(at + 20, true), size: view.getUint32(at + 24, true),
        header: view.getUint32(at + 42, true),
      };
      zip64Fields(view, m, extraAt, extraEnd, i + 1);
      members.push(m);
      at += 46 + nameLength + view.getUint16(at + 30, true) + view.getUint16(at + 32, true);
    }
    return members;
  }

  // A member's bytes, checked against its stated size and CRC.
  async function zipMember(bytes, m, budget) {
    const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
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

  // ---- tar (ustar, pax and GNU long names) --------------------------------------------------

  // Bytes up to the first NUL, as UTF-8 when they are that, else Latin-1 as old archivers wrote.
  function tarText(bytes) {
    const end = bytes.indexOf(0);
    const raw = end < 0 ? bytes : bytes.subarray(0, end);
    try {
      return new TextDecoder('utf-8', { fatal: true }).decode(raw);
    } catch (e) {
      return new TextDecoder('latin1').decode(raw);
    }
  }

  // A numeric header field: octal, or base-256 when its top bit is set (GNU, for large values).
  // NaN when it is neither.
  function tarNumber(field) {
    if (field[0] & 0x80) {
      if (field[0] === 0xff) return NaN;  // negative
      let n = field[0] & 0x7f;
      for (let i = 1; i < field.length; i++) n = n * 256 + field[i];
      return n;
    }
    let i = 0, n = 0, digits = 0;
    while (i < field.length && field[i] === 0x20) i++;
    for (; i < field.length && field[i] >= 0x30 && field[i] <= 0x37; i++, digits++) n = n * 8 + field[i] - 0x30;
    for (; i < field.length; i++) if (field[i] !== 0 && field[i] !== 0x20) return NaN;
    return digits ? n : 0;
  }

  // Whether the header's checksum holds, summed as unsigned or, as some old tars did, signed bytes.
  function tarChecksumHolds(header) {
    const stated = tarNumber(header.subarray(148, 156));
    let unsigned = 0, signed = 0;
    for (let i = 0; i < BLOCK; i++) {
      const b = i >= 148 && i < 156 ? 0x20 : header[i];
      unsigned += b;
      signed += b < 128 ? b : b - 256;
    }
    return stated === unsigned || stated === signed;
  }

  // The records of a pax extended header: key to value.
  function paxRecords(data, at) {
    const out = new Map();
    for (let i = 0; i < data.length && data[i] !== 0;) {
      const space = data.indexOf(0x20, i);
      const length = space > i ? Number(new TextDecoder('latin1').decode(data.subarray(i, space))) : NaN;
      if (!Number.isInteger(length) || length <= space - i || i + length > data.length || data[i + length - 1] !== 0x0a)
        throw new Error('is a damaged tar archive (the extended header at byte ' + at + ' is malformed)');
      const record = new TextDecoder('utf-8').decode(data.subarray(space + 1, i + length - 1));
      const equals = record.indexOf('=');
      if (equals > 0) out.set(record.slice(0, equals), record.slice(equals + 1));
      i += length;
    }
    return out;
  }

  // Every file of a tar archive: { path, bytes }, each a view of the archive's own bytes.
  function tarFiles(name, bytes, budget) {
    const out = [];
    let longName = null, pax = null;  // what the next entry's own header is overridden with
    for (let at = 0; at < bytes.length;) {
      if (bytes.length - at < BLOCK) throw new Error('is cut short (a header at byte ' + at + ' lies past its end)');
      const header = bytes.subarray(at, at + BLOCK);
      if (header.every((b) => b === 0)) break;  // the end mark
      if (!tarChecksumHolds(header))
        throw new Error('is a damaged tar archive (the header at byte ' + at + ' has a bad checksum)');
      const type = String.fromCharCode(header[156]);
      let size = tarNumber(header.subarray(124, 136));
      if (pax && pax.has('size') && 'xgLK'.indexOf(type) < 0) size = Number(pax.get('size'));
      if (!Number.isSafeInteger(size) || size < 0)
        throw new Error('is a damaged tar archive (the header at byte ' + at + ' states no size)');
      const start = at + BLOCK;
      at = start + Math.ceil(size / BLOCK) * BLOCK;
      if (start + size > bytes.length) {
        const cut = new Error('is cut short by the end of the archive');
        if (type === 'x' || type === 'g' || type === 'L' || type === 'K') throw cut;
        throw placed(name + ':' + (memberPath(tarText(header.subarray(0, 100))) || 'entry'), cut);
      }
      const data = bytes.subarray(start, start + size);
      if (type === 'L') { longName = tarText(data); continue; }
      if (type === 'K' || type === 'g') continue;  // a long link target; settings for all that follow
      if (type === 'x') { pax = paxRecords(data, start - BLOCK); continue; }
      let path = tarText(header.subarray(0, 100));
      // POSIX ustar keeps a path's leading directories apart; GNU uses those bytes for times.
      if (ascii(header, 257, 'ustar\x00') && header[345] !== 0) path = tarText(header.subarray(345, 500)) + '/' + path;
      if (longName !== null) path = longName;
      if (pax && pax.has('path')) path = pax.get('path');
      const sparse = type === 'S' || (pax && [...pax.keys()].some((k) => k.startsWith('GNU.sparse.')));
      longName = pax = null;
      budget.member();
      const file = type === '0' || type === '\x00' || type === '7';
      if (!(file || sparse) || path.endsWith('/')) continue;  // folders, links, devices
      const inside = memberPath(path);
      if (!inside) continue;
      if (sparse) throw placed(name + ':' + inside, new Error('is a sparse file, which this page does not read'));
      try {
        budget.expand(size);
      } catch (e) {
        throw placed(name + ':' + inside, e);
      }
      out.push({ path: inside, bytes: data });
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
  const UNREAD_7Z = 'is a 7-Zip archive, which this page does not read: unpack it and open what it holds';

  const HEAD_BYTES = 65536;  // enough for every test of kindOf: an archive is looked for this far past a stub

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
      // Refused when given itself; inside another container, passed over like a file that is none.
      if (kind === '7z') {
        if (top) throw new Error(UNREAD_7Z);
        return [];
      }
      if (kind === 'disk') return await (top ? diskChoices(place, bytes, budget, host)
                                              : budget.nested(() => diskChoices(place, bytes, budget, host)));
      const open = async () => {
        if (STREAMS.includes(kind)) {
          const inner = await unpack(kind, bytes, budget, host);
          // A compressed file is the file it holds, under the same name.
          return walk(place, inner, budget, host, top && kindOf(inner, '', host, false) === null, unpackedName(named));
        }
        const files = kind === 'zip' ? await zipFiles(place, bytes, budget)
          : kind === 'tar' ? tarFiles(place, bytes, budget) : await lhaFiles(place, bytes, budget, host);
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
  // { files } for an archive, or null when it is neither (a loose file). gzip, xz and bzip2 are unwrapped.
  async function volumeContent(name, bytes, host, budget = new Budget(LIMITS), named = name) {
    try {
      const kind = kindOf(bytes, named, host, true);
      if (STREAMS.includes(kind)) {
        const inner = await unpack(kind, bytes, budget, host);
        return await budget.nested(() => volumeContent(name, inner, host, budget, unpackedName(named)));
      }
      if (kind === 'disk') return { disk: bytes };
      if (kind === '7z') throw new Error(UNREAD_7Z);
      if (kind === 'zip') return { files: await zipFiles(name, bytes, budget) };
      if (kind === 'tar') return { files: tarFiles(name, bytes, budget) };
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
