// How figures are written on the pages.

const UNITS = ['B', 'KiB', 'MiB', 'GiB', 'TiB'];

export function bytes(value) {
    let amount = Number(value) || 0;
    let unit = 0;
    while (amount >= 1024 && unit < UNITS.length - 1) {
        amount /= 1024;
        unit += 1;
    }
    return (unit === 0 ? String(amount) : amount.toFixed(amount < 10 ? 2 : 1)) + ' ' + UNITS[unit];
}

export function rate(bytesPerSecond) {
    return bytes(bytesPerSecond) + '/s';
}

export function limit(bytesPerSecond) {
    return Number(bytesPerSecond) > 0 ? rate(bytesPerSecond) : 'unlimited';
}

export function duration(seconds) {
    let s = Math.max(0, Math.floor(Number(seconds) || 0));
    const d = Math.floor(s / 86400);
    s -= d * 86400;
    const hh = Math.floor(s / 3600);
    s -= hh * 3600;
    const mm = Math.floor(s / 60);
    s -= mm * 60;
    const clock = [hh, mm, s].map((n) => String(n).padStart(2, '0')).join(':');
    return d > 0 ? `${d} d ${clock}` : clock;
}

// Publish dates come as text from the database or as seconds since the epoch.
export function date(value) {
    if (value === undefined || value === null || value === '' || value === 0) return '';
    if (typeof value === 'number') return new Date(value * 1000).toLocaleString();
    return String(value);
}

export function time(ms) {
    return new Date(ms).toLocaleTimeString([], {hour12: false});
}

// The publish states and their English names (the server sends state_name too; it wins).
export const STATES = [
    [1, 'published'],
    [0, 'not published'],
    [3, 'queued'],
    [2, 'publishing'],
    [-1, 'failed'],
    [-2, 'not streamable'],
    [-3, 'damaged'],
    [-4, 'header rejected'],
];
const STATE_NAMES = new Map(STATES);

export function stateName(row) {
    if (row.state_name) return String(row.state_name).replaceAll('_', ' ');
    return STATE_NAMES.get(Number(row.state)) ?? `state ${row.state}`;
}
