// omvi-agent-mcp beside the reference MCP filesystem server, both over stdio, driven by raw
// JSON-RPC lines (no client library in the measurement): start to answered initialize, then
// write_file and read_file of 4 KiB and list_directory of 10 000 entries with 16 calls in
// flight (calls per second, p50 latency), and each server's peak RSS under that load.
// Usage: node mcp_bench.mjs OMVI_MCP PEER_INDEX_JS [SECONDS_PER_RUN]
import { mkdtempSync, mkdirSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { startOverStdio } from './mcp_stdio.mjs';

const [omvi, peer, seconds = '3'] = process.argv.slice(2);
const inFlight = 16;
const top = mkdtempSync(join(tmpdir(), 'omvi-mcp-bench-'));
const content = 'x'.repeat(4095) + '\n';


const peakRss = (pid) => Number(/VmHWM:\s+(\d+)/.exec(readFileSync(`/proc/${pid}/status`, 'utf8'))[1]) / 1024;

async function measure(name, command, args, dir, readTool) {
  const server = startOverStdio(command, args);
  await server.request('initialize', { protocolVersion: '2025-06-18', capabilities: {}, clientInfo: { name: 'bench', version: '1' } });
  const startMs = Number(process.hrtime.bigint() - server.began) / 1e6;
  server.child.stdin.write('{"jsonrpc":"2.0","method":"notifications/initialized"}\n');
  const row = { server: name, 'initialize ms': startMs.toFixed(1) };
  let n = 0;
  const loads = {
    write: () => ['write_file', { path: join(dir, `w${n++ % 64}.txt`), content }],
    read: () => [readTool, { path: join(dir, 'read.txt') }],
    list: () => ['list_directory', { path: join(dir, 'many') }],
  };
  for (const [load, next] of Object.entries(loads)) {
    const latencies = [];
    const end = Date.now() + Number(seconds) * 1000;
    let failed = 0;
    await Promise.all(Array.from({ length: inFlight }, async () => {
      while (Date.now() < end) {
        const [tool, args] = next();
        const t = process.hrtime.bigint();
        const reply = await server.request('tools/call', { name: tool, arguments: args });
        if (reply.error || reply.result?.isError) failed++;
        latencies.push(Number(process.hrtime.bigint() - t) / 1e6);
      }
    }));
    latencies.sort((a, b) => a - b);
    row[`${load} calls/s`] = (latencies.length / Number(seconds)).toFixed(0);
    row[`${load} p50 ms`] = latencies[Math.floor(latencies.length / 2)].toFixed(2);
    if (failed) row[`${load} failed`] = failed;
  }
  row['peak RSS MB'] = peakRss(server.child.pid).toFixed(1);
  server.child.stdin.end();
  await new Promise((resolve) => server.child.on('exit', resolve));
  return row;
}

const rows = [];
for (const [name, command, args, readTool] of [
  ['omvi-agent-mcp', omvi, (dir) => ['--root', dir], 'read_file'],
  ['server-filesystem', 'node', (dir) => [peer, dir], 'read_text_file'],
]) {
  if (name === 'server-filesystem' && !peer) continue;
  const dir = join(top, name);
  mkdirSync(join(dir, 'many'), { recursive: true });
  writeFileSync(join(dir, 'read.txt'), content);
  for (let i = 0; i < 10000; i++) writeFileSync(join(dir, 'many', `entry-${String(i).padStart(5, '0')}`), '');
  rows.push(await measure(name, command, args(dir), dir, readTool));
}
console.log(`16 calls in flight, ${seconds} s per load, work directory ${top}`);
console.table(rows);
rmSync(top, { recursive: true, force: true });
