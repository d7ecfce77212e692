// The one event stream of the console and what is derived from it: every page subscribes
// here instead of asking the server again and again.

import {get} from './api.js';

// Event types the server sends (as `event:` names), and the figures event.
export const EVENT_TYPES = [
    'publish-queued', 'publish-started', 'publish-progress', 'publish-finished',
    'media-withdrawn', 'folder-added', 'folder-removed', 'folder-watch-changed',
    'services-started', 'services-stopped', 'settings-changed', 'peer-refused', 'control-banned',
    'peer-connected', 'peer-left', 'peers-summary',
    'ipfilter-changed', 'token-created', 'token-revoked', 'user-added', 'user-removed', 'lagged',
    'missed',
];
// The stream's notices that events were lost: this console fell behind and the server cut
// it off ("lagged"), or it came back after the server had let go of the events it missed.
const LOSSES = new Set(['lagged', 'missed']);
const STATS = 'stats';
const HISTORY_LIMIT = 500;         // events kept for the events page
const GRAPH_SECONDS = 600;         // upload-rate samples kept: ten minutes, one a second
const FALLBACK_MS = 1000;          // /status is asked this often only while no stats arrive

const listeners = new Map();       // type or '*' -> Set of functions
const statsListeners = new Set();
export const history = [];         // {id, time, type, data}, oldest first
export const rateSamples = [];     // {time, speed, limit}
let source = null;
let lastStatsAt = 0;
let fallbackTimer = 0;
let fallbackWanted = 0;
let localId = 0;
let connectionListener = () => {};
let missedListener = () => {};

export function on(type, fn) {
    if (!listeners.has(type)) listeners.set(type, new Set());
    listeners.get(type).add(fn);
    return () => listeners.get(type).delete(fn);
}

function emit(type, event) {
    for (const key of [type, '*']) {
        for (const fn of listeners.get(key) || []) {
            try {
                fn(event);
            } catch (error) {
                console.error(error);
            }
        }
    }
}

export function onConnection(fn) {
    connectionListener = fn;
}

// Called when events were missed: what the page shows may be out of date.
export function onMissed(fn) {
    missedListener = fn;
}

function receive(type, message) {
    let data = {};
    try {
        data = JSON.parse(message.data);
    } catch {
        data = {text: message.data};
    }
    if (type === STATS) {
        lastStatsAt = Date.now();
        takeFigures(data);
        return;
    }
    // The server stamps events in ISO 8601 (UTC); an event without a stamp is of now.
    const stamped = typeof data.time === 'string' ? Date.parse(data.time) : NaN;
    const time = Number.isNaN(stamped) ? Date.now() : stamped;
    const event = {id: message.lastEventId || `local-${++localId}`, time, type, data};
    history.push(event);
    if (history.length > HISTORY_LIMIT) history.splice(0, history.length - HISTORY_LIMIT);
    emit(type, event);
    if (LOSSES.has(type)) missedListener(event);
}

export function connect() {
    disconnect();
    source = new EventSource('/events', {withCredentials: true});
    source.addEventListener('open', () => connectionListener('live'));
    source.addEventListener('error', () => {
        // EventSource reconnects by itself (sending Last-Event-ID); a refusal closes it.
        connectionListener(source && source.readyState === EventSource.CLOSED ? 'closed' : 'reconnecting');
    });
    for (const type of EVENT_TYPES) source.addEventListener(type, (message) => receive(type, message));
    source.addEventListener(STATS, (message) => receive(STATS, message));
    source.addEventListener('message', (message) => receive('message', message));
}

export function disconnect() {
    if (source) source.close();
    source = null;
    history.length = 0;
    rateSamples.length = 0;
}

export function isOpen() {
    return !!source && source.readyState !== EventSource.CLOSED;
}

// The moving figures of /status, once a second: from the stats event when the server sends
// it, otherwise from /status itself, asked only while some page wants the figures.
export function onFigures(fn) {
    statsListeners.add(fn);
    fallbackWanted += 1;
    scheduleFallback();
    return () => {
        statsListeners.delete(fn);
        fallbackWanted -= 1;
    };
}

function takeFigures(figures) {
    if (typeof figures.upload_speed === 'number') {
        rateSamples.push({time: Date.now(), speed: figures.upload_speed, limit: figures.upload_limit || 0});
        const oldest = Date.now() - GRAPH_SECONDS * 1000;
        while (rateSamples.length && rateSamples[0].time < oldest) rateSamples.shift();
    }
    for (const fn of statsListeners) {
        try {
            fn(figures);
        } catch (error) {
            console.error(error);
        }
    }
}

function scheduleFallback() {
    if (fallbackTimer) return;
    fallbackTimer = setTimeout(async () => {
        fallbackTimer = 0;
        if (fallbackWanted <= 0 || !source) return;
        if (Date.now() - lastStatsAt > 2.5 * FALLBACK_MS && document.visibilityState === 'visible') {
            try {
                takeFigures(await get('/status'));
            } catch {
                // the next turn tries again; a lost session is handled by api()
            }
        }
        scheduleFallback();
    }, FALLBACK_MS);
}
