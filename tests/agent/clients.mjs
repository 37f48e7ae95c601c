// Connects to `spatial mcp` over stdio with the official TypeScript clients, in every
// era each speaks, and does what an agent does: lists and calls every tool, lists and
// reads every resource, subscribes, and waits for the update that a new event brings.
// One JSON line a client on standard output; exit status 1 when any step failed.
//
//   node clients.mjs CONFIG.json
// CONFIG: {"command": [...], "env": {...}, "append": {"path": FILE, "lines": [LINE, ...]},
//          "moment_text": NS, "cases": [[client, mode], ...], "http": {"url": URL, "token_file": FILE}}
// A case's client is "client" (@modelcontextprotocol/client) or "sdk" (@modelcontextprotocol/sdk),
// with "-http" for Streamable HTTP; its mode is that client's era negotiation.
import { appendFileSync, readFileSync } from 'node:fs';
import { Client, StreamableHTTPClientTransport } from '@modelcontextprotocol/client';
import { StdioClientTransport } from '@modelcontextprotocol/client/stdio';
import { Client as V1Client } from '@modelcontextprotocol/sdk/client/index.js';
import { StdioClientTransport as V1StdioClientTransport } from '@modelcontextprotocol/sdk/client/stdio.js';
import { StreamableHTTPClientTransport as V1StreamableHTTPClientTransport } from '@modelcontextprotocol/sdk/client/streamableHttp.js';
import { ResourceUpdatedNotificationSchema } from '@modelcontextprotocol/sdk/types.js';

const config = JSON.parse(readFileSync(process.argv[2], 'utf8'));
const [command, ...args] = config.command;
const EVENTS = 'spatial://events/recent';
let appended = 0;

function within(ms, promise, what) {
  let timer;
  const late = new Promise((_, reject) => { timer = setTimeout(() => reject(new Error(`${what}: no answer in ${ms} ms`)), ms); });
  return Promise.race([promise, late]).finally(() => clearTimeout(timer));
}

function httpOptions() {
  const token = readFileSync(config.http.token_file, 'utf8').trim();
  return [new URL(config.http.url), { requestInit: { headers: { Authorization: `Bearer ${token}` } } }];
}

function connectNew(mode, http) {
  const client = new Client({ name: 'spatial-test', version: '1.0.0' },
    mode === 'legacy' ? {} : { versionNegotiation: { mode: mode === 'pin' ? { pin: '2026-07-28' } : mode } });
  const transport = http ? new StreamableHTTPClientTransport(...httpOptions())
    : new StdioClientTransport({ command, args, env: config.env, stderr: 'pipe' });
  return { client, transport };
}

function connectV1(http) {
  const client = new V1Client({ name: 'spatial-test', version: '1.0.0' });
  const transport = http ? new V1StreamableHTTPClientTransport(...httpOptions())
    : new V1StdioClientTransport({ command, args, env: config.env, stderr: 'pipe' });
  return { client, transport };
}

async function exercise(kind, mode) {
  const row = { client: kind, mode, steps: {}, ok: true };
  const step = async (name, fn) => {
    try {
      row.steps[name] = (await fn()) ?? 'ok';
    } catch (e) {
      row.ok = false;
      row.steps[name] = `FAILED: ${e?.message ?? e}`;
    }
  };
  const http = kind.endsWith('-http');
  const { client, transport } = kind.startsWith('sdk') ? connectV1(http) : connectNew(mode, http);
  let said = '';
  transport.stderr?.on('data', (chunk) => { said += chunk; });
  let updated;
  const update = new Promise((resolve) => { updated = resolve; });
  const onUpdate = (n) => { if (n.params.uri === EVENTS) updated(n.params.uri); };
  if (kind.startsWith('sdk')) client.setNotificationHandler(ResourceUpdatedNotificationSchema, onUpdate);
  else client.setNotificationHandler('notifications/resources/updated', onUpdate);
  await step('connect', async () => {
    await within(20000, client.connect(transport), 'connect');
    row.era = kind.startsWith('sdk') ? 'legacy' : client.getProtocolEra();
    row.version = kind.startsWith('sdk') ? transport.protocolVersion ?? 'initialize' : client.getNegotiatedProtocolVersion();
    return row.era;
  });
  if (!row.ok) {
    row.stderr = said.slice(-2000);
    return row;
  }
  await step('tools/list', async () => {
    const { tools } = await client.listTools();
    row.tools = tools.map((t) => t.name);
    return row.tools.join(',');
  });
  const calls = {
    spatial_context_at: [{}, { seconds_ago: 0.5 }, { timestamp_ns_text: config.moment_text }],
    pointing_now: [{}],
    recent_events: [{ seconds: 3600, limit: 2 }],
    wait_for_event: [{ timeout_s: 0.2 }],
  };
  for (const [name, argsList] of Object.entries(calls)) {
    for (const [i, a] of argsList.entries()) {
      await step(`tools/call ${name}#${i}`, async () => {
        const r = await client.callTool({ name, arguments: a });
        if (r.isError) throw new Error(`isError: ${JSON.stringify(r.content).slice(0, 200)}`);
        if (r.structuredContent === undefined) throw new Error('no structuredContent');
        if (name === 'spatial_context_at' && i === 2) {
          row.context_at_moment = r.structuredContent.frame_line ?? null;
        }
        return 'ok';
      });
    }
  }
  await step('tools/call refused', async () => {
    try {
      const r = await client.callTool({ name: 'spatial_context_at', arguments: { seconds_ago: -5 } });
      if (!r.isError) throw new Error('a negative seconds_ago was taken');
      return 'isError';
    } catch (e) {
      if (String(e?.code ?? '') === '-32602' || /-32602|at least 0|Invalid/i.test(String(e?.message))) return 'refused';
      throw e;
    }
  });
  await step('resources/list', async () => {
    const { resources } = await client.listResources();
    row.resources = resources.map((r) => r.uri);
    return `${resources.length} resources`;
  });
  for (const uri of row.resources ?? []) {
    await step(`resources/read ${uri}`, async () => {
      const { contents } = await client.readResource({ uri });
      if (contents.length !== 1 || contents[0].uri !== uri) throw new Error('wrong contents');
      return `${contents[0].text.length} chars`;
    });
  }
  await step('subscribe and update', async () => {
    let listening;
    if (row.era === 'modern') listening = await within(10000, client.listen({ resourceSubscriptions: [EVENTS] }), 'listen');
    else await client.subscribeResource({ uri: EVENTS });
    const line = config.append.lines[appended++ % config.append.lines.length];
    const start = performance.now();
    appendFileSync(config.append.path, line + '\n');
    await within(10000, update, 'update');
    const ms = performance.now() - start;
    if (listening) await listening.close?.();
    return `update after ${ms.toFixed(1)} ms`;
  });
  await step('close', async () => { await within(10000, client.close(), 'close'); });
  if (!row.ok) row.stderr = said.slice(-2000);
  return row;
}

let failed = false;
for (const [kind, mode] of config.cases) {
  const row = await exercise(kind, mode);
  failed ||= !row.ok;
  process.stdout.write(JSON.stringify(row) + '\n');
}
process.exit(failed ? 1 : 0);
