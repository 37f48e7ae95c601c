// A small agent on the official client: starts `spatial mcp` the way an agent's
// configuration starts a server, reads what the user said, and for each deictic word
// says what it referred to, from the context the server gives at the word's own time.
//   node agent.mjs SPATIAL-COMMAND... (e.g. spatial mcp session.jsonl)
import { Client } from '@modelcontextprotocol/client';
import { StdioClientTransport } from '@modelcontextprotocol/client/stdio';

const [command, ...args] = process.argv.slice(2);
const client = new Client({ name: 'spatial-demo-agent', version: '1.0.0' }, { versionNegotiation: { mode: 'auto' } });
await client.connect(new StdioClientTransport({ command, args, stderr: 'inherit' }));
console.log(`agent: connected (${client.getProtocolEra()} era, ${client.getNegotiatedProtocolVersion()})`);

const events = [];
let cursor;
do {
  const page = await client.callTool({ name: 'recent_events', arguments: { seconds: 86400, limit: 100, ...(cursor && { cursor }) } });
  events.push(...page.structuredContent.events);
  cursor = page.structuredContent.next_cursor;
} while (cursor);

let agreed = 0;
let words = 0;
const first = events.length ? BigInt(events[0].timestamp_ns_text) : 0n;
for (const e of events) {
  const word = /\[([^\]]+)\]/.exec(e.text)?.[1];
  if (!word) continue;
  words++;
  // Ask for the context at the word's own time, exactly (as text: beyond 2^53 ns a JavaScript number is not).
  const { structuredContent: c } = await client.callTool({ name: 'spatial_context_at', arguments: { timestamp_ns_text: e.timestamp_ns_text } });
  const meant = c.found ? (c.frame.target?.host_id ?? 'nothing (the ray hit nothing)') : `unknown: ${c.why_text}`;
  const by = c.found ? (c.frame.pointing?.source ?? 'nothing') : '-';
  // Compared as text, byte for byte: the event's line ends with the frame line it was paired with.
  const same = c.found && e.event_line.endsWith(`"spatial_context":${c.frame_line}}`) ? 'same' : 'DIFFERENT';
  agreed += same === 'same';
  const at = Number(BigInt(e.timestamp_ns_text) - first) / 1e9;
  console.log(`  ${at.toFixed(2).padStart(7)} s  "${e.text}": '${word}' meant ${meant} (pointed with the ${by}, frame ${c.age_ms?.toFixed(1)} ms old; context ${same} as the event's)`);
}
console.log(`agent: ${words} deictic words, ${agreed} with the context the event itself carries`);
await client.close();
process.exit(words > 0 && agreed === words ? 0 : 1);
