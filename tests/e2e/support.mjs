// Helpers shared by the browser and load tests: named checks with a closing
// count, the real password tool's verdict, the admin credentials the server
// asks for before it runs the program, the site sets' message texts, what a
// URL answers, and the .ht files of a directory.
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';

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
// ("msg03"), each a function of the user, the number and the text (a path,
// URL or line) its %USER%, %N% and %TEXT% name: messages.msg37('carol', 2).
export function catalogue(dir) {
  const file = new URL(`../../site/${dir}dat-message.dat`, import.meta.url);
  const text = fs.readFileSync(file, 'utf8');
  return Object.fromEntries(text.split('\n').filter((l) => /^msg\d\d=/.test(l))
    .map((l) => [l.slice(0, 5), (user = '', n = 0, txt = '') => l.slice(6)
      .replaceAll('%USER%', user).replaceAll('%N%', String(n)).replaceAll('%TEXT%', txt)]));
}

// What url answers user and pass (user null: no credentials), a redirect
// not followed: { status, location }.
export async function ask(url, user = null, pass = '') {
  const headers = {};
  if (user !== null) {
    headers.Authorization = 'Basic ' + Buffer.from(`${user}:${pass}`).toString('base64');
  }
  const res = await fetch(url, { headers, redirect: 'manual' });
  await res.arrayBuffer();
  return { status: res.status, location: res.headers.get('location') };
}

// The files of dir whose names start with ".ht", with their contents, as
// one string to compare before and after a request.
export function htFiles(dir) {
  return JSON.stringify(fs.readdirSync(dir).filter((name) => name.startsWith('.ht')).sort()
    .map((name) => [name, fs.readFileSync(path.join(dir, name), 'latin1')]));
}
