// The benchmark's agents: N official clients subscribed to the latest frame, each
// noting (on CLOCK_MONOTONIC, the clock the writer stamps with) when an update arrives,
// then one client timing sequential spatial_context_at calls.
//   node agent_clients.mjs CONFIG.json  ->  one JSON line on standard output
import { readFileSync, writeFileSync, existsSync } from 'node:fs';
import { Client, StreamableHTTPClientTransport } from '@modelcontextprotocol/client';
import { StdioClientTransport } from '@modelcontextprotocol/client/stdio';

const config = JSON.parse(readFileSync(process.argv[2], 'utf8'));
const FRAME = 'spatial://frame/latest';
const now = () => Number(process.hrtime.bigint());

function transport() {
  if (config.http) {
    const token = readFileSync(config.http.token_file, 'utf8').trim();
    return new StreamableHTTPClientTransport(new URL(config.http.url),
      { requestInit: { headers: { Authorization: `Bearer ${token}` } } });
  }
  const [command, ...args] = config.command;
  return new StdioClientTransport({ command, args, env: config.env, stderr: 'ignore' });
}

const clients = [];
const arrivals = [];
for (let i = 0; i < config.clients; i++) {
  const client = new Client({ name: `bench-${i}`, version: '1.0.0' }, { versionNegotiation: { mode: config.mode } });
  const seen = [];
  arrivals.push(seen);
  client.setNotificationHandler('notifications/resources/updated', (n) => { if (n.params.uri === FRAME) seen.push(now()); });
  await client.connect(transport());
  if (client.getProtocolEra() === 'modern') await client.listen({ resourceSubscriptions: [FRAME] });
  else await client.subscribeResource({ uri: FRAME });
  clients.push(client);
}
writeFileSync(config.ready, 'ready\n');
while (!existsSync(config.done)) await new Promise((r) => setTimeout(r, 20));

const calls = [];
for (let i = 0; i < config.calls; i++) {
  const start = now();
  await clients[0].callTool({ name: 'spatial_context_at', arguments: { seconds_ago: 0.5 } });
  calls.push(now() - start);
}
for (const c of clients) await c.close();
process.stdout.write(JSON.stringify({ arrivals, calls }) + '\n');
process.exit(0);
