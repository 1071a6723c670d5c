// The whole job as a site owner does it, in headless Chromium against the
// program served by a real Apache: for each hash type, create a password
// file, put the shown access-file text into the demo directory and check what
// Apache lets in; add a second user; show an entry without writing anything.
//
// Environment: HOB_FORM_URL (the form), HOB_DEMO_DIR (the directory to
// protect, served at /demo/), HOB_OUT_DIR (screenshots), HOB_SERVER (the web
// server's name), HOB_DEMO_AUTH ("htaccess", the default: the server obeys
// the access file put into the demo directory; "server": the server's own
// configuration protects it with the password file there).
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import path from 'node:path';
import { chromium } from 'playwright-core';

const formUrl = process.env.HOB_FORM_URL;
const demoDir = process.env.HOB_DEMO_DIR;
const outDir = process.env.HOB_OUT_DIR;
const demoUrl = new URL('/demo/', formUrl).href;
const htaccess = (process.env.HOB_DEMO_AUTH ?? 'htaccess') === 'htaccess';
console.log(`server: ${process.env.HOB_SERVER ?? 'apache'}, demo directory protected by ` +
            (htaccess ? '.htaccess' : 'the server'));

let passed = 0;
let failed = 0;
function check(name, ok, detail = '') {
  if (ok) {
    passed++;
    console.log(`ok   ${name}`);
  } else {
    failed++;
    console.log(`FAIL ${name} ${detail}`);
  }
}

async function statusFor(user, pass) {
  const headers = {};
  if (user !== null) {
    headers.Authorization = 'Basic ' + Buffer.from(`${user}:${pass}`).toString('base64');
  }
  const res = await fetch(demoUrl, { headers });
  return res.status;
}

// The real password tool's verdict on user's password in file.
function verifies(file, user, pass) {
  try {
    execFileSync('htpasswd', ['-vb', '--', file, user, pass], { stdio: 'ignore' });
    return true;
  } catch {
    return false;
  }
}

// Fills and submits the form; returns the text of the result area.
async function submit(page, { dir, user, pass, type, option }) {
  await page.goto(formUrl);
  await page.getByLabel('Directory to protect', { exact: true }).fill(dir);
  await page.getByLabel('User name', { exact: true }).fill(user);
  await page.getByLabel('Password', { exact: true }).fill(pass);
  await page.locator(`input[name=type][value="${type}"]`).check();
  await page.locator(`input[name=option][value="${option}"]`).check();
  await Promise.all([page.waitForNavigation(), page.getByRole('button', { name: 'Run' }).click()]);
  const result = page.locator('#result');
  if ((await result.count()) === 0) {
    throw new Error('no result area: ' + (await page.textContent('body')));
  }
  return result.inputValue();
}

// The result text holds a heading, a blank line, then the access-file text.
function accessText(result) {
  return result.slice(result.lastIndexOf('\n\nAuthType') + 2);
}

// Serves page at a new origin (another port of 127.0.0.1) until close().
async function otherOrigin(page) {
  const server = http.createServer((req, res) => {
    res.writeHead(200, { 'Content-Type': 'text/html; charset=utf-8' });
    res.end(page);
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  return { url: `http://127.0.0.1:${server.address().port}/`, close: () => server.close() };
}

// A page on another site can make the owner's browser post to the program,
// with the owner's cached credentials; such a post, and a submit by a link,
// must change nothing.
async function forgeriesChangeNothing(page) {
  const passwordFile = path.join(demoDir, '.htpasswd');
  const before = fs.readFileSync(passwordFile, 'utf8');
  const fields = { path: demoDir, user: 'mallory', pass: 'x', type: '1', option: 'c', submit: '1' };
  const inputs = Object.entries(fields)
    .map(([name, value]) => `<input type="hidden" name="${name}" value="${value}">`).join('');
  const attacker = await otherOrigin(
    `<form id="f" method="post" action="${formUrl}">${inputs}</form>` +
    '<script>document.getElementById("f").submit()</script>');
  try {
    await Promise.all([page.waitForURL(formUrl), page.goto(attacker.url)]);
    check('a form posted from another origin is refused',
          (await page.textContent('body')).includes("did not come from this program's own form"));
    await page.goto(`${formUrl}?${new URLSearchParams({ ...fields, option: 'a' })}`);
    check('a submit by a link is refused',
          (await page.textContent('body')).includes("did not come from this program's own form"));
    check('the forged requests left the password file as it was',
          fs.readFileSync(passwordFile, 'utf8') === before);
  } finally {
    attacker.close();
  }
}

function cleanDemo() {
  for (const name of ['.htaccess', '.htpasswd']) fs.rmSync(path.join(demoDir, name), { force: true });
}

const browser = await chromium.launch({
  executablePath: '/usr/bin/chromium',
  args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
         '--disable-background-networking', '--disable-component-update', '--disable-sync'],
});
try {
  const page = await browser.newPage({ viewport: { width: 900, height: 1000 } });
  for (const type of ['0', '1', '2']) {
    cleanDemo();
    const first = { dir: demoDir, user: `alice${type}`, pass: `open-sesame-${type}`, type };
    const created = await submit(page, { ...first, option: 'c' });
    check(`type ${type}: create shows the access file`,
          created.includes(`AuthUserFile "${demoDir}/.htpasswd"`) &&
          created.includes(`Require user "${first.user}"`), created);
    if (type === '1') {
      await page.screenshot({ path: path.join(outDir, 'form-result.png'), fullPage: true });
    }
    if (htaccess) fs.writeFileSync(path.join(demoDir, '.htaccess'), accessText(created) + '\n');
    check(`type ${type}: no credentials are refused`, (await statusFor(null)) === 401);
    check(`type ${type}: a wrong password is refused`, (await statusFor(first.user, 'wrong')) === 401);
    check(`type ${type}: the right password gets in`, (await statusFor(first.user, first.pass)) === 200);

    const second = { dir: demoDir, user: `bob${type}`, pass: `b0b-${type}-pw`, type };
    const added = await submit(page, { ...second, option: 'a' });
    const requireLine = accessText(added).split('\n').find((l) => l.startsWith('Require user'));
    if (htaccess) fs.appendFileSync(path.join(demoDir, '.htaccess'), requireLine + '\n');
    check(`type ${type}: the added user gets in`, (await statusFor(second.user, second.pass)) === 200);
    check(`type ${type}: the first user still gets in`,
          (await statusFor(first.user, first.pass)) === 200);

    const shown = await submit(page, { dir: demoDir, user: `carol${type}`, pass: 'c-pw', type,
                                       option: 'n' });
    const entry = shown.split('\n\n')[1];
    const entryFile = path.join(outDir, `entry-${type}`);
    fs.writeFileSync(entryFile, entry + '\n');
    check(`type ${type}: the shown entry verifies`, verifies(entryFile, `carol${type}`, 'c-pw'),
          entry);
    check(`type ${type}: showing an entry writes no password file`,
          !fs.readFileSync(path.join(demoDir, '.htpasswd'), 'utf8').includes('carol'));
  }

  await forgeriesChangeNothing(page);

  // The Japanese form adds a user through its own page.
  await page.goto(new URL('/cgi-bin/ja/hob-htpasswd.cgi', formUrl).href);
  await page.fill('input[name=path]', demoDir);
  await page.fill('input[name=user]', 'dave');
  await page.fill('input[name=pass]', 'd-pw');
  await page.check('input[name=type][value="1"]');
  await page.check('input[name=option][value="a"]');
  await Promise.all([page.waitForNavigation(), page.click('button[name=submit]')]);
  check('the Japanese form adds a user', verifies(path.join(demoDir, '.htpasswd'), 'dave', 'd-pw'),
        await page.textContent('body'));

  const hostile = await submit(page, { dir: demoDir, user: '<img src=x onerror=alert(1)>',
                                       pass: 'x', type: '1', option: 'n' });
  check('a hostile user name is shown as text, not markup',
        hostile.includes('<img src=x onerror=alert(1)>') &&
        (await page.locator('img').count()) === 0);
} catch (err) {
  check('the browser session ran to the end', false, err.stack);
} finally {
  cleanDemo();
  await browser.close();
}

console.log(`${passed} passed, ${failed} failed`);
process.exit(failed === 0 ? 0 : 1);
