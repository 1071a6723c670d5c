// The whole job as a site owner does it, in headless Chromium against the
// program served by a real web server, in English and in Japanese: create a
// password file, put the shown access-file text into the demo directory once
// and check what the server lets in; add users of every hash type, show an
// entry without writing anything, list the users, verify passwords, delete a
// user. Then forged requests from another origin, and scripts on a page of
// the program's own origin, which must change nothing.
//
// Environment: HOB_FORM_URL (the form), HOB_DEMO_DIR (the directory to
// protect, served at /demo/, beside other pages of the document root),
// HOB_ADMIN_USER and HOB_ADMIN_PASSWORD (whom the server asks for before it
// runs the program), HOB_OUT_DIR (screenshots), HOB_SERVER (the web server's
// name), HOB_DEMO_AUTH ("htaccess", the default: the server obeys the access
// file put into the demo directory; "server": the server's own configuration
// protects it with the password file there).
import fs from 'node:fs';
import http from 'node:http';
import path from 'node:path';
import { chromium } from 'playwright-core';
import { admin, check, finish, verifies } from './support.mjs';

const formUrl = process.env.HOB_FORM_URL;
const demoDir = process.env.HOB_DEMO_DIR;
const outDir = process.env.HOB_OUT_DIR;
const demoUrl = new URL('/demo/', formUrl).href;
const passwordFile = path.join(demoDir, '.htpasswd');
const htaccess = (process.env.HOB_DEMO_AUTH ?? 'htaccess') === 'htaccess';
console.log(`server: ${process.env.HOB_SERVER ?? 'apache'}, demo directory protected by ` +
            (htaccess ? '.htaccess' : 'the server'));

// The two forms, each with its own message catalogue from the site sets.
function catalogue(dir) {
  const text = fs.readFileSync(new URL(`../../site/${dir}dat-message.dat`, import.meta.url), 'utf8');
  return Object.fromEntries(text.split('\n').filter((l) => /^msg\d\d=/.test(l))
    .map((l) => [l.slice(0, 5), l.slice(6)]));
}
const languages = [
  { name: 'English', url: formUrl, messages: catalogue('') },
  { name: 'Japanese', url: new URL('/cgi-bin/ja/hob-htpasswd.cgi', formUrl).href,
    messages: catalogue('ja/') },
];


async function statusFor(user, pass) {
  const headers = {};
  if (user !== null) {
    headers.Authorization = 'Basic ' + Buffer.from(`${user}:${pass}`).toString('base64');
  }
  const res = await fetch(demoUrl, { headers });
  return res.status;
}

// Fills and submits the form of lang; returns the text of the result area,
// or the message page's text.
async function submit(page, lang, { user = '', pass = '', type = '3', option }) {
  await page.goto(lang.url);
  await page.fill('input[name=path]', demoDir);
  await page.fill('input[name=user]', user);
  await page.fill('input[name=pass]', pass);
  await page.check(`input[name=type][value="${type}"]`);
  await page.check(`input[name=option][value="${option}"]`);
  await Promise.all([page.waitForNavigation(), page.click('button[name=submit]')]);
  const result = page.locator('#result');
  return (await result.count()) === 0 ? page.textContent('body') : result.inputValue();
}

// The result text holds a heading, a blank line, then the access-file text.
function accessText(result) {
  const start = result.indexOf('AuthType');
  return result.slice(start, result.indexOf('\n\n', start) + 1);
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
  const before = fs.readFileSync(passwordFile, 'utf8');
  const fields = { path: demoDir, user: 'mallory', pass: 'x', type: '1', option: 'c', submit: '1' };
  const inputs = Object.entries(fields)
    .map(([name, value]) => `<input type="hidden" name="${name}" value="${value}">`).join('');
  const attacker = await otherOrigin(
    `<form id="f" method="post" action="${formUrl}">${inputs}</form>` +
    // The field named "submit" hides the form's own submit method.
    '<script>HTMLFormElement.prototype.submit.call(document.getElementById("f"))</script>');
  try {
    await page.goto('about:blank');
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

// A page of the program's own origin (any page of the site, e.g. one a user
// of a shared host put there) runs in the owner's browser, which holds the
// admin credentials: a fetch POST of a whole add form, and a form that the
// page's script submits, must both change nothing. Only a person's click on
// the form acts, which the owner's session above covers.
async function sameOriginScriptsChangeNothing(page) {
  const before = fs.readFileSync(passwordFile, 'utf8');
  const refusal = languages[0].messages.msg12;
  const fields = { path: demoDir, user: 'mallory', pass: 'mallory-password', pass2: 'mallory-password',
                   type: '1', option: 'a', submit: 'Run' };
  const inputs = Object.entries(fields)
    .map(([name, value]) => `<input type="hidden" name="${name}" value="${value}">`).join('');
  // Serves html as a page of the document root, under a name of its own.
  const pages = [];
  function sameOriginPage(name, html) {
    const file = path.join(path.dirname(demoDir), name);
    fs.writeFileSync(file, `<!DOCTYPE html><meta charset="utf-8"><title>${name}</title>${html}`);
    pages.push(file);
    return new URL(`/${name}`, formUrl).href;
  }
  try {
    await page.goto(sameOriginPage('same-origin-fetch.html',
      `<script>window.posted = fetch(${JSON.stringify(formUrl)}, { method: 'POST',` +
      " headers: { 'Content-Type': 'application/x-www-form-urlencoded' }," +
      ` body: ${JSON.stringify(new URLSearchParams(fields).toString())} })` +
      '.then(async (r) => ({ status: r.status, text: await r.text() }))' +
      '.catch((e) => ({ status: 0, text: String(e) }));</script>'));
    const posted = await page.evaluate(() => window.posted);
    check('a fetch POST from a page of the same origin is refused',
          posted.status === 200 && posted.text.includes(refusal),
          `(answered ${posted.status})`);

    const submitting = sameOriginPage('same-origin-submit.html',
      `<form id="f" method="post" action="${formUrl}">${inputs}</form>` +
      '<script>HTMLFormElement.prototype.submit.call(document.getElementById("f"))</script>');
    await page.goto('about:blank');
    await Promise.all([page.waitForURL(formUrl), page.goto(submitting)]);
    check('a form submitted by a script on a page of the same origin is refused',
          (await page.textContent('body')).includes(refusal));
    check('the same-origin scripts left the password file as it was',
          fs.readFileSync(passwordFile, 'utf8') === before);
  } finally {
    for (const file of pages) fs.rmSync(file, { force: true });
  }
}

function cleanDemo() {
  for (const name of ['.htaccess', '.htpasswd']) fs.rmSync(path.join(demoDir, name), { force: true });
}

// The whole job in one language, on a fresh demo directory.
async function ownerSession(page, lang) {
  const t = `${lang.name}: `;
  cleanDemo();
  const owner = { user: 'owner', pass: 'owner-pw', type: '3' };
  const created = await submit(page, lang, { ...owner, option: 'c' });
  check(t + 'create shows the access file for every user',
        created.includes(`AuthUserFile "${passwordFile}"`) && created.includes('Require valid-user'),
        created);
  if (lang.name === 'English') {
    await page.screenshot({ path: path.join(outDir, 'form-result.png'), fullPage: true });
  }
  if (htaccess) fs.writeFileSync(path.join(demoDir, '.htaccess'), accessText(created));
  check(t + 'no credentials are refused', (await statusFor(null)) === 401);

  // Users of every type added after the access file was written get in.
  const users = [owner];
  for (const type of ['0', '1', '2', '4', '5']) {
    const user = { user: `user${type}`, pass: `pw-${type}-${lang.name}`, type };
    const added = await submit(page, lang, { ...user, option: 'a' });
    check(`${t}type ${type}: add shows the access file`, added.includes('Require valid-user'), added);
    users.push(user);
  }
  for (const { user, pass, type } of users) {
    check(`${t}type ${type}: the right password gets in`, (await statusFor(user, pass)) === 200);
    check(`${t}type ${type}: a wrong password is refused`, (await statusFor(user, 'wrong')) === 401);
  }

  const shown = await submit(page, lang, { user: 'carol', pass: 'c-pw', type: '3', option: 'n' });
  const entryFile = path.join(outDir, `entry-${lang.name}`);
  fs.writeFileSync(entryFile, shown.split('\n\n')[1] + '\n');
  check(t + 'the shown entry verifies', verifies(entryFile, 'carol', 'c-pw'), shown);
  check(t + 'showing an entry writes no password file',
        !fs.readFileSync(passwordFile, 'utf8').includes('carol'));

  const listed = await submit(page, lang, { option: 'l' });
  if (lang.name === 'English') {
    await page.screenshot({ path: path.join(outDir, 'form-list.png'), fullPage: true });
  }
  const kinds = { 0: 'crypt', 1: 'MD5', 2: 'SHA-1', 3: 'bcrypt', 4: 'SHA-256', 5: 'SHA-512' };
  check(t + 'the list shows every user with the kind of hash, and no hash',
        listed.startsWith(`${lang.messages.msg18} (${users.length})`) &&
        users.every(({ user, type }) => listed.includes(`${user} (${kinds[type]})`)) &&
        !listed.includes('$'), listed);

  const user4 = users.find((u) => u.type === '4');
  check(t + 'verify says a right password matches',
        (await submit(page, lang, { ...user4, option: 'v' })).startsWith(lang.messages.msg20));
  check(t + 'verify says a wrong password does not match',
        (await submit(page, lang, { ...user4, pass: 'wrong', option: 'v' }))
          .startsWith(lang.messages.msg21));

  const deleted = await submit(page, lang, { user: 'user5', option: 'd' });
  check(t + 'delete says the user was deleted', deleted.startsWith(lang.messages.msg19), deleted);
  check(t + 'the deleted user is refused', (await statusFor('user5', `pw-5-${lang.name}`)) === 401);
  check(t + 'the other users still get in',
        (await statusFor(owner.user, owner.pass)) === 200 &&
        (await statusFor(user4.user, user4.pass)) === 200);
  check(t + 'deleting a user not in the file is refused',
        (await submit(page, lang, { user: 'user5', option: 'd' })).includes(lang.messages.msg17));
}

const browser = await chromium.launch({
  executablePath: '/usr/bin/chromium',
  args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
         '--disable-background-networking', '--disable-component-update', '--disable-sync'],
});
try {
  const page = await browser.newPage({
    viewport: { width: 900, height: 1000 },
    httpCredentials: { ...admin, origin: new URL(formUrl).origin },
  });
  await page.goto(formUrl);
  check('every field of the form has a label',
        (await page.getByLabel('Directory to protect', { exact: true }).count()) === 1 &&
        (await page.getByLabel('User name', { exact: true }).count()) === 1 &&
        (await page.getByLabel('Password', { exact: true }).count()) === 1);
  for (const lang of languages) await ownerSession(page, lang);
  await forgeriesChangeNothing(page);
  await sameOriginScriptsChangeNothing(page);

  const hostile = await submit(page, languages[0], { user: '<img src=x onerror=alert(1)>',
                                                     pass: 'x', option: 'n' });
  check('a hostile user name is shown as text, not markup',
        hostile.includes('<img src=x onerror=alert(1)>') &&
        (await page.locator('img').count()) === 0);
} catch (err) {
  check('the browser session ran to the end', false, err.stack);
} finally {
  cleanDemo();
  await browser.close();
}

finish();
