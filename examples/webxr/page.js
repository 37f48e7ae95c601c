// The WebXR side of the host: an emulated headset in a real browser, driven by the
// scripted user, and one frame record sent to the host for each XR frame.
//
// The host serves this page and the script's state (/script.json), and speaks over a
// WebSocket on loopback. Control messages are small JSON objects with a "page" member;
// every frame is a "halberin.spatial-intent" record, which the host reads as it reads
// any record.
import { XRDevice, metaQuest3 } from 'iwer';
import { SyntheticEnvironmentModule } from '@iwer/sem';

const ROOM = 'office_small';
// The host's port and this session's secret come in the address's fragment, which no
// request carries; the secret goes back only to the host, over loopback.
const params = new URLSearchParams(location.hash.slice(1));
const socket = new WebSocket(`ws://127.0.0.1:${params.get('ws')}/?key=${encodeURIComponent(params.get('key'))}`);
const say = (message) => socket.send(JSON.stringify({ page: message }));
const fail = (why) => say({ error: String(why).slice(0, 200) });

// The headset of today with eye tracking added (iwer gives a gaze source only to a
// device that lists it).
const device = new XRDevice({ ...metaQuest3,
  supportedFeatures: [...metaQuest3.supportedFeatures, 'gaze-tracking'] });
device.installRuntime({ forceInstall: true });  // the browser has a navigator.xr of its own
device.installSEM(SyntheticEnvironmentModule);

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
  return { phase: script.phases[script.phase[i]], head: script.head[i], aim: script.aim[i],
           trigger: script.trigger[i], gaze: script.gaze[i], left: script.left[i], right: script.right[i] };
}

const conjugate = ([x, y, z, w]) => [-x, -y, -z, w];
function multiply([ax, ay, az, aw], [bx, by, bz, bw]) {
  return [aw * bx + ax * bw + ay * bz - az * by, aw * by - ax * bz + ay * bw + az * bx,
          aw * bz + ax * by - ay * bx + az * bw, aw * bw - ax * bx - ay * by - az * bz];
}

// The controllers in the controller phase, bare hands after it: each hand placed by its
// target ray, posed, and pinched while the script selects; out of view when the script
// has none. The eyes are turned relative to the head, which is how the device takes them.
function drive(t) {
  const s = scripted(t);
  device.position.set(...script.head_position);
  device.quaternion.set(...s.head);
  const controller = s.phase === 'controller';
  device.primaryInputMode = controller ? 'controller' : 'hand';
  const right = device.controllers.right;
  right.position.set(...script.aim_origin);
  right.quaternion.set(...s.aim);
  right.updateButtonValue('trigger', controller ? s.trigger : 0);
  for (const side of ['left', 'right']) {
    const hand = device.hands[side];
    const placed = s[side];
    hand.connected = placed !== null;
    if (placed === null) continue;
    hand.position.set(placed[0], placed[1], placed[2]);
    hand.quaternion.set(placed[3], placed[4], placed[5], placed[6]);
    hand.poseId = placed[7];
    hand.updatePinchValue(side === 'right' && !controller ? s.trigger : 0);
  }
  device.gaze.connected = s.gaze !== null;
  if (s.gaze !== null) device.gaze.quaternion.set(...multiply(conjugate(s.head), s.gaze));
}

const num = (x) => (Number.isFinite(x) ? String(x) : 'null');
const vec = (v) => `[${num(v.x)},${num(v.y)},${num(v.z)}]`;
const quat = (q) => `[${num(q.x)},${num(q.y)},${num(q.z)},${num(q.w)}]`;
const confidence = (pose) => (!pose ? 'unavailable' : pose.emulatedPosition ? 'orientation_only'
                                                                            : 'position_and_orientation');
function forward(q) {  // q applied to (0, 0, -1)
  const { x, y, z, w } = q;
  return { x: -2 * (x * z + w * y), y: -2 * (y * z - w * x), z: -(1 - 2 * (x * x + y * y)) };
}
function up(q) {  // q applied to (0, 1, 0): a hit pose's surface normal
  const { x, y, z, w } = q;
  return { x: 2 * (x * y - w * z), y: 1 - 2 * (x * x + z * z), z: 2 * (y * z + w * x) };
}
// Which input points, and what selects: the rule of examples/shared/pointing.py, line
// for line (that file says why).
const CURLED = 0.6;
const distance = (a, b) => Math.hypot(a.x - b.x, a.y - b.y, a.z - b.z);
function curled(chain) {
  let length = 0;
  for (let i = 1; i < chain.length; i += 1) length += distance(chain[i - 1], chain[i]);
  return length > 0 && distance(chain[0], chain[chain.length - 1]) < CURLED * length;
}
const MIDDLE = ['wrist', 'middle-finger-metacarpal', 'middle-finger-phalanx-proximal',
  'middle-finger-phalanx-intermediate', 'middle-finger-phalanx-distal', 'middle-finger-tip'];

class Pointer {
  constructor() {
    this.handPointer = null;
    this.input = null;
    this.pressed = false;
    this.changedNs = 0n;
    this.heldOver = false;
  }

  choose(nowNs, head, controller, hands, gaze) {
    const tracked = ['right', 'left'].filter((side) => hands[side]).map((side) => [side, hands[side]]);
    const kept = this.handPointer;
    const found = tracked.find(([side, hand]) => hand.pointing || (side === kept && hand.pinched));
    const pointing = found ? found[0] : null;
    this.handPointer = null;
    if (controller) {
      return this.choice(nowNs, 'controller', controller.ray, 'right', 'controller:right', controller.pressed);
    }
    if (pointing !== null) {
      this.handPointer = pointing;
      const hand = hands[pointing];
      return this.choice(nowNs, 'hand', hand.ray, pointing, `hand:${pointing}`, hand.pinched);
    }
    const pincher = tracked.find(([, hand]) => hand.pinched) || tracked[0];
    const input = pincher ? `hand:${pincher[0]}` : null;
    const pinched = Boolean(pincher && pincher[1].pinched);
    if (gaze) return this.choice(nowNs, 'eye_gaze', gaze, null, input, pinched);
    return this.choice(nowNs, 'head', head, null, input, pinched);
  }

  choice(nowNs, source, ray, side, input, pressed) {
    return { source, ray, side, select: this.select(nowNs, input, pressed) };
  }

  select(nowNs, input, pressed) {
    if (input === null) {
      this.input = null; this.pressed = false; this.heldOver = false;
      return null;
    }
    if (input !== this.input) {
      if (this.input === null && !this.pressed) {
        this.heldOver = pressed;
      } else if (this.pressed) {
        this.input = input; this.pressed = false; this.changedNs = nowNs; this.heldOver = pressed;
        return { pressed: false, changed: true, at: nowNs };
      } else {
        this.heldOver = pressed;
      }
      this.input = input;
    }
    if (this.heldOver) {
      if (pressed) return { pressed: false, changed: false, at: this.changedNs };
      this.heldOver = false;
    }
    if (pressed !== this.pressed) {
      this.pressed = pressed;
      this.changedNs = nowNs;
      return { pressed, changed: true, at: nowNs };
    }
    return { pressed, changed: false, at: this.changedNs };
  }
}

const pointer = new Pointer();
const rayOf = (pose) => ({ origin: pose.transform.position, direction: forward(pose.transform.orientation),
                           confidence: confidence(pose) });
const poseText = (pose) => `{"position":${vec(pose.transform.position)},"orientation":${quat(pose.transform.orientation)}}`;

// One frame as the record: members in the order the module writes them. A hand's pose is
// its wrist's: the one joint every runtime's hand model has, which a pinch hardly moves.
// The hand's ray is the runtime's own target ray; its pinch, the runtime's select.
function record(frame, timeNs) {
  const viewer = frame.getViewerPose(space);
  const parts = [`{"schema":"halberin.spatial-intent","version":1,"timestamp_ns":${timeNs}`,
    '"timestamp_domain":"monotonic"',
    `"reference_space":{"type":"local-floor","id":"webxr:local-floor","generation":${generation}}`,
    `"head":{"position":${viewer ? vec(viewer.transform.position) : '[0,0,0]'},` +
      `"orientation":${viewer ? quat(viewer.transform.orientation) : '[0,0,0,1]'}}`,
    `"head_tracking":"${confidence(viewer)}"`];
  let controller = null;
  let gaze = null;
  let gamepads = false;
  const hands = { left: null, right: null };
  const wrists = { left: null, right: null };
  for (const source of session.inputSources) {
    if (source.targetRayMode === 'gaze') {
      const pose = frame.getPose(source.targetRaySpace, space);
      if (pose) gaze = rayOf(pose);
      continue;
    }
    if (source.targetRayMode !== 'tracked-pointer') continue;
    if (source.hand) {
      const wrist = frame.getJointPose(source.hand.get('wrist'), space);
      const ray = frame.getPose(source.targetRaySpace, space);
      const chain = MIDDLE.map((name) => frame.getJointPose(source.hand.get(name), space));
      if (!wrist || !ray || chain.some((j) => !j)) continue;
      wrists[source.handedness] = wrist;
      hands[source.handedness] = { ray: rayOf(ray), pointing: curled(chain.map((j) => j.transform.position)),
                                   pinched: Boolean(source.gamepad && source.gamepad.buttons[0].pressed) };
      continue;
    }
    gamepads ||= Boolean(source.gamepad);
    if (source.handedness !== 'right') continue;
    const ray = frame.getPose(source.targetRaySpace, space);
    if (ray && source.gamepad && source.gamepad.buttons.length > 0) {
      controller = { ray: rayOf(ray), pressed: source.gamepad.buttons[0].pressed };
    }
  }
  const head = viewer ? rayOf(viewer) : { origin: { x: 0, y: 0, z: 0 }, direction: { x: 0, y: 0, z: -1 },
                                          confidence: 'unavailable' };
  const chosen = pointer.choose(timeNs, head, controller, hands, gaze);
  if (chosen.source !== 'head' || viewer) {
    const r = chosen.ray;
    parts.push(`"pointing":{"source":"${chosen.source}","confidence":"${r.confidence}",` +
               `"origin":${vec(r.origin)},"direction":${vec(r.direction)}}`);
  }
  if (chosen.select) {
    const s = chosen.select;
    parts.push(`"primary_select":{"pressed":${s.pressed},"changed":${s.changed},"last_change_time_ns":${s.at}}`);
  }
  if (wrists.left) parts.push(`"left_hand":${poseText(wrists.left)}`);
  if (wrists.right) parts.push(`"right_hand":${poseText(wrists.right)}`);
  if (gaze) parts.push(`"gaze":{"origin":${vec(gaze.origin)},"direction":${vec(gaze.direction)}}`);
  // The room's hit test follows the controller's ray alone.
  if (hitSource && chosen.source === 'controller') {
    const hits = frame.getHitTestResults(hitSource);
    const pose = hits.length > 0 ? hits[0].getPose(space) : null;
    if (pose) {
      parts.push(`"target":{"position":${vec(pose.transform.position)},"normal":${vec(up(pose.transform.orientation))}}`);
    }
  }
  const enabled = session.enabledFeatures || [];
  const features = enabled.map((f) => JSON.stringify(String(f))).join(',');
  parts.push(`"capabilities":{"head_pose":true,"action_input":${gamepads},` +
             `"hand_tracking":${enabled.includes('hand-tracking')},` +
             `"hand_interaction":false,"eye_gaze":${enabled.includes('gaze-tracking')},` +
             `"enabled_extensions":[${features}]}}`);
  return parts.join(',');
}

let hitRequested = false;

// The room's surfaces along the right controller's ray, once that controller is there.
function requestHits() {
  const right = [...session.inputSources].find((s) => s.handedness === 'right' && !s.hand);
  if (!right || hitRequested) return;
  hitRequested = true;
  session.requestHitTestSource({ space: right.targetRaySpace })
    .then((source) => { hitSource = source; })
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
  drive(Number(timeNs - clock.start_ns) / 1e9 + 1 / 60);
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
  script = await (await fetch('/script.json')).json();
  drive(0);
  await device.sem.loadDefaultEnvironment(ROOM);
  const canvas = document.getElementById('view');
  const gl = canvas.getContext('webgl2', { xrCompatible: true });
  session = await navigator.xr.requestSession('immersive-vr', { requiredFeatures: ['local-floor', 'hit-test'],
                                                               optionalFeatures: ['hand-tracking', 'gaze-tracking'] });
  await session.updateRenderState({ baseLayer: new XRWebGLLayer(session, gl) });
  space = await session.requestReferenceSpace('local-floor');
  space.addEventListener('reset', () => { generation += 1; });
  session.addEventListener('end', () => say({ ended: true }));
  say({ ready: { features: session.enabledFeatures || [], room: ROOM, user_agent: navigator.userAgent } });
  session.requestAnimationFrame(onFrame);
}

main().catch(fail);
