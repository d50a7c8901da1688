// The settings page (app/www) in a real browser: Debian's chromium driven by playwright-core,
// against tools/demo's web camera, which this test starts on a free 127.0.0.1 port with fixture
// files. What the page shows and writes is checked against Ombrelle's own reader (parse_config)
// and Ombrelle's log.
import { after, before, describe, test } from "node:test";
import assert from "node:assert/strict";
import { execFileSync, spawn } from "node:child_process";
import fs from "node:fs";
import http from "node:http";
import os from "node:os";
import path from "node:path";
import { fileURLToPath } from "node:url";
import { chromium } from "playwright-core";

const HERE = path.dirname(fileURLToPath(import.meta.url));
const TOP = path.resolve(HERE, "../..");
const BUILD = required("OMBRELLE_BUILD");
const PARSE_CONFIG = required("WEB_PARSE_CONFIG");
const ARTEFACTS = required("WEB_ARTEFACTS");
const PYTHON = process.env.PYTHON || "python3";
const CHROMIUM = "/usr/bin/chromium";
const CAMERA_BOUND_S = 100;      // each web camera ends by itself should this test die
const WAIT_MS = 20000;
const ENDED = "[Ombrelle] ========= DYNAMIC CONFIGURATION ENDED =========";
const PAGE_BYTES_MAX = 40 * 1024;

function required(name) {
  const value = process.env[name];
  if (!value)
    throw new Error(`${name} is not set: run this test through ctest`);
  return value;
}

async function until(predicate, what) {
  const deadline = Date.now() + WAIT_MS;
  while (!predicate()) {
    if (Date.now() > deadline)
      throw new Error(`timed out waiting for ${typeof what === "function" ? what() : what}`);
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
}

/* tools/demo --web with the fixture files of fixtures/NAME. */
async function startCamera(fixtures) {
  const child = spawn(PYTHON, [path.join(TOP, "tools", "simcamera.py"), "--build", BUILD, "--web",
    "--seconds", String(CAMERA_BOUND_S), "--fixtures", path.join(HERE, "fixtures", fixtures)],
  { stdio: ["ignore", "pipe", "pipe"] });
  let output = "";
  child.stdout.on("data", (d) => { output += d; });
  child.stderr.on("data", (d) => { output += d; });
  const exited = new Promise((resolve) => child.on("exit", (code, signal) => resolve(code ?? signal)));
  await until(() => /settings page http:/.test(output) || child.exitCode !== null,
    () => `the web camera to start:\n${output}`);
  const url = /settings page (http:\/\/127\.0\.0\.1:\d+\/)/.exec(output);
  assert.ok(url, `the web camera did not start:\n${output}`);
  return {
    url: url[1],
    home: /camera +home (\S+)/.exec(output)[1],
    log: /camera +log (\S+)/.exec(output)[1],
    output: () => output,
    async stop() {
      child.kill("SIGTERM");
      assert.equal(await exited, 0, `the web camera did not stop cleanly:\n${output}`);
    },
  };
}

/* What Ombrelle's own reader takes from the camera's two files, by conventional tag. */
function parseConfig(home) {
  const out = execFileSync(PARSE_CONFIG, { env: { ...process.env, TS_APP_HOME: home }, encoding: "utf8" });
  const record = {};
  for (const line of out.split("\n")) {
    const m = /^record ([A-Za-z0-9_]+)=(.*)$/.exec(line);
    if (m)
      record[m[1]] = m[2];
  }
  return record;
}

function logText(camera) {
  return fs.existsSync(camera.log) ? fs.readFileSync(camera.log, "utf8") : "";
}

function passes(camera) {
  return logText(camera).split(ENDED).length - 1;
}

/* The field values as the page shows them: a checkbox as "1" or "0". */
async function shown(page, ids) {
  return page.evaluate((list) => Object.fromEntries(list.map((id) => {
    const e = document.getElementById(id);
    return [id, e.type === "checkbox" ? (e.checked ? "1" : "0") : e.value];
  })), ids);
}

/* The fields Ombrelle reads: every field but the channels beyond the count. */
function readFields(record) {
  const count = Number(record.ChannelNumber);
  return Object.keys(record).filter((id) => {
    const channel = /^Channel(\d)/.exec(id);
    return !channel || Number(channel[1]) <= count;
  });
}

function snapshot(home) {
  return ["html/configparams.xml", "html/xivelyconfig.xml", "feed_url"].map((name) => {
    const file = path.join(home, name);
    return [name, fs.readFileSync(file, "utf8"), fs.statSync(file).mtimeMs];
  });
}

let context;
let profile;

before(async () => {
  fs.mkdirSync(ARTEFACTS, { recursive: true });
  profile = fs.mkdtempSync(path.join(os.tmpdir(), "ombrelle-chromium-"));
  context = await chromium.launchPersistentContext(profile, {
    executablePath: CHROMIUM,
    headless: true,
    args: ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
      "--disable-background-networking", "--disable-component-update", "--disable-sync"],
    viewport: { width: 1000, height: 900 },
  });
});

after(async () => {
  await context?.close();
  fs.rmSync(profile, { recursive: true, force: true });
});

async function openPage(camera) {
  const page = await context.newPage();
  const problems = [];
  page.on("pageerror", (e) => problems.push(e.message));
  page.on("console", (m) => { if (m.type() === "error") problems.push(m.text()); });
  await page.goto(camera.url);
  await page.waitForSelector("#settings:not([aria-busy])");
  page.problems = problems;
  return page;
}

test("the page and its assets stay within 40 KiB", () => {
  const www = path.join(TOP, "app", "www");
  const bytes = fs.readdirSync(www).reduce((sum, f) => sum + fs.statSync(path.join(www, f)).size, 0);
  assert.ok(bytes <= PAGE_BYTES_MAX, `${bytes} bytes`);
});

describe("a camera with well-ordered files", () => {
  let camera;
  let page;
  let original;

  before(async () => {
    camera = await startCamera("ordered");
    await until(() => passes(camera) >= 1, "Ombrelle's first configuration pass");
    original = parseConfig(camera.home);
    page = await openPage(camera);
  });

  after(async () => {
    await page?.close();
    await camera?.stop();
  });

  test("every field shows the value Ombrelle reads, but for the stored key", async () => {
    const ids = readFields(original);
    assert.deepEqual(await shown(page, ids),
      Object.fromEntries(ids.map((id) => [id, id === "Apikey" ? "" : original[id]])));
    const endpoint = fs.readFileSync(path.join(camera.home, "feed_url"), "utf8").split("\n")[0];
    assert.equal(await page.inputValue("#Endpoint"), endpoint);
    assert.equal(await page.textContent("#warnings-configparams"), "");
    assert.equal(await page.textContent("#warnings-xivelyconfig"), "");
    assert.match(await page.textContent("#channel4-note"), /Ombrelle does not read this channel/);
    assert.equal(await page.textContent("#channel3-note"), "");

    // The camera now: the channels of SensorData.txt, and the feed status when the script tells one.
    await page.waitForSelector("#sensor-data dt:text-is('Humidity')", { timeout: WAIT_MS });
    const script = fs.readFileSync(path.join(camera.home, "feed_update"), "utf8");
    const status = await page.textContent("#feed-status");
    if (script.includes("--status"))
      assert.notEqual(status.trim(), "");
    else
      assert.equal(status, "unavailable");
    await page.screenshot({ path: path.join(ARTEFACTS, "settings-page.png"), fullPage: true });
    assert.deepEqual(page.problems, []);
  });

  test("every field has a label and is reached with the Tab key", async () => {
    const controls = await page.evaluate(() => [...document.querySelectorAll("input, select, button")]
      .filter((e) => !e.closest("[hidden]"))
      .map((e) => ({ id: e.id || e.textContent,
        label: e.tagName === "BUTTON" ? e.textContent : [...e.labels].map((l) => l.textContent).join() })));
    for (const c of controls)
      assert.ok(c.label.trim() !== "", `${c.id} has no label`);
    await page.focus("#Input1Enabled");
    const reached = new Set(["Input1Enabled"]);
    for (let i = 0; i < controls.length + 2; i++) {
      await page.keyboard.press("Tab");
      reached.add(await page.evaluate(() => document.activeElement.id || document.activeElement.textContent));
    }
    assert.deepEqual(controls.map((c) => c.id).filter((id) => !reached.has(id)), []);
  });

  test("the stored key and password never reach the page, and an unchanged save keeps them", async () => {
    const password = "s3cret-PW_417";
    const feedUrl = path.join(camera.home, "feed_url");
    const url = fs.readFileSync(feedUrl, "utf8").split("\n")[0].replace("http://", `http://camera-17:${password}@`);
    fs.writeFileSync(feedUrl, `${url}\n# second line kept\n`);
    const files = snapshot(camera.home);
    const modes = files.map(([name]) => fs.statSync(path.join(camera.home, name)).mode & 0o7777);
    await page.reload();
    await page.waitForSelector("#settings:not([aria-busy])");

    const visible = () => page.evaluate(() => document.documentElement.outerHTML + document.body.innerText +
      [...document.querySelectorAll("input, select")].map((e) => e.value).join("\n"));
    for (const secret of [original.Apikey, password])
      assert.ok(!(await visible()).includes(secret), `the page shows ${secret}`);
    assert.equal(await page.getAttribute("#Apikey", "type"), "password");
    assert.equal(await page.inputValue("#Endpoint"), url.replace(password, "***"));

    // Saved unchanged: Ombrelle reads the same settings, key included, feed_url keeps its bytes, and
    // every file its mode.
    const read = parseConfig(camera.home);
    await page.getByRole("button", { name: "Save" }).click();
    await page.waitForSelector("#apply-prompt:not([hidden])");
    assert.match(camera.output(), /web +wrote html\/xivelyconfig\.xml/);
    assert.deepEqual(parseConfig(camera.home), read);
    assert.equal(read.Apikey, original.Apikey);
    assert.equal(fs.readFileSync(feedUrl, "utf8"), files.find(([name]) => name === "feed_url")[1]);
    assert.deepEqual(files.map(([name]) => fs.statSync(path.join(camera.home, name)).mode & 0o7777), modes);
    assert.ok(!(await visible()).includes(password));

    // Another host with the mask in place keeps the stored password; typing one replaces it.
    await page.getByLabel("Feed endpoint").fill(url.replace(password, "***").replace("/v2", "/v2b"));
    await page.getByRole("button", { name: "Save" }).click();
    await until(() => fs.readFileSync(feedUrl, "utf8").includes("/v2b"), "feed_url with the new path");
    assert.equal(fs.readFileSync(feedUrl, "utf8"), `${url.replace("/v2", "/v2b")}\n# second line kept\n`);
    await page.getByLabel("Feed endpoint").fill(url);
    await page.getByRole("button", { name: "Save" }).click();
    await until(() => fs.readFileSync(feedUrl, "utf8").startsWith(`${url}\n`), "feed_url as it was");
    assert.deepEqual(page.problems, []);
    fs.writeFileSync(feedUrl, `${url.replace(`camera-17:${password}@`, "")}\n`);
    await page.reload();
    await page.waitForSelector("#settings:not([aria-busy])");
  });

  test("saved settings are what Ombrelle's reader takes, and Ombrelle applies them", async () => {
    const endpoint = (await page.inputValue("#Endpoint")).replace(/\/v2$/, "/v3");
    const before = passes(camera);
    const changes = {
      Input1Name: "Porte d'entrée", Apikey: "NEW-KEY_0123456789", IntervalinMin: "7", SensorType: "0",
      SensorParam: "-40", ChannelNumber: "4", Channel2Name: "Température", Channel2Param: "31",
      Channel4Name: "Wind", Channel4Param: "0",
    };
    await page.getByLabel("Input 1 feed channel").fill(changes.Input1Name);
    await page.getByLabel("API key").fill(changes.Apikey);
    await page.getByLabel("Upload interval (minutes)").fill(changes.IntervalinMin);
    await page.getByLabel("Sensor type").selectOption(changes.SensorType);
    await page.getByLabel("Sensor parameter").fill(changes.SensorParam);
    await page.getByLabel("Channels in use").fill(changes.ChannelNumber);
    await page.getByLabel("Channel 2 name").fill(changes.Channel2Name);
    await page.getByLabel("Channel 2 parameter").fill(changes.Channel2Param);
    await page.getByLabel("Channel 4 name").fill(changes.Channel4Name);
    await page.getByLabel("Channel 4 parameter").fill(changes.Channel4Param);
    await page.getByLabel("Feed endpoint").fill(endpoint);
    // By keyboard: Space switches a report on, Enter in a field saves, Enter applies.
    await page.getByLabel("Report motion").focus();
    await page.keyboard.press("Space");
    await page.getByLabel("Channel 4 upload").focus();
    await page.keyboard.press("Space");
    await page.getByLabel("Channel 4 name").press("Enter");
    await page.waitForSelector("#apply-prompt:not([hidden])");
    assert.equal(await page.evaluate(() => document.activeElement.id), "apply-now");
    assert.equal(passes(camera), before, "nothing is applied before the user says so");

    const expected = { ...original, ...changes, MotionDetectionEnabled: "1", Channel4Enabled: "1" };
    assert.deepEqual(parseConfig(camera.home), expected);
    assert.equal(fs.readFileSync(path.join(camera.home, "html", "configparams.xml"), "utf8"),
      "<ConfigParams>\n  <Input1Enabled>1</Input1Enabled>\n  <Input1Name>Porte d'entrée</Input1Name>\n" +
      "  <MotionDetectionEnabled>1</MotionDetectionEnabled>\n  <MotionDetectionName>Hall</MotionDetectionName>\n" +
      "  <DayNightEnabled>1</DayNightEnabled>\n  <DayNightName>Lumière</DayNightName>\n" +
      "  <RS485Enabled>0</RS485Enabled>\n  <XivelyEnabled>1</XivelyEnabled>\n  <AppEnabled>1</AppEnabled>\n" +
      "  <Ext_thread>0</Ext_thread>\n</ConfigParams>\n");
    const feedTags = [...fs.readFileSync(path.join(camera.home, "html", "xivelyconfig.xml"), "utf8")
      .matchAll(/<([A-Za-z0-9_]+)>/g)].map((m) => m[1]);
    const triples = [1, 2, 3, 4, 5, 6, 7, 8].flatMap((k) => [`Channel${k}Enabled`, `Channel${k}Name`, `Channel${k}Param`]);
    assert.deepEqual(feedTags, ["XivelyConfigParams", "Apikey", "FeedID", "SensorType", "SensorParam",
      "IntervalinMin", "ChannelNumber", ...triples]);
    assert.equal(fs.readFileSync(path.join(camera.home, "feed_url"), "utf8"), `${endpoint}\n`);

    await page.keyboard.press("Enter");
    await until(() => passes(camera) > before, "a new configuration pass");
    const pass = logText(camera).split(ENDED)[before];
    for (const line of ["[Ombrelle]Input1 Name            = Porte d'entrée \n",
      "[Ombrelle]MotionDetection Name   = Hall \n", "[Ombrelle]Apikey = NEW-KEY_0123456789 \n",
      "[Ombrelle]Sensor Type    = 0\n", "[Ombrelle]Sensor Param= -40\n", "[Ombrelle]IntervalinMin  = 7\n",
      "[Ombrelle]Channel Number = 4\n", "[Ombrelle]Channel2 Name   = Température \n",
      "[Ombrelle]Channel2 Param= 31\n", "[Ombrelle]Channel4 Enabled= 1\n", "[Ombrelle]Channel4 Name   = Wind \n"])
      assert.ok(pass.includes(line), `the new pass lacks ${JSON.stringify(line)}:\n${pass}`);
    await page.waitForSelector("#message:text('Applied')");
    assert.equal(await page.evaluate(() => document.activeElement.id), "save");
    assert.equal(await page.textContent("#warnings-configparams"), "");
    assert.deepEqual(page.problems, []);
  });

  test("invalid input is refused with its reason and nothing is written", async () => {
    await page.reload();
    await page.waitForSelector("#settings:not([aria-busy])");
    const files = snapshot(camera.home);
    const applied = passes(camera);
    const said = camera.output().length;
    const refused = [
      ["Input1Name", "Input 1 feed channel", "ä".repeat(16), "Too long: 32 bytes, at most 31"],
      ["Apikey", "API key", "k".repeat(128), "Too long: 128 bytes, at most 127"],
      ["IntervalinMin", "Upload interval (minutes)", "ten", "Enter a whole number from 0 to 35791394."],
      ["ChannelNumber", "Channels in use", "9", "Out of range: enter a whole number from 1 to 8. Ombrelle would use 8."],
      ["SensorParam", "Sensor parameter", "1.5", "Enter a whole number"],
      ["Channel1Name", "Channel 1 name", "two  blanks", "Words apart by single blanks"],
      ["Channel2Name", "Channel 2 name", "R&D", "none of < > &"],
      ["FeedID", "Feed identifier", "12/34", "Only letters, digits and . _ ~ - are allowed."],
      ["Endpoint", "Feed endpoint", "ftp://127.0.0.1/", "Enter a URL beginning with http://"],
    ];
    for (const [, label, value] of refused)
      await page.getByLabel(label).fill(value);
    await page.getByRole("button", { name: "Save" }).click();
    for (const [id, , , message] of refused) {
      assert.ok((await page.textContent(`#${id}-error`)).includes(message), `${id}: ${await page.textContent(`#${id}-error`)}`);
      assert.equal(await page.getAttribute(`#${id}`, "aria-invalid"), "true");
    }
    assert.equal(await page.textContent("#message"), `Nothing was saved: ${refused.length} fields need attention.`);
    assert.equal(await page.evaluate(() => document.activeElement.id), "Input1Name");
    assert.equal(await page.isHidden("#apply-prompt"), true);
    await page.screenshot({ path: path.join(ARTEFACTS, "settings-page-refused.png"), fullPage: true });

    // 31 bytes of UTF-8 are accepted; the other fields still hold the save back.
    await page.getByLabel("Input 1 feed channel").fill("ä".repeat(15) + "a");
    await page.getByRole("button", { name: "Save" }).click();
    assert.equal(await page.textContent("#Input1Name-error"), "");
    assert.equal(await page.textContent("#message"), `Nothing was saved: ${refused.length - 1} fields need attention.`);

    await new Promise((resolve) => setTimeout(resolve, 300));
    assert.deepEqual(snapshot(camera.home), files);
    assert.equal(passes(camera), applied);
    assert.doesNotMatch(camera.output().slice(said), /web +wrote/);
  });
});

describe("a camera with a misordered file", () => {
  let camera;
  let page;

  before(async () => {
    camera = await startCamera("misordered");
    page = await openPage(camera);
  });

  after(async () => {
    await page?.close();
    await camera?.stop();
  });

  test("the page warns and shows what Ombrelle takes by position", async () => {
    const warnings = await page.textContent("#warnings-configparams");
    assert.match(warnings, /^configparams\.xml: this file may be misordered/);
    assert.match(warnings, /position 1 holds <Input1Name>, where <Input1Enabled> belongs/);
    assert.doesNotMatch(await page.textContent("#warnings-xivelyconfig"), /misordered/);

    const record = parseConfig(camera.home);
    // Where Ombrelle then replaces an out-of-range value, the page shows the replacement.
    const replaced = { DayNightEnabled: "0", IntervalinMin: "5", Channel1Enabled: "1", Apikey: "" };
    const ids = readFields(record);
    assert.deepEqual(await shown(page, ids), Object.fromEntries(ids.map((id) => [id, replaced[id] ?? record[id]])));
    assert.equal(record.Input1Name, "1");
    assert.equal(record.MotionDetectionName, "R&amp;D");
    assert.equal(record.DayNightName, "DayNightNameOfMoreThanThirtyOne");

    const notes = {
      Input1Enabled: "Read from <Input1Name>. The file holds \"Door\"; Ombrelle reads 0.",
      DayNightEnabled: "The file holds 2, out of range: Ombrelle uses 0, off.",
      DayNightName: "The file holds 36 bytes; Ombrelle cuts them to 31.",
      IntervalinMin: "The file holds \" -3\"; Ombrelle reads -3. The file holds -3, out of range: Ombrelle uses 5.",
      SensorType: "Type 7 is not supported: Ombrelle stops applying the feed settings.",
      Channel1Param: "The file holds \"30abc\"; Ombrelle reads 30.",
    };
    for (const [id, note] of Object.entries(notes))
      assert.equal(await page.textContent(`#${id}-note`), note, id);
    assert.equal(await page.textContent("#SensorType option:checked"), "7: not supported");
    assert.match(await page.textContent("#channel3-note"), /Ombrelle does not read this channel/);
    assert.deepEqual(page.problems, []);
  });
});

/* One request as any client may send it, headers as given (Host too); its status. */
function rawRequest(url, method, headers, body) {
  return new Promise((resolve, reject) => {
    const target = new URL(url);
    const request = http.request({ host: target.hostname, port: target.port, path: target.pathname, method,
      headers: { ...headers, "Content-Length": Buffer.byteLength(body ?? "") } }, (response) => {
      response.resume();
      response.on("end", () => resolve(response.statusCode));
    });
    request.on("error", reject);
    request.end(body ?? "");
  });
}

/* A page of another origin (another port of 127.0.0.1) that tries the camera's writes. */
const FOREIGN_PAGE = `<!doctype html><title>elsewhere</title>
<form method="POST" enctype="text/plain"><input name="x" value="1"></form>`;

describe("the web camera takes writes only from its own page", () => {
  let camera;
  let foreign;
  let foreignUrl;

  before(async () => {
    camera = await startCamera("ordered");
    await until(() => passes(camera) >= 1, "Ombrelle's first configuration pass");
    foreign = http.createServer((request, response) => {
      response.writeHead(200, { "Content-Type": "text/html; charset=utf-8" });
      response.end(FOREIGN_PAGE);
    });
    await new Promise((resolve) => foreign.listen(0, "127.0.0.1", resolve));
    foreignUrl = `http://127.0.0.1:${foreign.address().port}/`;
  });

  after(async () => {
    await new Promise((resolve) => foreign?.close(resolve));
    await camera?.stop();
  });

  test("a page of another origin can neither apply nor write", async () => {
    const files = snapshot(camera.home);
    const applied = passes(camera);
    const said = camera.output().length;
    const page = await context.newPage();
    try {
      await page.goto(foreignUrl);
      const outcome = await page.evaluate(async (target) => {
        const tried = {};
        // A simple request goes out without the header; its answer is opaque to the page.
        await fetch(`${target}www/apply`, { method: "POST", mode: "no-cors", body: "x" })
          .then(() => { tried.post = "sent"; }, () => { tried.post = "blocked"; });
        // With the header (or as a PUT) it needs a preflight, which the camera never grants.
        await fetch(`${target}html/configparams.xml`, { method: "PUT", body: "<ConfigParams/>",
          headers: { "X-Ombrelle-Settings": "1" } })
          .then(() => { tried.put = "sent"; }, () => { tried.put = "blocked"; });
        await fetch(`${target}www/apply`, { method: "POST", headers: { "X-Ombrelle-Settings": "1" } })
          .then(() => { tried.postWithHeader = "sent"; }, () => { tried.postWithHeader = "blocked"; });
        return tried;
      }, camera.url);
      assert.deepEqual(outcome, { post: "sent", put: "blocked", postWithHeader: "blocked" });
      // A form of that page, posted to the camera's apply.
      await page.evaluate((target) => { document.forms[0].action = `${target}www/apply`; }, camera.url);
      const [response] = await Promise.all([page.waitForNavigation(), page.evaluate(() => document.forms[0].submit())]);
      assert.equal(response.status(), 403);
    } finally {
      await page.close();
    }
    await new Promise((resolve) => setTimeout(resolve, 300));
    const output = camera.output().slice(said);
    assert.equal(output.match(/refused POST \/www\/apply/g)?.length, 2, output);
    assert.doesNotMatch(output, /apply: SIGUSR1|web +wrote/);
    assert.deepEqual(snapshot(camera.home), files);
    assert.equal(passes(camera), applied);
  });

  test("a foreign Host, a foreign Origin or a write without the header is refused", async () => {
    const own = new URL(camera.url);
    const ok = { "X-Ombrelle-Settings": "1", Origin: `http://${own.host}` };
    const body = fs.readFileSync(path.join(camera.home, "feed_url"), "utf8");
    const files = snapshot(camera.home);
    const applied = passes(camera);
    const cases = [
      ["GET", "www/index.html", { Host: `camera.example:${own.port}` }, 421],
      ["GET", "feed_url", { Host: "rebound.example" }, 421],
      ["PUT", "feed_url", { ...ok, Host: `localhost:${own.port}` }, 421],
      ["PUT", "feed_url", {}, 403],
      ["POST", "www/apply", {}, 403],
      ["POST", "www/apply", { Origin: `http://${own.host}` }, 403],
      ["PUT", "html/configparams.xml", { ...ok, Origin: "http://127.0.0.1:1" }, 403],
      ["POST", "www/apply", { ...ok, Origin: "null" }, 403],
    ];
    for (const [method, name, headers, status] of cases)
      assert.equal(await rawRequest(camera.url + name, method, headers, method === "PUT" ? body : ""), status,
        `${method} ${name} ${JSON.stringify(headers)}`);
    assert.deepEqual(snapshot(camera.home), files);
    assert.equal(passes(camera), applied);
    // The page's own writes still go through, with or without an Origin.
    assert.equal(await rawRequest(`${camera.url}feed_url`, "PUT", ok, body), 204);
    assert.equal(await rawRequest(`${camera.url}www/apply`, "POST", { "X-Ombrelle-Settings": "1" }), 204);
    await until(() => passes(camera) > applied, "the applied pass");
  });
});
