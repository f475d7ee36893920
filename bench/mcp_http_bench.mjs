// omvi-agent-mcp over Streamable HTTP beside the same server over stdio, driven by raw
// JSON-RPC (no client library in the measurement): `ping` and 4 KiB `write_file` with 16 calls
// in flight (over HTTP, 16 keep-alive connections), calls per second and p50 latency, and the
// server's peak RSS under that load; run/65-mcp-http.sh then drives HTTP alone with wrk, for
// the targets (at least 20 000 ping/s over HTTP, peak RSS at most 32 MiB).
// Usage: node mcp_http_bench.mjs OMVI_MCP [SECONDS_PER_RUN]
import { spawn } from 'node:child_process';
import { mkdtempSync, readFileSync, rmSync } from 'node:fs';
import http from 'node:http';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { startOverStdio } from './mcp_stdio.mjs';

const [omvi, seconds = '3'] = process.argv.slice(2);
const inFlight = 16;
const top = mkdtempSync(join(tmpdir(), 'omvi-mcp-http-bench-'));
const content = 'x'.repeat(4095) + '\n';
const peakRss = (pid) => Number(/VmHWM:\s+(\d+)/.exec(readFileSync(`/proc/${pid}/status`, 'utf8'))[1]) / 1024;

const overStdio = () => startOverStdio(omvi, ['--root', top]);

function overHttp() {
  const child = spawn(omvi, ['--root', top, '--http', '127.0.0.1:0'], { stdio: ['ignore', 'ignore', 'pipe'] });
  const agent = new http.Agent({ keepAlive: true, maxSockets: inFlight });
  let url, session, id = 0;
  const ready = new Promise((resolve) => child.stderr.on('data', (data) => {
    const found = /listening on (\S+)/.exec(String(data));
    if (found) resolve(url = new URL(found[1]));
  }));
  const post = (body) => new Promise((resolve, reject) => {
    const headers = { 'Content-Type': 'application/json', Accept: 'application/json, text/event-stream' };
    if (session) headers['Mcp-Session-Id'] = session;
    const request = http.request(url, { method: 'POST', agent, headers }, (response) => {
      session ??= response.headers['mcp-session-id'];
      const chunks = [];
      response.on('data', (chunk) => chunks.push(chunk));
      response.on('end', () => {
        const text = Buffer.concat(chunks).toString();
        resolve(text ? JSON.parse(text.startsWith('event:') ? text.split('data: ').at(-1) : text) : {});
      });
    });
    request.on('error', reject);
    request.end(body);
  });
  return {
    child, ready, request: (method, params) => post(JSON.stringify({ jsonrpc: '2.0', id: ++id, method, params })),
    notify: (method) => post(JSON.stringify({ jsonrpc: '2.0', method })),
  };
}

async function measure(transport, server) {
  await server.ready;
  await server.request('initialize', { protocolVersion: '2025-11-25', capabilities: {}, clientInfo: { name: 'bench', version: '1' } });
  await server.notify('notifications/initialized');
  const row = { transport };
  let n = 0;
  const loads = {
    ping: () => ['ping', undefined],
    'write 4 KiB': () => ['tools/call', { name: 'write_file', arguments: { path: `w${n++ % 64}.txt`, content } }],
  };
  for (const [load, next] of Object.entries(loads)) {
    const latencies = [];
    let failed = 0;
    const end = Date.now() + Number(seconds) * 1000;
    await Promise.all(Array.from({ length: inFlight }, async () => {
      while (Date.now() < end) {
        const t = process.hrtime.bigint();
        const reply = await server.request(...next());
        if (reply.error || reply.result?.isError) failed++;
        latencies.push(Number(process.hrtime.bigint() - t) / 1e6);
      }
    }));
    latencies.sort((a, b) => a - b);
    row[`${load} /s`] = Math.round(latencies.length / Number(seconds));
    row[`${load} p50 ms`] = latencies[latencies.length >> 1].toFixed(2);
    if (failed) row[`${load} failed`] = failed;
  }
  row['peak RSS MiB'] = peakRss(server.child.pid).toFixed(1);
  server.child.kill('SIGTERM');
  return row;
}

const rows = [await measure('stdio', overStdio()), await measure('http', overHttp())];
console.table(rows);
rmSync(top, { recursive: true, force: true });
const ping = rows[1]['ping /s'], rss = Number(rows[1]['peak RSS MiB']);
console.log(`http through this Node client: ${ping} ping/s, peak RSS ${rss} MiB (the client, not the server, bounds these; the targets are judged with wrk)`);
process.exit(0);
