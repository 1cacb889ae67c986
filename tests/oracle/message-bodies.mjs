// Cross-checks message bodies against node's own JSON implementation. No packages needed.
//
//   node message-bodies.mjs check <in.tsv>
//       Each line of in.tsv is "Type<TAB>body" as our encoder wrote it. Prints one line per
//       body that does not have the shape of Type ("<line>: <reason>"); exits 1 if any.
//   node message-bodies.mjs samples
//       Prints "Type<TAB>1|0<TAB>body<TAB>canonical" lines: bodies written by JSON.stringify,
//       whether a strict reader must accept them, and (when accepted) the body our writer
//       should give back for the value read, as JSON.
import { readFileSync } from 'node:fs';

// ---- Shapes, from the message tables ---------------------------------------------------------

const int = (min, max) => ({ kind: 'int', min, max });
const U16 = int(0n, 65535n);
const U32 = int(0n, 4294967295n);
const I64 = int(-(2n ** 63n), 2n ** 63n - 1n);
const U64 = int(0n, 2n ** 64n - 1n);
const F64 = { kind: 'f64' };
const F32 = { kind: 'f32' };
const STR = { kind: 'string' };
const BOOL = { kind: 'bool' };
const UUID = { kind: 'uuid' };
const DATE = F64;
const list = (of) => ({ kind: 'list', of });
const rec = (required, optional = {}) => ({ kind: 'record', required, optional });
const textEnum = (...values) => ({ kind: 'textEnum', values });
const intEnum = (...values) => ({ kind: 'intEnum', values });
const cases = (map) => ({ kind: 'cases', map });

const PLATFORM = textEnum('mac', 'iPhone', 'iPad', 'vision', 'watch', 'unknown');
const ROLE = textEnum('viewer', 'screenSharer');
const DISPLAY = rec({ id: U32, name: STR, width: I64, height: I64 });
const STROKE = rec({ id: UUID, points: list(F32), color: list(F32), width: F32 });
const BUTTON = intEnum(0, 1, 2);

const shapes = {
  Hello: rec(
    { deviceName: STR, platform: PLATFORM, protocolVersion: I64 },
    { deviceID: STR, role: ROLE, supportsHEVC: BOOL, supportsHDR: BOOL, iCloudToken: STR, preferredDisplayID: U32 },
  ),
  HelloAck: rec({ hostName: STR, displays: list(DISPLAY), activeDisplayID: U32 }),
  DisplayInfo: DISPLAY,
  DisplayList: rec({ displays: list(DISPLAY), activeDisplayID: U32 }),
  SelectDisplay: rec({ displayID: U32 }),
  SharerInfo: rec({ orientation: U32 }),
  Clipboard: rec({ text: STR }),
  Bye: rec({ reason: STR }),
  FileOffer: rec({ id: UUID, name: STR, size: I64 }, { purpose: STR }),
  FileEnd: rec({ id: UUID, cancelled: BOOL }),
  ChatMessage: rec({ id: UUID, text: STR, sender: STR, sentAt: DATE }),
  SessionPermissions: rec({ canControl: BOOL, isSupportSession: BOOL }),
  HostStatus: rec(
    { model: STR, osVersion: STR, uptimeSeconds: F64, thermalState: STR, memoryGB: F64 },
    { batteryPercent: I64, isCharging: BOOL, diskFreeBytes: I64, diskTotalBytes: I64, macAddress: STR },
  ),
  ScreenText: rec({ lines: list(STR) }, { frontmostApp: STR }),
  InputEvent: cases({
    mouseMove: rec({ x: F64, y: F64 }),
    mouseButton: rec({ button: BUTTON, down: BOOL, x: F64, y: F64 }),
    scroll: rec({ dx: F64, dy: F64 }),
    smoothScroll: rec({ dx: F64, dy: F64, phase: I64, momentum: I64 }),
    mouseDelta: rec({ dx: F64, dy: F64 }),
    key: rec({ code: U16, down: BOOL, flags: U64 }),
    text: rec({ _0: STR }),
  }),
  MacCommand: cases({
    openApp: rec({ name: STR }),
    openURL: rec({ _0: STR }),
    runShortcut: rec({ name: STR }),
  }),
  AnnotationStroke: STROKE,
  AnnotationEvent: cases({ stroke: rec({ _0: STROKE }), clear: rec({}) }),
  HostAction: textEnum('lockScreen', 'sleepDisplay', 'restart'),
  MouseButton: BUTTON,
  ClientPlatform: PLATFORM,
  ClientRole: ROLE,
};

// ---- Checking what our writer produced -------------------------------------------------------

// JSON.parse loses the digits of large integers, so number tokens are first turned into
// {"#n": "<token>"} and checked from their text.
const NUM = '#n';
function markNumbers(text) {
  let out = '';
  let inString = false;
  for (let i = 0; i < text.length; i++) {
    const c = text[i];
    if (inString) {
      out += c;
      if (c === '\\') out += text[++i];
      else if (c === '"') inString = false;
    } else if (c === '"') {
      inString = true;
      out += c;
    } else if (c === '-' || (c >= '0' && c <= '9')) {
      const m = /^-?\d+(\.\d+)?([eE][+-]?\d+)?/.exec(text.slice(i));
      out += JSON.stringify({ [NUM]: m[0] });
      i += m[0].length - 1;
    } else {
      out += c;
    }
  }
  return out;
}

const isNum = (v) => v !== null && typeof v === 'object' && !Array.isArray(v) && typeof v[NUM] === 'string';
const isObject = (v) => v !== null && typeof v === 'object' && !Array.isArray(v) && !isNum(v);

function checkValue(shape, v, path) {
  const fail = (why) => {
    throw new Error(`${path || '(top)'}: ${why}`);
  };
  switch (shape.kind) {
    case 'string':
      if (typeof v !== 'string') fail('expected a string');
      return;
    case 'bool':
      if (typeof v !== 'boolean') fail('expected true or false');
      return;
    case 'uuid':
      if (typeof v !== 'string' || !/^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$/.test(v))
        fail(`expected an upper-case UUID, got ${JSON.stringify(v)}`);
      return;
    case 'int': {
      if (!isNum(v) || !/^-?\d+$/.test(v[NUM])) fail(`expected a plain integer, got ${JSON.stringify(v)}`);
      const n = BigInt(v[NUM]);
      if (n < shape.min || n > shape.max) fail(`integer ${n} out of range`);
      return;
    }
    case 'intEnum':
      if (!isNum(v) || !shape.values.map(String).includes(v[NUM])) fail(`not one of ${shape.values}`);
      return;
    case 'f64':
    case 'f32': {
      if (!isNum(v)) fail('expected a number');
      const x = Number(v[NUM]);
      if (!Number.isFinite(x)) fail('not finite');
      if (shape.kind === 'f32' && !Number.isFinite(Math.fround(x))) fail('beyond the 32-bit float range');
      return;
    }
    case 'textEnum':
      if (!shape.values.includes(v)) fail(`not one of ${shape.values}`);
      return;
    case 'list':
      if (!Array.isArray(v)) fail('expected an array');
      v.forEach((e, i) => checkValue(shape.of, e, `${path}[${i}]`));
      return;
    case 'record':
      if (!isObject(v)) fail('expected an object');
      for (const [k, s] of Object.entries(shape.required)) {
        if (!(k in v)) fail(`missing key ${k}`);
        checkValue(s, v[k], `${path}.${k}`);
      }
      for (const k of Object.keys(v)) {
        if (k in shape.required) continue;
        if (!(k in shape.optional)) fail(`unexpected key ${k}`);
        if (v[k] === null) fail(`absent value ${k} written as null`);
        checkValue(shape.optional[k], v[k], `${path}.${k}`);
      }
      return;
    case 'cases': {
      if (!isObject(v)) fail('expected an object');
      const keys = Object.keys(v);
      if (keys.length !== 1 || !(keys[0] in shape.map)) fail(`expected exactly one case key, got ${keys}`);
      checkValue(shape.map[keys[0]], v[keys[0]], `${path}.${keys[0]}`);
      return;
    }
    default:
      throw new Error(`unknown shape ${shape.kind}`);
  }
}

// Every "/" in a text must be written escaped.
function unescapedSlash(text) {
  for (let i = 0; i < text.length; i++) {
    if (text[i] === '\\') i++;
    else if (text[i] === '/') return true;
  }
  return false;
}

function check(file) {
  const raw = readFileSync(file);
  const text = new TextDecoder('utf-8', { fatal: true }).decode(raw);
  let failures = 0;
  text.split('\n').forEach((line, index) => {
    if (line === '') return;
    const tab = line.indexOf('\t');
    const type = line.slice(0, tab);
    const body = line.slice(tab + 1);
    try {
      if (!(type in shapes)) throw new Error(`unknown type ${type}`);
      JSON.parse(body); // plain validity, by node's own parser
      if (/[ \n\r\t]/.test(body.replace(/"(\\.|[^"\\])*"/g, '""'))) throw new Error('not compact');
      if (unescapedSlash(body)) throw new Error('unescaped "/"');
      checkValue(shapes[type], JSON.parse(markNumbers(body)), '');
    } catch (e) {
      failures++;
      console.log(`${index + 1}: ${type} ${body}: ${e.message}`);
    }
  });
  process.exit(failures ? 1 : 0);
}

// ---- Bodies written by JSON.stringify --------------------------------------------------------

const ID = 'e621e1f8-c36c-495a-93fc-0c247a3e6e5f';
const valid = {
  Hello: [
    { deviceName: 'iPhone', platform: 'iPhone', protocolVersion: 2 },
    {
      protocolVersion: 99, role: 'screenSharer', platform: 'vision', deviceName: 'V/1', deviceID: 'x',
      supportsHEVC: true, supportsHDR: false, iCloudToken: 't', preferredDisplayID: 4294967295,
    },
  ],
  HelloAck: [
    { hostName: 'h', displays: [], activeDisplayID: 0 },
    { activeDisplayID: 2, displays: [{ height: 900, width: 1440, name: 'Built-in', id: 2 }], hostName: 'Studio' },
  ],
  DisplayInfo: [{ id: 7, name: 'LG', width: -1, height: 9007199254740991 }],
  DisplayList: [{ displays: [{ id: 1, name: 'a', width: 1, height: 1 }], activeDisplayID: 1 }],
  SelectDisplay: [{ displayID: 69733248 }],
  SharerInfo: [{ orientation: 6 }],
  Clipboard: [{ text: 'a/b "c" \u00e9 \ud83d\ude00' }],
  Bye: [{ reason: 'The session was stopped at the Mac.' }],
  FileOffer: [
    { id: ID, name: 'f.txt', size: 0 },
    { id: ID.toUpperCase(), name: 'doc.pdf', size: 123456789, purpose: 'print' },
  ],
  FileEnd: [{ id: ID, cancelled: true }],
  ChatMessage: [
    { id: ID, text: 'hi', sender: 'Mac', sentAt: 100 },
    { sentAt: -978307200.5, sender: 's', text: '', id: ID },
  ],
  SessionPermissions: [{ canControl: false, isSupportSession: true }],
  HostStatus: [
    { model: 'm', osVersion: '14', uptimeSeconds: 12.5, thermalState: 'nominal', memoryGB: 16 },
    {
      model: 'm', osVersion: '14', uptimeSeconds: 0, thermalState: 'fair', memoryGB: 7.5, batteryPercent: 99,
      isCharging: false, diskFreeBytes: 1, diskTotalBytes: 2, macAddress: '00:11:22:33:44:55',
    },
  ],
  ScreenText: [{ lines: [] }, { lines: ['a', 'b'], frontmostApp: 'Finder' }],
  InputEvent: [
    { mouseMove: { x: 0.25, y: 1 } },
    { mouseButton: { button: 2, down: true, x: 0.5, y: 0.5 } },
    { scroll: { dx: -3, dy: 0.125 } },
    { smoothScroll: { dx: 1, dy: 2, phase: 4, momentum: -1 } },
    { mouseDelta: { dx: 1e-3, dy: -2 } },
    { key: { code: 65535, down: false, flags: 1179648 } },
    { text: { _0: 'type/this' } },
  ],
  MacCommand: [{ openApp: { name: 'Notes' } }, { openURL: { _0: 'https://a/b' } }, { runShortcut: { name: 's' } }],
  AnnotationStroke: [{ id: ID, points: [], color: [1, 0, 0], width: 0.5 }],
  AnnotationEvent: [
    { clear: {} },
    { stroke: { _0: { id: ID, points: [0.1, 0.2, 0.3, 0.4], color: [0, 0.5, 1, 0.25], width: 0.01 } } },
  ],
  HostAction: ['lockScreen', 'sleepDisplay', 'restart'],
  MouseButton: [0, 1, 2],
  ClientPlatform: ['mac', 'iPhone', 'iPad', 'vision', 'watch', 'unknown'],
  ClientRole: ['viewer', 'screenSharer'],
};

// A value of the wrong kind for a field of this shape.
function wrongValues(shape) {
  switch (shape.kind) {
    case 'string': return [1, true, ['x']];
    case 'bool': return [1, 'true'];
    case 'uuid': return ['not-a-uuid', ID.replace(/-/g, ''), 5];
    case 'int': {
      const out = ['1', 1.5, true];
      if (shape.max < 2n ** 53n) out.push(Number(shape.max) + 1);
      if (shape.min === 0n) out.push(-1);
      return out;
    }
    case 'intEnum': return [3, -1, '0'];
    case 'f64': return ['1', true];
    case 'f32': return ['1', true, 1e39];
    case 'textEnum': return ['Bogus', shape.values[0].toUpperCase(), 0];
    case 'list': return [{}, 'x', [...wrongValues(shape.of).slice(0, 1)]];
    case 'record': return [[], 'x', {}];
    default: return [];
  }
}

// Keeps only what our writer would write back: known keys, no nulls, UUIDs in upper case.
function canonical(shape, v) {
  switch (shape.kind) {
    case 'uuid': return v.toUpperCase();
    case 'list': return v.map((e) => canonical(shape.of, e));
    case 'record': {
      const out = {};
      for (const [k, s] of [...Object.entries(shape.required), ...Object.entries(shape.optional)])
        if (v[k] !== undefined && v[k] !== null) out[k] = canonical(s, v[k]);
      return out;
    }
    case 'cases': {
      const k = Object.keys(v).find((key) => key in shape.map);
      return { [k]: canonical(shape.map[k], v[k]) };
    }
    default: return v;
  }
}

// Variants of a record-shaped value: missing or wrong fields (refused), nulls for optionals and
// unknown keys (accepted).
function recordVariants(shape, value, wrap) {
  const out = [];
  for (const [k, s] of Object.entries(shape.required)) {
    const { [k]: _, ...without } = value;
    out.push([false, wrap(without)]);
    out.push([false, wrap({ ...value, [k]: null })]);
    for (const w of wrongValues(s)) out.push([false, wrap({ ...value, [k]: w })]);
  }
  for (const [k, s] of Object.entries(shape.optional)) {
    out.push([true, wrap({ ...value, [k]: null })]);
    for (const w of wrongValues(s)) out.push([false, wrap({ ...value, [k]: w })]);
  }
  out.push([true, wrap({ ...value, unknownKey: { nested: [1, null] } })]);
  return out;
}

function samples() {
  const lines = [];
  const emit = (type, accepted, value) => {
    const body = JSON.stringify(value);
    const canon = accepted ? JSON.stringify(canonical(shapes[type], value)) : '';
    lines.push(`${type}\t${accepted ? 1 : 0}\t${body}\t${canon}`);
  };
  for (const [type, values] of Object.entries(valid)) {
    const shape = shapes[type];
    for (const value of values) {
      emit(type, true, value);
      emit(type, false, [value]);
      if (shape.kind === 'record') {
        for (const [ok, v] of recordVariants(shape, value, (x) => x)) emit(type, ok, v);
      } else if (shape.kind === 'cases') {
        const name = Object.keys(value)[0];
        const other = Object.keys(shape.map).find((k) => k !== name);
        emit(type, false, {});
        emit(type, false, { ...value, [other]: {} });
        emit(type, true, { ...value, bogus: 1 });
        emit(type, false, { bogus: value[name] });
        for (const w of [null, true, [], 'x']) emit(type, false, { [name]: w });
        for (const [ok, v] of recordVariants(shape.map[name], value[name], (x) => ({ [name]: x })))
          emit(type, ok, v);
      }
    }
    if (shape.kind === 'textEnum' || shape.kind === 'intEnum')
      for (const w of wrongValues(shape)) emit(type, false, w);
  }
  process.stdout.write(lines.join('\n') + '\n');
}

const [mode, file] = process.argv.slice(2);
if (mode === 'check') check(file);
else if (mode === 'samples') samples();
else {
  console.error('usage: message-bodies.mjs check <file> | samples');
  process.exit(2);
}
