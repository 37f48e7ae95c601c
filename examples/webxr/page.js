// The WebXR side of the host: the browser's headset (or, when asked, an emulated one
// driven by the scripted user), and one frame record with what the browser reports of
// its inputs sent to the host for each XR frame.
//
// The host serves this page and the script's state (/script.json), and speaks over a
// WebSocket on loopback. Control messages are small JSON objects with a "page" member;
// every frame is a "halberin.spatial-intent" record, which the host reads as it reads
// any record, then a line with the inputs, from which the host fills in what points.
import { XRDevice, metaQuest3 } from 'iwer';
import { SyntheticEnvironmentModule } from '@iwer/sem';

const ROOM = 'office_small';
// The host's port and this session's secret come in the address's fragment, which no
// request carries; the secret goes back only to the host, over loopback.
const params = new URLSearchParams(location.hash.slice(1));
const socket = new WebSocket(`ws://127.0.0.1:${params.get('ws')}/?key=${encodeURIComponent(params.get('key'))}`);
const say = (message) => socket.send(JSON.stringify({ page: message }));
const fail = (why) => say({ error: String(why).slice(0, 200) });

// The browser's own navigator.xr, a real headset's, unless the emulator is asked for
// (&emulate=1): the headset of today with eye tracking added (iwer gives a gaze source
// only to a device that lists it), which the scripted user drives.
const emulate = params.get('emulate') === '1';
let device = null;
if (emulate) {
  device = new XRDevice({ ...metaQuest3, supportedFeatures: [...metaQuest3.supportedFeatures, 'gaze-tracking'] });
  device.installRuntime({ forceInstall: true });  // over the browser's own navigator.xr
  device.installSEM(SyntheticEnvironmentModule);
}

let clock = null;   // {offset_ns, start_ns, seconds}: set by the host once the clocks agree
let script = null;  // the script's state, sampled: set from /script.json
let session = null;
let space = null;
let generation = 1;
let hitSource = null;
let stopped = false;

socket.addEventListener('message', (e) => {
  const m = JSON.parse(e.data);
  if ('ping' in m) say({ pong: m.ping, page_ms: performance.now() });
  if ('start' in m) clock = { offset_ns: BigInt(m.start.offset_ns), start_ns: BigInt(m.start.start_ns),
                              seconds: m.start.seconds };
  if ('stop' in m) { stopped = true; if (session) session.end().catch(() => {}); }
});

// The script at time t (seconds from its second 0): the nearest sample.
function scripted(t) {
  const i = Math.min(script.head.length - 1, Math.max(0, Math.round(t / script.step_s)));
  return { phase: script.phases[script.phase[i]], head: script.head[i], gaze: script.gaze[i],
           left: script.left[i], right: script.right[i], pinch: script.pinch[i], dropped: script.dropped[i],
           controllers: { left: script.left_controller[i], right: script.right_controller[i] } };
}

const conjugate = ([x, y, z, w]) => [-x, -y, -z, w];
function multiply([ax, ay, az, aw], [bx, by, bz, bw]) {
  return [aw * bx + ax * bw + ay * bz - az * by, aw * by - ax * bz + ay * bw + az * bx,
          aw * bz + ax * by - ay * bx + az * bw, aw * bw - ax * bx - ay * by - az * bz];
}
const numbers = (values) => values.map((v) => (v === null ? NaN : v));  // the script's NaN comes as null

// The controllers the script holds (the emulated headset shows controllers or hands,
// never both: the controllers where the script holds one), else bare hands: each placed
// by its target ray, posed, and pinched as the script says; out of view when the script
// has none, or loses it. The eyes are turned relative to the head, which is how the
// device takes them.
function drive(t) {
  const s = scripted(t);
  device.position.set(...script.head_position);
  device.quaternion.set(...s.head);
  const held = s.controllers.left !== null || s.controllers.right !== null;
  device.primaryInputMode = held ? 'controller' : 'hand';
  ['left', 'right'].forEach((side, i) => {
    const controller = device.controllers[side];
    const c = s.controllers[side];
    controller.connected = c !== null;
    if (c !== null) {
      const v = numbers(c);
      controller.position.set(v[0], v[1], v[2]);
      controller.quaternion.set(v[3], v[4], v[5], v[6]);
      controller.updateButtonValue('trigger', c[7]);
    }
    const hand = device.hands[side];
    const placed = s[side];
    hand.connected = placed !== null && !s.dropped[i];
    if (!hand.connected) return;
    hand.position.set(placed[0], placed[1], placed[2]);
    hand.quaternion.set(placed[3], placed[4], placed[5], placed[6]);
    hand.poseId = placed[7] === 'point' ? 'point' : 'default';
    hand.updatePinchValue(s.pinch[i] ? 1 : 0);
  });
  device.gaze.connected = s.gaze !== null;
  if (s.gaze !== null) device.gaze.quaternion.set(...multiply(conjugate(s.head), s.gaze));
}

const num = (x) => (Number.isFinite(x) ? String(x) : 'null');
const vec = (v) => `[${num(v.x)},${num(v.y)},${num(v.z)}]`;
const quat = (q) => `[${num(q.x)},${num(q.y)},${num(q.z)},${num(q.w)}]`;
const confidence = (pose) => (!pose ? 'unavailable' : pose.emulatedPosition ? 'orientation_only'
                                                                            : 'position_and_orientation');
function up(q) {  // q applied to (0, 1, 0): a hit pose's surface normal
  const { x, y, z, w } = q;
  return { x: 2 * (x * y - w * z), y: 1 - 2 * (x * x + z * z), z: 2 * (y * z + w * x) };
}
const poseText = (pose) => `{"position":${vec(pose.transform.position)},"orientation":${quat(pose.transform.orientation)}}`;
const JOINTS = ['wrist', 'thumb-metacarpal', 'thumb-phalanx-proximal', 'thumb-phalanx-distal', 'thumb-tip',
  ...['index-finger', 'middle-finger', 'ring-finger', 'pinky-finger'].flatMap((finger) =>
    ['metacarpal', 'phalanx-proximal', 'phalanx-intermediate', 'phalanx-distal', 'tip'].map((bone) => `${finger}-${bone}`))];

// Each input source's number, and the sources between their selectstart and selectend:
// the browser's own select, which also ends when a source goes away.
const ids = new WeakMap();
let nextId = 1;
const idOf = (source) => { if (!ids.has(source)) ids.set(source, nextId++); return ids.get(source); };
const selecting = new Set();

// What the browser reports of one input source, as it gives it: the host chooses what
// points and what selects (spatial_intent.pointing), this page only reports.
function sourceText(frame, source) {
  const ray = frame.getPose(source.targetRaySpace, space);
  const parts = [`"id":${idOf(source)}`, `"mode":${JSON.stringify(String(source.targetRayMode))}`,
    `"handedness":${JSON.stringify(String(source.handedness))}`,
    `"profiles":${JSON.stringify([...(source.profiles || [])].map(String).slice(0, 8))}`,
    `"ray":${ray ? poseText(ray) : 'null'}`, `"emulated":${Boolean(ray && ray.emulatedPosition)}`,
    `"selecting":${selecting.has(source)}`];
  const buttons = source.gamepad ? [...source.gamepad.buttons].slice(0, 8) : null;
  parts.push(`"buttons":${buttons ? `[${buttons.map((b) => `[${Boolean(b.pressed)},${num(b.value)}]`).join(',')}]` : 'null'}`);
  if (source.hand) {
    const named = [];
    for (const name of JOINTS) {
      const joint = source.hand.get(name);
      const pose = joint ? frame.getJointPose(joint, space) : null;
      if (pose) named.push(`${JSON.stringify(name)}:${vec(pose.transform.position)}`);
    }
    parts.push(`"joints":{${named.join(',')}}`);
  }
  return `{${parts.join(',')}}`;
}

// One frame: the record (members in the order the module writes them) without what the
// host chooses (pointing, select, target), then on a line of its own what the browser
// reports of its inputs. A hand's pose is its wrist's: the one joint every runtime's
// hand model has, which a pinch hardly moves.
function record(frame, timeNs) {
  const viewer = frame.getViewerPose(space);
  const parts = [`{"schema":"halberin.spatial-intent","version":1,"timestamp_ns":${timeNs}`,
    '"timestamp_domain":"monotonic"',
    `"reference_space":{"type":"local-floor","id":"webxr:local-floor","generation":${generation}}`,
    `"head":{"position":${viewer ? vec(viewer.transform.position) : '[0,0,0]'},` +
      `"orientation":${viewer ? quat(viewer.transform.orientation) : '[0,0,0,1]'}}`,
    `"head_tracking":"${confidence(viewer)}"`];
  let gamepads = false;
  const wrists = { left: null, right: null };
  const sources = [];
  for (const source of session.inputSources) {
    gamepads ||= Boolean(source.gamepad && !source.hand);
    if (source.hand && (source.handedness === 'left' || source.handedness === 'right')) {
      const wrist = frame.getJointPose(source.hand.get('wrist'), space);
      if (wrist) wrists[source.handedness] = wrist;
    }
    if (sources.length < 8) sources.push(sourceText(frame, source));
  }
  if (wrists.left) parts.push(`"left_hand":${poseText(wrists.left)}`);
  if (wrists.right) parts.push(`"right_hand":${poseText(wrists.right)}`);
  const enabled = session.enabledFeatures || [];
  const features = enabled.map((f) => JSON.stringify(String(f))).join(',');
  parts.push(`"capabilities":{"head_pose":true,"action_input":${gamepads},` +
             `"hand_tracking":${enabled.includes('hand-tracking')},` +
             `"hand_interaction":false,"eye_gaze":false,` +
             `"enabled_extensions":[${features}]}}`);
  // The room's surface along the ray of the source the hit test follows.
  let hit = 'null';
  if (hitSource) {
    const hits = frame.getHitTestResults(hitSource.results);
    const pose = hits.length > 0 ? hits[0].getPose(space) : null;
    if (pose) {
      hit = `{"source":${hitSource.id},"position":${vec(pose.transform.position)},` +
            `"normal":${vec(up(pose.transform.orientation))}}`;
    }
  }
  return `${parts.join(',')}\n{"sources":[${sources.join(',')}],"hit":${hit}}`;
}

let hitRequested = false;

// The room's surfaces along the right controller's ray, once that controller is there.
function requestHits() {
  const right = [...session.inputSources].find((s) => s.handedness === 'right' && !s.hand);
  if (!right || hitRequested || !(session.enabledFeatures || []).includes('hit-test')) return;
  hitRequested = true;
  session.requestHitTestSource({ space: right.targetRaySpace })
    .then((results) => { hitSource = { results, id: idOf(right) }; })
    .catch((e) => fail(`no hit test: ${e.message}`));
}

// For the host's tests: a page that misbehaves on purpose (?hostile=1) or falls silent
// after so many frames (?stall=N).
const hostile = params.get('hostile') === '1';
const stallAfter = Number(params.get('stall') || 0);
let sent = 0;

function misbehave(line) {
  if (sent === 30) {
    socket.send('{"schema":"halberin.spatial-intent",');
    socket.send(line.replace('"head_tracking"', '"head_trackin"'));
    socket.send(line.slice(0, -1) + ',"x":"' + 'x'.repeat(20000) + '"}');
  }
  if (sent === 60) for (let i = 0; i < 300; i += 1) socket.send(line);
}

function onFrame(time, frame) {
  if (stopped) return;
  session.requestAnimationFrame(onFrame);
  requestHits();
  if (!clock || (stallAfter && sent >= stallAfter)) return;
  const timeNs = BigInt(Math.round(time * 1e6)) + clock.offset_ns;
  // What is set now shows in the next frame: the script's state a frame ahead.
  if (device) drive(Number(timeNs - clock.start_ns) / 1e9 + 1 / 60);
  if (socket.readyState !== WebSocket.OPEN) return;
  const line = record(frame, timeNs);
  socket.send(line);
  sent += 1;
  if (hostile) misbehave(line);
}

async function main() {
  await new Promise((resolve, reject) => {
    socket.addEventListener('open', resolve, { once: true });
    socket.addEventListener('error', () => reject(new Error('no WebSocket to the host')), { once: true });
  });
  if (device) {
    script = await (await fetch('/script.json')).json();
    drive(0);
    await device.sem.loadDefaultEnvironment(ROOM);
  }
  const canvas = document.getElementById('view');
  const gl = canvas.getContext('webgl2', { xrCompatible: true });
  if (!navigator.xr) throw new Error('this browser has no WebXR (navigator.xr); the emulator is &emulate=1');
  session = await navigator.xr.requestSession('immersive-vr', {
    requiredFeatures: ['local-floor'], optionalFeatures: ['hit-test', 'hand-tracking', 'gaze-tracking'] });
  await session.updateRenderState({ baseLayer: new XRWebGLLayer(session, gl) });
  space = await session.requestReferenceSpace('local-floor');
  space.addEventListener('reset', () => { generation += 1; });
  session.addEventListener('end', () => say({ ended: true }));
  session.addEventListener('selectstart', (e) => selecting.add(e.inputSource));
  session.addEventListener('selectend', (e) => selecting.delete(e.inputSource));
  session.addEventListener('inputsourceschange', (e) => { for (const s of e.removed) selecting.delete(s); });
  say({ ready: { features: session.enabledFeatures || [], room: emulate ? ROOM : null, emulated: emulate,
                 user_agent: navigator.userAgent } });
  session.requestAnimationFrame(onFrame);
}

main().catch(fail);
