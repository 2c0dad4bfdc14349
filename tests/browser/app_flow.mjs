#!/usr/bin/env node
// The web pages in a real browser (Debian's headless Chromium driven by
// playwright-core): a fresh program folder, the program started as a
// service, then a member of staff's day: logging in through the login
// form, adding an area and a customer, finding it, paging through the list,
// changing it, a change that loses against another session's, logging out,
// and SIGTERM ending the program with exit code 0.
//
// Usage: node app_flow.mjs PROGRAM WEB_DIR ARTIFACT_DIR
//   PROGRAM       the built tarnwicke program
//   WEB_DIR       the web/ folder of the source tree
//   ARTIFACT_DIR  where the screenshots (PNG) go
// Needs /usr/bin/chromium and `npm ci` run in this folder.

import { spawn } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';

const [program, webDir, artifactDir] = process.argv.slice(2);
if (!program || !webDir || !artifactDir) {
  console.error('usage: node app_flow.mjs PROGRAM WEB_DIR ARTIFACT_DIR');
  process.exit(2);
}

let chromium;
try {
  ({ chromium } = await import('playwright-core'));
} catch (e) {
  console.error('playwright-core is missing: run `npm ci` in tests/browser (' + e.message + ')');
  process.exit(1);
}

const WELCOME = '歡迎使用Vorda客戶管理系統 (網上版).';
const STEP_TIMEOUT = 20000;   // one wait in the browser or for the program
const TOTAL_TIMEOUT = 150000; // the whole test; CTest's limit is 180 s

let child = null;
let browser = null;
let folder = null;
let output = '';
let passed = 0;

// The whole run is bounded: past the limit everything is torn down.
const watchdog = setTimeout(() => {
  console.error('FAIL  the test took longer than ' + TOTAL_TIMEOUT / 1000 + ' s\n' + output);
  if (child && child.exitCode === null) child.kill('SIGKILL');
  process.exit(1);
}, TOTAL_TIMEOUT);
watchdog.unref();

function check(ok, what, detail = '') {
  if (!ok) throw new Error(what + (detail ? '\n' + String(detail).slice(0, 2000) : ''));
  passed++;
  console.log('ok    ' + what);
}

function freePort() {
  return new Promise((resolve, reject) => {
    const server = net.createServer();
    server.on('error', reject);
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

function withTimeout(promise, ms, what) {
  let timer;
  return Promise.race([
    promise,
    new Promise((_, reject) => { timer = setTimeout(() => reject(new Error('timed out: ' + what)), ms); }),
  ]).finally(() => clearTimeout(timer));
}

// A fresh program folder with the web files the program serves.
function makeFolder() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'tarnwicke-browser-'));
  for (const f of ['login.htm', 'style.css', 'common.js', 'introduction.htm'])
    fs.copyFileSync(path.join(webDir, f), path.join(dir, f));
  fs.cpSync(path.join(webDir, 'help'), path.join(dir, 'help'), { recursive: true });
  return dir;
}

// Starts the program and resolves once it printed its start line.
function startProgram(port) {
  child = spawn(program, ['--folder', folder, '--port', String(port), '--no-browser', '--console'],
    { stdio: ['ignore', 'pipe', 'pipe'] });
  const exited = new Promise((resolve) => child.on('exit', (code, signal) => resolve({ code, signal })));
  const started = new Promise((resolve, reject) => {
    const onData = (data) => {
      output += data.toString('utf8');
      if (output.includes(WELCOME)) resolve();
    };
    child.stdout.on('data', onData);
    child.stderr.on('data', onData);
    child.on('error', reject);
    exited.then(({ code, signal }) => reject(new Error(`the program ended (${code ?? signal}) before starting\n${output}`)));
  });
  return { exited, started: withTimeout(started, STEP_TIMEOUT, 'the program\'s start line') };
}

async function shot(page, name) {
  const file = path.join(artifactDir, name + '.png');
  await page.screenshot({ path: file, fullPage: true });
  console.log('      screenshot ' + file);
}

// Runs an action that navigates `frame` (a click, a form post) and waits
// until the new document has loaded.
async function navigating(frame, action) {
  await Promise.all([frame.waitForNavigation({ waitUntil: 'load', timeout: STEP_TIMEOUT }), action()]);
}

// The pages' forms post to action='', that is back to the address of the
// page that shows the form, query string included; the posted fields must
// win over that query string.
async function submit(frame, button) {
  await navigating(frame, () => frame.click(button));
}

const text = (frame) => frame.evaluate(() => document.body ? document.body.innerText : '');
const title = (frame) => frame.evaluate(() => document.title);

// Logs in through the login form in a new context; gives the page, its
// menu and main frames and the session number.
async function login(base, id, password) {
  const context = await browser.newContext({ viewport: { width: 1280, height: 900 }, locale: 'zh-TW' });
  const page = await context.newPage();
  page.setDefaultTimeout(STEP_TIMEOUT);
  page.setDefaultNavigationTimeout(STEP_TIMEOUT);
  await page.goto(base + 'login.htm');
  await page.fill('#loginId', id);
  await page.fill('#loginPassword', password);
  return { context, page };
}

async function enterFrameset(page) {
  await navigating(page.mainFrame(), () => page.click('input[type=submit]'));
  const menu = page.frame({ name: 'menu' });
  const main = page.frame({ name: 'main' });
  check(menu !== null && main !== null && (await page.$('frameset')) !== null,
    'login replies with the frameset of menu and main frame', await page.content());
  await menu.waitForSelector('a:text-is("登出系統")');
  const href = await menu.getAttribute('a:text-is("客戶管理")', 'href');
  const session = /session=(\d+)/.exec(href)?.[1];
  check(session !== undefined, 'the menu links carry the session', href);
  return { menu, main, session };
}

async function run() {
  fs.mkdirSync(artifactDir, { recursive: true });
  folder = makeFolder();
  const port = await freePort();
  const base = `http://127.0.0.1:${port}/`;
  const prog = startProgram(port);
  await prog.started;
  check(true, 'the program started on port ' + port);

  browser = await chromium.launch({
    executablePath: '/usr/bin/chromium',
    headless: true,
    timeout: STEP_TIMEOUT,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync'],
  });

  // Logging in.
  const first = await login(base, 'admin', 'kwirt');
  const page = first.page;
  check((await page.inputValue('#loginId')) === 'admin', 'the login form takes the employee code');
  await shot(page, '01-login');
  const { menu, main, session } = await enterFrameset(page);
  await main.waitForLoadState('load');
  check((await text(menu)).includes('員工名稱:Adminstrator'), 'the menu names the employee', await text(menu));
  await shot(page, '02-frameset');
  const s = '&session=' + session;

  // A new area through its list, the add button and the form.
  await main.goto(base + '?page=searchCustomerArea' + s);
  check((await text(main)).includes('總數: 3'), 'the area list shows the three areas', await text(main));
  await navigating(main, () => main.click('input[type=button][value="加入"]'));
  check((await title(main)) === '加入客戶地區', 'the add button opens the area form', await title(main));
  await main.fill('input[name=name]', '澳門');
  await submit(main, 'input[type=submit][value="加入"]');
  check((await title(main)) === '成功加入客戶地區' && (await text(main)).includes('澳門'),
    'the new area is stored', await text(main));

  // A customer through the add form, reached from the menu's customer list.
  await navigating(main, () => menu.click('a:text-is("客戶管理")'));
  check((await title(main)) === '客戶列表', 'the menu opens the customer list', await title(main));
  await navigating(main, () => main.click('input[type=button][value="加入"]'));
  check((await title(main)) === '加入客戶', 'the add button opens the customer form', await title(main));
  const optionsOf = (name) => main.$$eval(`select[name=${name}] option`, (os) => os.map((o) => o.textContent));
  check(JSON.stringify(await optionsOf('category')) === JSON.stringify(['軟件', '硬件', '其他']),
    'the category select has the categories', JSON.stringify(await optionsOf('category')));
  check(JSON.stringify(await optionsOf('level')) === JSON.stringify(['咨詢', '接觸', '客戶', 'VIP']),
    'the level select has the levels', JSON.stringify(await optionsOf('level')));
  check(JSON.stringify(await optionsOf('area')) === JSON.stringify(['香港', '台灣', '其他', '澳門']),
    'the area select has the areas with the new one', JSON.stringify(await optionsOf('area')));
  const customerId = await main.inputValue('input[name=id]');
  await main.selectOption('select[name=category]', { label: '硬件' });
  await main.selectOption('select[name=level]', { label: '客戶' });
  await main.selectOption('select[name=area]', { label: '澳門' });
  await main.fill('input[name=name]', '瀏覽器測試有限公司');
  await main.fill('input[name=person]', '陳大文');
  await main.fill('input[name=telephone]', '+853 2800 0000');
  await main.fill('textarea[name=remark]', '由瀏覽器測試加入.');
  // The values the quick additions below post, taken from this form.
  const formValues = await main.$$eval('form[name=inputForm] select', (ss) =>
    Object.fromEntries(ss.map((sel) => [sel.name, sel.value])));
  await shot(page, '03-customer-form');
  await submit(main, 'input[type=submit][value="加入"]');
  let body = await text(main);
  check((await title(main)) === '成功加入客戶' && body.includes('瀏覽器測試有限公司') && body.includes('澳門'),
    'the customer is added: 成功加入客戶', body);

  // Finding it by name.
  await navigating(main, () => main.click('input[type=button][value="返回列表"]'));
  await main.fill('input[name=name]', '瀏覽器測試有限公司');
  await submit(main, 'input[type=submit][value="尋找"]');
  body = await text(main);
  check(body.includes('總數: 1 --- 顯示: 1 至 1') && body.includes(customerId) && body.includes('陳大文'),
    'the list finds the customer by its name', body);
  const changeHref = await main.getAttribute('#oTable a:text-is("更改")', 'href');
  const oid = /oid=(\d+)/.exec(changeHref)?.[1];
  check(oid !== undefined, 'the found row links to its change form', changeHref);

  // 43 more customers posted straight to the server, 45 in all.
  for (let i = 0; i < 43; i++) {
    const form = new URLSearchParams({ page: 'insertCustomer', session, id: String(20000 + i), ...formValues,
      name: '批量公司' + i, person: '聯絡人' + i, website: 'http://' });
    const reply = await withTimeout(fetch(base, { method: 'POST', body: form }).then((r) => r.text()),
      STEP_TIMEOUT, 'adding customer ' + i);
    if (!reply.includes('成功加入客戶')) check(false, 'adding customer ' + (20000 + i), reply);
  }
  check(true, 'another 43 customers added over HTTP');

  // Paging through the list.
  await navigating(main, () => menu.click('a:text-is("客戶管理")'));
  body = await text(main);
  check(body.includes('總數: 45') && body.includes('顯示: 1 至 20'), 'the list shows 總數: 45, 顯示: 1 至 20', body);
  check((await main.$$('#oTable a:text-is("更改")')).length === 20, 'the first page has 20 rows');
  check((await main.$('input[value="上一頁"]')) === null, 'the first page has no 上一頁');
  await shot(page, '04-customer-list');
  await navigating(main, () => main.click('input[type=button][value="下一頁"]'));
  body = await text(main);
  check(body.includes('總數: 45') && body.includes('顯示: 21 至 40'), '下一頁 leads to 21 至 40', body);
  check((await main.$$('#oTable a:text-is("更改")')).length === 20, 'the second page has 20 rows');
  await navigating(main, () => main.click('input[type=button][value="下一頁"]'));
  body = await text(main);
  check(body.includes('顯示: 41 至 45') && (await main.$('input[value="下一頁"]')) === null,
    'the last page shows 41 至 45 without 下一頁', body);

  // Changing the customer.
  await main.goto(base + '?page=updateCustomerForm' + s + '&oid=' + oid);
  check((await title(main)) === '更改客戶' && (await main.inputValue('input[name=name]')) === '瀏覽器測試有限公司',
    'the change form shows the customer', await text(main));
  await main.fill('input[name=person]', '李小明');
  await submit(main, 'input[type=submit][value="更改"]');
  body = await text(main);
  check((await title(main)) === '成功更改客戶' && body.includes('李小明'), 'the change is stored: 成功更改客戶', body);

  // Two sessions change it at once: the later store loses. A second login
  // of the same employee would end the first session, so the second
  // session is another employee's, added through the employee pages.
  await navigating(main, () => menu.click('a:text-is("員工管理")'));
  await navigating(main, () => main.click('input[type=button][value="加入員工"]'));
  check((await title(main)) === '加入員工', 'the add button opens the employee form', await title(main));
  await main.fill('input[name=id]', 'clerk');
  await main.fill('input[name=password]', 'clerk123');
  await main.fill('input[name=name]', '第二位員工');
  await submit(main, 'input[type=submit][value="加入"]');
  check((await title(main)) === '成功加入員工', 'a second employee is added: 成功加入員工', await text(main));
  const second = await login(base, 'clerk', 'clerk123');
  const other = await enterFrameset(second.page);
  check(other.session !== session, 'a second login gets its own session');
  await other.main.goto(base + '?page=updateCustomerForm&session=' + other.session + '&oid=' + oid);
  check((await title(other.main)) === '更改客戶', 'the second session opens the change form');
  await main.goto(base + '?page=updateCustomerForm' + s + '&oid=' + oid);
  await main.fill('input[name=telephone]', '+853 2811 1111');
  await submit(main, 'input[type=submit][value="更改"]');
  check((await title(main)) === '成功更改客戶', 'the first session stores its change');
  await other.main.fill('input[name=person]', '第二位員工');
  await submit(other.main, 'input[type=submit][value="更改"]');
  body = await text(other.main);
  check(body.includes('資料版本錯誤') && (await other.main.inputValue('input[name=telephone]')) === '+853 2811 1111',
    'the second store shows 資料版本錯誤 with the stored version', body);
  await shot(second.page, '05-version-conflict');
  await second.context.close();

  // Logging out.
  await navigating(page.mainFrame(), () => menu.click('a:text-is("登出系統")'));
  body = await text(page.mainFrame());
  check((await title(page.mainFrame())) === '登出成功' && body.includes('己成功登出'), 'logging out: 登出成功', body);
  await shot(page, '06-logout');
  await first.context.close();
  await browser.close();
  browser = null;

  // SIGTERM ends the program with exit code 0.
  child.kill('SIGTERM');
  const { code, signal } = await withTimeout(prog.exited, 60000, 'the program ending after SIGTERM');
  check(code === 0, 'SIGTERM ends the program with exit code 0', `code ${code} signal ${signal}\n${output}`);
}

let failed = 0;
try {
  await run();
} catch (e) {
  failed = 1;
  console.log('FAIL  ' + (e && e.stack ? e.stack : e));
  console.log('---- program output ----\n' + output);
} finally {
  if (browser) await browser.close().catch(() => {});
  if (child && child.exitCode === null && child.signalCode === null) child.kill('SIGKILL');
  if (folder) fs.rmSync(folder, { recursive: true, force: true });
}
console.log(`${passed} passed, ${failed} failed`);
process.exit(failed ? 1 : 0);
