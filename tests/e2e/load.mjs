// Concurrency and load against the program under a real web server:
// 1. 40 parallel "add" requests for 40 different users to one password file,
//    with the shipped settings (which wait for a lock): every user is added.
//    Then the same with lockwait=0: some may be answered "busy", but every
//    request answered with the result page has its user in the file, and the
//    file holds exactly those users. The slowest answer is printed.
// 2. 2,000 first-visit requests, 16 at a time: every answer is the form.
//
// Environment: HOB_FORM_URL, HOB_DEMO_DIR, HOB_ADMIN_USER, HOB_ADMIN_PASSWORD
// (as for e2e.mjs), HOB_HOME_DIR (the program's working directory, whose
// dat-system.dat is changed and put back).
import fs from 'node:fs';
import path from 'node:path';
import { adminHeaders, catalogue, check, finish, verifies } from './support.mjs';

const formUrl = process.env.HOB_FORM_URL;
const demoDir = process.env.HOB_DEMO_DIR;
const homeDir = process.env.HOB_HOME_DIR;
const messages = catalogue('');
const busyText = messages.msg90();
// The start of the status line that says user was added (the count left out).
const addedText = (user) => messages.msg37(user, '%N%').split('%N%')[0];


async function post(fields) {
  const res = await fetch(formUrl, {
    method: 'POST',
    headers: { ...adminHeaders, 'Content-Type': 'application/x-www-form-urlencoded' },
    body: new URLSearchParams({ ...fields, submit: 'Run' }).toString(),
  });
  return res.text();
}

// Runs task(i) for i in [0, count) with at most width in flight.
async function pool(count, width, task) {
  const results = new Array(count);
  let next = 0;
  async function worker() {
    while (next < count) {
      const i = next++;
      results[i] = await task(i);
    }
  }
  await Promise.all(Array.from({ length: width }, worker));
  return results;
}

const passwordFile = path.join(demoDir, '.htpasswd');
const settingsFile = path.join(homeDir, 'dat-system.dat');
const shippedSettings = fs.readFileSync(settingsFile, 'utf8');

// 40 parallel adds for 40 users to one password file, with the settings text
// settings: every answer is the result page or the busy message, every user
// answered as added is in the file, and the file holds exactly them.
async function parallelAdds(label, settings) {
  fs.writeFileSync(settingsFile, settings);
  fs.rmSync(passwordFile, { force: true });
  const created = await post({ path: demoDir, user: 'owner', pass: 'owner-password', type: '1',
                               option: 'c' });
  check(`${label}: the password file is created`, created.includes(messages.msg45('owner')),
        created.slice(0, 300));
  const answers = await Promise.all(Array.from({ length: 40 }, async (_, i) => {
    const start = Date.now();
    const page = await post({ path: demoDir, user: `user${i}`, pass: `password-${i}`, type: '1',
                              option: 'a' });
    return { page, ms: Date.now() - start };
  }));
  let added = 0;
  let busy = 0;
  for (let i = 0; i < answers.length; i++) {
    if (answers[i].page.includes(addedText(`user${i}`))) {
      added++;
      if (!verifies(passwordFile, `user${i}`, `password-${i}`)) {
        check(`${label}: user${i}, answered as added, is in the file`, false);
      }
    } else if (answers[i].page.includes(busyText)) {
      busy++;
    } else {
      check(`${label}: user${i} got an expected answer`, false, answers[i].page.slice(0, 300));
    }
  }
  const lines = fs.readFileSync(passwordFile, 'utf8').split('\n').filter((l) => l !== '');
  check(`${label}: the password file holds the owner and exactly the users answered as added`,
        lines.length === 1 + added && verifies(passwordFile, 'owner', 'owner-password'),
        `${lines.length} lines, ${added} added`);
  check(`${label}: every line of the password file is an entry`,
        lines.every((l) => /^[^:\s]+:\S+$/.test(l)), lines.join(' | '));
  const slowest = Math.max(...answers.map((a) => a.ms));
  console.log(`${label}: 40 parallel adds: ${added} added, ${busy} busy, slowest answer ${slowest} ms`);
  return { added, busy };
}

const shipped = await parallelAdds('shipped settings', shippedSettings);
check('with the shipped settings every add lands', shipped.added === 40 && shipped.busy === 0,
      `${shipped.added} added, ${shipped.busy} busy`);
await parallelAdds('lockwait=0', shippedSettings.replace(/^lockwait=.*$/m, 'lockwait=0'));
fs.writeFileSync(settingsFile, shippedSettings);

const visits = await pool(2000, 16, async () => {
  const res = await fetch(formUrl, { headers: adminHeaders });
  return (await res.text()).includes('name="submit"');
});
const notForm = visits.filter((isForm) => !isForm).length;
console.log(`2000 first visits, 16 in parallel: ${notForm} answers were not the form`);
check('every first visit is answered with the form', notForm === 0);

for (const name of ['.htpasswd', '.htaccess']) fs.rmSync(path.join(demoDir, name), { force: true });
finish();
