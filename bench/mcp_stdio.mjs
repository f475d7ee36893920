// A raw JSON-RPC client of an MCP server over stdio, shared by the MCP benchmarks: starts
// |command| with |args| and answers { child, began, request, notify, ready }.
import { spawn } from 'node:child_process';
import { createInterface } from 'node:readline';

export function startOverStdio(command, args) {
  const began = process.hrtime.bigint();
  const child = spawn(command, args, { stdio: ['pipe', 'pipe', 'ignore'] });
  const waiting = new Map();
  let id = 0;
  createInterface({ input: child.stdout }).on('line', (line) => {
    const message = JSON.parse(line);
    waiting.get(message.id)?.(message);
    waiting.delete(message.id);
  });
  const request = (method, params) => new Promise((resolve) => {
    waiting.set(++id, resolve);
    child.stdin.write(JSON.stringify({ jsonrpc: '2.0', id, method, params }) + '\n');
  });
  const notify = (method) => child.stdin.write(JSON.stringify({ jsonrpc: '2.0', method }) + '\n');
  return { child, began, request, notify, ready: Promise.resolve() };
}
