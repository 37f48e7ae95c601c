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

const device = new XRDevice(metaQuest3);
device.installRuntime({ forceInstall: true });  // the browser has a navigator.xr of its own
device.installSEM(SyntheticEnvironmentModule);

let clock = null;   // {offset_ns, start_ns, seconds}: set by the host once the clocks agree
let script = null;  // the script's state, sampled: set from /script.json
let session = null;
let space = null;
let generation = 1;
let hitSource = null;
let pressed = false;
let lastChangeNs = 0n;
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
  return { head: script.head[i], aim: script.aim[i], trigger: script.trigger[i] };
}

function drive(t) {
  const s = scripted(t);
  device.position.set(...script.head_position);
  device.quaternion.set(...s.head);
  const right = device.controllers.right;
  right.position.set(...script.aim_origin);
  right.quaternion.set(...s.aim);
  right.updateButtonValue('trigger', s.trigger);
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
const SOURCES = { 'tracked-pointer': 'controller', gaze: 'head', screen: 'hand', 'transient-pointer': 'eye_gaze' };

// One frame as the record: members in the order the module writes them.
function record(frame, timeNs) {
  const viewer = frame.getViewerPose(space);
  const parts = [`{"schema":"halberin.spatial-intent","version":1,"timestamp_ns":${timeNs}`,
    '"timestamp_domain":"monotonic"',
    `"reference_space":{"type":"local-floor","id":"webxr:local-floor","generation":${generation}}`,
    `"head":{"position":${viewer ? vec(viewer.transform.position) : '[0,0,0]'},` +
      `"orientation":${viewer ? quat(viewer.transform.orientation) : '[0,0,0,1]'}}`,
    `"head_tracking":"${confidence(viewer)}"`];
  let select = null;
  let gamepads = false;
  for (const source of session.inputSources) {
    gamepads ||= Boolean(source.gamepad);
    if (source.handedness !== 'right') continue;
    const ray = frame.getPose(source.targetRaySpace, space);
    if (ray) {
      const kind = source.targetRayMode === 'tracked-pointer' && source.hand ? 'hand'
                                                                               : SOURCES[source.targetRayMode];
      parts.push(`"pointing":{"source":"${kind || 'controller'}","confidence":"${confidence(ray)}",` +
                 `"origin":${vec(ray.transform.position)},"direction":${vec(forward(ray.transform.orientation))}}`);
    }
    if (source.gamepad && source.gamepad.buttons.length > 0) {
      const now = source.gamepad.buttons[0].pressed;
      const changed = now !== pressed;
      if (changed) { pressed = now; lastChangeNs = timeNs; }
      select = `"primary_select":{"pressed":${now},"changed":${changed},"last_change_time_ns":${lastChangeNs}}`;
    }
  }
  if (select) parts.push(select);
  if (hitSource) {
    const hits = frame.getHitTestResults(hitSource);
    const pose = hits.length > 0 ? hits[0].getPose(space) : null;
    if (pose) {
      parts.push(`"target":{"position":${vec(pose.transform.position)},"normal":${vec(up(pose.transform.orientation))}}`);
    }
  }
  const features = (session.enabledFeatures || []).map((f) => JSON.stringify(String(f))).join(',');
  parts.push(`"capabilities":{"head_pose":true,"action_input":${gamepads},` +
             `"hand_tracking":${(session.enabledFeatures || []).includes('hand-tracking')},` +
             `"hand_interaction":false,"eye_gaze":false,"enabled_extensions":[${features}]}}`);
  return parts.join(',');
}

let hitRequested = false;

// The room's surfaces along the right controller's ray, once that controller is there.
function requestHits() {
  const right = [...session.inputSources].find((s) => s.handedness === 'right');
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
  session = await navigator.xr.requestSession('immersive-vr', { requiredFeatures: ['local-floor', 'hit-test'] });
  await session.updateRenderState({ baseLayer: new XRWebGLLayer(session, gl) });
  space = await session.requestReferenceSpace('local-floor');
  space.addEventListener('reset', () => { generation += 1; });
  session.addEventListener('end', () => say({ ended: true }));
  say({ ready: { features: session.enabledFeatures || [], room: ROOM, user_agent: navigator.userAgent } });
  session.requestAnimationFrame(onFrame);
}

main().catch(fail);
