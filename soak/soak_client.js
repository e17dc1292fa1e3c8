// The soak's client: calls the members of Velmaro.Telescope in an order and
// with arguments drawn from a seed, hostile ones included (NaN, infinities,
// huge numbers, strings, objects, missing arguments), and catches every
// error as a script would. One line per call; lines starting "PROBLEM"
// name what must not happen; the last line "done ..." says it ran to the end.
//   cscript //nologo soak_client.js SEED DEADLINE_MS MAX_CALLS WAIT_LIMIT_MS
// DEADLINE_MS is the time (ms since 1970) after which no new call starts.

var args = WScript.Arguments;
var seed = parseInt(args(0), 10) | 0;
var deadline = parseFloat(args(1));
var maxCalls = parseInt(args(2), 10);
var waitLimitMs = parseInt(args(3), 10);

// xorshift32: the same sequence from the same seed, in 32-bit integers.
var state = (seed ^ 0x5bd1e995) | 0;
if (state === 0) state = 1;
function random() {
    state ^= state << 13;
    state ^= state >>> 17;
    state ^= state << 5;
    return (state >>> 0);
}
function pick(list) { return list[random() % list.length]; }

// A plain exchange ends within about 1.6 s (an unanswered acknowledgement
// is 1.5 s); a member's bound is its most exchanges times that.
var exchangeMs = 1600;
var slack = 400;

// Arguments: mostly sensible values, often hostile ones.
var hostile = [NaN, Infinity, -Infinity, 1e308, -1e308, 1.7976931348623157e308, 5e-324, 1e15, -1e15,
               2147483648, -2147483649, 4294967296, -1, -0.5, "abc", "", "12.5", null, true, false,
               {}, new Date(), "NaN", "1e999"];
function hours() { return random() % 2400 / 100; }
function degrees(lo, hi) { return lo + random() % ((hi - lo) * 100 + 1) / 100; }
function value(sensible) { return random() % 3 === 0 ? pick(hostile) : sensible(); }
function flag() { return random() % 4 === 0 ? pick(hostile) : (random() % 2 === 0); }

function describe(v) {
    var type = typeOf(v);
    if (v === null) return "null";
    if (type === "string") return '"' + v + '"';
    if (type === "date") return "date " + dateMs(v);
    if (type === "object") return (v instanceof Date) ? "Date" : "Object";
    if (type === "undefined") return "undefined";
    return String(v);
}

// name, kind ("get", "put", "call"), arguments maker, most exchanges, extra ms.
var members = [];
function member(name, kind, makeArgs, exchanges, extraMs) {
    members.push({ name: name, kind: kind, makeArgs: makeArgs || function () { return []; },
                   exchanges: exchanges || 0, extraMs: extraMs || 0 });
}
var getters = ["AlignmentMode", "ApertureArea", "ApertureDiameter", "CanFindHome", "CanPark",
    "CanPulseGuide", "CanSetDeclinationRate", "CanSetGuideRates", "CanSetPark", "CanSetPierSide",
    "CanSetRightAscensionRate", "CanSetTracking", "CanSlew", "CanSlewAltAz", "CanSlewAltAzAsync",
    "CanSlewAsync", "CanSync", "CanSyncAltAz", "CanUnpark", "Connected", "DeclinationRate", "Description",
    "DoesRefraction", "DriverInfo", "DriverVersion", "EquatorialSystem", "FocalLength", "InterfaceVersion",
    "IsPulseGuiding", "Name", "RightAscensionRate", "SiteElevation", "SlewSettleTime", "TargetDeclination",
    "TargetRightAscension", "TrackingRates"];
for (var g = 0; g < getters.length; ++g) member(getters[g], "get", null, 1);
// Getters that talk to the mount.
member("RightAscension", "get", null, 1);
member("Declination", "get", null, 1);
member("Altitude", "get", null, 1);
member("Azimuth", "get", null, 1);
member("SiderealTime", "get", null, 2);
member("SiteLatitude", "get", null, 2);
member("SiteLongitude", "get", null, 2);
member("UTCDate", "get", null, 3);
member("SideOfPier", "get", null, 2);
member("AtHome", "get", null, 1);
member("AtPark", "get", null, 1);
member("Tracking", "get", null, 1);
member("TrackingRate", "get", null, 1);
member("GuideRateDeclination", "get", null, 2);
member("GuideRateRightAscension", "get", null, 2);
member("Slewing", "get", null, 2);
// Puts.
// Connecting probes the mount first: ten reads, then the handshake and the model.
member("Connected", "put", function () { return [random() % 5 === 0 ? pick(hostile) : (random() % 4 !== 0)]; }, 12);
member("DeclinationRate", "put", function () { return [value(function () { return degrees(-1, 1); })]; }, 1);
member("RightAscensionRate", "put", function () { return [value(function () { return degrees(-1, 1); })]; }, 1);
member("DoesRefraction", "put", function () { return [flag()]; }, 1);
member("GuideRateDeclination", "put", function () { return [value(function () { return degrees(0, 1) / 100; })]; }, 1);
member("GuideRateRightAscension", "put", function () { return [value(function () { return degrees(0, 1) / 100; })]; }, 1);
member("SideOfPier", "put", function () { return [value(function () { return random() % 3 - 1; })]; }, 1);
member("SiteElevation", "put", function () { return [value(function () { return degrees(-300, 3000); })]; }, 1);
member("SiteLatitude", "put", function () { return [value(function () { return degrees(-90, 90); })]; }, 1);
member("SiteLongitude", "put", function () { return [value(function () { return degrees(-180, 180); })]; }, 1);
member("SlewSettleTime", "put", function () { return [value(function () { return random() % 10; })]; }, 1);
member("TargetDeclination", "put", function () { return [value(function () { return degrees(-90, 90); })]; }, 1);
member("TargetRightAscension", "put", function () { return [value(function () { return hours(); })]; }, 1);
member("Tracking", "put", function () { return [flag()]; }, 1);
member("TrackingRate", "put", function () { return [value(function () { return random() % 4; })]; }, 1);
// A date as automation counts it: days since 30 December 1899.
member("UTCDate", "put", function () { return [value(function () { return 46000 + random() % 1000 / 7; })]; }, 1);
// Methods.
function coordinates() { return [value(hours), value(function () { return degrees(-90, 90); })]; }
function altAz() { return [value(function () { return degrees(0, 359); }), value(function () { return degrees(0, 90); })]; }
function someArgs(make) {
    // Now and then too few arguments, as a careless script passes them.
    return function () { var a = make(); if (random() % 10 === 0) a.length = random() % a.length; return a; };
}
var slewMs = waitLimitMs + 2 * exchangeMs + 400;
member("AbortSlew", "call", null, 3);
member("AxisRates", "call", someArgs(function () { return [value(function () { return random() % 3; })]; }), 1);
member("CanMoveAxis", "call", someArgs(function () { return [value(function () { return random() % 3; })]; }), 1);
member("CommandBlind", "call", someArgs(function () { return [pick([":GR#", ":Q#", "", "x"])]; }), 1);
member("CommandBool", "call", someArgs(function () { return [pick([":GR#", ":Q#", "", "x"])]; }), 1);
member("CommandString", "call", someArgs(function () { return [pick([":GR#", ":Q#", "", "x"])]; }), 1);
member("DestinationSideOfPier", "call", someArgs(coordinates), 1);
member("Dispose", "call", null, 1);
member("FindHome", "call", null, 2, waitLimitMs + 400);
member("MoveAxis", "call", someArgs(function () { return [value(function () { return random() % 3; }), value(function () { return random() % 5; })]; }), 1);
member("Park", "call", null, 2);
// A pulse on model 2 is sent in pieces as the mount finishes each: it
// takes about as long as it lasts (at most 32767 ms). It connects and
// starts tracking first when it must.
member("PulseGuide", "call", someArgs(function () {
    return [value(function () { return random() % 4; }), value(function () { return pick([0, 1, 150, 999, 1000, 2500]); })];
}), 14, 32767);
member("SetPark", "call", null, 1);
member("SlewToAltAz", "call", someArgs(altAz), 3, slewMs);
member("SlewToAltAzAsync", "call", someArgs(altAz), 3);
member("SlewToCoordinates", "call", someArgs(coordinates), 3, slewMs);
member("SlewToCoordinatesAsync", "call", someArgs(coordinates), 3);
member("SlewToTarget", "call", null, 3, slewMs);
member("SlewToTargetAsync", "call", null, 3);
member("SyncToAltAz", "call", someArgs(altAz), 3);
member("SyncToCoordinates", "call", someArgs(coordinates), 3);
member("SyncToTarget", "call", null, 3);
member("Unpark", "call", null, 1);
// What a client does when the link seems lost: disconnect, connect again.
// Weighted, so that a port that vanished is soon opened anew.
for (var w = 0; w < 4; ++w) member("Reconnect", "reconnect", null, 13);
// SetupDialog is left out: it opens a modal window that waits for a person.

function invoke(t, m, a) {
    switch (m.kind) {
    case "get": return t[m.name];
    case "put": t[m.name] = a[0]; return undefined;
    case "reconnect": t.Connected = false; t.Connected = true; return undefined;
    }
    switch (a.length) {
    case 0: return t[m.name]();
    case 1: return t[m.name](a[0]);
    default: return t[m.name](a[0], a[1]);
    }
}

// Wine's JScript cannot take typeof of a date from COM (it throws): such a
// value is a date.
function typeOf(v) {
    try { return typeof v; } catch (e) { return "date"; }
}
// A date as milliseconds since 1970, NaN when it cannot be read as one.
function dateMs(v) {
    try { return new Date(v).getTime(); } catch (e) { return NaN; }
}

function hex(n) { return "0x" + ((n >>> 0) + 0x100000000).toString(16).substr(1).toUpperCase(); }

// Wine's cscript has no WScript.StdOut; Echo writes the same lines.
var out = { WriteLine: function (line) { WScript.Echo(line); } };
var t = new ActiveXObject("Velmaro.Telescope");
try { t.Connected = true; } catch (e) { out.WriteLine("connect: " + hex(e.number) + " " + e.description); }

var calls = 0, overran = 0, nonFinite = 0;
try {
while (calls < maxCalls && new Date().getTime() < deadline) {
    var m = pick(members);
    var a = m.makeArgs();
    var shown = [];
    for (var i = 0; i < a.length; ++i) shown.push(describe(a[i]));
    var text = (calls + 1) + " " + m.kind + " " + m.name + "(" + shown.join(", ") + ")";
    out.WriteLine(text + " ...");
    var start = new Date().getTime();
    var outcome = "", result = undefined, type = "undefined";
    try {
        result = invoke(t, m, a);
        type = typeOf(result);
        outcome = "ok " + (type === "undefined" ? "" : type === "date" ? "date " + dateMs(result) : describe(result));
    } catch (e) {
        outcome = "error " + hex(e.number) + " " + e.description;
    }
    var took = new Date().getTime() - start;
    var bound = Math.max(1, m.exchanges) * exchangeMs + m.extraMs + slack;
    ++calls;
    out.WriteLine(text + " -> " + outcome + " [" + took + " ms]");
    if (took > bound) {
        ++overran;
        out.WriteLine("PROBLEM overran: " + text + " took " + took + " ms, bound " + bound + " ms");
    }
    var number = type === "date" ? dateMs(result) : result;
    if ((type === "date" || type === "number") && !isFinite(number)) {
        ++nonFinite;
        out.WriteLine("PROBLEM non-finite: " + text + " returned " + number);
    }
}
} catch (e) {
    // A fault of this script, not of the driver: said so, and no "done".
    out.WriteLine("client error: " + hex(e.number) + " " + e.description + " (" + e.message + ")");
    WScript.Quit(3);
}
try { t.Connected = false; } catch (e) { }
t = null;
CollectGarbage();
out.WriteLine("done calls=" + calls + " overran=" + overran + " nonfinite=" + nonFinite);
