// The whole job as a site owner does it, in headless Chromium against the
// program served by a real web server, in English and in Japanese: create a
// password file, put the shown access-file text into the demo directory once
// and check what the server lets in; add users of every hash type, change a
// password, show an entry without writing anything, list the users, verify
// passwords, delete a user, replace the file. Every answer's status line
// must be on screen, on a desktop and on a phone; no page may hold the
// password; the refusals (a create over users, passwords too short or typed
// differently, a missing directory, a file, a damaged password file) must
// write nothing. Then forged requests from another origin, and scripts on a
// page of the program's own origin, which must change nothing.
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
import { admin, catalogue, check, finish, verifies } from './support.mjs';

const formUrl = process.env.HOB_FORM_URL;
const demoDir = process.env.HOB_DEMO_DIR;
const outDir = process.env.HOB_OUT_DIR;
const demoUrl = new URL('/demo/', formUrl).href;
const passwordFile = path.join(demoDir, '.htpasswd');
const htaccess = (process.env.HOB_DEMO_AUTH ?? 'htaccess') === 'htaccess';
console.log(`server: ${process.env.HOB_SERVER ?? 'apache'}, demo directory protected by ` +
            (htaccess ? '.htaccess' : 'the server'));

// The two forms, each with its own message catalogue from the site sets.
const languages = [
  { name: 'English', url: formUrl, messages: catalogue('') },
  { name: 'Japanese', url: new URL('/cgi-bin/ja/hob-htpasswd.cgi', formUrl).href,
    messages: catalogue('ja/') },
];
const minPassLen = 10;  // the shipped minpasslen

// The HTTP status the demo directory answers user and pass with (user null:
// no credentials).
async function statusFor(user, pass) {
  const headers = {};
  if (user !== null) {
    headers.Authorization = 'Basic ' + Buffer.from(`${user}:${pass}`).toString('base64');
  }
  const res = await fetch(demoUrl, { headers });
  return res.status;
}

// Pages whose HTML held a password typed into them, and answers whose
// status line was not on screen, by viewport width.
const leaks = [];
const offScreen = { 1280: [], 390: [] };

// Fills the form of lang (the one on page when it is there, as a person
// types the next user into the form that came back) and clicks Run, a
// person's click. Returns, for the form page, its status line, the result
// text, the action marked and whether "replace" is ticked; for a message
// page, the message and the directory it repeats.
async function submit(page, lang, { dir = demoDir, user = '', pass = '', pass2 = pass,
                                    type = '3', option, replace = false }) {
  const onForm = page.url().startsWith(lang.url) &&
                 (await page.evaluate(() => document.forms[0]?.pass2 !== undefined));
  if (!onForm) await page.goto(lang.url);
  await page.evaluate((v) => {
    const form = document.forms[0];
    for (const name of ['path', 'user', 'pass', 'pass2']) form.elements[name].value = v[name];
    form.querySelector(`input[name=type][value="${v.type}"]`).checked = true;
    form.querySelector(`input[name=option][value="${v.option}"]`).checked = true;
    form.elements.replace.checked = v.replace;
  }, { path: dir, user, pass, pass2, type, option, replace });
  const [response] = await Promise.all([page.waitForNavigation(),
                                         page.click('button[name=submit]')]);
  const html = await response.text();
  for (const typed of [pass, pass2]) {
    if (typed !== '' && html.includes(typed)) leaks.push(`${lang.name} ${option} ${user}`);
  }
  const answer = await page.evaluate(async () => {
    // The browser scrolls to the form's target once the page is laid out.
    await new Promise((done) => requestAnimationFrame(() => requestAnimationFrame(done)));
    const alert = document.querySelector('[role=alert]');
    if (alert) {
      return { message: alert.textContent, dir: document.querySelector('.path code').textContent };
    }
    const status = document.querySelector('[role=status]');
    const box = status.getBoundingClientRect();
    return {
      status: status.textContent,
      top: Math.round(box.top),
      onScreen: box.height > 0 && box.top > -1 && box.left > -1 && box.bottom < innerHeight + 1 &&
                box.right < innerWidth + 1,
      option: document.querySelector('input[name=option]:checked')?.value,
      replace: document.getElementById('replace').checked,
      result: document.querySelector('.result textarea').value,
    };
  });
  if (answer.onScreen === false) {
    offScreen[page.viewportSize().width].push(`${lang.name} ${option} (top ${answer.top})`);
  }
  return answer;
}

// An answer for a failure's detail, its result text cut short.
function brief(answer) {
  return JSON.stringify({ ...answer, result: answer.result?.slice(0, 60) });
}

// Saves the whole page as name in the output directory, 900 px wide, without
// the focus ring the form's target gets.
async function screenshot(page, name) {
  const viewport = page.viewportSize();
  await page.setViewportSize({ width: 900, height: viewport.height });
  await page.evaluate(() => document.activeElement?.blur());
  await page.screenshot({ path: path.join(outDir, name), fullPage: true });
  await page.setViewportSize(viewport);
}

// Apache obeys an access file in the demo directory: the one the create's
// result shows (a heading, a blank line, then the access-file text) is put
// there, once.
function protectDemo(created) {
  if (!htaccess) return;
  const start = created.indexOf('AuthType');
  fs.writeFileSync(path.join(demoDir, '.htaccess'),
                   created.slice(start, created.indexOf('\n\n', start) + 1));
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

// Hidden inputs posting fields.
function hiddenInputs(fields) {
  return Object.entries(fields)
    .map(([name, value]) => `<input type="hidden" name="${name}" value="${value}">`).join('');
}

// A page on another site can make the owner's browser post to the program,
// with the owner's cached credentials; such a post, and a submit by a link,
// must change nothing.
async function forgeriesChangeNothing(page) {
  const before = fs.readFileSync(passwordFile, 'utf8');
  const fields = { path: demoDir, user: 'mallory', pass: 'mallory-password', type: '1', option: 'c',
                   submit: '1' };
  const attacker = await otherOrigin(
    `<form id="f" method="post" action="${formUrl}">${hiddenInputs(fields)}</form>` +
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
// the form acts, which the owner's session covers.
async function sameOriginScriptsChangeNothing(page) {
  const before = fs.readFileSync(passwordFile, 'utf8');
  const refusal = languages[0].messages.msg12();
  const fields = { path: demoDir, user: 'mallory', pass: 'mallory-password',
                   pass2: 'mallory-password', type: '1', option: 'a', submit: 'Run' };
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
      `<form id="f" method="post" action="${formUrl}">${hiddenInputs(fields)}</form>` +
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

// A password file holding a zero byte cannot be read back whole: an add is
// refused and the file stays as it was.
async function damagedFileChangesNothing(page) {
  fs.appendFileSync(passwordFile, 'zero:\0byte\n');
  const before = fs.readFileSync(passwordFile);
  const lang = languages[0];
  const answer = await submit(page, lang, { user: 'zero', pass: 'zero-password', option: 'a' });
  check('a password file with a zero byte is refused and left as it was',
        answer.message === lang.messages.msg27() && answer.dir === demoDir &&
        before.equals(fs.readFileSync(passwordFile)), brief(answer));
}

function cleanDemo() {
  for (const name of ['.htaccess', '.htpasswd']) fs.rmSync(path.join(demoDir, name), { force: true });
}

// The whole job in one language, on a fresh demo directory, on page (a
// desktop's screen) and, for a user added and changed, phone (a phone's).
async function ownerSession(page, phone, lang) {
  const t = `${lang.name}: `;
  const m = lang.messages;
  const users = [];
  // Adds user on screen (page or phone) and checks that the status line
  // says it was added or its password changed.
  async function add(screen, user) {
    const known = users.findIndex((u) => u.user === user.user);
    if (known >= 0) users[known] = user; else users.push(user);
    const said = (known >= 0 ? m.msg38 : m.msg37)(user.user, users.length);
    const added = await submit(screen, lang, { ...user, option: 'a' });
    check(`${t}type ${user.type}, ${screen.viewportSize().width} px wide: add says the user was ` +
          `${known >= 0 ? 'changed' : 'added'}, with the access file`,
          added.status === said && added.result.includes('Require valid-user'),
          brief(added));
  }
  cleanDemo();
  const owner = { user: 'owner', pass: `owner-${lang.name}-password`, type: '3' };
  const created = await submit(page, lang, { ...owner, option: 'c' });
  users.push(owner);
  check(t + 'create says the file was made, shows the access file and marks add next',
        created.status === m.msg45('owner') &&
        created.result.includes(`AuthUserFile "${passwordFile}"`) &&
        created.result.includes('Require valid-user') && created.option === 'a' && !created.replace,
        brief(created));
  check(t + 'bcrypt hashes get the shipped cost',
        fs.readFileSync(passwordFile, 'utf8').startsWith('owner:$2y$10$'));
  if (lang.name === 'English') await screenshot(page, 'form-result.png');
  protectDemo(created.result);
  check(t + 'no credentials are refused', (await statusFor(null)) === 401);

  // Users of every type added after the access file was written get in.
  await add(page, { user: 'user0', pass: `pass-0-${lang.name}`, type: '0' });
  const newcomer = { user: 'newcomer', pass: 'newcomer-password', type: '1' };
  const missing = `${demoDir}/no<b>such`;
  const refusals = [
    ['a create over 2 users without replace', { ...newcomer, option: 'c' }, m.msg23('', 2)],
    ['a repeated password that differs', { ...newcomer, pass2: 'newcomer-other', option: 'a' },
     m.msg25()],
    [`a password of ${minPassLen - 1} characters`, { ...newcomer, pass: 'x'.repeat(minPassLen - 1),
                                                    option: 'a' }, m.msg24('', minPassLen)],
    ['an add in a directory that does not exist', { ...newcomer, dir: missing, option: 'a' },
     m.msg03()],
    ['a list in a directory that does not exist', { dir: missing, option: 'l' }, m.msg03()],
    ['a create on a path that names a file', { ...newcomer, dir: passwordFile, option: 'c' },
     m.msg28()],
  ];
  for (const [what, fields, message] of refusals) {
    const before = fs.readFileSync(passwordFile);
    const answer = await submit(page, lang, fields);
    check(`${t}${what}: refused with its message and the directory typed, nothing written`,
          answer.message === message && answer.dir === (fields.dir ?? demoDir) &&
          before.equals(fs.readFileSync(passwordFile)), brief(answer));
  }
  for (const type of ['1', '2', '4', '5']) {
    await add(page, { user: `user${type}`, pass: `pass-${type}-${lang.name}`, type });
  }
  const old = { user: 'phone', pass: `phone-${lang.name}-password`, type: '5' };
  await add(phone, old);
  await add(phone, { ...old, pass: `phone-${lang.name}-changed` });
  for (const { user, pass, type } of users) {
    check(`${t}${user}, type ${type}: the right password gets in`,
          (await statusFor(user, pass)) === 200);
    check(`${t}${user}, type ${type}: a wrong password is refused`,
          (await statusFor(user, 'wrong-password')) === 401);
  }
  check(t + 'a changed password no longer gets in', (await statusFor(old.user, old.pass)) === 401);

  const shown = await submit(page, lang, { user: 'carol', pass: 'carol-password', option: 'n' });
  const entryFile = path.join(outDir, `entry-${lang.name}`);
  fs.writeFileSync(entryFile, shown.result.split('\n\n')[1] + '\n');
  check(t + 'show says nothing was written, and the shown entry verifies',
        shown.status === m.msg48() && verifies(entryFile, 'carol', 'carol-password'),
        brief(shown));
  check(t + 'showing an entry writes no password file',
        !fs.readFileSync(passwordFile, 'utf8').includes('carol'));

  const listed = await submit(page, lang, { option: 'l' });
  if (lang.name === 'English') await screenshot(page, 'form-list.png');
  const kinds = { 0: 'crypt', 1: 'MD5', 2: 'SHA-1', 3: 'bcrypt', 4: 'SHA-256', 5: 'SHA-512' };
  check(t + 'the list shows every user with the kind of hash, and no hash',
        listed.status === m.msg49('', users.length) &&
        listed.result.startsWith(`${m.msg18()} (${users.length})`) &&
        users.every(({ user, type }) => listed.result.includes(`${user} (${kinds[type]})`)) &&
        !listed.result.includes('$'), brief(listed));

  const user4 = users.find((u) => u.type === '4');
  const right = await submit(page, lang, { ...user4, option: 'v' });
  check(t + 'verify says a right password matches',
        right.status === `${m.msg20()} user4` && right.result.startsWith(m.msg20()),
        brief(right));
  const wrong = await submit(page, lang, { ...user4, pass: 'wrong-password', option: 'v' });
  check(t + 'verify says a wrong password does not match',
        wrong.status === `${m.msg21()} user4` && wrong.result.startsWith(m.msg21()),
        brief(wrong));

  const deleted = await submit(page, lang, { user: 'user5', option: 'd' });
  check(t + 'delete says the user was deleted and how many are left',
        deleted.status === m.msg47('user5', users.length - 1) &&
        deleted.result.startsWith(m.msg19()),
        brief(deleted));
  check(t + 'the deleted user is refused',
        (await statusFor('user5', `pass-5-${lang.name}`)) === 401);
  check(t + 'the other users still get in',
        (await statusFor(owner.user, owner.pass)) === 200 &&
        (await statusFor(user4.user, user4.pass)) === 200);
  check(t + 'deleting a user not in the file is refused',
        (await submit(page, lang, { user: 'user5', option: 'd' })).message === m.msg17());

  const fresh = { user: 'fresh', pass: `fresh-${lang.name}-password`, type: '3' };
  const replaced = await submit(page, lang, { ...fresh, option: 'c', replace: true });
  check(t + 'a create with replace ticked makes the file anew, and marks add next',
        replaced.status === m.msg46('fresh') && replaced.option === 'a' && !replaced.replace &&
        fs.readFileSync(passwordFile, 'utf8').split('\n').filter((l) => l !== '').length === 1,
        brief(replaced));
  check(t + 'after the replace only its user gets in',
        (await statusFor(fresh.user, fresh.pass)) === 200 &&
        (await statusFor(owner.user, owner.pass)) === 401);
}

const browser = await chromium.launch({
  executablePath: '/usr/bin/chromium',
  args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
         '--disable-background-networking', '--disable-component-update', '--disable-sync'],
});
try {
  const httpCredentials = { ...admin, origin: new URL(formUrl).origin, send: 'always' };
  const page = await browser.newPage({ viewport: { width: 1280, height: 900 }, httpCredentials });
  const phone = await browser.newPage({ viewport: { width: 390, height: 844 }, httpCredentials });
  await page.goto(formUrl);
  check('every field of the form has a label, and a first visit shows no result',
        (await page.getByLabel('Directory to protect', { exact: true }).count()) === 1 &&
        (await page.getByLabel('User name', { exact: true }).count()) === 1 &&
        (await page.getByLabel('Password', { exact: true }).count()) === 1 &&
        (await page.getByLabel('Repeat the password', { exact: true }).count()) === 1 &&
        (await page.locator('.result').isHidden()));
  for (const lang of languages) await ownerSession(page, phone, lang);
  await forgeriesChangeNothing(page);
  await sameOriginScriptsChangeNothing(page);
  await damagedFileChangesNothing(page);

  const hostile = await submit(page, languages[0], { user: '<img src=x onerror=alert(1)>',
                                                     pass: 'hostile-password', option: 'n' });
  check('a hostile user name is shown as text, not markup',
        hostile.result.includes('<img src=x onerror=alert(1)>') &&
        (await page.locator('img').count()) === 0);
  check('no page held a password typed into it', leaks.length === 0, leaks.join(', '));
  for (const [width, answers] of Object.entries(offScreen)) {
    check(`every status line was on screen at ${width} px wide, without scrolling`,
          answers.length === 0, answers.join(', '));
  }
} catch (err) {
  check('the browser session ran to the end', false, err.stack);
} finally {
  cleanDemo();
  await browser.close();
}

finish();
