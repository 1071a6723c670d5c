// Helpers shared by the browser and load tests: named checks with a closing
// count, the real password tool's verdict, the admin credentials the server
// asks for before it runs the program, and the site sets' message texts.
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';

let passed = 0;
let failed = 0;

// Prints "ok" or "FAIL" with the check's name (and detail when it fails).
export function check(name, ok, detail = '') {
  if (ok) {
    passed++;
    console.log(`ok   ${name}`);
  } else {
    failed++;
    console.log(`FAIL ${name} ${detail}`);
  }
}

// Prints "N passed, N failed" and ends the process, with status 1 after a failure.
export function finish() {
  console.log(`${passed} passed, ${failed} failed`);
  process.exit(failed === 0 ? 0 : 1);
}

// The real password tool's verdict on user's password in file.
export function verifies(file, user, pass) {
  try {
    execFileSync('htpasswd', ['-vb', '--', file, user, pass], { stdio: 'ignore' });
    return true;
  } catch {
    return false;
  }
}

// The user and password the runner printed ("admin password: ..."), handed
// over as HOB_ADMIN_USER and HOB_ADMIN_PASSWORD.
export const admin = {
  username: process.env.HOB_ADMIN_USER ?? 'admin',
  password: process.env.HOB_ADMIN_PASSWORD ?? '',
};
export const adminHeaders = {
  Authorization: 'Basic ' + Buffer.from(`${admin.username}:${admin.password}`).toString('base64'),
};

// The message texts of the site set in site/DIR (''/'ja/'), by key
// ("msg03"), each a function of the user and the number its %USER% and %N%
// name: messages.msg37('carol', 2).
export function catalogue(dir) {
  const file = new URL(`../../site/${dir}dat-message.dat`, import.meta.url);
  const text = fs.readFileSync(file, 'utf8');
  return Object.fromEntries(text.split('\n').filter((l) => /^msg\d\d=/.test(l))
    .map((l) => [l.slice(0, 5), (user = '', n = 0) =>
      l.slice(6).replaceAll('%USER%', user).replaceAll('%N%', String(n))]));
}
