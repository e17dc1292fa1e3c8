// The status page of velmaro-alpaca: reads /status/v1/telescope/N about
// once a second and shows it, draws the sky, and drives the mount through
// the device API (/api/v1/telescope/N/...) as any other client does: its own
// ClientID, its own transaction numbers, its turns in the mount's queue.
// Nothing is fetched but this server's own paths.

const POLL_MS = 1000;
const STATUS_TIMEOUT_MS = 5000;
const ACTION_TIMEOUT_MS = 15000;
const TRAIL_SPAN_MS = 10 * 60 * 1000;
// One point a poll is 600 in ten minutes: the bound leaves room for a
// faster poll and keeps the page's memory fixed however long it stays open.
const TRAIL_MOST_POINTS = 900;
const CATALOGUE_RETRY_MS = 10000;
const SYNC_ARMED_MS = 4000;
// The server reads the mount only while programs ask (and keeps the
// position fresh itself): a value read longer ago than this is shown with
// its age, so that an old "slewing: yes" does not pass for news.
const STALE_AFTER_S = 5;
const LARGEST_CLIENT_ID = 2147483647;
const DASH = '—';

const DIRECTION = { north: 0, south: 1, east: 2, west: 3 };

// ---- where the page points -------------------------------------------------

function chosenDeviceNumber() {
    const text = new URLSearchParams(location.search).get('device') ?? '';
    return /^\d{1,4}$/.test(text) ? Number(text) : 0;
}

const device = chosenDeviceNumber();
const statusPath = `/status/v1/telescope/${device}`;
const apiPath = `/api/v1/telescope/${device}`;

// ---- small helpers ---------------------------------------------------------

const $ = (id) => document.getElementById(id);

function isNumber(value) {
    return typeof value === 'number' && Number.isFinite(value);
}

function pad(number, width = 2) {
    return String(number).padStart(width, '0');
}

function setText(id, text) {
    const element = $(id);
    if (element.textContent !== text)
        element.textContent = text;
}

function clockTime(date) {
    return `${pad(date.getHours())}:${pad(date.getMinutes())}:${pad(date.getSeconds())}`;
}

// An ISO time from the server as this browser's clock time, the date
// added when it is not today's.
function shownTime(iso) {
    if (typeof iso !== 'string' || iso === '')
        return DASH;
    const date = new Date(iso);
    if (Number.isNaN(date.getTime()))
        return iso;
    const today = new Date();
    const sameDay = date.toDateString() === today.toDateString();
    const day = `${date.getFullYear()}-${pad(date.getMonth() + 1)}-${pad(date.getDate())} `;
    return (sameDay ? '' : day) + clockTime(date);
}

function yesNo(value) {
    return typeof value === 'boolean' ? (value ? 'yes' : 'no') : DASH;
}

// ---- sexagesimal -----------------------------------------------------------

// A non-negative value in whole units as [units, minutes, seconds], rounded
// to the second, wrapped at `wrap` units when given.
function splitToSeconds(value, wrap) {
    let seconds = Math.round(value * 3600);
    if (wrap)
        seconds %= wrap * 3600;
    return [Math.floor(seconds / 3600), Math.floor(seconds / 60) % 60, seconds % 60];
}

function formatHours(hours) {
    if (!isNumber(hours))
        return DASH;
    const [h, m, s] = splitToSeconds(((hours % 24) + 24) % 24, 24);
    return `${pad(h)}h${pad(m)}m${pad(s)}s`;
}

function formatSignedDegrees(degrees) {
    if (!isNumber(degrees))
        return DASH;
    const [d, m, s] = splitToSeconds(Math.abs(degrees));
    const sign = degrees < 0 && d + m + s > 0 ? '-' : '+';
    return `${sign}${pad(d)}°${pad(m)}'${pad(s)}"`;
}

function formatAzimuth(degrees) {
    if (!isNumber(degrees))
        return DASH;
    const [d, m, s] = splitToSeconds(((degrees % 360) + 360) % 360, 360);
    return `${pad(d, 3)}°${pad(m)}'${pad(s)}"`;
}

function formatSite(site) {
    if (!site || !isNumber(site.Latitude) || !isNumber(site.Longitude))
        return 'not known yet (the page reads it when it first acts)';
    const latitude = `${Math.abs(site.Latitude).toFixed(4)}° ${site.Latitude < 0 ? 'S' : 'N'}`;
    const longitude = `${Math.abs(site.Longitude).toFixed(4)}° ${site.Longitude < 0 ? 'W' : 'E'}`;
    return `${latitude}, ${longitude}`;
}

function formatDuration(seconds) {
    if (!isNumber(seconds) || seconds < 0)
        return DASH;
    const whole = Math.floor(seconds);
    const days = Math.floor(whole / 86400);
    const clock = `${pad(Math.floor(whole / 3600) % 24)}:${pad(Math.floor(whole / 60) % 60)}:${pad(whole % 60)}`;
    return days > 0 ? `${days} d ${clock}` : clock;
}

// A number for a form or a query: fixed digits, never an exponent, never
// NaN (the caller is told instead).
function formNumber(value, digits) {
    if (!isNumber(value))
        throw new Error(`not a number: ${value}`);
    return value.toFixed(digits);
}

// ---- the page's own client -------------------------------------------------

// Chosen once for the tab: a reload stays the same client.
function pageClientId() {
    const key = 'velmaro-client-id';
    let stored = NaN;
    try {
        stored = Number(sessionStorage.getItem(key));
    } catch { /* storage turned off: a new client each load */ }
    if (Number.isInteger(stored) && stored >= 1 && stored <= LARGEST_CLIENT_ID)
        return stored;
    const random = new Uint32Array(1);
    crypto.getRandomValues(random);
    const id = (random[0] % LARGEST_CLIENT_ID) + 1;
    try {
        sessionStorage.setItem(key, String(id));
    } catch { /* as above */ }
    return id;
}

const clientId = pageClientId();
let lastTransaction = 0;

class ActionError extends Error {}

async function fetchWithin(url, options, ms) {
    try {
        return await fetch(url, { ...options, cache: 'no-store', signal: AbortSignal.timeout(ms) });
    } catch (error) {
        if (error.name === 'TimeoutError')
            throw new ActionError(`no answer within ${ms / 1000} s`);
        throw new ActionError(`the server cannot be reached (${error.message})`);
    }
}

// The device API's answer: its Value, or its own ErrorMessage as the error.
async function alpacaValue(reply) {
    const text = await reply.text();
    if (!reply.ok)
        throw new ActionError(`HTTP ${reply.status} ${reply.statusText}: ${text.trim() || 'no message'}`);
    let answer;
    try {
        answer = JSON.parse(text);
    } catch {
        throw new ActionError('the answer is not JSON');
    }
    if (answer.ErrorNumber)
        throw new ActionError(`${answer.ErrorMessage || 'no message'} (error 0x${answer.ErrorNumber.toString(16)})`);
    return answer.Value;
}

async function putMember(member, fields = {}) {
    const body = new URLSearchParams({ ...fields, ClientID: String(clientId),
        ClientTransactionID: String(++lastTransaction) });
    return alpacaValue(await fetchWithin(`${apiPath}/${member}`, { method: 'PUT', body }, ACTION_TIMEOUT_MS));
}

async function getMember(member) {
    const query = new URLSearchParams({ ClientID: String(clientId), ClientTransactionID: String(++lastTransaction) });
    return alpacaValue(await fetchWithin(`${apiPath}/${member}?${query}`, {}, ACTION_TIMEOUT_MS));
}

async function getJson(path, ms) {
    const reply = await fetchWithin(path, {}, ms);
    const text = await reply.text();
    if (!reply.ok)
        throw new ActionError(`HTTP ${reply.status} ${reply.statusText}: ${text.trim() || 'no message'}`);
    try {
        return JSON.parse(text);
    } catch {
        throw new ActionError('the answer is not JSON');
    }
}

// ---- the status, kept --------------------------------------------------------

let latest = null;        // the last status answer
let trail = [];           // {at, altitude, azimuth}, oldest first

function pageIsConnected() {
    return (latest?.Clients ?? []).some((client) => client.ClientID === clientId && client.Connected);
}

// Connects the page's client when the server does not list it as connected:
// before its first action, or after the server let it go as idle.
let connecting = null;
function connectIfNeeded() {
    if (pageIsConnected())
        return Promise.resolve();
    connecting ??= putMember('connected', { Connected: 'true' }).finally(() => { connecting = null; });
    return connecting;
}

// Connected, and the site read once if the server does not know it yet:
// a target's altitude needs it.
async function readyToAct() {
    await connectIfNeeded();
    if (!latest?.Site) {
        await getMember('sitelatitude');
        await getMember('sitelongitude');
    }
}

// ---- the message line --------------------------------------------------------

function showMessage(text, kind) {
    const line = $('message');
    line.textContent = `${clockTime(new Date())} ${text}`;
    line.className = kind;
}

// Runs one action of the hand controller and tells how it went.
async function act(what, action) {
    try {
        const done = await action();
        showMessage(done ?? `${what}: sent.`, 'done');
    } catch (error) {
        showMessage(`${what}: ${error instanceof ActionError ? error.message : String(error)}`, 'problem');
    }
}

// ---- the hand controller -----------------------------------------------------

function abort() {
    return act('Abort', async () => {
        await connectIfNeeded();
        await putMember('abortslew');
    });
}

function park() {
    return act('Park', async () => {
        await readyToAct();
        await putMember('park');
        return 'Park: sent; the mount is on its way.';
    });
}

function unpark() {
    return act('Unpark', async () => {
        await readyToAct();
        await putMember('unpark');
    });
}

function startTracking() {
    return act('Track', async () => {
        await readyToAct();
        const rate = $('tracking-rate').value;
        if (rate !== '' && Number(rate) !== latest?.Mount?.TrackingRate)
            await putMember('trackingrate', { TrackingRate: rate });
        await putMember('tracking', { Tracking: 'true' });
    });
}

function stopTracking() {
    return act('Stop tracking', async () => {
        await readyToAct();
        await putMember('tracking', { Tracking: 'false' });
    });
}

// The query that names the target typed in: a catalogue name, or a right
// ascension and a declination; null when neither is complete.
function typedTargetQuery() {
    const name = $('target-name').value.trim();
    if (name !== '')
        return new URLSearchParams({ Name: name });
    const ra = $('target-ra').value.trim();
    const dec = $('target-dec').value.trim();
    if (ra === '' || dec === '')
        return null;
    return new URLSearchParams({ RightAscension: ra, Declination: dec });
}

// Asks the server where the target is, then sends the member with its
// coordinates of date; sends nothing when the server refuses the target.
async function sendToTarget(query, member, verb) {
    await readyToAct();
    const target = await getJson(`${statusPath}/target?${query}`, ACTION_TIMEOUT_MS);
    if (typeof target.Refusal === 'string' && target.Refusal !== '')
        throw new ActionError(target.Refusal);
    if (!isNumber(target.RightAscension) || !isNumber(target.Declination))
        throw new ActionError('the server gave no coordinates for the target');
    await putMember(member, { RightAscension: formNumber(target.RightAscension, 8),
        Declination: formNumber(target.Declination, 7) });
    return `${verb} ${target.Name}: ${formatHours(target.RightAscension)} ${formatSignedDegrees(target.Declination)}`
        + (isNumber(target.Altitude) ? `, altitude ${target.Altitude.toFixed(1)}°.` : '.');
}

function goTo() {
    return act('Go to', () => {
        const query = typedTargetQuery();
        if (!query)
            throw new ActionError('type a name from the catalogue, or a right ascension and a declination');
        return sendToTarget(query, 'slewtocoordinatesasync', 'Going to');
    });
}

// Sync changes where the mount believes it points: the first press arms
// the button, a second within a few seconds sends.
let syncArmedUntil = 0;
function sync() {
    const button = $('sync');
    if (Date.now() > syncArmedUntil) {
        syncArmedUntil = Date.now() + SYNC_ARMED_MS;
        button.textContent = 'Sync: press again';
        setTimeout(() => { button.textContent = 'Sync'; }, SYNC_ARMED_MS);
        return Promise.resolve();
    }
    syncArmedUntil = 0;
    button.textContent = 'Sync';
    return act('Sync', () => {
        const query = typedTargetQuery();
        if (!query)
            throw new ActionError('type a name from the catalogue, or a right ascension and a declination');
        return sendToTarget(query, 'synctocoordinates', 'Synced on');
    });
}

// Where a nudge of `step` degrees goes from the current position. North
// and south change the declination, clamped at the poles. East is the way
// right ascension grows (east on the sky, left in the picture), west the
// way it falls; a step in right ascension is the step on the sky divided by
// cos(dec), so that it covers the same angle at any declination, and never
// more than half a turn near a pole.
function nudged(raHours, decDegrees, way, step) {
    if (way === 'north' || way === 'south') {
        const dec = decDegrees + (way === 'north' ? step : -step);
        return { ra: raHours, dec: Math.max(-90, Math.min(90, dec)) };
    }
    const cosDec = Math.cos(decDegrees * Math.PI / 180);
    const raStepDegrees = Math.min(180, step / Math.max(cosDec, 1e-6));
    const ra = raHours + (way === 'east' ? 1 : -1) * raStepDegrees / 15;
    return { ra: ((ra % 24) + 24) % 24, dec: decDegrees };
}

// A nudge starts from the position read from the mount now: the status may
// be a second behind, and a nudge pressed just after another would start
// from where the mount was before it.
function nudge(way) {
    return act(`Nudge ${way}`, async () => {
        await readyToAct();
        const ra = await getMember('rightascension');
        const dec = await getMember('declination');
        if (!isNumber(ra) || !isNumber(dec))
            throw new ActionError('the mount gave no position');
        const step = Number($('nudge-step').value);
        const to = nudged(ra, dec, way, step);
        const query = new URLSearchParams({ RightAscension: formNumber(to.ra, 8), Declination: formNumber(to.dec, 7) });
        return sendToTarget(query, 'slewtocoordinatesasync', `Nudging ${way} to`);
    });
}

function pulse(way) {
    return act(`Guide pulse ${way}`, async () => {
        await readyToAct();
        await putMember('pulseguide', { Direction: String(DIRECTION[way]), Duration: $('pulse-length').value });
    });
}

function wireControls() {
    $('abort').addEventListener('click', abort);
    $('park').addEventListener('click', park);
    $('unpark').addEventListener('click', unpark);
    $('track').addEventListener('click', startTracking);
    $('stop-tracking').addEventListener('click', stopTracking);
    $('goto').addEventListener('click', goTo);
    $('sync').addEventListener('click', sync);
    for (const way of ['north', 'south', 'east', 'west']) {
        $(`nudge-${way[0]}`).addEventListener('click', () => nudge(way));
        $(`pulse-${way[0]}`).addEventListener('click', () => pulse(way));
    }
    // A name and typed coordinates are two ways of saying one target.
    $('target-name').addEventListener('input', () => {
        if ($('target-name').value !== '') {
            $('target-ra').value = '';
            $('target-dec').value = '';
        }
    });
    for (const id of ['target-ra', 'target-dec'])
        $(id).addEventListener('input', () => {
            if ($(id).value !== '')
                $('target-name').value = '';
        });
}

// ---- the theme ---------------------------------------------------------------

const THEME_KEY = 'velmaro-theme';

function storedTheme() {
    try {
        return localStorage.getItem(THEME_KEY) === 'day' ? 'day' : 'night';
    } catch {
        return 'night';
    }
}

function applyTheme(theme) {
    document.documentElement.dataset.theme = theme;
    $('theme').textContent = theme === 'night' ? 'Day theme' : 'Night theme';
}

function wireTheme() {
    applyTheme(storedTheme());
    $('theme').addEventListener('click', () => {
        const theme = document.documentElement.dataset.theme === 'night' ? 'day' : 'night';
        applyTheme(theme);
        try {
            localStorage.setItem(THEME_KEY, theme);
        } catch { /* kept for this page only */ }
    });
}

// ---- the sky -----------------------------------------------------------------

const SVG = 'http://www.w3.org/2000/svg';
const SKY_RADIUS = 100;
const LOWEST_DRAWN_ALTITUDE = -20;

// Seen looking up, as a star chart: north at the top, east on the left.
// The zenith is the centre; the distance from it grows evenly with the
// angle from the zenith, the horizon at SKY_RADIUS.
function skyPoint(altitude, azimuth) {
    const r = SKY_RADIUS * (90 - Math.max(altitude, LOWEST_DRAWN_ALTITUDE)) / 90;
    const a = azimuth * Math.PI / 180;
    return { x: -r * Math.sin(a), y: -r * Math.cos(a) };
}

// Altitude and azimuth (north 0, east 90) of a right ascension and
// declination at a sidereal time and latitude.
function horizontalOf(raHours, decDegrees, siderealHours, latitudeDegrees) {
    const rad = Math.PI / 180;
    const hourAngle = (siderealHours - raHours) * 15 * rad;
    const dec = decDegrees * rad;
    const lat = latitudeDegrees * rad;
    const sinAlt = Math.sin(dec) * Math.sin(lat) + Math.cos(dec) * Math.cos(lat) * Math.cos(hourAngle);
    const altitude = Math.asin(Math.max(-1, Math.min(1, sinAlt))) / rad;
    const azimuth = Math.atan2(-Math.cos(dec) * Math.sin(hourAngle),
        Math.sin(dec) * Math.cos(lat) - Math.cos(dec) * Math.sin(lat) * Math.cos(hourAngle)) / rad;
    return { altitude, azimuth: ((azimuth % 360) + 360) % 360 };
}

function svgElement(name, attributes, text) {
    const element = document.createElementNS(SVG, name);
    for (const [key, value] of Object.entries(attributes))
        element.setAttribute(key, typeof value === 'number' ? value.toFixed(2) : value);
    if (text !== undefined)
        element.textContent = text;
    return element;
}

function drawSkyFrame(parts, latitude) {
    parts.push(svgElement('circle', { class: 'ground', cx: 0, cy: 0, r: SKY_RADIUS }));
    for (const altitude of [30, 60]) {
        const r = SKY_RADIUS * (90 - altitude) / 90;
        parts.push(svgElement('circle', { class: 'ring', cx: 0, cy: 0, r }));
        parts.push(svgElement('text', { class: 'ring-label', x: 1.5, y: -r - 1.5 }, `${altitude}°`));
    }
    parts.push(svgElement('line', { class: 'meridian', x1: 0, y1: -SKY_RADIUS, x2: 0, y2: SKY_RADIUS }));
    for (const [label, azimuth] of [['N', 0], ['E', 90], ['S', 180], ['W', 270]]) {
        const { x, y } = skyPoint(-11, azimuth);
        parts.push(svgElement('text', { class: 'label', x, y }, label));
    }
    if (isNumber(latitude)) {
        // The visible pole stands at the site's latitude above the north
        // point, or above the south point south of the equator.
        const { x, y } = skyPoint(Math.abs(latitude), latitude >= 0 ? 0 : 180);
        const pole = svgElement('g', { id: 'sky-pole', class: 'pole' });
        pole.append(svgElement('line', { x1: x - 4, y1: y, x2: x + 4, y2: y }),
            svgElement('line', { x1: x, y1: y - 4, x2: x, y2: y + 4 }));
        parts.push(pole);
    }
}

function drawSky() {
    const status = latest;
    const mount = status?.Mount ?? {};
    const latitude = status?.Site?.Latitude;
    const parts = [];
    drawSkyFrame(parts, latitude);
    if (trail.length > 1) {
        const points = trail.map(({ altitude, azimuth }) => {
            const { x, y } = skyPoint(altitude, azimuth);
            return `${x.toFixed(1)},${y.toFixed(1)}`;
        }).join(' ');
        parts.push(svgElement('polyline', { id: 'sky-trail', class: 'trail', points }));
    }
    const parkAt = status?.ParkPosition;
    if (isNumber(parkAt?.Altitude) && isNumber(parkAt?.Azimuth)) {
        const { x, y } = skyPoint(parkAt.Altitude, parkAt.Azimuth);
        parts.push(svgElement('text', { id: 'sky-park', class: 'park', x, y }, 'P'));
    }
    const now = isNumber(mount.Altitude) && isNumber(mount.Azimuth) ? skyPoint(mount.Altitude, mount.Azimuth) : null;
    const target = status?.SlewTarget;
    if (target && isNumber(target.RightAscension) && isNumber(target.Declination) && isNumber(mount.SiderealTime)
        && isNumber(latitude)) {
        const at = horizontalOf(target.RightAscension, target.Declination, mount.SiderealTime, latitude);
        const { x, y } = skyPoint(at.altitude, at.azimuth);
        if (now)
            parts.push(svgElement('line', { class: 'to-target', x1: now.x, y1: now.y, x2: x, y2: y }));
        parts.push(svgElement('circle', { id: 'sky-target', class: 'target', cx: x, cy: y, r: 5 }));
    }
    if (now)
        parts.push(svgElement('circle', { id: 'sky-pointer', class: 'pointer', cx: now.x, cy: now.y, r: 4.5 }));
    $('sky').replaceChildren(...parts);
}

function keepTrail(mount) {
    const at = Date.now();
    trail = trail.filter((point) => at - point.at <= TRAIL_SPAN_MS);
    if (isNumber(mount?.Altitude) && isNumber(mount?.Azimuth)) {
        const last = trail[trail.length - 1];
        if (!last || last.altitude !== mount.Altitude || last.azimuth !== mount.Azimuth)
            trail.push({ at, altitude: mount.Altitude, azimuth: mount.Azimuth });
    }
    if (trail.length > TRAIL_MOST_POINTS)
        trail = trail.slice(trail.length - TRAIL_MOST_POINTS);
}

// ---- showing the status ------------------------------------------------------

const PIER_SIDES = { 0: 'East', 1: 'West', '-1': 'Unknown' };
const LINK_WORDS = { open: 'open', closed: 'closed', gone: 'gone', silent: 'silent' };

function rateName(value) {
    const rate = (latest?.TrackingRates ?? []).find((entry) => entry.Value === value);
    return rate ? rate.Name : isNumber(value) ? `rate ${value}` : null;
}

function showDevice(status) {
    const { Device: deviceInfo } = status;
    setText('title', deviceInfo?.Name || 'Velmaro Telescope');
    const model = deviceInfo?.Model ? deviceInfo.Model : DASH;
    setText('model', deviceInfo?.Simulated ? `simulated mount: ${model}` : model);
    if (deviceInfo?.SetupPage)
        $('setup-link').setAttribute('href', deviceInfo.SetupPage);
}

// The text of a mount field, with its age when it is old.
function aged(name, text) {
    const age = latest?.MountAges?.[name];
    if (text === DASH || !isNumber(age) || age <= STALE_AFTER_S)
        return text;
    return `${text} (read ${formatAge(age)} ago)`;
}

function formatAge(seconds) {
    if (seconds < 120)
        return `${Math.round(seconds)} s`;
    if (seconds < 7200)
        return `${Math.round(seconds / 60)} min`;
    return `${Math.round(seconds / 3600)} h`;
}

function showPosition(mount) {
    $('mount-note').hidden = ['RightAscension', 'Declination', 'Altitude', 'Azimuth'].some((name) => isNumber(mount[name]));
    setText('ra', aged('RightAscension', formatHours(mount.RightAscension)));
    setText('dec', aged('Declination', formatSignedDegrees(mount.Declination)));
    setText('alt', aged('Altitude', formatSignedDegrees(mount.Altitude)));
    setText('az', aged('Azimuth', formatAzimuth(mount.Azimuth)));
    setText('pier', aged('SideOfPier', mount.SideOfPier === null || mount.SideOfPier === undefined ? DASH
        : PIER_SIDES[mount.SideOfPier] ?? String(mount.SideOfPier)));
    setText('sidereal', aged('SiderealTime', formatHours(mount.SiderealTime)));
    const utc = typeof mount.UTCDate === 'string' && mount.UTCDate !== '' ? new Date(mount.UTCDate) : null;
    setText('utc', aged('UTCDate', utc && !Number.isNaN(utc.getTime())
        ? utc.toISOString().replace('T', ' ').replace(/\.\d+Z$/, '') : DASH));
}

function showState(mount) {
    let tracking = yesNo(mount.Tracking);
    const rate = rateName(mount.TrackingRate);
    if (mount.Tracking === true && rate)
        tracking = `yes (${rate})`;
    setText('tracking', aged('Tracking', tracking));
    setText('slewing', aged('Slewing', yesNo(mount.Slewing)));
    setText('parked', aged('AtPark', yesNo(mount.AtPark)));
    setText('at-home', aged('AtHome', yesNo(mount.AtHome)));
    setText('guiding', aged('IsPulseGuiding', yesNo(mount.IsPulseGuiding)));
}

function showLink(link) {
    setText('link-device', latest?.Device?.SerialDevice || DASH);
    if (!link) {
        setText('link-state', DASH);
        return;
    }
    const word = LINK_WORDS[link.State] ?? link.State ?? DASH;
    const since = link.Since ? ` since ${shownTime(link.Since)}` : '';
    const said = link.Description && link.Description !== word ? `: ${link.Description}` : '';
    setText('link-state', `${word}${since}${said}`);
    const rate = link.ExchangesPerSecond;
    const ceiling = link.CeilingPerSecond;
    setText('link-rate', isNumber(rate)
        ? `${rate.toFixed(1)} a second over the last minute${isNumber(ceiling) ? ` (at most ${ceiling})` : ''}`
        : DASH);
    const share = isNumber(rate) && isNumber(ceiling) && ceiling > 0 ? Math.min(1, rate / ceiling) : 0;
    $('link-bar').style.width = `${(share * 100).toFixed(1)}%`;
    setText('link-error', link.LastError
        ? `${link.LastErrorTime ? shownTime(link.LastErrorTime) + ' ' : ''}${link.LastError}` : 'none');
}

function clientRow(client) {
    const row = document.createElement('tr');
    const cells = [
        String(client.ClientID) + (client.ClientID === clientId ? ' (this page)' : ''),
        yesNo(client.Connected),
        isNumber(client.RequestsPerMinute) ? String(Math.round(client.RequestsPerMinute)) : DASH,
        isNumber(client.SecondsSinceLastRequest) ? `${client.SecondsSinceLastRequest.toFixed(1)} s ago` : DASH,
    ];
    for (const text of cells) {
        const cell = document.createElement('td');
        cell.textContent = text;
        row.append(cell);
    }
    return row;
}

function showClients(clients) {
    const body = $('clients').tBodies[0];
    if (!Array.isArray(clients) || clients.length === 0) {
        const row = document.createElement('tr');
        const cell = document.createElement('td');
        cell.colSpan = 4;
        cell.textContent = 'No client yet.';
        row.append(cell);
        body.replaceChildren(row);
        return;
    }
    body.replaceChildren(...clients.map(clientRow));
}

function showRates(rates, current) {
    const select = $('tracking-rate');
    const wanted = (rates ?? []).map((rate) => `${rate.Value}:${rate.Name}`).join(',');
    if (select.dataset.rates === wanted)
        return;
    select.dataset.rates = wanted;
    select.replaceChildren(...(rates ?? []).map((rate) => {
        const option = document.createElement('option');
        option.value = String(rate.Value);
        option.textContent = rate.Name;
        return option;
    }));
    if (isNumber(current))
        select.value = String(current);
}

// A control the mount cannot do is disabled; one not yet known stays usable
// (the server's answer tells).
function showCapabilities(capabilities) {
    const can = (name) => capabilities?.[name] !== false;
    $('park').disabled = !can('CanPark');
    $('unpark').disabled = !can('CanUnpark');
    $('track').disabled = !can('CanSetTracking');
    $('stop-tracking').disabled = !can('CanSetTracking');
    $('sync').disabled = !can('CanSync');
    for (const id of ['goto', 'nudge-n', 'nudge-s', 'nudge-e', 'nudge-w'])
        $(id).disabled = !can('CanSlewAsync');
    $('pulse-controls').hidden = !can('CanPulseGuide');
}

function showServer(server) {
    setText('server-version', server?.Version || DASH);
    setText('server-uptime', formatDuration(server?.UptimeSeconds));
}

function show(status) {
    latest = status;
    const mount = status.Mount ?? {};
    showDevice(status);
    showPosition(mount);
    showState(mount);
    showLink(status.Link);
    showClients(status.Clients);
    showRates(status.TrackingRates, mount.TrackingRate);
    showCapabilities(status.Capabilities);
    showServer(status.Server);
    setText('sky-site', `Site: ${formatSite(status.Site)}`);
    keepTrail(mount);
    drawSky();
}

// ---- polling -----------------------------------------------------------------

let silentSince = null;

async function poll() {
    try {
        const status = await getJson(statusPath, STATUS_TIMEOUT_MS);
        show(status);
        silentSince = null;
        setText('server-note', `Updated ${clockTime(new Date())}.`);
    } catch (error) {
        silentSince ??= new Date();
        setText('server-note', `The server has not answered since ${clockTime(silentSince)}: ${error.message}`);
    } finally {
        setTimeout(poll, POLL_MS);
    }
}

async function loadCatalogue() {
    try {
        const catalogue = await getJson('/status/v1/catalogue', STATUS_TIMEOUT_MS);
        $('catalogue').replaceChildren(...(catalogue.Entries ?? []).map((entry) => {
            const option = document.createElement('option');
            option.value = entry.Name;
            option.label = entry.Description ? `${entry.Name}: ${entry.Description}` : entry.Name;
            return option;
        }));
    } catch {
        setTimeout(loadCatalogue, CATALOGUE_RETRY_MS);
    }
}

// When the server has several telescopes, a picker; each is a page of its own.
async function offerDevices() {
    try {
        const reply = await getJson('/management/v1/configureddevices', STATUS_TIMEOUT_MS);
        const telescopes = (reply.Value ?? []).filter((entry) => entry.DeviceType?.toLowerCase() === 'telescope');
        if (telescopes.length < 2)
            return;
        const picker = $('device-picker');
        picker.replaceChildren(...telescopes.map((entry) => {
            const option = document.createElement('option');
            option.value = String(entry.DeviceNumber);
            option.textContent = `${entry.DeviceNumber}: ${entry.DeviceName}`;
            return option;
        }));
        picker.value = String(device);
        picker.addEventListener('change', () => { location.search = `?device=${picker.value}`; });
        $('device-choice').hidden = false;
    } catch { /* one telescope is all the page then offers */ }
}

wireTheme();
wireControls();
poll();
loadCatalogue();
offerDevices();
