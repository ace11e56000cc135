// gui.test.mjs - the GUI in Chromium via playwright-core, run by tests/e2e/test_web_browser.py (TORVANE_GUI_* env).
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { chromium } from 'playwright-core';

const base = process.env.TORVANE_GUI_URL;
const password = process.env.TORVANE_GUI_PASSWORD;
const connections = process.env.TORVANE_GUI_CONNECTIONS;
// Every wait of the browser is bounded by this.
const TIMEOUT_MS = 15000;

let browser;
let page;
const consoleErrors = [];

before(async () => {
  assert.ok(base && password && connections, 'TORVANE_GUI_URL, _PASSWORD and _CONNECTIONS are needed');
  browser = await chromium.launch({
    executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
    headless: true,
    // As root Chromium refuses its sandbox; the pages are our own.
    args: ['--no-sandbox'],
    timeout: TIMEOUT_MS,
  });
  page = await browser.newPage();
  page.setDefaultTimeout(TIMEOUT_MS);
  page.on('console', (message) => {
    if (message.type() === 'error') consoleErrors.push(message.text());
  });
  page.on('pageerror', (error) => consoleErrors.push(String(error)));
  page.on('response', (response) => {
    if (response.status() >= 400) consoleErrors.push(`${response.status()} ${response.url()}`);
  });
});

after(async () => {
  await browser?.close();
});

function today() {
  const now = new Date();
  const pad = (n) => String(n).padStart(2, '0');
  return `${pad(now.getMonth() + 1)}-${pad(now.getDate())}`;
}

test("the dashboard's bar of today counts the SMTP connections", async () => {
  await page.goto(`${base}/login.htmcc`);
  await page.fill('input[name="user"]', 'root');
  await page.fill('input[name="password"]', password);
  await Promise.all([page.waitForLoadState('load'), page.click('form.login button')]);
  assert.equal(new URL(page.url()).pathname, '/index.htmcc');
  const bar = page.locator(`rect[data-series="connections"][data-label="${today()}"]`);
  await bar.waitFor();
  assert.equal(await bar.getAttribute('data-value'), connections);
  assert.ok(Number(await bar.getAttribute('height')) > 0);
  if (process.env.TORVANE_GUI_SCREENSHOT) {
    await page.screenshot({ path: process.env.TORVANE_GUI_SCREENSHOT, fullPage: true });
  }
});

test('after logging out the dashboard sends the browser to log in', async () => {
  await Promise.all([page.waitForLoadState('load'), page.click('nav form button')]);
  await page.goto(`${base}/index.htmcc`);
  assert.equal(new URL(page.url()).pathname, '/login.htmcc');
  assert.equal(await page.locator('form.login').count(), 1);
});

test('no page wrote an error to the console nor failed to load', () => {
  assert.deepEqual(consoleErrors, []);
});
