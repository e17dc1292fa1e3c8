// What the browser tests share: one line a check with the counts kept, and
// the processes a test starts, every one of them ended however the test
// ends.
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';

// ---- results ---------------------------------------------------------------

export const results = { passed: 0, failed: 0, skipped: 0 };

export function check(name, ok, detail = '') {
    if (ok) {
        results.passed++;
        console.log(`ok   ${name}`);
    } else {
        results.failed++;
        console.log(`FAIL ${name}${detail ? ': ' + detail : ''}`);
    }
    return ok;
}

export function skip(name, reason) {
    results.skipped++;
    console.log(`skipped: ${reason} (${name})`);
}

export function shown(value) {
    return JSON.stringify(value);
}

// ---- processes -------------------------------------------------------------

const started = new Set();

export function isRunning(child) {
    return child.exitCode === null && child.signalCode === null;
}

export function killEverything() {
    for (const child of started)
        if (isRunning(child))
            try { child.kill('SIGKILL'); } catch { /* already gone */ }
}
process.on('exit', killEverything);
for (const signal of ['SIGINT', 'SIGTERM'])
    process.on(signal, () => { console.log(`stopped by ${signal}`); process.exit(1); });

export function startProcess(command, args, options = {}) {
    const child = spawn(command, args, { stdio: ['ignore', 'pipe', 'pipe'], ...options });
    child.output = '';
    const keep = (chunk) => { child.output = (child.output + chunk).slice(-20000); };
    child.stdout?.on('data', keep);
    child.stderr?.on('data', keep);
    child.ended = new Promise((resolve) => child.on('exit', (code, signal) => resolve({ code, signal })));
    child.on('error', (error) => { child.output += `\ncannot start ${command}: ${error.message}\n`; });
    started.add(child);
    return child;
}

// Ends the process with the signal and returns how it ended.
export async function stopProcess(child, signal = 'SIGTERM') {
    if (!isRunning(child))
        return child.ended;
    child.kill(signal);
    const timer = setTimeout(() => child.kill('SIGKILL'), 10000);
    const end = await child.ended;
    clearTimeout(timer);
    return end;
}

export function freeLoopbackPort() {
    return new Promise((resolve, reject) => {
        const probe = net.createServer();
        probe.on('error', reject);
        probe.listen(0, '127.0.0.1', () => {
            const { port } = probe.address();
            probe.close(() => resolve(port));
        });
    });
}

// ---- the end of a run ------------------------------------------------------

// The browser and the servers a run started, closed and ended.
export async function closeEverything(browser, servers) {
    if (browser)
        await browser.close().catch(() => {});
    for (const server of servers)
        await stopProcess(server);
    killEverything();
}

// The run's last lines, the servers' logs when a check failed (the scratch
// folder then kept), and its exit status.
export function reportRun(name, servers, scratch, runBegan) {
    if (results.failed > 0) {
        for (const server of servers)
            console.log(`--- server log (${server.origin}):\n${server.output}`);
        console.log(`scratch folder kept: ${scratch}`);
    } else {
        fs.rmSync(scratch, { recursive: true, force: true });
    }
    console.log(`run time ${((Date.now() - runBegan) / 1000).toFixed(1)} s`);
    const skipped = results.skipped ? `, ${results.skipped} skipped` : '';
    console.log(`${name}: ${results.passed} passed, ${results.failed} failed${skipped}`);
    return results.failed === 0 ? 0 : 1;
}
