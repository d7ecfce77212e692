// What the tokens and users pages share: the name and scope of a new entry, the card with
// the form that makes one, the card with the table of entries, and the list kept fresh
// while entries are made or removed elsewhere (by wharfkeepd on the host, too).

import {get} from './api.js';
import {h, replace} from './dom.js';
import * as live from './live.js';

// The name and scope fields of a new entry, their ids and test ids starting with `kind`
// ('token', 'user'); `pattern` and `title` say which names are valid. `labelled` is the
// fields with their labels, for the form.
export function nameAndScope(kind, pattern, title) {
    const name = h('input', {id: `${kind}-name`, 'data-testid': `${kind}-name`, required: true, maxLength: 64,
        pattern, spellcheck: false, autocomplete: 'off', title});
    const scope = h('select', {id: `${kind}-scope`, 'data-testid': `${kind}-scope`},
        ['read', 'operate', 'admin'].map((value) => h('option', {value}, value)));
    const labelled = [h('label', {for: `${kind}-name`}, 'Name'), name, h('label', {for: `${kind}-scope`}, 'Scope'), scope];
    return {name, scope, labelled};
}

// A card titled `title` with a one-line form of `fields` and `button`; submitting it calls
// onSubmit.
export function formCard(title, fields, button, onSubmit) {
    return h('section', {class: 'card wide'}, h('h2', {}, title),
        h('form', {class: 'inline', 'aria-label': title, onsubmit: (event) => {
            event.preventDefault();
            onSubmit();
        }}, fields, button));
}

// A card with the table of the entries: `labels` head the columns, and a last one holds
// each row's actions. draw(entries, row) fills it, `none` when there are none.
export function entryTable(title, labels, none) {
    const body = h('tbody');
    const card = h('section', {class: 'card wide'}, h('h2', {}, title),
        h('div', {class: 'scroll'}, h('table', {class: 'grid'}, h('caption', {class: 'sr-only'}, title),
            h('thead', {}, h('tr', {}, labels.map((label) => h('th', {scope: 'col'}, label)),
                h('th', {scope: 'col'}, h('span', {class: 'sr-only'}, 'Actions')))), body)));
    function draw(entries, row) {
        replace(body, entries.length ? entries.map(row)
            : h('tr', {}, h('td', {colspan: labels.length + 1, class: 'muted'}, none)));
    }
    return {card, draw};
}

// Runs the request `send`; its answer, or undefined when it failed (said on `message`).
export async function attempt(message, send) {
    try {
        return (await send()) ?? null;
    } catch (error) {
        message.show(error.message, 'error');
        return undefined;
    }
}

// Draws the entries of `path` now and whenever an event of the `events` types comes.
// Returns load, to draw them again, and stop, to end the watching.
export function liveEntries(path, events, draw, message) {
    async function load() {
        const entries = await attempt(message, () => get(path));
        if (entries !== undefined) draw(entries);
    }
    const stops = events.map((type) => live.on(type, () => load()));
    load();
    return {load, stop: () => stops.forEach((stop) => stop())};
}
