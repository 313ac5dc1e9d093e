// The web administration through a real web server and a real browser:
// what the CGI tests cannot see is whether the pages work as pages (forms
// that post what the handlers read, links that lead where they say,
// pictures that decode, HTTP Basic as a browser speaks it).
//
// run.sh starts the demo and hands over ZEL_BASE_URL (the program's URL),
// ZEL_DEMO_ROOT (the demo's installation tree) and ZEL_SCREENSHOTS.

import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { createHash } from 'node:crypto';
import fs from 'node:fs';
import http from 'node:http';
import path from 'node:path';
import { chromium } from 'playwright-core';

const base = process.env.ZEL_BASE_URL;
const root = process.env.ZEL_DEMO_ROOT;
const shots = process.env.ZEL_SCREENSHOTS;
if (!base || !root || !shots)
  throw new Error('ZEL_BASE_URL, ZEL_DEMO_ROOT and ZEL_SCREENSHOTS must be set (run tests/browser/run.sh)');
const script = new URL(base).pathname;

const usersFile = path.join(root, 'opt/vantrel/etc/users');
const configFile = path.join(root, 'etc/opt/vantrel/vantrel.conf');
const lineDir = path.join(root, 'opt/vantrel/etc/dev');

const admin = { username: 'admin', password: '' };

let browser;

before(async () => {
  fs.mkdirSync(shots, { recursive: true });
  browser = await chromium.launch({
    executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-background-networking',
           '--disable-component-update', '--no-first-run'],
  });
});

after(async () => {
  await browser?.close();
});

// Every test gets a context of its own (its own credentials and cookies)
// and leaves a picture of where it ended, pass or fail.
function browserTest(name, credentials, body) {
  test(name, { timeout: 30000 }, async () => {
    const context = await browser.newContext(credentials ? { httpCredentials: credentials } : {});
    context.setDefaultTimeout(10000);
    const page = await context.newPage();
    try {
      await body(page, context);
    } finally {
      await page.screenshot({ path: path.join(shots, `${name}.png`), fullPage: true }).catch(() => {});
      await context.close();
    }
  });
}

function url(rest) { return base + rest; }

async function open(page, rest, status = 200) {
  const response = await page.goto(url(rest));
  assert.equal(response.status(), status, `status of ${rest}`);
  return response;
}

// A click that leaves the page: resolves once the next document has loaded.
async function follow(page, locator) {
  const [response] = await Promise.all([page.waitForNavigation(), locator.click()]);
  assert.equal(response.status(), 200, `status after following to ${page.url()}`);
  return response;
}

function button(page, value) {
  return page.locator(`input[type=submit][value="${value}"]`);
}

// Section name → { key: value } of users file text.  A value may stand
// between quotes, which keep their kind across a rewrite; there are no
// escapes.
function parseUsers(text) {
  const sections = {};
  let current = null;
  for (const line of text.split('\n')) {
    const header = line.match(/^\[([^\]]*)\]/);
    if (header) {
      current = sections[header[1]] = {};
    } else if (current) {
      const pair = line.match(/^([^#\s][^\s=]*)\s*=\s?(.*)$/);
      if (pair) current[pair[1]] = pair[2].replace(/^(["'])(.*)\1$/, '$2');
    }
  }
  return sections;
}

function readUsers() { return parseUsers(fs.readFileSync(usersFile, 'utf8')); }

// A key = value file as the programs write it: a value with blanks is
// quoted, with backslash escapes inside.
function readKeys(file) {
  const keys = {};
  for (const line of fs.readFileSync(file, 'utf8').split('\n')) {
    const pair = line.match(/^\s*([^#\s][^\s=]*)\s*=\s*(.*?)\s*$/);
    if (pair) keys[pair[1]] = unquote(pair[2]);
  }
  return keys;
}

function unquote(value) {
  if (!/^["']/.test(value)) return value;
  let out = '';
  let quote = null;
  for (let i = 0; i < value.length; i++) {
    const c = value[i];
    if (c === '\\' && i + 1 < value.length) {
      const octal = value.slice(i + 1, i + 4);
      if (/^[0-7]{3}$/.test(octal)) { out += String.fromCharCode(parseInt(octal, 8)); i += 3; }
      else out += value[++i];
    } else if (quote ? c === quote : (c === '"' || c === "'")) {
      quote = quote ? null : c;
    } else {
      out += c;
    }
  }
  return out;
}

function digest(password) {
  return createHash('sha1').update(password).digest('base64');
}

// The cell texts of every row of the first table under the heading.
async function tableRows(page, heading) {
  return page.locator(`h1:has-text("${heading}") + table tr`).evaluateAll((rows) =>
    rows.filter((row) => row.querySelector('td'))
        .map((row) => [...row.querySelectorAll('td')].map((cell) => cell.textContent.trim())));
}

async function imageSize(page, selector) {
  const image = page.locator(selector).first();
  await image.waitFor();
  // A picture that failed to decode reports complete with a zero size.
  await page.waitForFunction((img) => img.complete, await image.elementHandle());
  return image.evaluate((img) => ({ complete: img.complete, width: img.naturalWidth, height: img.naturalHeight }));
}

browserTest('home', admin, async (page, context) => {
  await open(page, '/Page1');
  assert.equal(await page.title(), 'Vantrel Image Messaging Software');

  // The demo's admin account has no password: the alert box must say so.
  const alerts = page.locator('table[border="1"]', { hasText: 'Configuration Alerts!' });
  await alerts.waitFor();
  const items = await alerts.locator('li a').evaluateAll((links) =>
    links.map((a) => ({ text: a.textContent, href: a.getAttribute('href') })));
  assert.ok(items.length > 0, 'alert items');
  assert.deepEqual(items.find((item) => item.text === 'Missing admin account password.'),
                   { text: 'Missing admin account password.', href: `${script}/Page3` });
  for (const item of items)
    assert.ok(item.href.startsWith(`${script}/Page`), `alert link ${item.href}`);

  // The administrator's menu, every program link under the program's mount.
  const menu = page.locator('table[align="center"][border="1"]');
  for (const [label, target] of [['Fax Queue', '/Page102'], ['System Log', '/Page91'],
                                 ['Fax Server', '/Page6'], ['User Accounts', '/Page4'],
                                 ['Fax Lines', '/Page20'], ['Software Version', '/page2']])
    assert.equal(await menu.getByRole('link', { name: label, exact: true }).getAttribute('href'),
                 script + target, label);
  assert.equal(await menu.getByRole('link', { name: 'Your Account', exact: true }).count(), 0);
  assert.equal(await menu.getByRole('link', { name: 'Your Received Faxes' }).getAttribute('href'),
               '/tarnixfwg.cgi/-s/-u/admin');

  assert.deepEqual(await imageSize(page, `img[src="${script}/page-1"]`),
                   { complete: true, width: 432, height: 78 });

  // The Home button stands in the footer of every other page.
  await follow(page, menu.getByRole('link', { name: 'Software Version' }));
  assert.equal(await page.title(), 'Vantrel Image Messaging Software - Version Info');
  assert.deepEqual(await imageSize(page, `img[src="${script}/page-2"]`),
                   { complete: true, width: 118, height: 36 });

  const gif = await context.request.get(url('/page-1'));
  assert.equal(gif.headers()['content-type'], 'image/gif');
  assert.equal((await gif.body()).subarray(0, 6).toString('latin1'), 'GIF87a');
  const jpeg = await context.request.get(url('/page-2'));
  assert.equal(jpeg.headers()['content-type'], 'image/jpeg');
  assert.deepEqual([...(await jpeg.body()).subarray(0, 3)], [0xff, 0xd8, 0xff]);

  await follow(page, page.getByRole('link', { name: 'Home Button' }));
  assert.equal(new URL(page.url()).pathname, `${script}/Page1`);
});

browserTest('accounts', admin, async (page) => {
  await open(page, '/Page4');
  assert.equal(await page.title(), 'Vantrel Image Messaging Software - Select User');
  const listed = await page.locator('select[name=user] option').evaluateAll((options) => options.map((o) => o.value));
  for (const name of ['admin', 'alice', 'bob'])
    assert.ok(listed.includes(name), `${name} listed`);
  assert.ok(!listed.includes('carol'));

  // Add.
  await follow(page, button(page, 'Add'));
  assert.equal(await page.locator('input[name=uname]').inputValue(), 'New User');
  await page.fill('input[name=uname]', 'carol');
  await page.fill('input[name=fname]', 'Carol <Browser> & Co');
  await page.fill('input[name=pwd]', 'carol pw');
  await page.fill('input[name=pwd2]', 'carol pw');
  await page.fill('input[name=fea]', 'carol@example.com');
  await page.fill('input[name=dea]', 'carol.in@example.com');
  await page.check('input[name=df][value=text]');
  await page.check('input[name=iformat][value=pdf]');
  await page.check('input[name=priv-pm]');
  await follow(page, button(page, 'Add'));
  assert.match(await page.locator('body').innerText(), /User carol has been added\./);
  assert.equal(await page.locator('select[name=user] option[value=carol]').textContent(),
               'Carol <Browser> & Co\n');
  let carol = readUsers().carol;
  assert.deepEqual(carol, {
    'full-name': 'Carol <Browser> & Co',
    'password': digest('carol pw'),
    'delivery-email': 'carol.in@example.com',
    'from-email': 'carol@example.com',
    'mail-format': 'text',
    'image-format': 'pdf',
    'privileges': 'postmaster',
  });

  // Change: the form shows what was stored, and only what was edited changes.
  await page.selectOption('select[name=user]', 'carol');
  await follow(page, button(page, 'Update'));
  assert.equal(await page.locator('input[name=fname]').inputValue(), 'Carol <Browser> & Co');
  assert.equal(await page.locator('input[name=pwd]').inputValue(), '**********');
  assert.ok(await page.locator('input[name=priv-pm]').isChecked());
  assert.ok(!(await page.locator('input[name=priv-ad]').isChecked()));
  await page.fill('input[name=fname]', 'Carol Changed');
  await page.check('input[name=priv-ad]');
  await page.check('input[name=df][value=html]');
  await follow(page, button(page, 'Update'));
  assert.match(await page.locator('body').innerText(), /User carol has been changed\./);
  carol = readUsers().carol;
  assert.equal(carol['full-name'], 'Carol Changed');
  assert.equal(carol['privileges'], 'admin,postmaster');
  assert.equal(carol['mail-format'], 'html');
  assert.equal(carol['password'], digest('carol pw'));
  assert.equal(carol['from-email'], 'carol@example.com');

  // Delete, through the confirmation form.
  await page.selectOption('select[name=user]', 'carol');
  await follow(page, button(page, 'Delete'));
  assert.match(await page.locator('body').innerText(), /ARE YOU SURE YOU WANT TO DELETE USER\?/);
  await follow(page, button(page, 'Delete'));
  assert.match(await page.locator('body').innerText(), /User carol has been deleted\./);
  const users = readUsers();
  assert.equal(users.carol, undefined);
  for (const name of ['admin', 'alice', 'bob'])
    assert.ok(users[name], `${name} kept`);
});

browserTest('configuration', admin, async (page) => {
  const before = readKeys(configFile);
  await open(page, '/Page6');
  assert.equal(await page.title(), 'Vantrel Image Messaging Software - System Configuration');
  const company = 'Browser & "Test" <Company>';
  await page.fill('input[name=company_name]', company);
  await follow(page, button(page, 'Update'));
  assert.equal(await page.title(), 'Vantrel Image Messaging Software - Configuration Update');
  assert.match(await page.locator('body').innerText(), /The configuration file has been successfully updated\./);
  const after = readKeys(configFile);
  assert.equal(after['company-name'], company);
  // Nothing else was edited; the resolution radio has no stored value to
  // compare with in a fresh tree, so it may be added.
  for (const key of Object.keys(before))
    if (key !== 'company-name')
      assert.equal(after[key], before[key], key);

  // The form shows the stored value again, and the banner carries it.
  await open(page, '/Page6');
  assert.equal(await page.locator('input[name=company_name]').inputValue(), company);
  assert.equal(await page.locator('input[name=ocompany_name]').inputValue(), company);
  assert.equal(await page.locator('div[align=right] em').first().textContent(), company);
});

browserTest('syslog', admin, async (page) => {
  const spool = readKeys(configFile)['spool-directory'];
  const message = (line) => line.slice(line.indexOf(']: ') + 3).replaceAll('|', '').replace(/\s+/g, ' ').trim();
  const shown = async () => (await tableRows(page, 'ZEL System Log')).map((cells) => cells[4].replace(/\s+/g, ' '));

  await open(page, '/Page91');
  assert.equal(await page.title(), 'Vantrel Image Messaging Software - System Log');
  const lines = fs.readFileSync(path.join(spool, 'log'), 'utf8').split('\n').slice(0, -1);
  assert.ok(lines.length > 40, 'the demo log has more than two pages');
  const last = await shown();
  assert.deepEqual(last, lines.slice(-20).map(message));
  assert.equal(await page.getByRole('link', { name: 'Next 20 Lines' }).count(), 0);

  await follow(page, page.getByRole('link', { name: 'Previous 20 Lines' }));
  assert.match(page.url(), /\/Page91\/o=\d+\/l=-20$/);
  assert.deepEqual(await shown(), lines.slice(-40, -20).map(message));

  await follow(page, page.getByRole('link', { name: 'Previous 20 Lines' }));
  assert.deepEqual(await shown(), lines.slice(-60, -40).map(message));

  await follow(page, page.getByRole('link', { name: 'Next 20 Lines' }));
  assert.deepEqual(await shown(), lines.slice(-40, -20).map(message));
  await follow(page, page.getByRole('link', { name: 'Next 20 Lines' }));
  assert.deepEqual(await shown(), last);
  assert.equal(await page.getByRole('link', { name: 'Next 20 Lines' }).count(), 0);
});

browserTest('queue', admin, async (page) => {
  const requests = async () => page.locator('a[href*="/Page104/s="]').evaluateAll((links) =>
    links.map((a) => ({ id: a.textContent, slot: a.getAttribute('href').split('s=')[1] })));
  const counts = async () => {
    const [, newer, older] = (await page.locator('body').innerText()).match(/\((\d+) newer requests; (\d+) older requests\)/);
    return [Number(newer), Number(older)];
  };
  const newestFirst = (list) => list.map((r) => r.id.split('-').map(Number))
    .every((id, i, ids) => i === 0 || ids[i - 1][0] > id[0] || (ids[i - 1][0] === id[0] && ids[i - 1][1] > id[1]));

  await open(page, '/Page102');
  assert.equal(await page.title(), 'Vantrel Image Messaging Software - Queue Status');
  assert.match(await page.locator('body').innerText(), /Queued Requests for All Users/);
  const first = await requests();
  assert.equal(first.length, 25);
  assert.ok(newestFirst(first), 'newest first');
  const [newer, older] = await counts();
  assert.equal(newer, 0);
  assert.ok(older > 0, 'the demo queue has more than one page');
  assert.equal(await page.getByRole('link', { name: /^Next / }).count(), 0);

  await follow(page, page.getByRole('link', { name: `Previous ${Math.min(older, 25)} requests.` }));
  const second = await requests();
  assert.equal(second.length, Math.min(older, 25));
  assert.ok(newestFirst(second), 'newest first');
  assert.deepEqual(await counts(), [25, older - second.length]);
  assert.ok(!second.some((r) => first.some((f) => f.id === r.id)), 'no request on both pages');
  await page.getByRole('link', { name: 'Next 25 requests.' }).waitFor();
  await follow(page, page.getByRole('link', { name: 'Most recent 25 requests.' }));
  assert.deepEqual(await requests(), first);

  const pick = first[3];
  await follow(page, page.getByRole('link', { name: pick.id, exact: true }));
  assert.equal(await page.title(), 'Vantrel Image Messaging Software - Request Status');
  const detail = Object.fromEntries(await page.locator('table[border="1"] tr').evaluateAll((rows) =>
    rows.map((row) => [...row.querySelectorAll('td')].map((cell) => cell.textContent.trim()))
        .filter((cells) => cells.length === 2)));
  assert.equal(detail['Request ID'], pick.id);
  assert.equal(detail['Slot number'], pick.slot);
  assert.ok(['New', 'Waiting', 'Active', 'Delayed', 'Suspended', 'SENT', 'FAILED', '???'].includes(detail['Status']),
            `state ${detail['Status']}`);

  // The demo's requests have their control files: suspend one from its
  // page, and its page then offers to activate or delete it.
  const word = (text) => page.locator('font[color="#C57733"]').getByRole('link', { name: text, exact: true });
  assert.equal(await word('ACTIVATE').count(), 0);
  await follow(page, word('SUSPEND'));
  assert.equal(await page.title(), 'Vantrel Image Messaging Software - Suspend Request');
  assert.equal(await page.locator('h1').textContent(), 'Suspend Request');
  await open(page, `/Page104/s=${pick.slot}`);
  assert.equal(await word('SUSPEND').count(), 0);
  assert.equal(await word('ACTIVATE').getAttribute('href'), `${script}/Page122/s=${pick.slot}`);
  assert.equal(await word('DELETE').getAttribute('href'), `${script}/Page123/s=${pick.slot}`);
});

browserTest('faxline', admin, async (page) => {
  const existing = fs.readdirSync(lineDir);
  await open(page, '/Page20');
  assert.equal(await page.title(), 'Vantrel Image Messaging Software - Select Fax Line');
  const listed = await page.locator('select[name=lname] option').evaluateAll((options) => options.map((o) => o.value));
  assert.deepEqual([...listed].sort(), existing.filter((name) => !name.startsWith('.')).sort());

  await follow(page, button(page, 'Add'));
  assert.equal(await page.title(), 'Vantrel Image Messaging Software - Fax Line Update');
  const name = await page.locator('input[name=name]').inputValue();
  assert.match(name, /^fax-line-\d+$/);
  assert.ok(!existing.includes(name), `${name} is a new name`);
  assert.equal(await page.locator('select[name=speed]').inputValue(), '19200');
  await page.fill('input[name=device]', '/dev/null');
  await page.fill('input[name=tsi]', '+1 555 0100');
  // Receiving on: the line tool adds the receive daemon to inittab.
  await page.selectOption('select[name="fax-line-mode"]', 'receive only');
  await follow(page, button(page, 'Add'));
  assert.equal(await page.title(), 'Vantrel Image Messaging Software - Select Fax Line');
  assert.match(await page.locator('body').innerText(), new RegExp(`Fax line ${name} has been added\\.`));
  assert.equal(await page.locator(`select[name=lname] option[value="${name}"]`).count(), 1);

  const line = readKeys(path.join(lineDir, name));
  assert.equal(line.name, name);
  assert.equal(line.device, '/dev/null');
  assert.equal(line.tsi, '+1 555 0100');
  assert.equal(line['receive-only'], 'Yes');
  assert.equal(line['modem-init-string'], 'ATM0S0=0S7=45&D2&C1');
  const entries = fs.readFileSync(path.join(root, 'etc/inittab'), 'utf8').split('\n')
    .filter((entry) => entry.endsWith(`/lib/lineward ${name}`));
  assert.equal(entries.length, 1, `one inittab entry for ${name}`);
  assert.match(entries[0], /^qrt[^:]*:2345:respawn:/);

  // The stored line reads back into its form.
  await page.selectOption('select[name=lname]', name);
  await follow(page, button(page, 'Update'));
  assert.equal(await page.locator('input[name=tsi]').inputValue(), '+1 555 0100');
  assert.equal(await page.locator('select[name="fax-line-mode"]').inputValue(), 'receive only');
});

browserTest('upload', admin, async (page) => {
  const content = 'first line of the upload\nsecond line\n';
  // The form goes into one of the program's own pages: another site's
  // post to /debug is refused.
  await open(page, '/page2');
  await page.evaluate((action) => {
    document.body.innerHTML = `
      <form action="${action}" method="post" enctype="multipart/form-data">
        <input type="text" name="note" value="a note &amp; more">
        <input type="file" name="attachment">
        <input type="submit" name="button" value="Send">
      </form>`;
  }, url('/debug'));
  await page.setInputFiles('input[name=attachment]',
                           { name: 'upload.txt', mimeType: 'text/plain', buffer: Buffer.from(content) });
  await follow(page, button(page, 'Send'));
  const listing = await page.locator('pre').first().textContent();
  assert.match(await page.locator('h2').first().textContent(), /^Listing of Form Data \(\d+\)$/);
  // A part without a type of its own is text/plain.
  assert.match(listing, /\[0 - 0\] \[text\/plain\] \[note\] \[NULL!\] \[a note & more\]\)/);
  assert.match(listing, /\[0 - 0\] \[text\/plain\] \[button\] \[NULL!\] \[Send\]\)/);
  const file = listing.match(/\[1 - 0\] \[text\/plain\] \[attachment\] \[upload\.txt\] \[([^\]]+)\]\)/);
  assert.ok(file, `the upload is listed:\n${listing}`);
  // /debug keeps the uploaded file; it lives below the demo's /tmp.
  const stored = [file[1], path.join(root, file[1])].find((p) => fs.existsSync(p));
  assert.ok(stored, `temporary file ${file[1]} kept`);
  assert.equal(fs.readFileSync(stored, 'utf8'), content);
  assert.equal(fs.statSync(stored).mode & 0o777, 0o600);
  fs.unlinkSync(stored);
});

browserTest('logoff', admin, async (page) => {
  await open(page, '/Page1');
  const [response] = await Promise.all([page.waitForNavigation(),
                                        page.getByRole('link', { name: 'Log off' }).click()]);
  assert.equal(response.status(), 401);
  assert.equal(new URL(page.url()).pathname, `${script}/logoff`);
  assert.match(response.headers()['www-authenticate'], /^Basic realm="ZELAdmin"$/);
  assert.match(await page.locator('body').innerText(), /Logoff\s+You have successfully removed your password\./);
});

browserTest('no-credentials', null, async (page) => {
  // The public pages need no login.
  await open(page, '/page2');
  assert.equal(await page.title(), 'Vantrel Image Messaging Software - Version Info');
  // Headless Chromium turns a navigation's unanswered challenge into a
  // network error, so the challenge is read by a fetch that never prompts.
  const answer = await page.evaluate(async (target) => {
    const response = await fetch(target, { credentials: 'omit' });
    return { status: response.status, challenge: response.headers.get('www-authenticate'), text: await response.text() };
  }, url('/Page1'));
  assert.equal(answer.status, 401);
  assert.equal(answer.challenge, 'Basic realm="ZELAdmin"');
  await page.setContent(answer.text);
  const text = await page.locator('body').innerText();
  assert.match(text, /You must enter a valid user name\/password in order to access this page\./);
  assert.match(text, /Please use admin as your User Name and leave the Password blank\./);
});

browserTest('wrong-password', { username: 'bob', password: 'not bob' }, async (page) => {
  await open(page, '/Page1', 401);
  assert.match(await page.locator('body').innerText(), /Your user name \(bob\) & password are not valid! \(-4\)/);
});

browserTest('plain-user', { username: 'alice', password: 'alice' }, async (page) => {
  await open(page, '/Page1');
  const menu = page.locator('table[align="center"][border="1"]');
  assert.equal(await menu.getByRole('link', { name: 'Your Account', exact: true }).getAttribute('href'), `${script}/Page3`);
  assert.equal(await menu.getByRole('link', { name: 'User Accounts' }).count(), 0);
  assert.equal(await page.getByText('Missing admin account password.').count(), 0);

  // A refused privilege is answered as a refusal.
  await open(page, '/Page4', 403);
  assert.equal(await page.title(), 'Vantrel Image Messaging Software - Security Violation');

  // Her own account, the reduced form: a new full name, the password
  // boxes untouched.
  const before = readUsers().alice;
  await open(page, '/Page3');
  assert.equal(await page.title(), 'Vantrel Image Messaging Software - User Update');
  assert.equal(await page.locator('input[name=uname]').count(), 0);
  assert.equal(await page.locator('input[name="priv-ad"]').count(), 0);
  await page.fill('input[name=fname]', 'Alice Liddell');
  await follow(page, button(page, 'Update'));
  assert.match(await page.locator('body').innerText(), /User alice has been changed\./);
  const after = readUsers().alice;
  assert.equal(after['full-name'], 'Alice Liddell');
  assert.equal(after.password, before.password);
  assert.equal(after.privileges, before.privileges);
});

// Another origin on this host (another port: the same site, not the same
// origin) serving `pages` by path.
async function otherSite(pages) {
  const server = http.createServer((request, response) => {
    const page = pages[request.url];
    response.writeHead(page ? 200 : 404, { 'Content-Type': 'text/html' });
    response.end(page ?? '');
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  return {
    origin: `http://127.0.0.1:${server.address().port}`,
    // The browser keeps its connections open.
    close() { server.closeAllConnections(); return new Promise((resolve) => server.close(resolve)); },
  };
}

// A page elsewhere that the signed-in administrator opens makes the browser
// post the account form, follow a delete link and frame a page, all with
// the administrator's credentials: none of it changes anything, while the
// same from the program's own pages does.
browserTest('cross-site', admin, async (page) => {
  // One of the demo queue's suspended requests, with its suspended file.
  const spool = readKeys(configFile)['spool-directory'];
  const destinations = path.join(spool, 'destinations');
  const suspended = Object.fromEntries(fs.readdirSync(destinations).flatMap((dir) =>
    fs.readdirSync(path.join(destinations, dir)).filter((name) => name.startsWith('sf'))
      .map((name) => [name.slice(2), path.join(destinations, dir, name)])));
  await open(page, '/Page102');
  const listed = await page.locator('a[href*="/Page104/s="]').evaluateAll((links) =>
    links.map((a) => ({ id: a.textContent, slot: a.getAttribute('href').split('s=')[1] })));
  const request = listed.find((r) => suspended[r.id]);
  assert.ok(request, 'a suspended request on the first queue page');
  const requestFile = suspended[request.id];
  const kept = [usersFile, requestFile, path.join(spool, 'status.db')];
  const before = kept.map((file) => fs.readFileSync(file));

  // An administrator account that runs a program of its own for every
  // fax that comes in, as the account form posts it.
  const mallory = { obp: 'Add', admin: 'x', uname: 'mallory', fname: 'Mallory', pwd: 'mallory', pwd2: 'mallory',
                    dea: 'mallory@example.net', did: '*', dp: '/tmp/collect', 'priv-ad': 'admin', button: 'Add' };
  const form = (enctype) => `<form action="${url('/Action4/')}" method=post enctype="${enctype}">` +
    Object.entries(mallory).map(([name, value]) => `<input type=hidden name="${name}" value="${value}">`).join('') +
    '</form>';
  const submit = '<script>document.forms[0].submit()</script>';
  const site = await otherSite({
    '/urlencoded': form('application/x-www-form-urlencoded') + submit,
    '/multipart': form('multipart/form-data') + submit,
    '/link': `<a href="${url(`/Page123/s=${request.slot}`)}">Claim your prize</a>`,
    '/frame': `<iframe src="${url('/Page4')}"></iframe>`,
  });
  try {
    const refused = async (response) => {
      assert.equal(response.status(), 403, `status of ${response.url()}`);
      await page.waitForURL(response.url());
      assert.equal(await page.title(), 'Vantrel Image Messaging Software - Request Refused');
    };
    // Credentials are answered to a challenge, not seen as an answer.
    const answer = (rest) => page.waitForResponse((r) => r.url() === url(rest) && r.status() !== 401);
    for (const attack of ['/urlencoded', '/multipart']) {
      const [response] = await Promise.all([answer('/Action4/'),
                                            page.goto(site.origin + attack, { waitUntil: 'commit' })]);
      await refused(response);
    }

    await page.goto(site.origin + '/link');
    const [clicked] = await Promise.all([page.waitForNavigation(), page.getByRole('link').click()]);
    await refused(clicked);

    // Served, but the browser shows its own error page in the frame.
    const [framed] = await Promise.all([answer('/Page4'), page.goto(site.origin + '/frame')]);
    assert.equal(framed.status(), 200);
    assert.equal(framed.headers()['x-frame-options'], 'DENY');
    assert.equal(framed.headers()['content-security-policy'], "frame-ancestors 'none'");
    assert.equal(framed.headers()['cache-control'], 'no-store');
    const frame = page.frames().find((f) => f !== page.mainFrame());
    assert.doesNotMatch(await frame.content(), /Vantrel Image Messaging Software/);
  } finally {
    await site.close();
  }
  kept.forEach((file, i) => assert.deepEqual(fs.readFileSync(file), before[i], `${file} unchanged`));
  assert.equal(readUsers().mallory, undefined);

  // The very same form on a page of the program's own origin is taken.
  await open(page, '/page2');
  await page.setContent(form('multipart/form-data'));
  await Promise.all([page.waitForNavigation(), page.evaluate(() => document.forms[0].submit())]);
  assert.match(await page.locator('body').innerText(), /User mallory has been added\./);
  const added = readUsers().mallory;
  assert.deepEqual([added.privileges, added.did, added['delivery-program']], ['admin', '*', '/tmp/collect']);

  // And the program's own pages: the account form, the request's DELETE.
  await open(page, '/Page4');
  await follow(page, button(page, 'Add'));
  await page.fill('input[name=uname]', 'trent');
  await page.check('input[name=priv-ad]');
  await follow(page, button(page, 'Add'));
  assert.match(await page.locator('body').innerText(), /User trent has been added\./);
  assert.equal(readUsers().trent.privileges, 'admin');

  await open(page, `/Page104/s=${request.slot}`);
  await follow(page, page.locator('font[color="#C57733"]').getByRole('link', { name: 'DELETE', exact: true }));
  assert.equal(await page.title(), 'Vantrel Image Messaging Software - Delete Request');
  assert.ok(!fs.existsSync(requestFile), `${requestFile} removed`);
});
