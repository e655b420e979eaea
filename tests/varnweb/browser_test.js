#!/usr/bin/env node
// The web console in a real browser: Debian's Chromium, driven by puppeteer-core, against the real
// varnserver and varnweb on loopback, with players joining over UDP. It logs in, watches a player
// join and chat, kicks, bans with a time and a reason, finds the ban in the list and lifts it, shows
// that the server's refusals are shown as refusals, that a POST without the CSRF token is refused,
// that game texts are shown as text, and that wrong passwords are held back before the server's
// lock-out and the server's lock-out holds in the console too. The screenshots must not be blank.
//
//   node browser_test.js --server varnserver --varnweb varnweb [--chromium chromium] [--keep-screenshot FILE]
// puppeteer-core is looked up through NODE_PATH (the build folder's node_modules). Exit status 77
// (skipped) without Chromium or puppeteer-core, unless CI is set.
'use strict';

const childProcess = require('child_process');
const dgram = require('dgram');
const fs = require('fs');
const net = require('net');
const os = require('os');
const path = require('path');
const zlib = require('zlib');

const SKIP = 77;
const LOOPBACK = '127.0.0.1';
const ADMIN_PASSWORD = 'web-test-secret';
const ADMIN_NAME = 'webop';
const FLAGS = ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
               '--disable-component-update', '--disable-sync', '--hide-scrollbars', '--force-device-scale-factor=1'];
const STEP_TIMEOUT = 15000;

class Failure extends Error {}

function check(condition, message) {
  if (!condition) throw new Failure(message);
}

function checkEqual(actual, expected, what) {
  const a = JSON.stringify(actual);
  const e = JSON.stringify(expected);
  if (a !== e) throw new Failure(`${what}: expected ${e}, got ${a}`);
}

function missing(what) {
  if (['1', 'true', 'yes'].includes((process.env.CI || '').toLowerCase())) {
    console.log(`FAIL: ${what} is missing; CI must install it`);
    process.exit(1);
  }
  console.log(`SKIP: ${what} is missing`);
  process.exit(SKIP);
}

function argumentsOf(argv) {
  const options = {};
  for (let index = 2; index < argv.length; index += 2) options[argv[index].replace(/^--/, '')] = argv[index + 1];
  check(options.server && options.varnweb, 'usage: browser_test.js --server FILE --varnweb FILE');
  return options;
}

const sleep = milliseconds => new Promise(done => setTimeout(done, milliseconds));

async function waitFor(predicate, what, timeout = STEP_TIMEOUT) {
  const deadline = Date.now() + timeout;
  while (Date.now() < deadline) {
    if (await predicate()) return;
    await sleep(50);
  }
  throw new Failure(`timed out waiting for ${what}`);
}

function freePort(kind) {
  return new Promise((resolve, reject) => {
    if (kind === 'udp') {
      const probe = dgram.createSocket('udp4');
      probe.on('error', reject);
      probe.bind(0, LOOPBACK, () => { const port = probe.address().port; probe.close(() => resolve(port)); });
    } else {
      const probe = net.createServer();
      probe.on('error', reject);
      probe.listen(0, LOOPBACK, () => { const port = probe.address().port; probe.close(() => resolve(port)); });
    }
  });
}

// A program of the test, its output kept in a file; stopped with SIGTERM (killed when it hangs).
class Program {
  constructor(binary, args, directory, name) {
    this.outputPath = path.join(directory, `${name}.txt`);
    const output = fs.openSync(this.outputPath, 'w');
    this.process = childProcess.spawn(binary, args, {cwd: directory, stdio: ['ignore', output, output]});
    fs.closeSync(output);
    this.exited = new Promise(resolve => this.process.on('exit', code => resolve(code)));
  }

  output() { return fs.readFileSync(this.outputPath, 'utf8'); }

  async stop() {
    if (this.process.exitCode !== null) return this.process.exitCode;
    this.process.kill('SIGTERM');
    const timer = setTimeout(() => this.process.kill('SIGKILL'), 10000);
    const code = await this.exited;
    clearTimeout(timer);
    return code;
  }
}

// One player on a loopback address of its own: joins, keeps its session alive, chats, and keeps
// what the server sends it.
class Player {
  constructor(port, address, name) {
    this.port = port;
    this.address = address;
    this.name = name;
    this.received = [];
    this.socket = dgram.createSocket('udp4');
    this.socket.on('message', data => this.received.push(data));
  }

  send(bytes) { this.socket.send(Buffer.from(bytes), this.port, LOOPBACK); }

  async join() {
    await new Promise(resolve => this.socket.bind(0, this.address, resolve));
    this.send(Buffer.concat([Buffer.from([1, 24]), Buffer.from(this.name, 'latin1'), Buffer.from('|\0', 'latin1')]));
    await waitFor(() => this.received.some(data => data[0] === 1 && data.length >= 17), `${this.name}'s welcome`);
    this.id = this.received.find(data => data[0] === 1)[3];
    this.keepAlive = setInterval(() => this.send([4]), 1000);
    return this.id;
  }

  chat(text) { this.send(Buffer.concat([Buffer.from([3, 0]), Buffer.from(text, 'latin1'), Buffer.from([0])])); }

  // The notice [6][reason] that removed the player.
  noticeReceived(reason) { return this.received.some(data => data.length === 2 && data[0] === 6 && data[1] === reason); }

  close() {
    clearInterval(this.keepAlive);
    this.socket.close();
  }
}

// Width, height and the RGB(A) rows of an 8-bit PNG.
function pngPixels(file) {
  const data = fs.readFileSync(file);
  check(data.subarray(0, 8).equals(Buffer.from([0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a])), `${file} is no PNG`);
  let position = 8;
  let header = null;
  const idat = [];
  while (position < data.length) {
    const length = data.readUInt32BE(position);
    const kind = data.toString('latin1', position + 4, position + 8);
    const body = data.subarray(position + 8, position + 8 + length);
    if (kind === 'IHDR') header = body;
    if (kind === 'IDAT') idat.push(body);
    position += 12 + length;
  }
  const width = header.readUInt32BE(0);
  const height = header.readUInt32BE(4);
  check(header[8] === 8 && (header[9] === 2 || header[9] === 6), `${file}: PNG depth ${header[8]}, colour ${header[9]}`);
  const channels = header[9] === 2 ? 3 : 4;
  const raw = zlib.inflateSync(Buffer.concat(idat));
  const stride = width * channels;
  const rows = [];
  let previous = Buffer.alloc(stride);
  for (let y = 0; y < height; ++y) {
    const kind = raw[y * (stride + 1)];
    const line = Buffer.from(raw.subarray(y * (stride + 1) + 1, (y + 1) * (stride + 1)));
    for (let i = 0; i < stride; ++i) {
      const a = i >= channels ? line[i - channels] : 0;
      const b = previous[i];
      const c = i >= channels ? previous[i - channels] : 0;
      let add = 0;
      if (kind === 1) add = a;
      else if (kind === 2) add = b;
      else if (kind === 3) add = (a + b) >> 1;
      else if (kind === 4) {
        const p = a + b - c;
        const pa = Math.abs(p - a), pb = Math.abs(p - b), pc = Math.abs(p - c);
        add = pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
      }
      line[i] = (line[i] + add) & 255;
    }
    rows.push(line);
    previous = line;
  }
  return {width, height, channels, rows};
}

// As the statistics site's screenshots are checked: enough colours, and enough that is not white.
function checkNotBlank(file) {
  const {width, height, channels, rows} = pngPixels(file);
  const colours = new Set();
  let inked = 0;
  let sampled = 0;
  for (const line of rows) {
    for (let x = 0; x < width * channels; x += channels * 3) {
      const pixel = `${line[x]},${line[x + 1]},${line[x + 2]}`;
      colours.add(pixel);
      inked += pixel !== '255,255,255' ? 1 : 0;
      sampled += 1;
    }
  }
  console.log(`${path.basename(file)}: ${width}x${height}, ${colours.size} colours, ` +
              `${(100 * inked / sampled).toFixed(1)}% not white`);
  check(colours.size >= 8 && inked >= sampled / 20, `${file} looks blank`);
}

function serverConfiguration(port, adminPort) {
  return `ServerName "Web Console Test"\nServerPort ${port}\nMaxPlayers 16\nGame 2\nGameMode 1\n` +
         'BannedFile banned.txt\nLogFile server.log\nMOTDEnabled 0\nServerPasswordEnabled 0\nServerPassword old\n' +
         `AdminServer 1\nAdminPort ${adminPort}\nAdminIPAddress ${LOOPBACK}\nAdminPassword ${ADMIN_PASSWORD}\n` +
         'AdminAllowShutdown 1\nPasswordLockout 1\nAdminRememberDays 0\nChatFloodMaxCount 20\n' +
         // Status queries answered on the game port + 123; heartbeats go to a loopback address only.
         'ASE 1\nASEMasterServers 127.77.0.1\n';
}

function countOf(text, part) { return text.split(part).length - 1; }

class Console {
  constructor(browser, base) {
    this.browser = browser;
    this.base = base;
    this.dialogs = [];
    this.problems = [];
  }

  async open(context) {
    const page = await (context || this.browser).newPage();
    await page.setViewport({width: 1100, height: 900});
    page.on('dialog', async dialog => { this.dialogs.push(dialog.message()); await dialog.dismiss(); });
    page.on('pageerror', error => this.problems.push(`exception: ${error.message}`));
    page.on('console', message => {
      if (message.type() === 'error') this.problems.push(`console: ${message.text()}`);
    });
    return page;
  }

  async text(page, selector) {
    return page.$eval(selector, element => element.textContent).catch(() => null);
  }

  // Submits the form found by selector (its submit button clicked) and waits for the page it leads to.
  async submit(page, selector) {
    const [response] = await Promise.all([
      page.waitForNavigation({timeout: STEP_TIMEOUT}),
      page.$eval(selector, form => form.querySelector('button[type="submit"]').click()),
    ]);
    return response;
  }

  async logIn(page, name, password) {
    await page.goto(this.base + '/');
    await page.$eval('#name', (field, value) => { field.value = value; }, name);
    await page.$eval('#password', (field, value) => { field.value = value; }, password);
    return this.submit(page, '#login');
  }
}

// The login form, the login, and the cookie it sets.
async function logInStep(web, page) {
  const first = await page.goto(web.base + '/');
  checkEqual(first.status(), 200, 'GET / before the login');
  check(await page.$('form#login input[name="name"]') && await page.$('form#login input[type="password"]'),
        'the login page has no name and password fields');
  checkEqual((await page.cookies()).length, 0, 'cookies before the login');
  const response = await web.logIn(page, ADMIN_NAME, ADMIN_PASSWORD);
  checkEqual(response.status(), 200, 'the page after the login');
  checkEqual(await web.text(page, '#admin-name'), ADMIN_NAME, 'the name shown after the login');
  // The server's name, as its status query gives it, heads the page.
  await waitFor(async () => (await web.text(page, '#server')) === 'Web Console Test', 'the server\'s name in the header');
  const cookies = await page.cookies();
  checkEqual(cookies.length, 1, 'cookies after the login');
  const [cookie] = cookies;
  checkEqual([cookie.name, cookie.httpOnly, cookie.sameSite, cookie.secure], ['varnweb_session', true, 'Strict', false],
             'the session cookie');
  check(/^[0-9a-f]{64}$/.test(cookie.value), `the session cookie is no random token: ${cookie.value}`);
  return cookie;
}

// A player's row, as the live view shows it.
function rowOf(page, id) {
  return page.$eval(`#players tr[data-player="${id}"] .name`, cell => cell.textContent).catch(() => null);
}

async function feedHas(page, text) {
  return page.$$eval('#feed li', (items, wanted) => items.some(item => item.textContent.includes(wanted)), text);
}

async function liveView(web, page, server, gamePort, scratch) {
  const rico = new Player(gamePort, '127.0.0.21', 'Rico');
  await rico.join();
  // No reload: the list and the feed change through the live view.
  await waitFor(async () => (await rowOf(page, rico.id)) === 'Rico', 'Rico in the player list');
  await waitFor(async () => feedHas(page, `join: ${rico.id} 'Rico'`), 'Rico\'s join in the feed');
  rico.chat('hello from Rico');
  await waitFor(async () => feedHas(page, `chat: ${rico.id} 'Rico': hello from Rico`), 'Rico\'s chat in the feed');

  // Game texts as text: the server keeps 12 bytes of a name; the chat line holds the whole attack.
  const attack = '<img src=x onerror=alert(1)>';
  const tricky = new Player(gamePort, '127.0.0.22', attack);
  await tricky.join();
  const kept = attack.slice(0, 12);
  await waitFor(async () => (await rowOf(page, tricky.id)) === kept, 'the tricky name in the player list');
  tricky.chat(attack);
  await waitFor(async () => feedHas(page, `: ${attack}`), 'the tricky chat line in the feed');
  await page.reload();
  checkEqual(await rowOf(page, tricky.id), kept, 'the tricky name as the page itself shows it');
  check(await feedHas(page, `: ${attack}`), 'the tricky chat line is not in the reloaded page');
  await sleep(500);
  checkEqual(await page.$$eval('img', images => images.length), 0, 'img elements in the console');
  checkEqual(web.dialogs, [], 'dialogs opened');

  const shot = path.join(scratch, 'console.png');
  await page.screenshot({path: shot, fullPage: true});
  checkNotBlank(shot);
  return {rico, tricky, shot};
}

async function kickStep(web, page, server, rico) {
  await page.goto(web.base + '/');
  await web.submit(page, `#players tr[data-player="${rico.id}"] form[action="/kick"]`);
  checkEqual(await page.$eval('#notice', notice => [notice.className, notice.textContent]),
             ['done', `Kicked player ${rico.id} 'Rico'.`], 'the notice of the kick');
  await waitFor(() => rico.noticeReceived(3), 'the kick notice at Rico');
  await waitFor(() => server.log().includes(`KICKED: 'Rico', PlayerID = ${rico.id} by Admin ${ADMIN_NAME}`),
                'the kick in the server log');
  await waitFor(async () => (await rowOf(page, rico.id)) === null, 'Rico gone from the list');
}

async function banStep(web, page, server, gamePort, scratch) {
  const griefer = new Player(gamePort, '127.0.0.23', 'Griefer');
  await griefer.join();
  await page.goto(web.base + '/');
  await waitFor(async () => (await rowOf(page, griefer.id)) === 'Griefer', 'Griefer in the list');
  const form = `#players tr[data-player="${griefer.id}"] form[action="/ban"]`;
  await page.$eval(form, element => {
    element.querySelector('input[name="minutes"]').value = '10';
    element.querySelector('input[name="reason"]').value = 'griefing at spawn <b>';
  });
  await web.submit(page, form);
  checkEqual(await page.$eval('#notice', notice => [notice.className, notice.textContent]),
             ['done', `Banned player ${griefer.id} 'Griefer' for 10 minutes (griefing at spawn <b>).`], 'the ban notice');
  await waitFor(() => griefer.noticeReceived(1), 'the ban notice at Griefer');
  check(server.log().includes(`BANNED: 'Griefer', PlayerID = ${griefer.id} by Admin ${ADMIN_NAME}`),
        'the ban is not in the server log');
  griefer.close();

  // The list, searched: the entry with its reason; then lifted.
  await page.goto(web.base + '/bans?q=' + encodeURIComponent('127.0.0.23'));
  const rows = await page.$$eval('#bans td.ban', cells => cells.map(cell => cell.textContent));
  checkEqual(rows.length, 1, 'ban rows found by the search');
  check(rows[0].startsWith('127.0.0.23') && rows[0].includes('griefing at spawn <b>'), `the ban row: ${rows[0]}`);
  check((await web.text(page, '#ban-count')).startsWith('1 of '), 'the count of the search');
  await page.goto(web.base + '/bans?q=nothing-like-it');
  checkEqual(await page.$$eval('#bans td.ban', cells => cells.length), 0, 'rows found for an absent text');
  await page.goto(web.base + '/bans?q=' + encodeURIComponent('127.0.0.23'));
  await web.submit(page, '#bans form[action="/unban"]');
  checkEqual(await page.$eval('#notice', notice => [notice.className, notice.textContent]),
             ['done', 'Removed ban \'127.0.0.23\'.'], 'the unban notice');
  checkEqual(await page.$$eval('#bans td.ban', cells => cells.filter(cell => cell.textContent.startsWith('127.0.0.23')).length),
             0, 'the lifted ban in the list');
  check(server.log().includes(`ADMIN: Admin ${ADMIN_NAME} deleted banned IP '127.0.0.23'`), 'the unban is not logged');
  check(!fs.readFileSync(path.join(scratch, 'banned.txt'), 'utf8').includes('127.0.0.23'), 'the ban file still holds it');
}

// What the server refuses is shown as refused, what it does as done.
async function answersStep(web, page, scratch, rico) {
  await page.goto(web.base + '/');
  await web.submit(page, 'form[action="/motd"]');
  checkEqual(await page.$eval('#notice', notice => [notice.className, notice.textContent]),
             ['refused', 'The server could not open its motd.txt; the old message stays.'], 'motd without its file');
  fs.writeFileSync(path.join(scratch, 'motd.txt'), 'Welcome\n');
  await web.submit(page, 'form[action="/motd"]');
  checkEqual(await page.$eval('#notice', notice => [notice.className, notice.textContent]),
             ['done', 'The message of the day was reloaded.'], 'motd with its file');

  await page.$eval('#say input[name="text"]', field => { field.value = 'server restarts at noon'; });
  await web.submit(page, '#say');
  checkEqual(await page.$eval('#notice', notice => notice.className), 'done', 'the notice of a say');
  const heard = Buffer.from('server restarts at noon');
  await waitFor(() => rico.received.some(data => data[0] === 3 && data.includes(heard)), 'the say at a player');

  await page.$eval('form[action="/password"] input[name="password"]', field => { field.value = 'new-secret'; });
  await web.submit(page, 'form[action="/password"]');
  checkEqual(await page.$eval('#notice', notice => [notice.className, notice.textContent]),
             ['done', 'The server password was changed until the server restarts.'], 'the server password');

  // A kick of nobody: the server removes nobody, and the console says so.
  await page.goto(web.base + '/');
  const form = await page.$('form[action="/kick"]');
  check(form, 'no kick form to borrow');
  await page.$eval('form[action="/kick"]', element => { element.querySelector('input[name="id"]').value = '200'; });
  await web.submit(page, 'form[action="/kick"]');
  checkEqual(await page.$eval('#notice', notice => notice.className), 'refused', 'the notice of a kick of nobody');
}

// A POST with the session's cookie but without the form's token (or with another) changes nothing.
async function csrfStep(web, cookie, server, tricky) {
  for (const body of [`id=${tricky.id}`, `id=${tricky.id}&csrf=${'0'.repeat(64)}`]) {
    const response = await fetch(web.base + '/kick', {
      method: 'POST', redirect: 'manual', body,
      headers: {'Content-Type': 'application/x-www-form-urlencoded', Cookie: `${cookie.name}=${cookie.value}`},
    });
    checkEqual(response.status, 403, `a kick posted with ${body}`);
    check((await response.text()).includes('CSRF'), 'the refusal does not name the token');
  }
  await sleep(500);
  check(!server.log().includes('KICKED: \'<img src=x o\''), 'a POST without the token kicked the player');
  check(!tricky.noticeReceived(3), 'the player got a kick notice');
}

async function nameTakenStep(web) {
  const context = await web.browser.createBrowserContext();
  try {
    const other = await web.open(context);
    const response = await web.logIn(other, ADMIN_NAME, ADMIN_PASSWORD);
    checkEqual(response.status(), 409, 'a login under a name in use');
    check((await web.text(other, '#notice')).includes(`an administrator named '${ADMIN_NAME}' is already logged in`),
          'the taken name is not shown as such');
    checkEqual((await other.cookies()).length, 0, 'cookies after a refused login');
  } finally {
    await context.close();
  }
}

async function logOutStep(web, page, server) {
  await page.goto(web.base + '/');
  await web.submit(page, 'header form[action="/logout"]');
  check(await page.$('form#login'), 'no login form after the logout');
  await waitFor(() => server.log().includes(`ADMIN-QUIT: '${ADMIN_NAME}'`), 'the admin session closed on the server');
}

// Wrong passwords: the console passes the server's refusals on and stops forwarding before the
// server's limit; then, with the server's lock-out set off from the console's address, a fresh
// console cannot get past it either.
async function lockOutStep(web, page, server) {
  const before = countOf(server.log(), 'password is incorrect');
  const statuses = [];
  for (let attempt = 0; attempt < 4; ++attempt) {
    statuses.push((await web.logIn(page, 'guesser', `wrong-${attempt}`)).status());
    if (attempt < 3) check((await web.text(page, '#notice')).includes('wrong password'), 'a wrong password not said');
  }
  checkEqual(statuses, [403, 403, 403, 429], 'the answers to four wrong passwords');
  check((await web.text(page, '#notice')).includes('Too many wrong passwords'), 'the hold is not said');
  checkEqual((await web.logIn(page, ADMIN_NAME, ADMIN_PASSWORD)).status(), 429, 'the right password while held');
  checkEqual(await page.$('#admin-name'), null, 'logged in while held');
  checkEqual(countOf(server.log(), 'password is incorrect') - before, 3, 'wrong passwords the server saw');
  check(!server.log().includes('locked out'), 'the console let the server lock its address out');
}

async function serverLockOutStep(adminPort, server) {
  // Two more wrong passwords from the console's address: the server locks it out.
  const socket = dgram.createSocket('udp4');
  await new Promise(resolve => socket.bind(0, LOOPBACK, resolve));
  for (let attempt = 0; attempt < 2; ++attempt) {
    socket.send(Buffer.concat([Buffer.from([13, 25]), Buffer.from(`raw|wrong-raw-${attempt}\0`)]), adminPort, LOOPBACK);
    await sleep(200);
  }
  socket.close();
  await waitFor(() => server.log().includes('SERVER-WARNING: 127.0.0.1 locked out'), 'the server\'s lock-out');
}

async function main() {
  const options = argumentsOf(process.argv);
  const chromium = options.chromium || ['/usr/bin/chromium', '/usr/bin/chromium-browser'].find(fs.existsSync);
  if (!chromium) missing('Chromium (Debian package chromium)');
  let puppeteer;
  try {
    puppeteer = require('puppeteer-core');
  } catch (error) {
    missing(`puppeteer-core (npm; tests/varnweb/install_puppeteer.sh): ${error.message}`);
  }
  const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'varnweb-'));
  const programs = [];
  const players = [];
  let browser = null;
  try {
    const [gamePort, adminPort, webPort] = [await freePort('udp'), await freePort('udp'), await freePort('tcp')];
    fs.writeFileSync(path.join(scratch, 'server.conf'), serverConfiguration(gamePort, adminPort));
    fs.writeFileSync(path.join(scratch, 'banned.txt'), '');
    const serverProgram = new Program(path.resolve(options.server), ['-c', 'server.conf'], scratch, 'server-console');
    programs.push(serverProgram);
    const server = {log: () => { try { return fs.readFileSync(path.join(scratch, 'server.log'), 'latin1'); } catch { return ''; } }};
    await waitFor(() => server.log().includes('ADMINSERVER: successfully started'), 'the server');
    const startWeb = async () => {
      const web = new Program(path.resolve(options.varnweb),
                              ['--admin', `${LOOPBACK}:${adminPort}`, '--listen', `${LOOPBACK}:${webPort}`,
                               '--query', `${LOOPBACK}:${gamePort + 123}`], scratch, 'varnweb');
      programs.push(web);
      await waitFor(() => web.output().includes('varnweb: serving'), 'varnweb');
      return web;
    };
    let webProgram = await startWeb();

    browser = await puppeteer.launch({executablePath: chromium, headless: true, args: FLAGS,
                                      userDataDir: path.join(scratch, 'profile')});
    const web = new Console(browser, `http://${LOOPBACK}:${webPort}`);
    const page = await web.open();
    const cookie = await logInStep(web, page);
    const {rico, tricky, shot} = await liveView(web, page, server, gamePort, scratch);
    players.push(rico, tricky);
    await csrfStep(web, cookie, server, tricky);
    await answersStep(web, page, scratch, rico);
    await kickStep(web, page, server, rico);
    await banStep(web, page, server, gamePort, scratch);
    await nameTakenStep(web);
    const bansShot = path.join(scratch, 'bans.png');
    await page.goto(web.base + '/bans');
    await page.screenshot({path: bansShot, fullPage: true});
    checkNotBlank(bansShot);
    await logOutStep(web, page, server);
    const loginShot = path.join(scratch, 'login.png');
    await page.screenshot({path: loginShot});
    checkNotBlank(loginShot);
    await lockOutStep(web, page, server);

    await serverLockOutStep(adminPort, server);
    checkEqual(await webProgram.stop(), 0, 'varnweb\'s exit status');
    webProgram = await startWeb();
    const locked = await web.logIn(page, ADMIN_NAME, ADMIN_PASSWORD);
    checkEqual(locked.status(), 504, 'the right password while the server locks the console out');
    check((await web.text(page, '#notice')).includes('locked the console\'s address out'), 'the lock-out is not said');
    checkEqual((await page.cookies()).length, 0, 'cookies while locked out');

    // Shutting down asks again; then the server stops, and the console says so. A server of its own,
    // as this one now locks the console's address out.
    const [otherGame, otherAdmin, otherWeb] = [await freePort('udp'), await freePort('udp'), await freePort('tcp')];
    const otherDirectory = path.join(scratch, 'other');
    fs.mkdirSync(otherDirectory);
    fs.writeFileSync(path.join(otherDirectory, 'server.conf'), serverConfiguration(otherGame, otherAdmin));
    fs.writeFileSync(path.join(otherDirectory, 'banned.txt'), '');
    const otherServer = new Program(path.resolve(options.server), ['-c', 'server.conf'], otherDirectory, 'server-console');
    programs.push(otherServer);
    await waitFor(() => fs.existsSync(path.join(otherDirectory, 'server.log')) &&
                        fs.readFileSync(path.join(otherDirectory, 'server.log'), 'latin1').includes('ADMINSERVER: successfully'),
                  'the second server');
    const otherConsole = new Program(path.resolve(options.varnweb),
                                     ['--admin', `${LOOPBACK}:${otherAdmin}`, '--listen', `${LOOPBACK}:${otherWeb}`],
                                     otherDirectory, 'varnweb');
    programs.push(otherConsole);
    await waitFor(() => otherConsole.output().includes('varnweb: serving'), 'the second varnweb');
    const second = new Console(browser, `http://${LOOPBACK}:${otherWeb}`);
    const secondPage = await second.open();
    checkEqual((await second.logIn(secondPage, ADMIN_NAME, ADMIN_PASSWORD)).status(), 200, 'the login to the second server');
    await second.submit(secondPage, 'form[action="/shutdown"]');
    check(await secondPage.$('#confirm-shutdown'), 'shutting down does not ask again');
    checkEqual(otherServer.process.exitCode, null, 'the server stopped before the confirmation');
    await second.submit(secondPage, '#confirm-shutdown');
    checkEqual(await secondPage.$eval('#notice', notice => [notice.className, notice.textContent]),
               ['done', 'The server is shutting down.'], 'the notice of the shut-down');
    checkEqual(await otherServer.exited, 0, 'the second server\'s exit status');
    web.problems.push(...second.problems);
    web.dialogs.push(...second.dialogs);

    checkEqual(web.dialogs, [], 'dialogs opened');
    checkEqual(web.problems.filter(problem => !problem.includes('status of 4') && !problem.includes('status of 5')), [],
               'console errors and exceptions');
    if (options['keep-screenshot']) fs.copyFileSync(shot, path.resolve(options['keep-screenshot']));
  } finally {
    if (browser) await browser.close();
    for (const player of players) player.close();
    for (const program of programs.reverse()) await program.stop();
    fs.rmSync(scratch, {recursive: true, force: true});
  }
}

main().then(() => {
  console.log('PASS');
  process.exit(0);
}, error => {
  console.log(`FAIL: ${error instanceof Failure ? error.message : error.stack}`);
  process.exit(1);
});
