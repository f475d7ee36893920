// omvi-agent-mcp driven by the protocol's official TypeScript client over stdio (or, given
// "http", over Streamable HTTP), and by raw lines or requests where the client would refuse to
// send what is tested. Usage:
//   node sdk_client_test.mjs path/to/omvi-agent-mcp path/to/tests/data [stdio|http]
// Exit status 0 when every check passed, 1 otherwise, 77 when the SDK is not installed.
import { execFileSync, spawn } from 'node:child_process';
import { existsSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join, resolve } from 'node:path';
import { createInterface } from 'node:readline';

let sdk;
try {
  sdk = {
    ...(await import('@modelcontextprotocol/sdk/client/index.js')),
    ...(await import('@modelcontextprotocol/sdk/client/stdio.js')),
    ...(await import('@modelcontextprotocol/sdk/client/streamableHttp.js')),
    ...(await import('@modelcontextprotocol/sdk/types.js')),
  };
} catch (error) {
  console.log(`SKIP: the MCP SDK is not installed (make deps): ${error.message}`);
  process.exit(77);
}

const [binary, dataDir] = process.argv.slice(2, 4).map((arg) => resolve(arg));
const overHttp = process.argv[4] === 'http';
const top = mkdtempSync(join(tmpdir(), 'omvi-mcp-test-'));
const env = {
  PATH: process.env.PATH, HOME: top, LANG: 'C', TZ: 'UTC', GIT_CONFIG_NOSYSTEM: '1',
  GIT_AUTHOR_NAME: 'Test', GIT_AUTHOR_EMAIL: 't@omvi.invalid', GIT_COMMITTER_NAME: 'Test',
  GIT_COMMITTER_EMAIL: 't@omvi.invalid', GIT_AUTHOR_DATE: '2026-01-01T00:00:00Z',
  GIT_COMMITTER_DATE: '2026-01-01T00:00:00Z',
};
// The server runs sandboxed, which passes on only an allowlist of the environment: the git
// identity and dates the checks rely on are named with --env; the shell calls that report
// their pid write it into a directory made writable for them.
const pids = mkdtempSync(join(tmpdir(), 'omvi-mcp-pids-'));
const serverEnv = Object.keys(env).filter((name) => name.startsWith('GIT_'))
  .flatMap((name) => ['--env', name]).concat(['--writable', pids]);
const sh = (script, cwd = top) => execFileSync('sh', ['-c', script], { cwd, env, encoding: 'utf8' });
sh('git config --global init.defaultBranch main');

let failures = 0;
function check(condition, what, detail = '') {
  if (!condition) {
    failures++;
    console.log(`FAIL: ${what}${detail ? `: ${detail}` : ''}`);
  }
}
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
async function until(condition, ms = 10000) {
  for (const end = Date.now() + ms; Date.now() < end; await sleep(20)) if (condition()) return true;
  return condition();
}
const alive = (pid) => {
  try {
    process.kill(pid, 0);
    return !readFileSync(`/proc/${pid}/stat`, 'utf8').split(') ')[1].startsWith('Z');
  } catch { return false; }
};

// The server on a free loopback port: its URL, and a stop that ends it and awaits its exit.
async function listen(args, { cwd } = {}) {
  const child = spawn(binary, [...serverEnv, ...args, '--http', '127.0.0.1:0'],
    { env, cwd, stdio: ['ignore', 'inherit', 'pipe'] });
  const exited = new Promise((resolve) => child.on('exit', (code) => resolve(code)));
  const url = await new Promise((resolve, reject) => {
    let text = '';
    child.stderr.on('data', (data) => {
      text += data;
      const found = /listening on (\S+)/.exec(text);
      if (found) resolve(found[1]);
    });
    exited.then(() => reject(new Error(`the server ended: ${text}`)));
  });
  return { url, stop: async () => { child.kill('SIGTERM'); return exited; } };
}

// A client connected to the server; every message from the server is kept in wire order.
async function connect(args, { roots, cwd } = {}) {
  const client = new sdk.Client({ name: 'omvi-test', version: '1.0.0' },
    { capabilities: roots ? { roots: { listChanged: true } } : {} });
  if (roots) client.setRequestHandler(sdk.ListRootsRequestSchema, async () => ({ roots: roots() }));
  const server = overHttp ? await listen(args, { cwd }) : undefined;
  const transport = overHttp ? new sdk.StreamableHTTPClientTransport(new URL(server.url))
    : new sdk.StdioClientTransport({ command: binary, args: [...serverEnv, ...args], env, cwd, stderr: 'inherit' });
  if (server) {
    const close = client.close.bind(client);
    client.close = async () => { await close(); await server.stop(); };
  }
  const wire = [];
  await client.connect(transport);
  const deliver = transport.onmessage;
  transport.onmessage = (message) => { wire.push(message); deliver(message); };
  return { client, transport, wire };
}

// Calls a tool; the result's structuredContent was already checked by the SDK against the
// tool's outputSchema.
async function call(client, name, args, options) {
  return client.callTool({ name, arguments: args }, undefined, options);
}
const errorOf = (result) => result.structuredContent?.error;

// ---- the tool listing ----
const ws = join(top, 'ws');
sh(`mkdir ws && cd ws && git init -q && echo '# demo' > README.md && git add . && git commit -qm init`);
const main = await connect(['--root', ws]);
const { tools } = await main.client.listTools();
const byName = Object.fromEntries(tools.map((tool) => [tool.name, tool]));
const operations = ['write_file', 'mkdir', 'delete_file', 'shell', 'apply_diff', 'git_stage',
  'git_unstage', 'git_commit', 'git_push', 'git_branch_create', 'git_branch_switch', 'git_restore',
  'git_status', 'git_log', 'git_diff', 'git_branch_list', 'git_deliver', 'git_worktree_add',
  'git_worktree_remove', 'read_file', 'read_multiple_files', 'list_directory', 'search_files', 'grep',
  'get_file_info', 'move_file', 'edit_file', 'list_roots'];
for (const name of operations) {
  const tool = byName[name];
  check(tool, `tool ${name} is listed`);
  if (!tool) continue;
  check(tool.title && tool.description.length > 20, `${name} has a title and a description`);
  check(tool.inputSchema.additionalProperties === false && tool.inputSchema.properties.root,
    `${name} takes no extra properties and takes root`);
  check(tool.outputSchema?.type === 'object', `${name} has an outputSchema`);
  const hints = tool.annotations ?? {};
  for (const hint of ['readOnlyHint', 'destructiveHint', 'idempotentHint', 'openWorldHint'])
    check(typeof hints[hint] === 'boolean', `${name} states ${hint}`);
}
check(byName.git_push?.annotations.openWorldHint, 'git_push reaches the network');
check(byName.delete_file?.annotations.destructiveHint && byName.git_restore?.annotations.destructiveHint,
  'delete_file and git_restore destroy');
check(byName.git_status?.annotations.readOnlyHint && !byName.write_file?.annotations.readOnlyHint,
  'git_status only reads, write_file does not');

// ---- arguments that break the schema: isError, the field named ----
const badArguments = [
  ['write_file', { path: 'a' }, "'content'"],
  ['write_file', { path: 7, content: 'x' }, "'path'"],
  ['write_file', { path: 'a', content: 'x', contents: 'y' }, "'contents'"],
  ['git_stage', { paths: ['a', 3] }, "'paths[1]'"],
  ['git_log', { count: 2.5 }, "'count'"],
  ['apply_diff', { diff: 'x', dry_run: 'yes' }, "'dry_run'"],
  ['shell', { command: 'true', timeout: '5' }, "'timeout'"],
  ['git_status', { root: '/' }, "'root'"],
  ['list_roots', { path: '.' }, "'path'"],
  ['read_file', { path: 'a', head: 'x' }, "'head'"],
  ['edit_file', { path: 'a', edits: [{ new_text: 'y' }] }, "'edits[0].old_text'"],
  ['edit_file', { path: 'a', edits: [] }, "'edits'"],
];
for (const [name, args, field] of badArguments) {
  const result = await call(main.client, name, args);
  check(result.isError && result.content[0].text.includes(field),
    `${name} ${JSON.stringify(args)} names ${field}`, result.content[0]?.text);
}
for (const [what, params] of [['an unknown tool', { name: 'no_such_tool' }], ['no name', {}]]) {
  let code;
  try { await main.client.request({ method: 'tools/call', params }, sdk.CallToolResultSchema); }
  catch (error) { code = error.code; }
  check(code === -32602, `${what} is answered -32602`, String(code));
}

// ---- an agent's task: every operation tool with valid arguments ----
const ok = async (name, args, what = name) => {
  const result = await call(main.client, name, args);
  check(!result.isError && result.structuredContent.ok === true, what, result.content[0]?.text);
  return result;
};
const roots = await call(main.client, 'list_roots', {});
check(roots.structuredContent.roots[0].path === ws, 'list_roots names the --root');
await ok('write_file', { path: 'src/app.txt', content: 'one\ntwo\n' });
const nav = async (name, args, what = name) => {
  const result = await call(main.client, name, args);
  check(!result.isError && result.structuredContent.ok === true, what, result.content[0]?.text);
  return result.structuredContent;
};
check((await nav('read_file', { path: 'src/app.txt', offset: 2, limit: 1 })).text === 'two\n', 'read_file reads a window');
const planned = await nav('edit_file', { path: 'src/app.txt', edits: [{ old_text: 'one', new_text: 'uno' }], dry_run: true });
check(planned.diff.includes('+uno') && !planned.written, 'edit_file dry run answers the diff');
await nav('edit_file', { path: 'src/app.txt', edits: [{ old_text: 'one', new_text: 'uno' }, { old_text: 'uno', new_text: 'one' }] }, 'edit_file applies edits in order');
const failedEdit = await call(main.client, 'edit_file', { path: 'src/app.txt', edits: [{ old_text: 'one', new_text: '1' }, { old_text: 'absent', new_text: '' }] });
check(failedEdit.isError && readFileSync(join(ws, 'src/app.txt'), 'utf8') === 'one\ntwo\n', 'edit_file is all or nothing');
check((await nav('grep', { pattern: 'tw[o]' })).matches.some((m) => m.file === 'src/app.txt' && m.line === 2), 'grep finds file and line');
check((await nav('list_directory', { depth: 2 })).entries.some((e) => e.path === 'src/app.txt' && e.type === 'file'), 'list_directory as a tree');
check((await nav('search_files', { pattern: '*.txt' })).matches.some((e) => e.path === 'src/app.txt'), 'search_files by glob');
check((await nav('get_file_info', { path: 'src/app.txt' })).size === 8, 'get_file_info');
await nav('move_file', { source: 'src/app.txt', destination: 'src/moved.txt' });
await nav('move_file', { source: 'src/moved.txt', destination: 'src/app.txt' }, 'move_file back');
const both = await nav('read_multiple_files', { paths: ['src/app.txt', 'missing.txt'] });
check(both.files[0].ok && !both.files[1].ok, 'read_multiple_files answers each file');
sh(`printf '%s' iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42mNk+M9QDwADhgGAWjR9awAAAABJRU5ErkJggg== | base64 -d > ${ws}/dot.png`);
const image = await call(main.client, 'read_file', { path: 'dot.png' });
check(image.content.some((c) => c.type === 'image' && c.mimeType === 'image/png'), 'an image comes back as image content');
sh(`rm ${ws}/dot.png`);
await ok('write_file', { path: `${ws}/abs.txt`, content: 'absolute inside the root' }, 'an absolute path inside');
await ok('mkdir', { path: 'empty/dir' });
await ok('apply_diff', { diff: '--- a/src/app.txt\n+++ b/src/app.txt\n@@ -1,2 +1,2 @@\n one\n-two\n+three\n' });
check(readFileSync(join(ws, 'src/app.txt'), 'utf8') === 'one\nthree\n', 'the diff is applied');
const grep = await ok('shell', { command: 'grep -rn three src' }, 'shell greps');
check(grep.structuredContent.stdout === 'src/app.txt:2:three\n', 'grep finds the edit', grep.structuredContent.stdout);
await ok('git_stage', { paths: ['src', 'abs.txt'] });
await ok('git_unstage', { paths: ['abs.txt'] });
await ok('write_file', { path: 'README.md', content: 'changed' });
await ok('git_restore', { paths: ['README.md'] });
check(readFileSync(join(ws, 'README.md'), 'utf8') === '# demo\n', 'git_restore restores');
await ok('delete_file', { path: 'abs.txt' });
await ok('git_commit', { message: 'edit app' });
await ok('git_log', { count: 5 });
await ok('git_branch_create', { name: 'feature' });
await ok('git_branch_switch', { name: 'main' });
await ok('git_branch_list', {});
await ok('git_diff', { scope: 'branch', base_branch: 'feature' });
await ok('git_worktree_add', { worktree_path: '.omvi/worktrees/t1', branch: 'task-1' });
await ok('write_file', { path: '.omvi/worktrees/t1/task.txt', content: 'done\n' }, 'writes in the worktree');
await ok('git_deliver', { worktree_path: '.omvi/worktrees/t1', branch: 'task-1', prune: true });
check(readFileSync(join(ws, 'task.txt'), 'utf8') === 'done\n', 'the task is delivered');
const status = await ok('git_status', {});
check(status.structuredContent.stdout.startsWith('## main'), 'status after delivery', status.structuredContent.stdout);
await ok('git_worktree_add', { worktree_path: '.omvi/worktrees/t2', branch: 'task-2' });
await ok('git_worktree_remove', { paths: ['.omvi/worktrees/t2'] });
const push = await call(main.client, 'git_push', { remote: 'origin' });
check(push.isError && push.structuredContent.ok === false, 'git_push without a remote fails cleanly');
const refused = await call(main.client, 'write_file', { path: '../x', content: 'x' });
check(refused.isError && errorOf(refused) === 'path_outside_workspace', 'a path out is refused');

// ---- concurrency, progress and cancellation, in the order of the wire ----
const indexOf = (wire, predicate) => wire.findIndex(predicate);
{
  const { client, wire } = main;
  const progress = [];
  const slow = call(client, 'shell', { command: 'sleep 2.5; echo slow' },
    { onprogress: (p) => progress.push(p) });
  await sleep(200);
  await client.ping();
  await client.listTools();
  const slowResult = await slow;
  check(slowResult.structuredContent.stdout === 'slow\n', 'the slow call answers');
  const slowReply = indexOf(wire, (m) => m.result?.structuredContent?.stdout === 'slow\n');
  const pingReply = indexOf(wire, (m) => m.result && Object.keys(m.result).length === 0);
  check(pingReply >= 0 && pingReply < slowReply, 'ping is answered while a long call runs');
  const notes = wire.filter((m, i) => m.method === 'notifications/progress' && i < slowReply);
  check(notes.length >= 2, 'progress arrives before the reply', JSON.stringify(notes));
  check(notes.every((n, i) => i === 0 || n.params.progress > notes[i - 1].params.progress),
    'progress only grows');
  check(notes.every((n) => /bytes of output/.test(n.params.message)), 'progress counts output');
  check(!wire.some((m, i) => m.method === 'notifications/progress' && i > slowReply &&
    m.params.progressToken === notes[0]?.params.progressToken), 'no progress after the reply');

  // A call cancelled in flight: its child ends at once and no reply is sent for it.
  const pidFile = join(pids, 'cancelled.pid');
  const controller = new AbortController();
  const cancelled = call(client, 'shell', { command: `echo $$ > ${pidFile}; exec sleep 30` },
    { signal: controller.signal });
  cancelled.catch(() => {});
  await until(() => existsSync(pidFile) && readFileSync(pidFile, 'utf8').trim());
  const pid = Number(readFileSync(pidFile, 'utf8'));
  const requestId = wire.length;
  controller.abort();
  check(await until(() => !alive(pid), 5000), 'a cancelled call ends its child');
  await ok('git_status', {}, 'the server works after a cancellation');
  check(!wire.slice(requestId).some((m) => m.result?.structuredContent?.error !== undefined &&
    /cancel|timeout|exit_/.test(m.result.structuredContent.error)), 'no reply for a cancelled call');
}

// ---- logging ----
{
  const messages = [];
  main.client.setNotificationHandler(sdk.LoggingMessageNotificationSchema, (n) => messages.push(n.params));
  await main.client.setLoggingLevel('debug');
  await ok('git_status', {}, 'a call at debug level');
  check(await until(() => messages.length > 0, 2000), 'debug logging is sent as notifications/message');
  await main.client.setLoggingLevel('error');
}

// ---- the hostile paths: every path tool, the sentinel unchanged ----
{
  const rows = readFileSync(join(dataDir, 'hostile_paths.txt'), 'utf8').split('\n')
    // Rows that start the runner elsewhere or name a root of their own test the command line's
    // relative roots; the MCP roots are absolute.
    .filter((line) => line && !line.startsWith('#') && !/^\S+ (in|root)=/.test(line)).map((line) => {
      const space = line.indexOf(' '), comment = line.lastIndexOf('  # ');
      return { refused: line.slice(0, space) === 'outside', literal: line.slice(space + 1, comment), name: line.slice(comment + 4) };
    });
  check(rows.length >= 40, 'the hostile table is read');
  const sceneScript = 'mkdir -p ws/sub/deep ws/.omvi/worktrees outside/inner ws2 && echo a file > ws/file && ' +
    'echo deep > ws/sub/deep/f.txt && echo secret > outside/secret && echo x > outside/inner/x && ' +
    'echo ws2 > ws2/x && ln -s ws wslink && cd ws && ln -s sub in && ln -s "$PWD/sub/deep" inabs && ' +
    'ln -s .. up && ln -s ../ws/sub upin && ln -s ../outside out && ln -s "$OLDPWD/outside/secret" outabs && ' +
    'ln -s ../../outside sub/out2 && ln -s ../../../outside/inner sub/deep/out3 && ' +
    'ln -s ../../../outside .omvi/worktrees/escape && ln -s ../../../outside/wt .omvi/worktrees/dangling-wt && ' +
    'ln -s / slash && ln -s loop2 loop1 && ln -s loop1 loop2 && ln -s self self && ' +
    'ln -s ../outside/missing dangling && ln -s ../ws2 sibling && git init -q && git add -A && git commit -qm scene';
  const sentinel = (dir) => sh("find . -mindepth 1 -path ./ws -prune -o -printf '%p %M %s %T@ %n %l\\n' && " +
    'find . -path ./ws -prune -o -type f -exec sha256sum {} +', dir);
  const scenes = rows.map((row, i) => {
    const dir = join(top, `hostile-${i}`);
    sh(`mkdir ${dir} && cd ${dir} && ${sceneScript}`);
    return { ...row, dir, path: JSON.parse(row.literal.replaceAll('@T', dir)), before: sentinel(dir) };
  });
  const hostile = await connect(scenes.flatMap((scene) => ['--root', join(scene.dir, 'ws')]));
  const templates = [
    ['write_file', (p) => ({ path: p, content: 'x' })], ['mkdir', (p) => ({ path: p })],
    ['delete_file', (p) => ({ path: p })], ['git_stage', (p) => ({ paths: [p] })],
    ['git_restore', (p) => ({ paths: [p] })], ['git_diff', (p) => ({ path: p })],
    ['git_worktree_add', (p) => ({ worktree_path: p, branch: 't1' })],
    ['git_deliver', (p) => ({ worktree_path: p, branch: 't1' })],
    ['git_worktree_remove', (p) => ({ paths: [p] })],
    ['read_file', (p) => ({ path: p })], ['list_directory', (p) => ({ path: p })],
    ['get_file_info', (p) => ({ path: p })], ['search_files', (p) => ({ path: p, pattern: '*' })],
    ['grep', (p) => ({ path: p, pattern: 'secret' })],
    ['move_file', (p) => ({ source: 'file', destination: p })],
    ['move_file', (p) => ({ source: p, destination: 'moved' })],
    ['edit_file', (p) => ({ path: p, edits: [{ old_text: 'secret', new_text: 'x' }] })],
  ];
  const fileTools = templates.slice(0, 3).concat(templates.slice(9));
  const gitTools = templates.slice(3, 9);
  // Every row through the file and reading tools, and through one git tool in turn (the runner's own
  // hostile test sends every row to every operation; here the rows test the MCP road in).
  await Promise.all(scenes.map(async (scene, i) => {
    for (const [name, args] of [...fileTools, gitTools[i % gitTools.length]]) {
      const result = await call(hostile.client, name, { ...args(scene.path), root: join(scene.dir, 'ws') });
      if (scene.refused)
        check(errorOf(result)?.startsWith('path_outside_workspace'), `${scene.name} with ${name}`, errorOf(result));
    }
    check(sentinel(scene.dir) === scene.before, `${scene.name}: the sentinel is unchanged`);
  }));
  await hostile.client.close();
}

// ---- roots from the client, and the working directory when it offers none ----
{
  let offered = [{ uri: `file://${encodeURI(ws)}`, name: 'primary' }];
  const rooted = await connect([], { roots: () => offered });
  let listed = await call(rooted.client, 'list_roots', {});
  check(listed.structuredContent.roots[0]?.path === ws, "the client's roots are served", JSON.stringify(listed.structuredContent));
  const other = join(top, 'other');
  sh(`mkdir -p ${other}`);
  offered = [{ uri: `file://${other}`, name: 'other' }];
  await rooted.client.sendRootsListChanged();
  listed = await call(rooted.client, 'list_roots', {});
  check(listed.structuredContent.roots[0]?.path === other, 'roots are refreshed on list_changed');
  const named = await call(rooted.client, 'write_file', { path: 'n.txt', content: 'n', root: 'other' });
  check(!named.isError && existsSync(join(other, 'n.txt')), 'a root is chosen by its name');
  await rooted.client.close();
  const plain = await connect([], { cwd: other });
  listed = await call(plain.client, 'list_roots', {});
  check(listed.structuredContent.roots[0]?.path === other, 'without roots: the working directory');
  await plain.client.close();
}
await main.client.close();

if (overHttp) {
  await (await import('./http_checks.mjs')).run({ listen, check, ws, top });
  rmSync(top, { recursive: true, force: true });
  rmSync(pids, { recursive: true, force: true });
  console.log(failures === 0 ? 'all MCP HTTP checks passed' : `${failures} MCP HTTP checks failed`);
  process.exit(failures === 0 ? 0 : 1);
}

// ---- raw lines: lifecycle, malformed messages, size cap, end of input ----
function raw(args = ['--root', ws]) {
  const child = spawn(binary, [...serverEnv, ...args], { env, stdio: ['pipe', 'pipe', 'inherit'] });
  const lines = [];
  createInterface({ input: child.stdout }).on('line', (line) => lines.push(JSON.parse(line)));
  const exited = new Promise((resolve) => child.on('exit', (code) => resolve(code)));
  return { child, lines, exited, send: (text) => child.stdin.write(text + '\n'),
    reply: async (id) => { await until(() => lines.some((m) => m.id === id)); return lines.find((m) => m.id === id); } };
}
{
  const session = raw(['--root', ws, '--max-message-bytes', '4096']);
  const init = (id, version) => session.send(JSON.stringify({ jsonrpc: '2.0', id, method: 'initialize',
    params: { protocolVersion: version, capabilities: {}, clientInfo: { name: 'raw', version: '1' } } }));
  for (const [id, asked, answered] of [[1, '2025-11-25', '2025-11-25'], [2, '2025-06-18', '2025-06-18'],
    [3, '2025-03-26', '2025-03-26'], [4, '2024-11-05', '2024-11-05'], [5, '2099-01-01', '2025-11-25']]) {
    init(id, asked);
    check((await session.reply(id))?.result?.protocolVersion === answered, `initialize ${asked} answers ${answered}`);
  }
  const errors = [
    ['{"jsonrpc":"2.0","id":10,"method":"nope"}', 10, -32601],
    ['{"jsonrpc":"2.0","id":11,"method":"tools/call","params":{"name":"nope"}}', 11, -32602],
    ['{"jsonrpc":"1.0","id":12,"method":"ping"}', 12, -32600],
    ['{"jsonrpc":"2.0","id":13}', 13, -32600],
    ['{"jsonrpc":"2.0","id":14,"method":"logging/setLevel","params":{"level":"loud"}}', 14, -32602],
    ['{"jsonrpc":"2.0","id":15,"method":"initialize","params":{}}', 15, -32602],
  ];
  for (const [line, id, code] of errors) {
    session.send(line);
    check((await session.reply(id))?.error?.code === code, `${line} is answered ${code}`);
  }
  const before = session.lines.length;
  for (const line of ['{"jsonrpc":', '[1,2', '"text"', `{"jsonrpc":"2.0","id":16,"method":"ping","x":"${'a'.repeat(5000)}"}`])
    session.send(line);
  session.send('{"jsonrpc":"2.0","id":17,"method":"ping"}');
  await session.reply(17);
  const codes = session.lines.slice(before).filter((m) => m.id === null).map((m) => m.error.code);
  check(JSON.stringify(codes) === '[-32700,-32700,-32600,-32600]', 'malformed and oversized lines', JSON.stringify(codes));

  // End of input with a call in flight: its child is ended, the server exits 0.
  const pidFile = join(pids, 'eof.pid');
  session.send(JSON.stringify({ jsonrpc: '2.0', id: 20, method: 'tools/call',
    params: { name: 'shell', arguments: { command: `echo $$ > ${pidFile}; exec sleep 30` } } }));
  await until(() => existsSync(pidFile) && readFileSync(pidFile, 'utf8').trim());
  const pid = Number(readFileSync(pidFile, 'utf8'));
  session.child.stdin.end();
  check(await session.exited === 0, 'end of input: exit status 0');
  check(!alive(pid), 'end of input ends the call in flight');
  check((await session.reply(20))?.result?.isError === true, 'the ended call is answered as failed');
}
{
  const session = raw();
  const pidFile = join(pids, 'term.pid');
  session.send(JSON.stringify({ jsonrpc: '2.0', id: 1, method: 'tools/call',
    params: { name: 'shell', arguments: { command: `echo $$ > ${pidFile}; exec sleep 30` } } }));
  await until(() => existsSync(pidFile) && readFileSync(pidFile, 'utf8').trim());
  session.child.kill('SIGTERM');
  check(await session.exited === 0, 'SIGTERM: exit status 0');
  check(!alive(Number(readFileSync(pidFile, 'utf8'))), 'SIGTERM ends the call in flight');
}

rmSync(top, { recursive: true, force: true });
rmSync(pids, { recursive: true, force: true });
console.log(failures === 0 ? 'all MCP client checks passed' : `${failures} MCP client checks failed`);
process.exit(failures === 0 ? 0 : 1);
