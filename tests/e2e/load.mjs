// Concurrency and load against the program under a real Apache:
// 1. 40 parallel "add" requests for 40 different users to one password file:
//    every request answered with the result page has its user in the file,
//    every other one was answered with the busy message, and the file is a
//    valid password file.
// 2. 2,000 first-visit requests, 16 at a time: every answer is the form.
//
// Environment: HOB_FORM_URL, HOB_DEMO_DIR (as for e2e.mjs).
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';

const formUrl = process.env.HOB_FORM_URL;
const demoDir = process.env.HOB_DEMO_DIR;
const busyText = 'The server is busy';

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

async function post(fields) {
  const res = await fetch(formUrl, {
    method: 'POST',
    headers: { 'Content-Type': 'application/x-www-form-urlencoded' },
    body: new URLSearchParams({ ...fields, submit: 'Run' }).toString(),
  });
  return res.text();
}

function verifies(file, user, pass) {
  try {
    execFileSync('htpasswd', ['-vb', file, user, pass], { stdio: 'ignore' });
    return true;
  } catch {
    return false;
  }
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
fs.rmSync(passwordFile, { force: true });
const created = await post({ path: demoDir, user: 'owner', pass: 'owner-pw', type: '1', option: 'c' });
check('the password file is created', created.includes('AuthUserFile'), created.slice(0, 300));

const adds = await Promise.all(Array.from({ length: 40 }, (_, i) =>
  post({ path: demoDir, user: `user${i}`, pass: `pw-${i}`, type: '1', option: 'a' })));
let added = 0;
let busy = 0;
let other = 0;
for (let i = 0; i < adds.length; i++) {
  if (adds[i].includes('AuthUserFile')) {
    added++;
    check(`user${i} was answered with the result page and is in the file`,
          verifies(passwordFile, `user${i}`, `pw-${i}`));
  } else if (adds[i].includes(busyText)) {
    busy++;
  } else {
    other++;
    check(`user${i} got an expected answer`, false, adds[i].slice(0, 300));
  }
}
const lines = fs.readFileSync(passwordFile, 'utf8').split('\n').filter((l) => l !== '');
check('the password file holds the owner and exactly the users answered as added',
      lines.length === 1 + added && verifies(passwordFile, 'owner', 'owner-pw'),
      `${lines.length} lines, ${added} added`);
check('every line of the password file is an entry',
      lines.every((l) => /^[^:\s]+:\S+$/.test(l)), lines.join(' | '));
console.log(`40 parallel adds: ${added} added, ${busy} busy, ${other} other`);

const visits = await pool(2000, 16, async () => {
  const res = await fetch(formUrl);
  return (await res.text()).includes('name="submit"');
});
const notForm = visits.filter((isForm) => !isForm).length;
console.log(`2000 first visits, 16 in parallel: ${notForm} answers were not the form`);
check('every first visit is answered with the form', notForm === 0);

fs.rmSync(passwordFile, { force: true });
console.log(`${passed} passed, ${failed} failed`);
process.exit(failed === 0 ? 0 : 1);
