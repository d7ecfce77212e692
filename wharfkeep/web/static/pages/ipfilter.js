// IP filter: on or off, allow or deny list, the ranges (an address, FIRST-LAST or CIDR),
// import of a block-list file uploaded from this computer, export, and how many peers were
// refused and why.

import {del, get, post, put} from '../api.js';
import {append, h, messageLine, replace} from '../dom.js';
import * as live from '../live.js';

// The server takes a block-list upload of up to 16 MiB (the list's text in JSON).
const MAX_UPLOAD_BYTES = 16 * 1024 * 1024;

// "10.0.0.1", "10.0.0.1-10.0.0.9", "10.0.0.1 ~ 10.0.0.9" or "10.0.0.0/24" -> {first, last}.
export function parseRange(text) {
    const value = text.trim();
    const cidr = /^(\d{1,3}(?:\.\d{1,3}){3})\/(\d{1,2})$/.exec(value);
    if (cidr) {
        const bits = Number(cidr[2]);
        const parts = cidr[1].split('.').map(Number);
        if (bits > 32 || parts.some((p) => p > 255)) return null;
        const address = parts.reduce((n, p) => n * 256 + p, 0);
        const size = 2 ** (32 - bits);
        const first = Math.floor(address / size) * size;
        const dotted = (n) => [24, 16, 8, 0].map((shift) => Math.floor(n / 2 ** shift) % 256).join('.');
        return {first: dotted(first), last: dotted(first + size - 1)};
    }
    const pair = value.split(/\s*(?:-|~|–)\s*/);
    if (pair.length === 1 && pair[0]) return {first: pair[0], last: pair[0]};
    if (pair.length === 2 && pair[0] && pair[1]) return {first: pair[0], last: pair[1]};
    return null;
}

export default {
    title: 'IP filter',
    render(container, session) {
        const admin = session.can('admin');
        const message = messageLine('ipfilter-message');
        const enabled = h('input', {type: 'checkbox', id: 'ipfilter-enabled', disabled: !admin, 'data-testid': 'ipfilter-enabled',
            onchange: () => change({enabled: enabled.checked})});
        const allow = h('input', {type: 'radio', name: 'ipfilter-type', id: 'ipfilter-allow', value: 'allow', disabled: !admin,
            onchange: () => change({type: 'allow'})});
        const deny = h('input', {type: 'radio', name: 'ipfilter-type', id: 'ipfilter-deny', value: 'deny', disabled: !admin,
            onchange: () => change({type: 'deny'})});
        const body = h('tbody');
        const counts = h('p', {class: 'muted', 'data-testid': 'ipfilter-count'});
        const refusals = h('dl', {'data-testid': 'ipfilter-refusals'});
        const rangeInput = h('input', {id: 'ipfilter-range', 'data-testid': 'ipfilter-range-input',
            placeholder: '10.0.0.1-10.0.0.9 or 10.0.0.0/24', spellcheck: false, required: true});
        const importFile = h('input', {id: 'ipfilter-import-file', type: 'file', required: true,
            accept: '.txt,.p2p,.dat,.csv,text/plain', 'data-testid': 'ipfilter-import-file',
            'aria-describedby': 'ipfilter-import-hint'});
        const importResult = h('div', {role: 'status', 'aria-live': 'polite', 'data-testid': 'ipfilter-import-result'});
        let ranges = [];

        append(container, h('h1', {}, 'IP filter'), message,
            h('section', {class: 'card wide'},
                h('h2', {}, 'Filter'),
                h('p', {}, h('label', {class: 'check'}, enabled, ' use the filter below')),
                h('fieldset', {}, h('legend', {}, 'Type'),
                    h('label', {class: 'check'}, allow, ' allow only these addresses (others are refused)'),
                    h('label', {class: 'check'}, deny, ' refuse these addresses (others are allowed)'))),
            h('section', {class: 'card wide'},
                h('h2', {}, 'Ranges'), counts,
                admin ? h('form', {class: 'inline', 'aria-label': 'Add a range', onsubmit: (event) => {
                    event.preventDefault();
                    add();
                }}, h('label', {for: 'ipfilter-range'}, 'Address, range or CIDR'), rangeInput,
                h('button', {type: 'submit', class: 'primary', 'data-testid': 'ipfilter-add'}, 'Add')) : null,
                h('div', {class: 'scroll'}, h('table', {class: 'grid'}, h('caption', {class: 'sr-only'}, 'Ranges'),
                    h('thead', {}, h('tr', {}, h('th', {scope: 'col'}, 'First address'), h('th', {scope: 'col'}, 'Last address'),
                        h('th', {scope: 'col'}, h('span', {class: 'sr-only'}, 'Actions')))), body)),
                h('div', {class: 'toolbar'},
                    h('button', {type: 'button', 'data-testid': 'ipfilter-export', onclick: exportRanges}, 'Export'))),
            admin ? h('section', {class: 'card wide'}, h('h2', {}, 'Import a block list'),
                h('p', {id: 'ipfilter-import-hint', class: 'muted'},
                    'One address, range (FIRST-LAST) or CIDR block per line, or the "description:FIRST-LAST" ',
                    'and "FIRST - LAST , level , description" formats; up to 16 MiB. The ranges go to the list in use.'),
                h('form', {class: 'inline', 'aria-label': 'Import a block list', onsubmit: (event) => {
                    event.preventDefault();
                    importList();
                }}, h('label', {for: 'ipfilter-import-file'}, 'Block-list file'), importFile,
                h('button', {type: 'submit', 'data-testid': 'ipfilter-import'}, 'Import')), importResult) : null,
            h('section', {class: 'card wide'}, h('h2', {}, 'Refused peers'), refusals));

        function draw(filter) {
            enabled.checked = filter.enabled;
            allow.checked = filter.type === 'allow';
            deny.checked = filter.type === 'deny';
            ranges = filter.ranges;
            counts.textContent = `${ranges.length} range${ranges.length === 1 ? '' : 's'}; ` +
                (filter.enabled ? `the filter is on (${filter.type} list)` : 'the filter is off');
            replace(body, ranges.length ? ranges.map((range) => h('tr', {'data-testid': 'ipfilter-row'},
                h('td', {}, range.first), h('td', {}, range.last),
                h('td', {}, admin ? h('button', {type: 'button', class: 'danger', 'data-testid': 'ipfilter-delete',
                    'aria-label': `Delete ${range.first} – ${range.last}`,
                    onclick: () => run(() => del(`/ipfilter/ranges/${range.index}`), 'Range deleted.')}, 'Delete') : '')))
                : h('tr', {}, h('td', {colspan: 3, class: 'muted'}, 'No ranges.')));
        }

        async function run(request, done) {
            try {
                draw(await request());
                message.show(done);
                return true;
            } catch (error) {
                message.show(error.message, 'error');
                load();
                return false;
            }
        }
        const change = (body) => run(() => put('/ipfilter', body), 'Changed.');

        async function add() {
            const range = parseRange(rangeInput.value);
            if (!range) {
                message.show('Type an address, FIRST-LAST, or a CIDR such as 10.0.0.0/24.', 'error');
                return;
            }
            if (await run(() => post('/ipfilter/ranges', range), `Added ${range.first} – ${range.last}.`)) rangeInput.value = '';
        }

        async function importList() {
            const file = importFile.files[0];
            if (!file) return;
            if (file.size > MAX_UPLOAD_BYTES) {
                message.show(`${file.name} is larger than 16 MiB; split it, or import it on the server with ` +
                    'wharfkeepd ipfilter import.', 'error');
                return;
            }
            message.show(`Importing ${file.name}…`, 'busy');
            replace(importResult);
            try {
                showImport(file.name, await post('/actions/ipfilter-import', {text: await file.text()}));
                importFile.value = '';
                load();
            } catch (error) {
                message.show(error.message, 'error');
            }
        }

        // The counts of an import and the lines refused with their reasons. The answer's
        // message is the server's report: a summary line, then one line per note or refusal.
        function showImport(fileName, answer) {
            const count = (key) => Number(answer[key] || 0);
            message.show(`Imported ${fileName}: ${count('added')} range${count('added') === 1 ? '' : 's'} added.`);
            const lines = String(answer.message || '').split('\n').filter((line) => /^(line \d+|\.\.\.)/.test(line));
            replace(importResult, h('dl', {},
                [['Ranges added', count('added'), 'import-added'], ['Listed already', count('already'), 'import-already'],
                    ['Lines read', count('lines'), 'import-lines'], ['Lines taken', count('taken'), 'import-taken'],
                    ['Merged into others', count('merged'), 'import-merged'], ['Lines refused', count('refused'), 'import-refused'],
                    ['Blank or comment', count('skipped'), 'import-skipped']]
                    .map(([label, value, testid]) => [h('dt', {}, label), h('dd', {'data-testid': testid}, value)])),
            lines.length ? h('details', {open: lines.length <= 20}, h('summary', {}, 'Refused and changed lines'),
                h('ul', {'data-testid': 'import-reasons'}, lines.map((line) => h('li', {}, line)))) : null);
        }

        function exportRanges() {
            const text = ranges.map((range) => `${range.first}-${range.last}`).join('\n') + '\n';
            const url = URL.createObjectURL(new Blob([text], {type: 'text/plain'}));
            const anchor = h('a', {href: url, download: 'ipfilter.txt'});
            document.body.append(anchor);
            anchor.click();
            anchor.remove();
            setTimeout(() => URL.revokeObjectURL(url), 1000);
        }

        async function load() {
            try {
                const [filter, status] = await Promise.all([get('/ipfilter'), get('/status')]);
                draw(filter);
                const reasons = Object.entries(status.refused_by_reason || {});
                replace(refusals, reasons.length
                    ? reasons.map(([reason, count]) => [h('dt', {}, reason), h('dd', {}, count)])
                    : h('dd', {class: 'muted'}, 'No peer was refused.'));
            } catch (error) {
                message.show(error.message, 'error');
            }
        }
        const stops = ['settings-changed', 'ipfilter-changed', 'peer-refused'].map((type) => live.on(type, () => load()));
        load();
        return () => stops.forEach((stop) => stop());
    },
};
