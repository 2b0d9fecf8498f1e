// The page in Debian's Chromium against corvana-cli serve: the served script
// provides the backend, calls complete, telemetry streams, edits undo, and
// errors arrive as "nativeError".
import { test, before, after } from "node:test";
import assert from "node:assert/strict";
import { spawn } from "node:child_process";
import { mkdtempSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { chromium } from "playwright-core";

const cli = process.env.CORVANA_CLI;
if (!cli) throw new Error("CORVANA_CLI must name the corvana-cli executable");

let server;
let url;
let browser;
let profile;

function startServe() {
  return new Promise((resolve, reject) => {
    const child = spawn(cli, ["serve"], { stdio: ["ignore", "pipe", "pipe"] });
    let out = "";
    const timer = setTimeout(() => reject(new Error("serve printed no address")), 20000);
    child.stdout.on("data", (d) => {
      out += d;
      const line = out.split("\n").find((l) => l.startsWith("http://127.0.0.1:"));
      if (line) {
        clearTimeout(timer);
        resolve({ child, url: line.trim() });
      }
    });
    child.on("exit", (code) => reject(new Error(`serve exited with ${code}`)));
  });
}

before(async () => {
  ({ child: server, url } = await startServe());
  profile = mkdtempSync(join(tmpdir(), "corvana-chromium-"));
  // A fresh profile directory each run (Playwright passes it as --user-data-dir).
  browser = await chromium.launchPersistentContext(profile, {
    executablePath: "/usr/bin/chromium",
    headless: true,
    args: [
      "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
      "--disable-background-networking", "--disable-component-update", "--disable-sync",
    ],
  });
});

after(async () => {
  await browser?.close();
  if (server && server.exitCode === null) {
    const exited = new Promise((r) => server.once("exit", (code, signal) => r({ code, signal })));
    server.kill("SIGINT");
    const { code } = await exited;
    assert.equal(code, 0, "serve stops cleanly on Ctrl-C");
  }
  if (profile) rmSync(profile, { recursive: true, force: true });
});

async function openPage() {
  const page = await browser.newPage();
  await page.goto(url);
  await page.waitForFunction(() => !!window.__JUCE__?.backend);
  // The same client code the page uses, reduced to what the test needs.
  await page.evaluate(() => {
    const backend = window.__JUCE__.backend;
    let next = 1000;
    const pending = new Map();
    backend.addEventListener("__juce__complete", (p) => {
      const resolve = pending.get(p.promiseId);
      if (resolve) { pending.delete(p.promiseId); resolve(p.result); }
    });
    window.callNative = (name, ...params) => new Promise((resolve) => {
      const resultId = next++;
      pending.set(resultId, resolve);
      backend.emitEvent("__juce__invoke", { name, params, resultId });
    });
    window.events = [];
    for (const name of ["telemetryChanged", "nativeError"]) {
      backend.addEventListener(name, (payload) => window.events.push({ name, payload }));
    }
  });
  return page;
}

test("the page renders the state snapshot through the served backend", async () => {
  const page = await openPage();
  await page.waitForSelector("[data-testid=snapshot]");
  await page.waitForFunction(() => document.querySelector("[data-testid=snapshot]").textContent.includes("settingsRevision"));
  const title = await page.title();
  assert.equal(title, "Corvana");
  await page.close();
});

test("calls complete with results and telemetry streams", async () => {
  const page = await openPage();
  const state = JSON.parse(await page.evaluate(() => window.callNative("getState")));
  assert.equal(typeof state.settingsRevision, "number");
  assert.equal(await page.evaluate(() => window.callNative("hasUnsavedChanges")), false);
  assert.equal(await page.evaluate(() => window.callNative("noSuchFunction")), null);
  await page.waitForFunction(() => window.events.some((e) => e.name === "telemetryChanged"), null, { timeout: 5000 });
  const telemetry = await page.evaluate(() => window.events.find((e) => e.name === "telemetryChanged").payload);
  for (const key of ["running", "masterMute", "settingsRevision", "canUndo", "dsp", "inputMeters", "outputMeters"]) {
    assert.ok(key in telemetry, key);
  }
  assert.equal(typeof telemetry.dsp.currentPercent, "number");
  await page.close();
});

test("an edit is undoable and errors arrive as nativeError", async () => {
  const page = await openPage();
  const before = JSON.parse(await page.evaluate(() => window.callNative("getState")));
  const revision = await page.evaluate(() => window.callNative("setParameter", "masterVolumeDb", -6, "test-drag"));
  assert.ok(revision > before.settingsRevision);
  let state = JSON.parse(await page.evaluate(() => window.callNative("getState")));
  assert.equal(state.masterVolumeDb, -6);
  assert.equal(state.canUndo, true);
  assert.ok((await page.evaluate(() => window.callNative("undo"))) >= 0);
  state = JSON.parse(await page.evaluate(() => window.callNative("getState")));
  assert.equal(state.masterVolumeDb, before.masterVolumeDb);

  const bad = await page.evaluate(() => window.callNative("setParameter", "nodes.nothing.gainDb", 1));
  assert.equal(bad, -1);
  await page.waitForFunction(() => window.events.some((e) => e.name === "nativeError"), null, { timeout: 5000 });
  const message = await page.evaluate(() => window.events.find((e) => e.name === "nativeError").payload);
  assert.equal(typeof message, "string");
  assert.ok(message.length > 0);
  await page.close();
});

test("a page from another origin cannot open the bridge", async () => {
  const page = await browser.newPage();
  await page.goto("about:blank");
  const wsUrl = url.replace("http://", "ws://").replace(/\?.*$/, "") + "__bridge";
  const outcome = await page.evaluate((u) => new Promise((resolve) => {
    const ws = new WebSocket(u);
    ws.onopen = () => resolve("open");
    ws.onerror = () => resolve("refused");
  }), wsUrl);
  assert.equal(outcome, "refused");
  const withoutSecret = await page.evaluate(async (u) => {
    try { return (await fetch(u)).status; } catch { return "blocked"; }
  }, new URL(url).origin + "/");
  assert.notEqual(withoutSecret, 200);
  await page.close();
});
