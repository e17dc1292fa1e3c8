// The setup pages of velmaro-alpaca as a person sees them: Debian's headless
// Chromium loads them from a real server over a simulated mount, fills in the
// form and presses Store, then reads what the page says back.
//
//   node setup_page_test.mjs SERVER SIMULATOR [SCREENSHOT.png]
//
// Each check prints one line; the last line counts them. Exit 0 when every
// check passed. Every process started here is ended, also on failure.
import { chromium } from 'playwright-core';
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import {
    check, closeEverything, freeLoopbackPort, isRunning, reportRun, shown, skip,
    startProcess, stopProcess,
} from './harness.mjs';

const CHROMIUM = '/usr/bin/chromium';
const SETUP_FORM = '/setup/v1/telescope/0/setup';
const MODEL_TWO_NAME = 'Corvane A/Corvane B';
// Where the simulated mount stands and its clock: half an hour in the offset
// and odd minutes in the site catch a field put in the wrong place.
const SITE = { latitude: 48.5, longitude: -71.25, utcOffsetHours: 5.5 };
const EXPECTED_LATITUDE = '48d30m00s N';
const EXPECTED_LONGITUDE = '071d15m00s W';
const EXPECTED_TIME_ZONE = '+05h30m';
const PHONE = { width: 390, height: 844 };
const LONG_DEVICE_PATH = '/dev/serial/by-id/usb-Silicon_Labs_CP2102_USB_to_UART_Bridge_Controller_0001-if00-port0';
// The address that stands for "another computer": TEST-NET-1, given to the
// loopback of a network namespace made for the test, so nothing leaves it.
const ELSEWHERE_ADDRESS = '192.0.2.1';
const STARTUP_MS = 15000;
const WHOLE_RUN_MS = 120000;

const FORMATS = {
    'local-time': /^([01]\d|2[0-3])h[0-5]\dm[0-5]\ds$/,
    'time-zone': /^[+-]\d\dh[0-5]\dm$/,
    'right-ascension': /^([01]\d|2[0-3])h[0-5]\dm[0-5]\ds$/,
    declination: /^[+-]\d\dd[0-5]\dm[0-5]\ds$/,
    altitude: /^[+-]\d\dd[0-5]\dm[0-5]\ds$/,
    azimuth: /^[0-3]\d\dd[0-5]\dm[0-5]\ds$/,
    'site-latitude': /^\d\dd[0-5]\dm[0-5]\ds [NS]$/,
    'site-longitude': /^[01]\d\dd[0-5]\dm[0-5]\ds [EW]$/,
};
const REPORT_IDS = ['model', ...Object.keys(FORMATS)];

// ---- processes -------------------------------------------------------------

async function waitFor(what, condition, child, ms = STARTUP_MS) {
    const deadline = Date.now() + ms;
    while (Date.now() < deadline) {
        if (await condition())
            return;
        if (child && !isRunning(child))
            throw new Error(`${what}: the process ended first (exit ${child.exitCode ?? child.signalCode}):\n${child.output}`);
        await new Promise((resolve) => setTimeout(resolve, 25));
    }
    throw new Error(`${what}: not within ${ms} ms${child ? ':\n' + child.output : ''}`);
}


// ---- the programs under test -----------------------------------------------

const [serverPath, simulatorPath, screenshotPath] = process.argv.slice(2);
if (!serverPath || !simulatorPath) {
    console.error('usage: node setup_page_test.mjs SERVER SIMULATOR [SCREENSHOT.png]');
    process.exit(2);
}
for (const program of [serverPath, simulatorPath, CHROMIUM])
    if (!fs.existsSync(program)) {
        console.error(`not found: ${program}`);
        process.exit(2);
    }

const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'velmaro-'));
const mountLink = path.join(scratch, 'mount');
const nothingThere = path.join(scratch, 'nothing');
const configPath = path.join(scratch, 'alpaca.conf');
const stateFolder = path.join(scratch, 'state');
// Traces and anything else the server keeps go into the scratch folder.
const serverEnvironment = { ...process.env, HOME: scratch, XDG_STATE_HOME: stateFolder, XDG_CONFIG_HOME: scratch };
delete serverEnvironment.VELMARO_TRACE_DIR;

async function startSimulator() {
    const simulator = startProcess(simulatorPath, [
        '--model', '2', '--link', mountLink,
        '--latitude', String(SITE.latitude), '--longitude', String(SITE.longitude),
        '--utc-offset', String(SITE.utcOffsetHours),
    ]);
    await waitFor('the simulator\'s link', () => fs.existsSync(mountLink), simulator);
    return simulator;
}

// Starts the server and waits for its "started" line. `prefix` runs it
// through another program (nsenter into the namespace for "elsewhere").
async function startServer({ config = configPath, extra = [], host = '127.0.0.1', prefix = [] } = {}) {
    for (let attempt = 1; ; attempt++) {
        const port = await freeLoopbackPort();
        const args = [...prefix, serverPath, '--http-port', String(port), '--discovery-port', '0',
            '--config', config, ...extra];
        const server = startProcess(args[0], args.slice(1), { env: serverEnvironment });
        try {
            await waitFor('the server\'s start', () => server.output.includes(': started '), server);
        } catch (error) {
            // Another program may have taken the port between the probe and the bind.
            if (attempt < 3 && !isRunning(server) && /bind|address|port/i.test(server.output))
                continue;
            throw error;
        }
        server.origin = `http://${host}:${port}`;
        return server;
    }
}

async function putMember(server, member, fields) {
    const body = new URLSearchParams({ ...fields, ClientID: '7', ClientTransactionID: '1' });
    const answer = await fetch(`${server.origin}/api/v1/telescope/0/${member}`, { method: 'PUT', body });
    const text = await answer.text();
    try {
        return { status: answer.status, json: JSON.parse(text) };
    } catch {
        return { status: answer.status, json: null, text };
    }
}

function readConfig() {
    return fs.readFileSync(configPath, 'utf8');
}

function configValue(text, key) {
    const line = text.split('\n').find((entry) => entry.replace(/\s+/g, '').startsWith(key + '='));
    return line === undefined ? undefined : line.slice(line.indexOf('=') + 1).trim();
}

// ---- the page --------------------------------------------------------------

async function report(page) {
    const values = {};
    for (const id of REPORT_IDS) {
        const cell = page.locator(`#${id}`);
        values[id] = (await cell.count()) === 1 ? (await cell.textContent()).trim() : undefined;
    }
    return values;
}

async function textOf(page, selector) {
    const element = page.locator(selector);
    return (await element.count()) === 1 ? (await element.textContent()).trim() : undefined;
}

// Fills the form as a person would and presses Store; returns the answer.
async function store(page, { other, trace }) {
    await page.fill('#other', other);
    if (trace !== undefined)
        await page.setChecked('#trace', trace);
    const [answer] = await Promise.all([page.waitForNavigation(), page.click('#store')]);
    return answer;
}

// The mount clock read against this computer's, allowing for the time a
// probe takes and a wrap at midnight.
function clockDifferenceSeconds(localTimeText) {
    const [, h, m, s] = /^(\d\d)h(\d\d)m(\d\d)s$/.exec(localTimeText) ?? [];
    if (h === undefined)
        return Infinity;
    const shown = Number(h) * 3600 + Number(m) * 60 + Number(s);
    const now = Date.now() / 1000 + SITE.utcOffsetHours * 3600;
    const expected = ((Math.floor(now) % 86400) + 86400) % 86400;
    const difference = Math.abs(shown - expected);
    return Math.min(difference, 86400 - difference);
}

function checkMountValues(step, values) {
    check(`${step}: model`, values.model === MODEL_TWO_NAME, `got ${shown(values.model)}`);
    for (const [id, format] of Object.entries(FORMATS))
        check(`${step}: ${id} reads like ${format}`, format.test(values[id] ?? ''), `got ${shown(values[id])}`);
    check(`${step}: site latitude is the mount's`, values['site-latitude'] === EXPECTED_LATITUDE,
        `got ${shown(values['site-latitude'])}, the mount stands at ${EXPECTED_LATITUDE}`);
    check(`${step}: site longitude is the mount's`, values['site-longitude'] === EXPECTED_LONGITUDE,
        `got ${shown(values['site-longitude'])}, the mount stands at ${EXPECTED_LONGITUDE}`);
    check(`${step}: time zone is the mount's`, values['time-zone'] === EXPECTED_TIME_ZONE,
        `got ${shown(values['time-zone'])}, the mount's clock runs at UTC${EXPECTED_TIME_ZONE}`);
    const drift = clockDifferenceSeconds(values['local-time'] ?? '');
    check(`${step}: local time is the mount's clock`, drift <= 5, `got ${shown(values['local-time'])}, ${drift} s off`);
}

function checkNoMountValues(step, values) {
    const filled = REPORT_IDS.filter((id) => values[id] !== '');
    check(`${step}: the table has every row and no mount values`, filled.length === 0,
        filled.map((id) => `${id}=${shown(values[id])}`).join(', '));
}

// ---- the steps -------------------------------------------------------------

async function firstLook(page, server) {
    const answer = await page.goto(`${server.origin}/setup`);
    check('1 /setup answers 200', answer.status() === 200, `got ${answer.status()}`);
    checkNoMountValues('1 no device chosen', await report(page));
    const status = await textOf(page, '#status');
    check('1 the status says no device is chosen', status === 'No serial device is chosen yet.', `got ${shown(status)}`);
    check('1 no message before storing', (await page.locator('#message').count()) === 0);
    check('1 the Store button is there', (await page.locator('#store').count()) === 1);
    const token = await page.locator('input[type=hidden][name=token]').getAttribute('value');
    check('1 the form carries a token', typeof token === 'string' && token.length >= 16, `got ${shown(token)}`);
    return token;
}

async function storeTheMount(page) {
    const answer = await store(page, { other: mountLink, trace: true });
    check('2 the form posts to the setup path', new URL(answer.url()).pathname === SETUP_FORM, answer.url());
    check('2 storing answers 200', answer.status() === 200, `got ${answer.status()}`);
    const message = await textOf(page, '#message');
    check('2 the message is "Stored."', message === 'Stored.', `got ${shown(message)}`);
    check('2 the message is not shown as a problem',
        !(await page.locator('#message').getAttribute('class') ?? '').includes('problem'));
    checkMountValues('2 after storing', await report(page));
    const status = await textOf(page, '#status');
    check('2 the status names the device the mount answers on',
        status === `Not connected; the mount answers on ${mountLink}.`, `got ${shown(status)}`);
    check('2 the trace box stays ticked', await page.isChecked('#trace'));
    const config = readConfig();
    check('2 the config holds the device', configValue(config, 'serial') === mountLink, config);
    check('2 the config holds the trace', configValue(config, 'trace') === 'on', config);
}

async function storeNothingThere(page) {
    const answer = await store(page, { other: nothingThere });
    check('3 storing a silent path still answers 200', answer.status() === 200, `got ${answer.status()}`);
    const message = await textOf(page, '#message');
    check('3 the message says the port cannot be opened', message === `Cannot open port ${nothingThere}!`,
        `got ${shown(message)}`);
    check('3 the message is shown as a problem',
        (await page.locator('#message').getAttribute('class') ?? '').includes('problem'));
    checkNoMountValues('3 nothing answers', await report(page));
    const status = await textOf(page, '#status');
    check('3 the status says no mount answered', status === `No mount answered on ${nothingThere}.`,
        `got ${shown(status)}`);
    check('3 the path is stored anyway, as the dialog does', configValue(readConfig(), 'serial') === nothingThere);
}

// Returns the new server and a new page on it.
async function storedAcrossRestart(browser, page, server) {
    const answer = await store(page, { other: mountLink });
    check('4 storing the mount again', answer.status() === 200 && (await textOf(page, '#message')) === 'Stored.',
        `got ${answer.status()} ${shown(await textOf(page, '#message'))}`);
    // Closing the page drops its kept-alive connection, which would hold
    // the server's stop until it times out.
    await page.close();
    const end = await stopProcess(server, 'SIGTERM');
    check('4 the server ends cleanly on SIGTERM', end.code === 0, `ended with ${shown(end)}:\n${server.output}`);
    const restarted = await startServer();
    page = await browser.newPage();
    await page.goto(`${restarted.origin}/setup`);
    const chosen = await page.locator('#device').inputValue();
    check('4 after a restart the stored device is selected', chosen === mountLink, `selected ${shown(chosen)}`);
    check('4 after a restart the trace box is ticked', await page.isChecked('#trace'));
    check('4 after a restart the mount values show', (await report(page)).model === MODEL_TWO_NAME);
    return { restarted, page };
}

async function whileConnected(page, server) {
    const put = await putMember(server, 'connected', { Connected: 'true' });
    if (!check('5 PUT connected=true succeeds', put.status === 200 && put.json?.ErrorNumber === 0,
        `got ${put.status} ${shown(put.json ?? put.text)}`))
        return;
    await page.goto(`${server.origin}/setup`);
    const status = await textOf(page, '#status');
    check('5 the page says it is connected, over an open link', status === `Connected on ${mountLink}. The link: open.`,
        `got ${shown(status)}`);
    checkMountValues('5 while connected', await report(page));
    const off = await putMember(server, 'connected', { Connected: 'false' });
    check('5 PUT connected=false succeeds', off.status === 200 && off.json?.ErrorNumber === 0,
        `got ${off.status} ${shown(off.json ?? off.text)}`);
    // The trace box was ticked: the connection just made left a trace.
    const traces = fs.existsSync(stateFolder) ? fs.readdirSync(stateFolder, { recursive: true }) : [];
    check('5 the ticked trace box made a trace of the connection',
        traces.some((name) => fs.statSync(path.join(stateFolder, name)).isFile()), `found ${shown(traces)}`);
}

// A page on another site cannot read the token, but it can make the
// browser post a form to this server: such posts must store nothing.
async function crossSite(page, server, staleToken) {
    const before = readConfig();
    const attempts = [
        ['no token', { other: nothingThere, trace: 'on' }],
        ['a wrong token', { token: 'not-the-token', other: nothingThere }],
        ['the token of the server before the restart', { token: staleToken, other: nothingThere }],
    ];
    for (const [what, fields] of attempts) {
        await page.goto('about:blank');
        await page.setContent('<form method="post"></form>');
        const [answer] = await Promise.all([page.waitForNavigation(), page.evaluate(({ action, fields }) => {
            const form = document.forms[0];
            form.action = action;
            for (const [name, value] of Object.entries(fields)) {
                const input = form.appendChild(document.createElement('input'));
                input.type = 'hidden';
                input.name = name;
                input.value = value;
            }
            form.submit();
        }, { action: `${server.origin}${SETUP_FORM}`, fields })]);
        check(`7 a foreign form posted with ${what} gets 403`, answer.status() === 403, `got ${answer.status()}`);
        const message = await textOf(page, '#message');
        check(`7 a foreign form posted with ${what} is told nothing was stored`,
            /nothing was stored/.test(message ?? ''), `got ${shown(message)}`);
    }
    check('7 the refused posts changed nothing', readConfig() === before);
}

// A phone browser widens its layout to fit what overflows (innerWidth grows
// with it), so the page is measured against the phone's own width.
async function checkNoSidewaysScroll(page, name) {
    const widths = await page.evaluate(() => ({
        scroll: document.documentElement.scrollWidth, inner: window.innerWidth,
    }));
    check(name, widths.scroll <= PHONE.width && widths.inner === PHONE.width,
        `scrollWidth ${widths.scroll}, innerWidth ${widths.inner}, the phone is ${PHONE.width} wide`);
}

async function onAPhone(browser, server, screenshot) {
    const context = await browser.newContext({ viewport: PHONE, isMobile: true, hasTouch: true, deviceScaleFactor: 2 });
    const requested = [];
    context.on('request', (request) => requested.push(request.url()));
    try {
        const page = await context.newPage();
        await page.goto(`${server.origin}/setup`);
        await store(page, { other: mountLink });
        check('8 on a phone the mount values show', (await report(page)).model === MODEL_TWO_NAME);
        await checkNoSidewaysScroll(page, '8 on a phone nothing scrolls sideways');
        const button = await page.locator('#store').boundingBox();
        check('8 on a phone the Store button is in the page', button && button.x >= 0
            && button.x + button.width <= PHONE.width, shown(button));
        const foreign = requested.filter((url) => new URL(url).origin !== server.origin);
        check('8 the page loads nothing from elsewhere', foreign.length === 0, foreign.join(' '));
        check('8 the requests were recorded', requested.length >= 2, `saw ${requested.length}`);
        if (screenshot) {
            await page.screenshot({ path: screenshot, fullPage: true });
            check('9 screenshot written', fs.statSync(screenshot).size > 0, screenshot);
        } else {
            skip('9 screenshot', 'no screenshot path given');
        }
        // Adapters name themselves at length under /dev/serial/by-id; the
        // message and the status repeat the path.
        await store(page, { other: LONG_DEVICE_PATH });
        await checkNoSidewaysScroll(page, '8 on a phone a long device path does not widen the page');
        await store(page, { other: mountLink });
    } finally {
        await context.close();
    }
}

// A private network namespace whose loopback also answers on
// ELSEWHERE_ADDRESS: a browser in it reaching that address is a client from
// another computer to the server. Held open by `cat` for as long as this
// script runs (its input ends with us). Null when the namespace cannot be made.
async function elsewhereNamespace() {
    const probe = spawnSync('unshare', ['--net', 'true'], { stdio: 'ignore' });
    if (probe.error || probe.status !== 0)
        return null;
    const holder = startProcess('unshare', ['--net', 'sh', '-c',
        `ip link set lo up && ip addr add ${ELSEWHERE_ADDRESS}/32 dev lo && echo ready && exec cat`],
    { stdio: ['pipe', 'pipe', 'pipe'] });
    try {
        await waitFor('the namespace', () => holder.output.includes('ready'), holder, 5000);
    } catch {
        await stopProcess(holder, 'SIGKILL');
        return null;
    }
    const enter = ['nsenter', `--net=/proc/${holder.pid}/ns/net`, '--'];
    const browserStarter = path.join(scratch, 'chromium-elsewhere');
    fs.writeFileSync(browserStarter, `#!/bin/sh\nexec ${enter.join(' ')} ${CHROMIUM} "$@"\n`, { mode: 0o755 });
    return { holder, enter, browserStarter };
}

async function startElsewhereServer(namespace, config, extra) {
    const server = await startServer({ config, host: ELSEWHERE_ADDRESS, prefix: namespace.enter,
        extra: ['--listen', '0.0.0.0', ...extra] });
    return server;
}

async function fromElsewhere() {
    const namespace = await elsewhereNamespace();
    if (!namespace) {
        skip('6 read-only from elsewhere',
            'no non-loopback address: a private network namespace could not be made (needs root, unshare, ip)');
        return;
    }
    // A config of its own: a store that got through would show in it.
    const remoteConfig = path.join(scratch, 'remote.conf');
    fs.copyFileSync(configPath, remoteConfig);
    const before = fs.readFileSync(remoteConfig, 'utf8');
    const browser = await chromium.launch({ executablePath: namespace.browserStarter, args: ['--no-sandbox'] });
    try {
        const readOnly = await startElsewhereServer(namespace, remoteConfig, []);
        // A page of its own per server: closing it drops its kept-alive
        // connection, which would otherwise hold the server's stop.
        let page = await browser.newPage();
        const answer = await page.goto(`${readOnly.origin}/setup`);
        check('6 the page loads from elsewhere', answer.status() === 200, `got ${answer.status()}`);
        check('6 from elsewhere there is no Store button', (await page.locator('#store').count()) === 0);
        const note = await textOf(page, '#read-only');
        check('6 from elsewhere the read-only note is there', /read-only/.test(note ?? ''), `got ${shown(note)}`);
        check('6 from elsewhere the fields are disabled',
            await page.isDisabled('#device') && await page.isDisabled('#other') && await page.isDisabled('#trace'));
        check('6 from elsewhere the stored device still shows', (await page.locator('#device').inputValue()) === mountLink);
        const posted = await page.evaluate(async (formPath) => {
            const token = document.querySelector('input[name=token]').value;
            const body = new URLSearchParams({ token, device: '/dev/ttyS0', other: '/dev/ttyUSB9', trace: 'on' });
            const reply = await fetch(formPath, { method: 'POST', body });
            return { status: reply.status, text: await reply.text() };
        }, SETUP_FORM);
        check('6 a POST from elsewhere, with the page\'s own token, gets 403', posted.status === 403,
            `got ${posted.status}`);
        check('6 the refusal says why', posted.text.includes('own computer only'), posted.text.slice(0, 200));
        check('6 the POST from elsewhere stored nothing', fs.readFileSync(remoteConfig, 'utf8') === before);
        await page.close();
        await stopProcess(readOnly);

        const open = await startElsewhereServer(namespace, remoteConfig, ['--allow-remote-setup']);
        page = await browser.newPage();
        await page.goto(`${open.origin}/setup`);
        check('6 with --allow-remote-setup the Store button is there', (await page.locator('#store').count()) === 1);
        check('6 with --allow-remote-setup no read-only note', (await page.locator('#read-only').count()) === 0);
        await store(page, { other: nothingThere });
        check('6 with --allow-remote-setup a store from elsewhere is taken',
            configValue(fs.readFileSync(remoteConfig, 'utf8'), 'serial') === nothingThere);
        await page.close();
        await stopProcess(open);
    } finally {
        await browser.close();
        await stopProcess(namespace.holder, 'SIGKILL');
    }
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
        await startSimulator();
        let server = await startServer();
        servers.push(server);
        browser = await chromium.launch({ executablePath: CHROMIUM, args: ['--no-sandbox'] });
        let page = await browser.newPage();

        const firstToken = await timed('1', () => firstLook(page, server));
        await timed('2', () => storeTheMount(page));
        await timed('3', () => storeNothingThere(page));
        ({ restarted: server, page } = await timed('4', () => storedAcrossRestart(browser, page, server)));
        servers.push(server);
        await timed('5', () => whileConnected(page, server));
        await timed('7', () => crossSite(page, server, firstToken));
        await timed('8-9', () => onAPhone(browser, server, screenshotPath));
        await timed('6', () => fromElsewhere());
    } catch (error) {
        check('the run went to its end', false, error.stack ?? String(error));
    } finally {
        await closeEverything(browser, servers);
    }
    return reportRun('setup-page', servers, scratch, runBegan);
}

process.exitCode = await main();
