// The live status page of velmaro-alpaca as a person sees it: Debian's
// headless Chromium at phone size loads "/" from a real server with a
// simulated mount (models 2 and 3), reads what the page shows over time and
// presses its buttons, while the test reads what the mount really does
// through the device API as a client of its own.
//
//   node status_page_test.mjs SERVER [SCREENSHOT_FOLDER]
//
// Given a folder, the page mid-slew is photographed there in both themes
// (alpaca-status-page-day.png, alpaca-status-page-night.png). Each check
// prints one line; the last line counts them. Exit 0 when every check
// passed. Every process started here is ended, also on failure.
import { chromium } from 'playwright-core';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import {
    check, closeEverything, freeLoopbackPort, isRunning, reportRun, shown, skip,
    startProcess, stopProcess,
} from './harness.mjs';

const CHROMIUM = '/usr/bin/chromium';
const PHONE = { width: 390, height: 844 };
// Slow enough that a go-to of a few tens of degrees takes some seconds.
const SLEW_RATE = 4;
// A northern site for model 2 and a southern one for model 3: the pole is
// drawn on either side, and a target that never rises differs.
const RUNS = [
    { model: 2, latitude: 48.5, longitude: -71.25, screenshots: true },
    { model: 3, latitude: -33.75, longitude: 151.25, screenshots: false },
];
const TEST_CLIENT = 7001;
const SECOND_CLIENT = 4242;
const STARTUP_MS = 15000;
const SHOWN_WITHIN_MS = 2000;
const SLEW_LIMIT_MS = 60000;
const WHOLE_RUN_MS = 420000;
const DASH = '—';
// The sky picture's radius in its own units (the page's SKY_RADIUS).
const SKY_RADIUS = 100;

const pause = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// ---- processes -------------------------------------------------------------

// Waits until condition() gives something truthy, and returns it.
async function waitFor(what, condition, { child, ms = STARTUP_MS, every = 25 } = {}) {
    const deadline = Date.now() + ms;
    while (Date.now() < deadline) {
        const value = await condition();
        if (value)
            return value;
        if (child && !isRunning(child))
            throw new Error(`${what}: the process ended first (exit ${child.exitCode ?? child.signalCode}):\n${child.output}`);
        await pause(every);
    }
    throw new Error(`${what}: not within ${ms} ms${child ? ':\n' + child.output : ''}`);
}


// ---- the program under test ------------------------------------------------

const [serverPath, screenshotFolder] = process.argv.slice(2);
if (!serverPath) {
    console.error('usage: node status_page_test.mjs SERVER [SCREENSHOT_FOLDER]');
    process.exit(2);
}
for (const program of [serverPath, CHROMIUM])
    if (!fs.existsSync(program)) {
        console.error(`not found: ${program}`);
        process.exit(2);
    }
if (screenshotFolder && !fs.statSync(screenshotFolder, { throwIfNoEntry: false })?.isDirectory()) {
    console.error(`not a folder: ${screenshotFolder}`);
    process.exit(2);
}

const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'velmaro-status-'));
const serverEnvironment = { ...process.env, HOME: scratch, XDG_STATE_HOME: path.join(scratch, 'state'),
    XDG_CONFIG_HOME: scratch };
delete serverEnvironment.VELMARO_TRACE_DIR;

async function startServer(run) {
    for (let attempt = 1; ; attempt++) {
        const port = await freeLoopbackPort();
        const server = startProcess(serverPath, ['--simulate', String(run.model), '--slew-rate', String(SLEW_RATE),
            '--latitude', String(run.latitude), '--longitude', String(run.longitude),
            '--http-port', String(port), '--discovery-port', '0',
            '--config', path.join(scratch, `model${run.model}.conf`)], { env: serverEnvironment });
        try {
            await waitFor('the server\'s start', () => server.output.includes(': started '), { child: server });
        } catch (error) {
            if (attempt < 3 && !isRunning(server) && /bind|address|port/i.test(server.output))
                continue;
            throw error;
        }
        server.origin = `http://127.0.0.1:${port}`;
        return server;
    }
}

// ---- a client of the test's own, over plain HTTP ----------------------------

class AlpacaClient {
    constructor(origin, clientId) {
        this.origin = origin;
        this.clientId = clientId;
        this.transaction = 0;
    }

    async call(method, member, fields = {}) {
        const identity = { ClientID: String(this.clientId), ClientTransactionID: String(++this.transaction) };
        const base = `${this.origin}/api/v1/telescope/0/${member}`;
        const reply = method === 'GET'
            ? await fetch(`${base}?${new URLSearchParams({ ...fields, ...identity })}`, { signal: AbortSignal.timeout(10000) })
            : await fetch(base, { method, body: new URLSearchParams({ ...fields, ...identity }),
                signal: AbortSignal.timeout(10000) });
        const text = await reply.text();
        if (reply.status !== 200)
            throw new Error(`${method} ${member}: HTTP ${reply.status} ${text}`);
        return JSON.parse(text);
    }

    async value(member) {
        const answer = await this.call('GET', member);
        if (answer.ErrorNumber)
            throw new Error(`GET ${member}: ${answer.ErrorMessage}`);
        return answer.Value;
    }

    async put(member, fields) {
        return this.call('PUT', member, fields);
    }

    async deviceState() {
        return Object.fromEntries((await this.value('devicestate')).map(({ Name, Value }) => [Name, Value]));
    }

    // Read from the mount now, not from the server's kept values.
    async position() {
        return { RightAscension: await this.value('rightascension'), Declination: await this.value('declination'),
            Slewing: await this.value('slewing') };
    }
}

async function statusOf(server) {
    const reply = await fetch(`${server.origin}/status/v1/telescope/0`, { signal: AbortSignal.timeout(10000) });
    return reply.json();
}

// The target endpoint's answer; an answer that is not its JSON comes back
// as a refusal naming what came instead, so that the checks fail and say so.
async function targetOf(server, query) {
    const reply = await fetch(`${server.origin}/status/v1/telescope/0/target?${new URLSearchParams(query)}`,
        { signal: AbortSignal.timeout(10000) });
    const text = await reply.text();
    try {
        return JSON.parse(text);
    } catch {
        return { Refusal: `(not the target's JSON: HTTP ${reply.status} ${text.slice(0, 120)})`, notJson: true };
    }
}

// ---- reading the page as a person does --------------------------------------

async function textOf(page, selector) {
    const element = page.locator(selector);
    return (await element.count()) === 1 ? (await element.textContent()).trim() : undefined;
}

// "05h35m17s" in hours; NaN for anything else.
function hoursFromText(text) {
    const [, h, m, s] = /^(\d\d)h(\d\d)m(\d\d)s$/.exec(text ?? '') ?? [];
    return h === undefined ? NaN : Number(h) + Number(m) / 60 + Number(s) / 3600;
}

// "+05°23'28\"", "-05°23'28\"" or "194°37'43\"" in degrees; NaN for anything else.
function degreesFromText(text) {
    const [, sign, d, m, s] = /^([+-]?)(\d{2,3})°(\d\d)'(\d\d)"$/.exec(text ?? '') ?? [];
    if (d === undefined)
        return NaN;
    const value = Number(d) + Number(m) / 60 + Number(s) / 3600;
    return sign === '-' ? -value : value;
}

async function shownPosition(page) {
    return {
        ra: hoursFromText(await textOf(page, '#ra')),
        dec: degreesFromText(await textOf(page, '#dec')),
        alt: degreesFromText(await textOf(page, '#alt')),
        az: degreesFromText(await textOf(page, '#az')),
    };
}

async function pointerOf(page) {
    return page.evaluate(() => {
        const pointer = document.getElementById('sky-pointer');
        return pointer ? { x: Number(pointer.getAttribute('cx')), y: Number(pointer.getAttribute('cy')) } : null;
    });
}

async function messageOf(page) {
    return page.evaluate(() => {
        const line = document.getElementById('message');
        return { text: line.textContent.trim(), kind: line.className };
    });
}

// ---- sky arithmetic ----------------------------------------------------------

function hoursApart(a, b) {
    return Math.abs(((a - b + 36) % 24) - 12);
}

function degreesApartOnACircle(a, b) {
    return Math.abs(((a - b + 540) % 360) - 180);
}

function separationDegrees(ra1, dec1, ra2, dec2) {
    const rad = Math.PI / 180;
    const cosine = Math.sin(dec1 * rad) * Math.sin(dec2 * rad)
        + Math.cos(dec1 * rad) * Math.cos(dec2 * rad) * Math.cos((ra1 - ra2) * 15 * rad);
    return Math.acos(Math.max(-1, Math.min(1, cosine))) / rad;
}

// Where the page draws an altitude and azimuth: looking up, north at the
// top, east on the left, the zenith at the centre.
function skyPoint(altitude, azimuth) {
    const r = SKY_RADIUS * (90 - altitude) / 90;
    const a = azimuth * Math.PI / 180;
    return { x: -r * Math.sin(a), y: -r * Math.cos(a) };
}

// The position the page shows against the device state: the page's may be
// a poll older, and the mount moves a little meanwhile (tracking off, RA
// runs at the sidereal rate; on, the altitude and azimuth do).
function positionAgrees(onPage, state) {
    return hoursApart(onPage.ra, state.RightAscension) <= 10 / 3600
        && Math.abs(onPage.dec - state.Declination) <= 10 / 3600
        && Math.abs(onPage.alt - state.Altitude) <= 0.05
        && degreesApartOnACircle(onPage.az, state.Azimuth) <= 0.1;
}

// ---- the steps -------------------------------------------------------------

// Before any client has connected the server has read nothing: the page
// shows a dash, never a zero, wherever its status says null.
async function nothingReadYet(step, page, server) {
    await page.goto(`${server.origin}/`);
    await waitFor('the page\'s first update', async () => (await textOf(page, '#server-note'))?.startsWith('Updated'),
        { ms: 5000 });
    const status = await statusOf(server);
    const fields = [['RightAscension', '#ra'], ['Declination', '#dec'], ['Altitude', '#alt'], ['Azimuth', '#az'],
        ['SiderealTime', '#sidereal'], ['Slewing', '#slewing']];
    const unknown = fields.filter(([name]) => status.Mount?.[name] === null);
    if (unknown.length === 0) {
        skip(`${step} unknown values show as a dash`, 'the server knew every value before any client connected');
        return;
    }
    const wrong = [];
    for (const [name, selector] of unknown) {
        const text = await textOf(page, selector);
        if (text !== DASH)
            wrong.push(`${name} null shown as ${shown(text)}`);
    }
    check(`${step} values the server does not know show as "${DASH}" (${unknown.length} of them)`, wrong.length === 0,
        wrong.join(', '));
}

async function showsThePosition(step, page, server, client) {
    const connected = await client.put('connected', { Connected: 'true' });
    check(`${step} the test's own client connects`, connected.ErrorNumber === 0, shown(connected));
    // The server keeps the position fresh once a client is connected; the
    // test's DeviceState, as a program's, makes the rest known.
    await client.deviceState();
    await waitFor('a position the server has read', async () => isFinite((await statusOf(server)).Mount?.SiderealTime),
        { ms: 10000, every: 100 });
    const began = Date.now();
    const answer = await page.goto(`${server.origin}/`);
    check(`${step} GET / answers 200 with HTML`, answer.status() === 200
        && (answer.headers()['content-type'] ?? '').startsWith('text/html'), `${answer.status()} ${shown(answer.headers())}`);
    const policy = answer.headers()['content-security-policy'] ?? '';
    check(`${step} the page comes with a content security policy of its own origin`,
        /default-src 'none'/.test(policy) && /connect-src 'self'/.test(policy) && /script-src 'self'/.test(policy),
        shown(policy));
    let shownAt = null;
    try {
        shownAt = await waitFor('the position on the page', async () =>
            Number.isFinite((await shownPosition(page)).ra) ? Date.now() : null, { ms: 5000, every: 50 });
    } catch { /* judged below */ }
    check(`${step} the page shows the position within ${SHOWN_WITHIN_MS} ms of loading`,
        shownAt !== null && shownAt - began <= SHOWN_WITHIN_MS,
        shownAt === null ? 'not within 5 s' : `after ${shownAt - began} ms`);
    const onPage = await shownPosition(page);
    const state = await client.deviceState();
    check(`${step} the page's RA, Dec, Alt and Az agree with DeviceState`, positionAgrees(onPage, state),
        `page ${shown(onPage)}, DeviceState ${shown(state)}`);
    const model = await textOf(page, '#model');
    check(`${step} the model says plainly that the mount is simulated`, /simulated mount/i.test(model ?? ''),
        `got ${shown(model)}`);
    const sidereal = hoursFromText(await textOf(page, '#sidereal'));
    check(`${step} the sidereal time agrees with DeviceState`, hoursApart(sidereal, state.SiderealTime) <= 5 / 3600,
        `page ${sidereal}, DeviceState ${state.SiderealTime}`);
    const utc = await textOf(page, '#utc');
    const utcSeconds = Date.parse(`${(utc ?? '').replace(' ', 'T')}Z`);
    check(`${step} the mount's clock agrees with DeviceState's UTCDate`,
        Math.abs(utcSeconds - Date.parse(state.UTCDate)) <= 5000, `page ${shown(utc)}, DeviceState ${state.UTCDate}`);
    const pointer = await pointerOf(page);
    const expected = skyPoint(state.Altitude, state.Azimuth);
    check(`${step} the sky's pointer stands at the mount's altitude and azimuth`,
        pointer && Math.hypot(pointer.x - expected.x, pointer.y - expected.y) <= 1.5,
        `pointer ${shown(pointer)}, expected ${shown(expected)} for alt ${state.Altitude} az ${state.Azimuth}`);
}

async function looksRightOnAPhone(step, page, server, requested) {
    const widths = await page.evaluate(() => ({ scroll: document.documentElement.scrollWidth, inner: window.innerWidth }));
    check(`${step} nothing scrolls sideways on a phone`, widths.scroll <= PHONE.width && widths.inner === PHONE.width,
        shown(widths));
    for (const where of ['top', 'bottom']) {
        await page.evaluate((to) => window.scrollTo(0, to === 'top' ? 0 : document.body.scrollHeight), where);
        await pause(100);
        const box = await page.locator('#abort').boundingBox();
        check(`${step} Abort is in sight with the page scrolled to the ${where}`, box !== null && box.y >= 0
            && box.y + box.height <= PHONE.height && box.height >= 44 && box.width >= PHONE.width / 2, shown(box));
    }
    await page.evaluate(() => window.scrollTo(0, 0));
    const foreign = requested.filter((url) => new URL(url).origin !== server.origin);
    check(`${step} the page asks nothing of any other origin`, foreign.length === 0, foreign.join(' '));
}

function colourOf(text) {
    const [r, g, b] = (/rgba?\((\d+), (\d+), (\d+)/.exec(text) ?? []).slice(1).map(Number);
    return { r, g, b };
}

async function pageColours(page) {
    return page.evaluate(() => ({
        theme: document.documentElement.dataset.theme,
        background: getComputedStyle(document.body).backgroundColor,
        text: getComputedStyle(document.getElementById('ra')).color,
    }));
}

// Night: dim red on black; day: dark on light; the choice kept over a reload.
async function themes(step, page) {
    const night = await pageColours(page);
    const nightText = colourOf(night.text);
    const nightBackground = colourOf(night.background);
    check(`${step} the night theme is red on black`, night.theme === 'night'
        && nightBackground.r + nightBackground.g + nightBackground.b <= 30
        && nightText.r > 2 * (nightText.g + nightText.b), shown(night));
    await page.click('#theme');
    await page.reload();
    await waitFor('the page after a reload', async () => Number.isFinite((await shownPosition(page)).ra), { ms: 5000 });
    const day = await pageColours(page);
    const dayBackground = colourOf(day.background);
    check(`${step} the day theme chosen stays chosen over a reload, light behind dark text`,
        day.theme === 'day' && dayBackground.r + dayBackground.g + dayBackground.b >= 600, shown(day));
    await page.click('#theme');
    check(`${step} the theme switches back to night`, (await pageColours(page)).theme === 'night');
}

async function listsTheSecondClient(step, page, server) {
    const second = new AlpacaClient(server.origin, SECOND_CLIENT);
    const connected = await second.put('connected', { Connected: 'true' });
    check(`${step} a second client connects over plain HTTP`, connected.ErrorNumber === 0, shown(connected));
    for (let i = 0; i < 3; i++)
        await second.value('declination');
    const rowOf = async () => page.evaluate((id) => {
        for (const row of document.querySelectorAll('#clients tbody tr')) {
            const cells = [...row.cells].map((cell) => cell.textContent.trim());
            if (cells[0] === String(id))
                return cells;
        }
        return null;
    }, SECOND_CLIENT);
    // The table is as of the page's last poll, once a second: one made
    // before the reads were over shows fewer of them, until the next.
    let row = null;
    try {
        row = await waitFor('the second client\'s row with its requests', async () => {
            const cells = await rowOf();
            return cells !== null && Number(cells[2]) >= 4 ? cells : null;
        }, { ms: 4000, every: 100 });
    } catch {
        row = await rowOf();
    }
    check(`${step} the clients table lists the second client, connected`, row !== null && row[1] === 'yes', shown(row));
    const requests = Number(row?.[2]);
    check(`${step} its requests a minute count its requests`, requests >= 4, shown(row));
    const since = Number.parseFloat(row?.[3] ?? '');
    check(`${step} its last request is seconds old`, since >= 0 && since < 5, shown(row));
    const gone = await second.put('connected', { Connected: 'false' });
    let after = undefined;
    try {
        after = await waitFor('the second client shown disconnected', async () => {
            const cells = await rowOf();
            return cells === null || cells[1] === 'no' ? { cells } : null;
        }, { ms: 4000, every: 100 });
    } catch { /* judged below */ }
    check(`${step} once it disconnects the table no longer shows it connected`, gone.ErrorNumber === 0
        && after !== undefined, shown(await rowOf()));
}

// Track from the page: the mount tracks, and the page says so with the
// rate's name. This is the page's first action: it connects, and the site
// becomes known, so the sky shows the pole.
async function tracks(step, page, server, client, run) {
    await page.click('#track');
    let state = null;
    try {
        state = await waitFor('tracking on', async () => {
            const read = await client.deviceState();
            return read.Tracking ? read : null;
        }, { ms: 5000, every: 200 });
    } catch { /* judged below */ }
    check(`${step} Track from the page starts the mount tracking`, state !== null, shown(await messageOf(page)));
    const pageClients = (await statusOf(server)).Clients ?? [];
    check(`${step} the page acted as a connected client of its own`,
        pageClients.some((entry) => entry.Connected && ![TEST_CLIENT, SECOND_CLIENT].includes(entry.ClientID)),
        shown(pageClients));
    // The server knows the rate once a program has read it; read after the
    // page's writes are done, which make the kept rate stale.
    await waitFor('the page done with Track', async () => (await messageOf(page)).text.includes('Track: sent'),
        { ms: 5000, every: 50 }).catch(() => null);
    await client.value('trackingrate');
    let text = '';
    try {
        text = await waitFor('the page showing tracking', async () => {
            const shownText = await textOf(page, '#tracking');
            return /^yes \(.+\)$/.test(shownText ?? '') ? shownText : null;
        }, { ms: 4000, every: 100 });
    } catch { /* judged below */ }
    check(`${step} the page shows tracking with its rate's name`, /^yes \(Sidereal\)$/i.test(text),
        `got ${shown(await textOf(page, '#tracking'))}`);
    let pole = null;
    try {
        pole = await waitFor('the pole in the sky', () => page.evaluate(() => {
            const mark = document.querySelector('#sky-pole line');
            return mark ? { x: (Number(mark.getAttribute('x1')) + Number(mark.getAttribute('x2'))) / 2,
                y: Number(mark.getAttribute('y1')) } : null;
        }), { ms: 4000, every: 100 });
    } catch { /* judged below */ }
    const expected = skyPoint(Math.abs(run.latitude), run.latitude >= 0 ? 0 : 180);
    check(`${step} the sky shows the ${run.latitude >= 0 ? 'north' : 'south'} pole at the site's latitude`,
        pole !== null && Math.hypot(pole.x - expected.x, pole.y - expected.y) <= 1, `${shown(pole)}, expected ${shown(expected)}`);
}

function watchPuts(page) {
    const puts = [];
    page.on('request', (request) => {
        if (request.method() === 'PUT')
            puts.push(new URL(request.url()).pathname);
    });
    return puts;
}

// A target that never rises at the site: refused with the server's own
// sentence, and nothing sent to the mount.
async function refusesBelowTheHorizon(step, page, server, client, run, puts) {
    const declination = run.latitude >= 0 ? '-80:00:00' : '80:00:00';
    const answer = await targetOf(server, { RightAscension: '0:00:00', Declination: declination });
    const refusal = answer.Refusal;
    if (!check(`${step} the target endpoint refuses RA 0:00:00 Dec ${declination}`, typeof refusal === 'string'
        && refusal !== '' && !answer.notJson, shown(refusal)))
        return;
    const before = await client.position();
    const putsBefore = puts.length;
    await page.fill('#target-name', '');
    await page.fill('#target-ra', '0:00:00');
    await page.fill('#target-dec', declination);
    await page.click('#goto');
    let message = null;
    try {
        message = await waitFor('the refusal on the page', async () => {
            const line = await messageOf(page);
            return line.text.includes(refusal) ? line : null;
        }, { ms: 5000, every: 100 });
    } catch { /* judged below */ }
    check(`${step} the page shows the refusal's own words`, message !== null && message.kind === 'problem',
        shown(await messageOf(page)));
    await pause(1500);
    const after = await client.position();
    const sent = puts.slice(putsBefore);
    check(`${step} the page sent nothing`, sent.length === 0, shown(sent));
    check(`${step} the mount did not move`, !after.Slewing && hoursApart(after.RightAscension, before.RightAscension) < 0.001
        && Math.abs(after.Declination - before.Declination) < 0.01, `before ${shown(before)}, after ${shown(after)}`);
}

// Catalogue names whose targets stand high enough, ordered by distance from
// the position given, with their targets.
async function highTargets(server, from) {
    const reply = await fetch(`${server.origin}/status/v1/catalogue`, { signal: AbortSignal.timeout(10000) });
    const entries = (await reply.json()).Entries ?? [];
    const found = [];
    for (const entry of entries.slice(0, 80)) {
        const target = await targetOf(server, { Name: entry.Name });
        if (target.Refusal === '' && isFinite(target.Altitude) && target.Altitude > 30)
            found.push({ name: entry.Name, target, distance: separationDegrees(from.RightAscension, from.Declination,
                target.RightAscension, target.Declination) });
    }
    return found.sort((a, b) => a.distance - b.distance);
}

// The whole page on a phone as tall as the page, so that the Abort bar
// stands at the bottom where a phone shows it rather than across the middle.
let screenshotsTaken = false;
async function takeScreenshots(step, page) {
    screenshotsTaken = true;
    const height = await page.evaluate(() => document.documentElement.scrollHeight);
    await page.setViewportSize({ width: PHONE.width, height });
    try {
        for (const theme of ['night', 'day']) {
            if ((await pageColours(page)).theme !== theme)
                await page.click('#theme');
            const file = path.join(screenshotFolder, `alpaca-status-page-${theme}.png`);
            await page.screenshot({ path: file });
            check(`${step} ${theme} screenshot written`, fs.statSync(file).size > 0, file);
        }
        await page.click('#theme');
    } finally {
        await page.setViewportSize(PHONE);
    }
}

// Samples the page and the mount until the mount has stopped; returns the
// samples.
async function followSlew(page, client, { onFirstSlewing } = {}) {
    const samples = [];
    const deadline = Date.now() + SLEW_LIMIT_MS;
    let sawSlewing = false;
    while (Date.now() < deadline) {
        const state = await client.deviceState();
        const sample = { at: Date.now(), state, pointer: await pointerOf(page),
            slewing: await textOf(page, '#slewing'),
            target: await page.evaluate(() => document.getElementById('sky-target') !== null) };
        samples.push(sample);
        if (sample.slewing === 'yes' && !sawSlewing) {
            sawSlewing = true;
            await onFirstSlewing?.();
        }
        if (sawSlewing && !state.Slewing && sample.slewing === 'no')
            break;
        await pause(250);
    }
    return samples;
}

async function goesToANamedTarget(step, page, server, client, run) {
    const from = await client.deviceState();
    const candidates = (await highTargets(server, from)).filter((entry) => entry.distance >= 25 && entry.distance <= 100);
    if (!check(`${step} a catalogue target above 30° altitude, 25° to 100° away, is found`, candidates.length > 0))
        return null;
    const { name, target } = candidates[0];
    console.log(`# going to ${name}: RA ${target.RightAscension.toFixed(4)} h, Dec ${target.Declination.toFixed(3)}°, `
        + `altitude ${target.Altitude.toFixed(1)}°, ${candidates[0].distance.toFixed(1)}° away`);
    await page.fill('#target-ra', '');
    await page.fill('#target-dec', '');
    await page.fill('#target-name', name);
    await page.click('#goto');
    const photograph = run.screenshots && screenshotFolder ? () => takeScreenshots(`${step} mid-slew:`, page) : null;
    const samples = await followSlew(page, client, { onFirstSlewing: photograph });
    if (run.screenshots && !screenshotFolder)
        skip(`${step} screenshots`, 'no screenshot folder given');
    else if (run.screenshots && !screenshotsTaken)
        console.log(`# ${step} no slew seen on the page: the screenshots are taken during the park`);
    const message = await messageOf(page);
    check(`${step} the message line says where the mount goes`, message.kind === 'done' && message.text.includes(name),
        shown(message));
    check(`${step} the page showed the mount slewing`, samples.some((sample) => sample.slewing === 'yes'),
        shown(samples.map((sample) => sample.slewing)));
    check(`${step} the page drew the slew's target while it was under way`, samples.some((sample) => sample.target));
    const pointers = new Set(samples.filter((sample) => sample.slewing === 'yes' && sample.pointer)
        .map((sample) => `${sample.pointer.x.toFixed(1)},${sample.pointer.y.toFixed(1)}`));
    check(`${step} the sky's pointer moved along the way (${pointers.size} places while slewing)`, pointers.size >= 3,
        [...pointers].join(' '));
    const end = await waitForRest(client).catch(() => client.position());
    check(`${step} the mount ended the slew`, !end.Slewing, shown(end));
    check(`${step} the mount stands at the target`, hoursApart(end.RightAscension, target.RightAscension) <= 0.002
        && Math.abs(end.Declination - target.Declination) <= 0.02,
    `mount RA ${end.RightAscension} Dec ${end.Declination}, target RA ${target.RightAscension} Dec ${target.Declination}`);
    await pause(1200);
    const onPage = await shownPosition(page);
    const now = await client.deviceState();
    check(`${step} the page shows the position arrived at`, positionAgrees(onPage, now),
        `page ${shown(onPage)}, DeviceState ${shown(now)}`);
    const pointer = await pointerOf(page);
    const expected = skyPoint(now.Altitude, now.Azimuth);
    check(`${step} the pointer stands at the target's place`, pointer
        && Math.hypot(pointer.x - expected.x, pointer.y - expected.y) <= 1.5, `${shown(pointer)}, ${shown(expected)}`);
    return target;
}

// Not slewing, and the position the same over two reads: a read of
// Slewing that shared an exchange begun before the slew was sent may still
// say false while the mount moves.
async function waitForRest(client) {
    let last = null;
    return waitFor('the mount at rest', async () => {
        const now = await client.position();
        const still = last !== null && !now.Slewing && hoursApart(now.RightAscension, last.RightAscension) < 1e-5
            && Math.abs(now.Declination - last.Declination) < 1e-4;
        last = now;
        return still ? now : null;
    }, { ms: SLEW_LIMIT_MS, every: 400 });
}

// Nudges of one degree: north raises the declination; east raises the
// right ascension by a degree on the sky (1/cos(dec) in RA).
async function nudges(step, page, client) {
    await page.selectOption('#nudge-step', { label: '1°' });
    for (const way of ['north', 'east']) {
        const before = await client.position();
        const earlier = (await messageOf(page)).text;
        await page.click(`#nudge-${way[0]}`);
        // The page's message comes once the slew has been sent.
        const message = await waitFor(`the ${way} nudge sent`, async () => {
            const line = await messageOf(page);
            return line.text !== earlier ? line : null;
        }, { ms: 5000, every: 50 }).catch(() => messageOf(page));
        const after = await waitForRest(client);
        if (way === 'north') {
            const moved = after.Declination - before.Declination;
            check(`${step} nudge N raises the declination by 1°`, Math.abs(moved - 1) <= 0.02,
                `moved ${moved.toFixed(4)}°; ${shown(message)}`);
        } else {
            const moved = ((after.RightAscension - before.RightAscension + 36) % 24) - 12;
            const expected = 1 / 15 / Math.cos(before.Declination * Math.PI / 180);
            check(`${step} nudge E raises the right ascension by 1° on the sky`, Math.abs(moved - expected) <= 0.002,
                `moved ${moved.toFixed(5)} h, expected ${expected.toFixed(5)} h; ${shown(message)}`);
        }
    }
}

async function abortsMidSlew(step, page, server, client) {
    const from = await client.deviceState();
    const far = (await highTargets(server, from)).filter((entry) => entry.distance >= 40).pop();
    if (!check(`${step} a target 40° or more away is found`, far !== undefined))
        return;
    await page.fill('#target-name', far.name);
    await page.click('#goto');
    try {
        await waitFor('the slew under way', async () => (await client.position()).Slewing, { ms: 5000, every: 100 });
    } catch { /* judged below */ }
    await pause(800);
    const clicked = Date.now();
    await page.click('#abort');
    let stopped = null;
    try {
        stopped = await waitFor('the slew stopped', async () => {
            const now = await client.position();
            return now.Slewing ? null : { now, after: Date.now() - clicked };
        }, { ms: 5000, every: 100 });
    } catch { /* judged below */ }
    check(`${step} Abort stops the slew within 3 s`, stopped !== null && stopped.after <= 3000,
        stopped ? `after ${stopped.after} ms` : 'still slewing after 5 s');
    await pause(500);
    const first = await client.position();
    await pause(1500);
    const second = await client.position();
    check(`${step} after Abort the mount stays where it stopped`,
        hoursApart(first.RightAscension, second.RightAscension) <= 0.002
        && Math.abs(first.Declination - second.Declination) <= 0.01 && !second.Slewing,
        `${shown(first)} then ${shown(second)}`);
    check(`${step} it stopped short of the target`, separationDegrees(second.RightAscension, second.Declination,
        far.target.RightAscension, far.target.Declination) > 3, shown(second));
    let text = '';
    try {
        text = await waitFor('the page showing the stop', async () => ((await textOf(page, '#slewing')) === 'no'
            ? 'no' : null), { ms: 3000, every: 100 });
    } catch { /* judged below */ }
    check(`${step} the page shows the mount no longer slewing`, text === 'no', shown(await textOf(page, '#slewing')));
}

async function pulseGuides(step, page, server, client) {
    const status = await statusOf(server);
    if (!status.Capabilities?.CanPulseGuide) {
        check(`${step} no pulse buttons where the mount cannot pulse-guide`, !(await page.isVisible('#pulse-n')));
        return;
    }
    await page.selectOption('#pulse-length', '2000');
    await page.click('#pulse-s');
    let guiding = null;
    try {
        guiding = await waitFor('a guide pulse', () => client.value('ispulseguiding'), { ms: 1500, every: 50 });
    } catch { /* judged below */ }
    check(`${step} a 2 s pulse south from the page makes the mount pulse-guide`, guiding === true,
        shown(await messageOf(page)));
    await waitFor('the pulse over', async () => !(await client.value('ispulseguiding')), { ms: 6000, every: 100 })
        .catch(() => null);
}

// The server reads Slewing and AtPark while programs ask for them: the
// test's client asks for DeviceState every 2 s meanwhile, as a planetarium
// or an imaging program does.
async function parksAndUnparks(step, page, server, client, run) {
    await page.click('#park');
    const seen = [];
    const deadline = Date.now() + SLEW_LIMIT_MS;
    let asked = 0;
    while (Date.now() < deadline) {
        if (Date.now() - asked >= 2000) {
            asked = Date.now();
            await client.deviceState();
        }
        const now = `${await textOf(page, '#slewing')}/${await textOf(page, '#parked')}`;
        if (seen[seen.length - 1] !== now)
            seen.push(now);
        if (now === 'yes/no' && run.screenshots && screenshotFolder && !screenshotsTaken)
            await takeScreenshots(`${step} mid-park:`, page);
        if (now === 'no/yes')
            break;
        await pause(200);
    }
    const slewingAt = seen.indexOf('yes/no');
    const parkedAt = seen.indexOf('no/yes');
    check(`${step} after Park the page shows slewing, then parked (slewing/parked: ${seen.join(' ')})`,
        slewingAt >= 0 && parkedAt > slewingAt);
    const state = await client.deviceState();
    check(`${step} the mount is parked`, state.AtPark === true && state.Slewing === false, shown(state));
    let park = null;
    try {
        park = await waitFor('the park position in the sky', () => page.evaluate(() => {
            const mark = document.getElementById('sky-park');
            return mark ? { x: Number(mark.getAttribute('x')), y: Number(mark.getAttribute('y')) } : null;
        }), { ms: 4000, every: 100 });
    } catch { /* judged below */ }
    const expected = skyPoint(state.Altitude, state.Azimuth);
    check(`${step} the sky marks the park position where the mount parked`, park !== null
        && Math.hypot(park.x - expected.x, park.y - expected.y) <= 1.5, `${shown(park)}, ${shown(expected)}`);

    // The API's own words for a refusal reach the message line.
    const refused = await client.put('tracking', { Tracking: 'true' });
    await page.click('#track');
    let message = null;
    try {
        message = await waitFor('the refusal', async () => {
            const line = await messageOf(page);
            return line.kind === 'problem' && line.text.includes(refused.ErrorMessage) ? line : null;
        }, { ms: 5000, every: 100 });
    } catch { /* judged below */ }
    check(`${step} Track while parked shows the API's own message (${shown(refused.ErrorMessage)}) with its time`,
        refused.ErrorNumber !== 0 && message !== null && /^\d\d:\d\d:\d\d /.test(message.text),
        shown(await messageOf(page)));

    await page.click('#unpark');
    let unparked = null;
    try {
        unparked = await waitFor('unparked', async () => {
            const read = await client.deviceState();
            return read.AtPark ? null : read;
        }, { ms: 5000, every: 100 });
    } catch { /* judged below */ }
    check(`${step} Unpark from the page unparks the mount`, unparked !== null, shown(await messageOf(page)));
    let text = '';
    try {
        text = await waitFor('the page showing unparked', async () => ((await textOf(page, '#parked')) === 'no'
            ? 'no' : null), { ms: 3000, every: 100 });
    } catch { /* judged below */ }
    check(`${step} the page shows the mount no longer parked`, text === 'no', shown(await textOf(page, '#parked')));
}

// ---- the run ---------------------------------------------------------------

async function timed(step, run) {
    const began = Date.now();
    try {
        return await run();
    } finally {
        console.log(`# step ${step} took ${((Date.now() - began) / 1000).toFixed(1)} s`);
    }
}

async function oneModel(browser, run, servers) {
    const server = await startServer(run);
    servers.push(server);
    const context = await browser.newContext({ viewport: PHONE, isMobile: true, hasTouch: true, deviceScaleFactor: 2 });
    const requested = [];
    const corsAnswers = [];
    context.on('request', (request) => requested.push(request.url()));
    context.on('response', (response) => {
        if (response.headers()['access-control-allow-origin'] !== undefined)
            corsAnswers.push(response.url());
    });
    try {
        const page = await context.newPage();
        const problems = [];
        page.on('pageerror', (error) => problems.push(error.message));
        const puts = watchPuts(page);
        const client = new AlpacaClient(server.origin, TEST_CLIENT);
        const m = `model ${run.model}:`;
        await timed(`${m} 1`, () => nothingReadYet(`${m} 1`, page, server));
        await timed(`${m} 2`, () => showsThePosition(`${m} 2`, page, server, client));
        await timed(`${m} 3`, () => looksRightOnAPhone(`${m} 3`, page, server, requested));
        await timed(`${m} 4`, () => themes(`${m} 4`, page));
        await timed(`${m} 5`, () => listsTheSecondClient(`${m} 5`, page, server));
        await timed(`${m} 6`, () => tracks(`${m} 6`, page, server, client, run));
        await timed(`${m} 7`, () => refusesBelowTheHorizon(`${m} 7`, page, server, client, run, puts));
        await timed(`${m} 8`, () => goesToANamedTarget(`${m} 8`, page, server, client, run));
        await timed(`${m} 9`, () => nudges(`${m} 9`, page, client));
        await timed(`${m} 10`, () => abortsMidSlew(`${m} 10`, page, server, client));
        await timed(`${m} 11`, () => pulseGuides(`${m} 11`, page, server, client));
        await timed(`${m} 12`, () => parksAndUnparks(`${m} 12`, page, server, client, run));
        const other = puts.filter((where) => !where.startsWith('/api/v1/telescope/0/'));
        check(`${m} every PUT of the page went to its own telescope's device API`, other.length === 0, shown(other));
        check(`${m} no answer carried Access-Control-Allow-Origin`, corsAnswers.length === 0, corsAnswers.join(' '));
        check(`${m} the page's script raised no error`, problems.length === 0, problems.join(' | '));
        await page.close();
    } finally {
        await context.close();
        const end = await stopProcess(server);
        check(`model ${run.model}: the server ends cleanly`, end.code === 0, `${shown(end)}:\n${server.output}`);
    }
}

async function main() {
    const runBegan = Date.now();
    const watchdog = setTimeout(() => {
        console.log(`FAIL the whole run took longer than ${WHOLE_RUN_MS} ms`);
        process.exit(1);
    }, WHOLE_RUN_MS);
    watchdog.unref();

    let browser;
    const servers = [];
    try {
        browser = await chromium.launch({ executablePath: CHROMIUM, args: ['--no-sandbox'] });
        for (const run of RUNS)
            await oneModel(browser, run, servers);
    } catch (error) {
        check('the run went to its end', false, error.stack ?? String(error));
    } finally {
        await closeEverything(browser, servers);
    }
    return reportRun('status-page', servers, scratch, runBegan);
}

process.exitCode = await main();
