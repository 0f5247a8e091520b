// The page over the catalog: asks the program's JSON API under /api/ and
// shows every name it is given as text (textContent), never as markup.
'use strict';

// --- MD5 (RFC 1321), fed in pieces, so that a large file is never held whole.
const MD5_K = new Int32Array(64);
for (let i = 0; i < 64; i++) MD5_K[i] = Math.floor(Math.abs(Math.sin(i + 1)) * 4294967296) | 0;
const MD5_S = [7, 12, 17, 22, 5, 9, 14, 20, 4, 11, 16, 23, 6, 10, 15, 21];

function Md5() {
  this.h = new Int32Array([0x67452301, 0xefcdab89 | 0, 0x98badcfe | 0, 0x10325476]);
  this.pending = new Uint8Array(64);
  this.held = 0;     // bytes in |pending|
  this.length = 0;   // bytes fed so far
  this.words = new Int32Array(16);
}

Md5.prototype.block = function (view, at) {
  const x = this.words;
  for (let i = 0; i < 16; i++) x[i] = view.getInt32(at + 4 * i, true);
  const h = this.h;
  let a = h[0], b = h[1], c = h[2], d = h[3];
  for (let i = 0; i < 64; i++) {
    let f, g;
    if (i < 16) { f = (b & c) | (~b & d); g = i; }
    else if (i < 32) { f = (d & b) | (~d & c); g = (5 * i + 1) & 15; }
    else if (i < 48) { f = b ^ c ^ d; g = (3 * i + 5) & 15; }
    else { f = c ^ (b | ~d); g = (7 * i) & 15; }
    const s = MD5_S[(i >> 4) * 4 + (i & 3)];
    const t = (a + f + MD5_K[i] + x[g]) | 0;
    a = d; d = c; c = b;
    b = (b + ((t << s) | (t >>> (32 - s)))) | 0;
  }
  h[0] = (h[0] + a) | 0; h[1] = (h[1] + b) | 0; h[2] = (h[2] + c) | 0; h[3] = (h[3] + d) | 0;
};

Md5.prototype.update = function (bytes) {
  let at = 0;
  this.length += bytes.length;
  if (this.held > 0) {
    const take = Math.min(64 - this.held, bytes.length);
    this.pending.set(bytes.subarray(0, take), this.held);
    this.held += take;
    at = take;
    if (this.held < 64) return;
    this.block(new DataView(this.pending.buffer), 0);
    this.held = 0;
  }
  const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  for (; at + 64 <= bytes.length; at += 64) this.block(view, at);
  this.pending.set(bytes.subarray(at), 0);
  this.held = bytes.length - at;
};

Md5.prototype.hex = function () {
  const bits = this.length * 8;
  const tail = new Uint8Array(this.held < 56 ? 64 - this.held : 128 - this.held);
  tail[0] = 0x80;
  const view = new DataView(tail.buffer);
  view.setUint32(tail.length - 8, bits % 4294967296, true);
  view.setUint32(tail.length - 4, Math.floor(bits / 4294967296), true);
  const length = this.length;
  this.update(tail);
  this.length = length;
  let text = '';
  for (let i = 0; i < 4; i++) {
    for (let j = 0; j < 4; j++) text += ((this.h[i] >>> (8 * j)) & 255).toString(16).padStart(2, '0');
  }
  return text;
};

// --- Small helpers.
const $ = (id) => document.getElementById(id);

function element(tag, text, className) {
  const made = document.createElement(tag);
  if (text !== undefined && text !== null) made.textContent = String(text);
  if (className) made.className = className;
  return made;
}

function cell(row, text, className) {
  const td = element('td', text, className);
  row.appendChild(td);
  return td;
}

function discLink(number, text) {
  const link = element('a', text);
  link.href = '#disc/' + encodeURIComponent(String(number));
  return link;
}

// A size in bytes for people, the exact count in its tooltip.
function size(bytes) {
  const units = ['bytes', 'KB', 'MB', 'GB', 'TB', 'PB'];
  let value = bytes, unit = 0;
  while (value >= 1000 && unit < units.length - 1) { value /= 1000; unit++; }
  return unit === 0 ? bytes + ' bytes' : value.toFixed(value < 10 ? 2 : 1) + ' ' + units[unit];
}

function sizeCell(row, bytes) {
  const td = cell(row, size(bytes), 'number');
  td.title = bytes.toLocaleString('en') + ' bytes';
  return td;
}

async function ask(path) {
  const response = await fetch(path, { headers: { Accept: 'application/json' } });
  let body = null;
  try { body = await response.json(); } catch (e) { body = null; }
  if (!response.ok) throw new Error(body && body.error ? body.error : 'the server answered ' + response.status);
  return body;
}

// --- Search as one types.
const search = { text: '', shown: 0, count: 0, asked: 0, timer: 0 };

async function runSearch(more) {
  const text = $('search').value;
  const body = $('search-results').tBodies[0];
  if (!more) {
    search.text = text;
    search.shown = 0;
  }
  if (text === '') {
    body.replaceChildren();
    $('search-results').hidden = true;
    $('search-more').hidden = true;
    $('search-status').textContent = '';
    return;
  }
  const asked = ++search.asked;
  $('search-status').textContent = 'Looking…';
  let answer;
  try {
    answer = await ask('/api/find?text=' + encodeURIComponent(text) + '&from=' + search.shown + '&limit=50');
  } catch (e) {
    if (asked === search.asked) $('search-status').textContent = 'The search failed: ' + e.message;
    return;
  }
  if (asked !== search.asked) return;  // a later search has begun
  if (!more) body.replaceChildren();
  for (const match of answer.matches) {
    const row = document.createElement('tr');
    cell(row, match.pathname);
    cell(row).appendChild(discLink(match.disc, match.disc));
    cell(row, match.description);
    body.appendChild(row);
  }
  search.shown += answer.matches.length;
  search.count = answer.count;
  $('search-results').hidden = search.shown === 0;
  $('search-more').hidden = search.shown >= answer.count;
  const files = answer.count === 1 ? 'file matches' : 'files match';
  $('search-status').textContent = answer.count === 0 ? 'No file matches “' + text + '”.'
    : answer.count.toLocaleString('en') + ' ' + files + ' “' + text + '”' +
      (search.shown < answer.count ? ', showing the first ' + search.shown.toLocaleString('en') + '.' : '.');
}

function searchTyped() {
  clearTimeout(search.timer);
  search.timer = setTimeout(() => runSearch(false), 120);
}

// --- Where a picked file comes from: hashed here, in pieces.
const PIECE = 4 * 1024 * 1024;

async function filePicked() {
  const file = $('picker').files[0];
  const body = $('pick-results').tBodies[0];
  body.replaceChildren();
  $('pick-results').hidden = true;
  if (!file) { $('pick-status').textContent = ''; return; }
  if (file.size === 0) {
    $('pick-status').textContent = file.name + ' is empty: every disc may hold an empty file, so it is not looked up.';
    return;
  }
  const md5 = new Md5();
  for (let at = 0; at < file.size; at += PIECE) {
    $('pick-status').textContent = 'Reading ' + file.name + ': ' + Math.floor(100 * at / file.size) + '%';
    const piece = await file.slice(at, Math.min(at + PIECE, file.size)).arrayBuffer();
    md5.update(new Uint8Array(piece));
  }
  const digest = md5.hex();
  let answer;
  try {
    answer = await ask('/api/which?md5=' + digest + '&length=' + file.size);
  } catch (e) {
    $('pick-status').textContent = 'The look-up failed: ' + e.message;
    return;
  }
  for (const match of answer.matches) {
    const row = document.createElement('tr');
    cell(row).appendChild(discLink(match.disc, match.disc));
    cell(row, match.pathname);
    cell(row, match.description);
    body.appendChild(row);
  }
  $('pick-results').hidden = answer.matches.length === 0;
  const places = answer.matches.length === 1 ? '1 place' : answer.matches.length + ' places';
  $('pick-status').textContent = answer.matches.length === 0
    ? 'No disc holds ' + file.name + ' (MD5 ' + digest + ', ' + size(file.size) + ').'
    : file.name + ' (MD5 ' + digest + ') is catalogued in ' + places + ':';
}

// --- The discs, and which of them hold nothing of their own.
async function showDiscs() {
  const body = $('discs').tBodies[0];
  let answer;
  try { answer = await ask('/api/discs'); } catch (e) {
    $('discs-status').textContent = 'The discs cannot be listed: ' + e.message;
    return;
  }
  body.replaceChildren();
  for (const disc of answer.discs) {
    const row = document.createElement('tr');
    cell(row, disc.disc, 'number');
    cell(row, disc.files.toLocaleString('en'), 'number');
    sizeCell(row, disc.bytes);
    cell(row).appendChild(discLink(disc.disc, disc.description === '' ? '(no description)' : disc.description));
    cell(row, disc.added);
    body.appendChild(row);
  }
  $('discs-status').textContent = answer.discs.length === 0 ? 'The catalog holds no disc yet.'
    : answer.discs.length + (answer.discs.length === 1 ? ' disc.' : ' discs.');
}

const SVG = 'http://www.w3.org/2000/svg';

function svgElement(tag, attributes) {
  const made = document.createElementNS(SVG, tag);
  for (const name in attributes) made.setAttribute(name, attributes[name]);
  return made;
}

// A bar for each disc, its whole width the disc's content: the part no
// other disc holds, then the part another disc holds too. Drawn in
// percentages of the page's width, the labels at their own size.
function drawPicture(discs) {
  const box = $('picture');
  box.replaceChildren();
  if (discs.length === 0) { $('picture-box').hidden = true; return; }
  const step = 38;
  const svg = svgElement('svg', { width: '100%', height: discs.length * step, role: 'img' });
  const title = svgElement('title', {});
  title.textContent = 'Each disc as a bar: content of its own, then content other discs hold too';
  svg.appendChild(title);
  discs.forEach((disc, i) => {
    const y = i * step;
    const label = svgElement('text', { x: 0, y: y + 13 });
    const description = disc.description.length > 60 ? disc.description.slice(0, 59) + '…' : disc.description;
    label.textContent = 'Disc ' + disc.disc + ': ' + description;
    svg.appendChild(label);
    const own = disc.bytes > 0 ? 100 * disc.own_bytes / disc.bytes : 0;
    const tip = svgElement('title', {});
    tip.textContent = 'Disc ' + disc.disc + ': ' + size(disc.own_bytes) + ' of its own, ' +
      size(disc.bytes - disc.own_bytes) + ' held elsewhere too';
    const bars = [[0, own, 'bar-own'], [own, 100 - own, 'bar-shared']];
    for (const [x, width, kind] of bars) {
      const bar = svgElement('rect', { x: x + '%', y: y + 18, width: width + '%', height: 14, class: kind });
      bar.appendChild(tip.cloneNode(true));
      svg.appendChild(bar);
    }
  });
  box.appendChild(svg);
  $('picture-box').hidden = false;
}

async function showGiveaway() {
  const body = $('giveaway').tBodies[0];
  let answer;
  try { answer = await ask('/api/copies'); } catch (e) {
    $('give-status').textContent = 'This cannot be told now: ' + e.message;
    return;
  }
  body.replaceChildren();
  let zeros = 0;
  for (const disc of answer.discs) {
    const row = document.createElement('tr');
    if (disc.own_files === 0) { row.className = 'zero'; zeros++; }
    cell(row, disc.disc, 'number');
    cell(row, disc.own_files.toLocaleString('en'), 'number');
    sizeCell(row, disc.own_bytes);
    cell(row, disc.files.toLocaleString('en'), 'number wide');
    sizeCell(row, disc.bytes).classList.add('wide');
    cell(row).appendChild(discLink(disc.disc, disc.description === '' ? '(no description)' : disc.description));
    body.appendChild(row);
  }
  $('give-status').textContent = zeros === 0 ? 'Every disc holds something no other disc holds.'
    : zeros + (zeros === 1 ? ' disc holds' : ' discs hold') + ' nothing of its own (shaded).';
  drawPicture(answer.discs);
}

// --- One disc: its facts, its manifest, its folders as a tree.
function folderNode(name) {
  const details = document.createElement('details');
  details.appendChild(element('summary', name));
  const list = document.createElement('ul');
  details.appendChild(list);
  return { details: details, list: list, folders: new Map() };
}

function buildTree(records) {
  const root = folderNode('\\');
  root.details.open = true;
  for (const record of records) {
    const parts = record.pathname.split('\\').filter((part) => part !== '');
    let folder = root;
    for (let i = 0; i + 1 < parts.length; i++) {
      let next = folder.folders.get(parts[i]);
      if (!next) {
        next = folderNode(parts[i]);
        folder.folders.set(parts[i], next);
        const item = document.createElement('li');
        item.appendChild(next.details);
        folder.list.appendChild(item);
      }
      folder = next;
    }
    const item = element('li', null, 'file');
    item.appendChild(element('span', parts.length ? parts[parts.length - 1] : record.pathname, 'name'));
    const length = element('span', size(record.length), 'length');
    length.title = record.length.toLocaleString('en') + ' bytes';
    item.appendChild(length);
    item.appendChild(element('span', record.md5, 'md5'));
    folder.list.appendChild(item);
  }
  return root.details;
}

function fact(list, name, value) {
  list.appendChild(element('dt', name));
  const dd = element('dd');
  if (value instanceof Node) dd.appendChild(value); else dd.textContent = value;
  list.appendChild(dd);
}

async function showDisc(number) {
  $('disc-title').textContent = 'Disc ' + number;
  $('disc-facts').replaceChildren();
  $('tree').replaceChildren();
  $('disc-buttons').hidden = true;
  $('disc-status').textContent = 'Reading…';
  let disc, files;
  try {
    disc = await ask('/api/discs/' + number);
    files = await ask('/api/discs/' + number + '/files');
  } catch (e) {
    $('disc-status').textContent = 'Disc ' + number + ' cannot be shown: ' + e.message;
    return;
  }
  $('disc-title').textContent = 'Disc ' + disc.disc + ': ' + (disc.description === '' ? '(no description)' : disc.description);
  const facts = $('disc-facts');
  fact(facts, 'Files', disc.files.toLocaleString('en'));
  fact(facts, 'Size', size(disc.bytes) + (disc.bytes >= 1000 ? ' (' + disc.bytes.toLocaleString('en') + ' bytes)' : ''));
  fact(facts, 'Added', disc.added + ' UTC');
  // Named as the file it downloads to: the last part of the name it was added under.
  const download = element('a', disc.manifest.split(/[\\/]/).pop() || 'disc-' + disc.disc + '.xml');
  download.href = '/api/discs/' + disc.disc + '/manifest';
  download.setAttribute('download', '');
  fact(facts, 'Manifest', download);
  $('tree').appendChild(buildTree(files.records));
  $('disc-buttons').hidden = false;
  $('disc-status').textContent = '';
}

function openFolders(open) {
  for (const details of $('tree').querySelectorAll('details')) details.open = open;
}

// --- Which page: the first, or one disc's (#disc/N).
function route() {
  // The links to the parts of the first page move within it.
  const part = /^#([a-z]+-title)$/.exec(location.hash);
  if (part && !$('home').hidden) return;
  const match = /^#disc\/(\d+)$/.exec(location.hash);
  $('home').hidden = !!match;
  $('disc-page').hidden = !match;
  if (match) {
    showDisc(match[1]);
    window.scrollTo(0, 0);
  } else {
    showDiscs();
    showGiveaway();
    if (part) $(part[1]).scrollIntoView();
  }
}

document.addEventListener('DOMContentLoaded', () => {
  $('search').addEventListener('input', searchTyped);
  $('search-more').addEventListener('click', () => runSearch(true));
  $('picker').addEventListener('change', filePicked);
  $('open-all').addEventListener('click', () => openFolders(true));
  $('close-all').addEventListener('click', () => openFolders(false));
  window.addEventListener('hashchange', route);
  route();
});
