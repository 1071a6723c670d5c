// The whole job as a site owner does it, in headless Chromium against the
// program served by a real web server, in English and in Japanese: create a
// password file, which protects the demo directory with no step by hand (the
// page says the server now asks for a password); add users of every hash
// type, change a password, show an entry without writing anything, list the
// users, verify passwords, delete a user, replace the file, unprotect and
// protect the directory again. Every answer's status line must be on screen,
// on a desktop and on a phone; no page may hold the password; the refusals
// (a create over users, passwords too short or typed differently, a missing
// directory, a file, a damaged password file, an access file that decides
// itself who may enter) must write nothing. Then what the check from outside
// says where the server reads no access file, and under Apache where it reads
// only part of one; forged requests from another origin, and scripts on a
// page of the program's own origin, which must change nothing.
//
// Environment: HOB_FORM_URL (the form), HOB_DEMO_DIR (the directory to
// protect, served at /demo/, beside other pages of the document root),
// HOB_OPEN_DIR (a directory the server does not protect), HOB_REWRITE_DIR
// and HOB_FILEINFO_DIR (Apache: an access file of the owner's with rewrite
// rules, AllowOverride AuthConfig Options FileInfo; AllowOverride FileInfo
// alone), HOB_ADMIN_USER and HOB_ADMIN_PASSWORD (whom the server asks for
// before it runs the program), HOB_OUT_DIR (screenshots), HOB_SERVER (the
// web server's name), HOB_DEMO_AUTH ("htaccess", the default: the server
// obeys the access file the program writes into the demo directory;
// "server": the server's own configuration protects it with the password
// file there).
import fs from 'node:fs';
import http from 'node:http';
import path from 'node:path';
import { chromium } from 'playwright-core';
import { admin, ask, catalogue, check, finish, htFiles, verifies } from './support.mjs';

const formUrl = process.env.HOB_FORM_URL;
const demoDir = process.env.HOB_DEMO_DIR;
const openDir = process.env.HOB_OPEN_DIR;
const outDir = process.env.HOB_OUT_DIR;
const serverName = process.env.HOB_SERVER ?? 'apache';
const passwordFile = path.join(demoDir, '.htpasswd');
const htaccess = (process.env.HOB_DEMO_AUTH ?? 'htaccess') === 'htaccess';
console.log(`server: ${serverName}, demo directory protected by ` +
            (htaccess ? '.htaccess' : 'the server'));

// The URL of a directory of the document root, and its access file (the
// shipped accessfile setting).
const urlOf = (dir) => new URL(`/${path.relative(path.dirname(demoDir), dir)}/`, formUrl).href;
const accessOf = (dir) => path.join(dir, '.htaccess');
const demoUrl = urlOf(demoDir);

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
  return (await ask(demoUrl, user, pass)).status;
}

// The lines a result starts with: for each [key, text], the message of the
// catalogue m with text for its %TEXT%.
function resultStart(m, ...lines) {
  return lines.map(([key, text = '']) => m[key]('', 0, text) + '\n').join('');
}

// Whether result holds the text for the server's own configuration naming
// location, where the server reads no access file (nginx's location block,
// lighttpd's text under msg35), and none under Apache.
function namesLocation(result, m, location) {
  if (serverName === 'nginx') return result.includes(`location "${location}" {`);
  if (serverName === 'lighttpd') {
    return result.includes(m.msg35()) && result.includes(`$HTTP["url"] =^ "${location}" {`);
  }
  return !result.includes('auth_basic') && !result.includes('auth.require');
}

// text without the program's block, as the access file was before it
// (a block that ends the file without final newline took the one before it).
function outsideBlock(text) {
  return text.replace(/(^|\n)# BEGIN hob-htpasswd\n[\s\S]*?\n# END hob-htpasswd(\n|$)/,
                      (_, before, after) => (after ? before : ''));
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
  return JSON.stringify({ ...answer, result: answer.result?.slice(0, 400) });
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

// Removes the .ht files of dir (password, access and lock file).
function clearHt(dir) {
  for (const name of fs.readdirSync(dir)) {
    if (name.startsWith('.ht')) fs.rmSync(path.join(dir, name));
  }
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
          `${known >= 0 ? 'changed' : 'added'}`, added.status === said, brief(added));
  }
  // Create, and later protect, must leave the demo directory asking for a
  // password, and the page must say the server was asked.
  const demoProtected = resultStart(m, ['msg30', accessOf(demoDir)], ['msg31', demoUrl]);
  clearHt(demoDir);
  const owner = { user: 'owner', pass: `owner-${lang.name}-password`, type: '3' };
  const created = await submit(page, lang, { ...owner, option: 'c' });
  users.push(owner);
  check(t + 'create says the file was made, the lines written and the directory checked, ' +
        'and marks add next',
        created.status === `${m.msg45('owner')} ${m.msg59()}` &&
        created.result.startsWith(demoProtected) &&
        created.result.includes(`AuthUserFile "${passwordFile}"`) &&
        namesLocation(created.result, m, '/demo/') && created.option === 'a' && !created.replace,
        brief(created));
  check(t + 'bcrypt hashes get the shipped cost',
        fs.readFileSync(passwordFile, 'utf8').startsWith('owner:$2y$10$'));
  if (lang.name === 'English') await screenshot(page, 'form-result.png');
  check(t + 'with no step by hand, no credentials are refused and the owner gets in',
        (await statusFor(null)) === 401 && (await statusFor(owner.user, owner.pass)) === 200);

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

  const files = htFiles(demoDir);
  const shown = await submit(page, lang, { user: 'carol', pass: 'carol-password', option: 'n' });
  const entryFile = path.join(outDir, `entry-${lang.name}`);
  fs.writeFileSync(entryFile, shown.result.split('\n\n')[1] + '\n');
  check(t + 'show says nothing was written, and the shown entry verifies',
        shown.status === m.msg48() && verifies(entryFile, 'carol', 'carol-password'),
        brief(shown));
  check(t + 'show writes no file and shows no access text',
        htFiles(demoDir) === files && !/AuthType|auth_basic|auth\.require/.test(shown.result),
        brief(shown));

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
        replaced.status === `${m.msg46('fresh')} ${m.msg59()}` && replaced.option === 'a' &&
        !replaced.replace &&
        fs.readFileSync(passwordFile, 'utf8').split('\n').filter((l) => l !== '').length === 1,
        brief(replaced));
  check(t + 'after the replace only its user gets in',
        (await statusFor(fresh.user, fresh.pass)) === 200 &&
        (await statusFor(owner.user, owner.pass)) === 401);

  // The demo directory held only the program's lines: unprotect removes the
  // access file. nginx and lighttpd still protect it themselves.
  const unprotected = await submit(page, lang, { option: 'u' });
  check(t + 'unprotect removes the lines and keeps the password file; the check finds ' +
        (htaccess ? 'the directory open' : 'the server still protects it'),
        unprotected.status === m.msg60() &&
        unprotected.result.startsWith(resultStart(m, ['msg36', accessOf(demoDir)],
                                                  [htaccess ? 'msg52' : 'msg34', demoUrl])) &&
        !fs.existsSync(accessOf(demoDir)) && verifies(passwordFile, fresh.user, fresh.pass) &&
        (await statusFor(null)) === (htaccess ? 200 : 401), brief(unprotected));
  const reprotected = await submit(page, lang, { option: 'p' });
  if (lang.name === 'English') await screenshot(page, 'form-protect.png');
  check(t + 'protect writes the lines again: the directory asks for a password, its user gets in',
        reprotected.status === m.msg59() && reprotected.result.startsWith(demoProtected) &&
        (await statusFor(null)) === 401 && (await statusFor(fresh.user, fresh.pass)) === 200,
        brief(reprotected));
}

// What create says where the server does not apply the access file, in
// English: in the open directory, the server answers without a password,
// which the page says with the fix (Apache: AllowOverride; nginx and
// lighttpd: they read no access file, the text for their configuration).
// An access file that decides itself who may enter makes create write
// nothing, not even the password file.
async function openDirectory(page) {
  const lang = languages[0];
  const m = lang.messages;
  const owner = { user: 'owner', pass: 'owner-password', type: '3' };
  fs.writeFileSync(accessOf(openDir), '# the owner\'s own rules\nRequire user bob\n');
  const files = htFiles(openDir);
  const refused = await submit(page, lang, { ...owner, dir: openDir, option: 'c' });
  check('an access file with "Require user bob": create names the line and writes nothing',
        refused.message === m.msg29('', 2, 'Require user bob') && refused.dir === openDir &&
        htFiles(openDir) === files, brief(refused));
  clearHt(openDir);

  const open = await submit(page, lang, { ...owner, dir: openDir, option: 'c' });
  const fix = serverName === 'apache' ? 'names AllowOverride' : 'gives the server\'s text';
  check(`where the server reads no access file, create says the directory answers without a ` +
        `password, and ${fix}`,
        open.status === `${m.msg45('owner')} ${m.msg79()}` &&
        open.result.startsWith(resultStart(m, ['msg30', accessOf(openDir)],
                                           ['msg32', urlOf(openDir)],
                                           [serverName === 'apache' ? 'msg53' : 'msg54'])) &&
        namesLocation(open.result, m, '/open/') && (await ask(urlOf(openDir))).status === 200,
        brief(open));
  clearHt(openDir);
}

// Under Apache, directories whose AllowOverride lets it read only part of
// an access file, in English. /rewrite/ reads it (AuthConfig Options
// FileInfo) and starts with the owner's rewrite rules without a final
// newline: they stay byte for byte through create, unprotect and protect,
// and keep redirecting. /fileinfo/ (FileInfo alone) answers 500 to the
// program's lines: the program takes them back, leaving the access file as
// it was (absent, or the owner's), and the directory answers as before.
async function partialOverrides(page) {
  const rewriteDir = process.env.HOB_REWRITE_DIR;
  const fileinfoDir = process.env.HOB_FILEINFO_DIR;
  const lang = languages[0];
  const m = lang.messages;
  const owner = { user: 'owner', pass: 'owner-password', type: '3' };
  const rules = fs.readFileSync(accessOf(rewriteDir), 'latin1');
  const old = new URL('old', urlOf(rewriteDir)).href;
  // What the rewrite directory answers: its page without credentials, its
  // page and the redirect with them.
  async function rewriteAnswers() {
    const redirect = await ask(old, owner.user, owner.pass);
    return [(await ask(urlOf(rewriteDir))).status,
            (await ask(urlOf(rewriteDir), owner.user, owner.pass)).status,
            redirect.status, new URL(redirect.location ?? '/', old).pathname].join(' ');
  }
  const protectedLines = resultStart(m, ['msg30', accessOf(rewriteDir)],
                                     ['msg31', urlOf(rewriteDir)]);
  const created = await submit(page, lang, { ...owner, dir: rewriteDir, option: 'c' });
  const afterCreate = fs.readFileSync(accessOf(rewriteDir), 'latin1');
  check('an access file with rewrite rules: create protects the directory and keeps the rules ' +
        'byte for byte, which still redirect',
        created.result.startsWith(protectedLines) && outsideBlock(afterCreate) === rules &&
        afterCreate !== rules && (await rewriteAnswers()) === '401 200 301 /new',
        brief(created));
  const unprotected = await submit(page, lang, { dir: rewriteDir, option: 'u' });
  check('unprotect leaves the rules exactly as they were, without final newline',
        unprotected.result.startsWith(resultStart(m, ['msg36', accessOf(rewriteDir)],
                                                  ['msg52', urlOf(rewriteDir)])) &&
        fs.readFileSync(accessOf(rewriteDir), 'latin1') === rules &&
        (await rewriteAnswers()) === '200 200 301 /new', brief(unprotected));
  const reprotected = await submit(page, lang, { dir: rewriteDir, option: 'p' });
  check('protect writes the lines again around the same rules',
        reprotected.result.startsWith(protectedLines) &&
        outsideBlock(fs.readFileSync(accessOf(rewriteDir), 'latin1')) === rules &&
        (await rewriteAnswers()) === '401 200 301 /new', brief(reprotected));

  const fileinfoUrl = urlOf(fileinfoDir);
  const takenBack = resultStart(m, ['msg32', fileinfoUrl], ['msg53'],
                                ['msg55', accessOf(fileinfoDir)]);
  const refused = await submit(page, lang, { ...owner, dir: fileinfoDir, option: 'c' });
  check('AllowOverride FileInfo: create catches the 500, names AllowOverride and removes the ' +
        'access file it made; the directory answers 200',
        refused.status === `${m.msg45('owner')} ${m.msg80()}` &&
        refused.result.startsWith(takenBack) &&
        !fs.existsSync(accessOf(fileinfoDir)) && (await ask(fileinfoUrl)).status === 200,
        brief(refused));
  const own = 'RewriteEngine On\nRewriteRule ^old$ /new [R=301,L]';
  fs.writeFileSync(accessOf(fileinfoDir), own);
  const again = await submit(page, lang, { dir: fileinfoDir, option: 'p' });
  const redirect = await ask(new URL('old', fileinfoUrl).href);
  check('AllowOverride FileInfo: protect puts the owner\'s access file back byte for byte; ' +
        'the directory answers and redirects as before',
        again.status === m.msg80() && again.result.startsWith(takenBack) &&
        fs.readFileSync(accessOf(fileinfoDir), 'latin1') === own &&
        (await ask(fileinfoUrl)).status === 200 && redirect.status === 301, brief(again));
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
  await openDirectory(page);
  if (serverName === 'apache') await partialOverrides(page);
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
  clearHt(demoDir);
  await browser.close();
}

finish();
