// The Streamable HTTP transport's own checks, by raw requests the SDK client would not send:
// status codes for each wrong request, sessions, the token, and a server that still answers
// while a slow client and a thousand idle connections hold sockets.
import { writeFileSync } from 'node:fs';
import { connect as tcp } from 'node:net';
import { join } from 'node:path';

const json = { 'Content-Type': 'application/json', Accept: 'application/json, text/event-stream' };
const initialize = JSON.stringify({ jsonrpc: '2.0', id: 1, method: 'initialize',
  params: { protocolVersion: '2025-11-25', capabilities: {}, clientInfo: { name: 'raw', version: '1' } } });
const ping = (id = 2) => JSON.stringify({ jsonrpc: '2.0', id, method: 'ping' });

export async function run({ listen, check, ws, top }) {
  const tokenFile = join(top, 'token');
  writeFileSync(tokenFile, 's3cret-token\n');
  const server = await listen(['--root', ws, '--max-message-bytes', '4096',
    '--allow-origin', 'https://app.example']);
  const send = (method, headers = {}, body = undefined, url = server.url) =>
    fetch(url, { method, headers, body });
  const opened = await send('POST', json, initialize);
  const session = opened.headers.get('mcp-session-id');
  check(opened.status === 200 && /^[0-9a-f]{32}$/.test(session ?? ''), 'initialize issues a 128-bit session id', session);
  const inSession = { ...json, 'Mcp-Session-Id': session };
  const other = await send('POST', json, initialize);
  check(other.headers.get('mcp-session-id') !== session, 'each initialize gets its own session');

  // [what, method, headers, body, expected status]
  const rows = [
    ['initialized is a notification', 'POST', inSession, JSON.stringify({ jsonrpc: '2.0', method: 'notifications/initialized' }), 202],
    ['ping in the session', 'POST', inSession, ping(), 200],
    ['the client answering a request of ours', 'POST', inSession, JSON.stringify({ jsonrpc: '2.0', id: 'x', result: {} }), 202],
    ['no session id', 'POST', json, ping(), 400],
    ['an unknown session', 'POST', { ...json, 'Mcp-Session-Id': 'ab'.repeat(16) }, ping(), 404],
    ['an unsupported protocol version', 'POST', { ...inSession, 'MCP-Protocol-Version': '1999-01-01' }, ping(), 400],
    ['a supported protocol version', 'POST', { ...inSession, 'MCP-Protocol-Version': '2025-06-18' }, ping(), 200],
    ['not JSON', 'POST', inSession, '{"jsonrpc":', 400],
    ['a batch', 'POST', inSession, `[${ping()}]`, 400],
    ['another content type', 'POST', { ...inSession, 'Content-Type': 'text/plain' }, ping(), 415],
    ['a body over the limit', 'POST', inSession, JSON.stringify({ jsonrpc: '2.0', id: 3, method: 'ping', params: { pad: 'x'.repeat(6000) } }), 413],
    ['PUT', 'PUT', inSession, ping(), 405],
    ['a GET that does not accept events', 'GET', { 'Mcp-Session-Id': session }, undefined, 406],
    ['a foreign Origin', 'POST', { ...inSession, Origin: 'https://evil.example' }, ping(), 403],
    ['an allowed Origin', 'POST', { ...inSession, Origin: 'https://app.example' }, ping(), 200],
    ['a loopback Origin', 'POST', { ...inSession, Origin: 'http://localhost:3000' }, ping(), 200],
    ['another path', 'POST', inSession, ping(), 404, server.url.replace('/mcp', '/other')],
    ['DELETE ends the session', 'DELETE', { 'Mcp-Session-Id': session }, undefined, 200],
    ['an ended session', 'POST', inSession, ping(), 404],
  ];
  for (const [what, method, headers, body, status, url] of rows) {
    const response = await send(method, headers, body, url);
    await response.arrayBuffer();
    check(response.status === status, what, `${method} answered ${response.status}, not ${status}`);
  }

  // A slow client (half a request) and a thousand idle connections hold sockets; another
  // client is still served, and at once.
  const { port } = new URL(server.url);
  const sockets = [];
  for (let i = 0; i < 1000; i++) {
    sockets.push(await new Promise((resolve) => {
      const socket = tcp(Number(port), '127.0.0.1', () => resolve(socket));
      socket.on('error', () => resolve(socket));
    }));
  }
  sockets[0].write('POST /mcp HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 100\r\n\r\n{"jsonrpc"');
  const started = Date.now();
  const served = await send('POST', json, initialize);
  check(served.status === 200 && Date.now() - started < 5000, 'served beside a slow client and 1000 idle connections', `${served.status}`);
  for (const socket of sockets) socket.destroy();
  check(await server.stop() === 0, 'SIGTERM: exit status 0');

  // With a token every request needs it.
  const guarded = await listen(['--root', ws, '--token-file', tokenFile]);
  for (const [what, authorization, status] of [
    ['no token', undefined, 401], ['a wrong token', 'Bearer s3cret-tokem', 401],
    ['another scheme', 'Basic s3cret-token', 401], ['the token', 'Bearer s3cret-token', 200]]) {
    const headers = authorization ? { ...json, Authorization: authorization } : json;
    const response = await fetch(guarded.url, { method: 'POST', headers, body: initialize });
    await response.arrayBuffer();
    check(response.status === status, `token: ${what}`, `${response.status}`);
    if (status === 401) check(/^Bearer/.test(response.headers.get('www-authenticate') ?? ''), `token: ${what} names the scheme`);
  }
  await guarded.stop();
}
