// IP filter: on or off, allow or deny list, the ranges (an address, FIRST-LAST or CIDR),
// import of a block list, export, and how many peers were refused and why.

import {del, get, post, put} from '../api.js';
import {append, h, messageLine, replace} from '../dom.js';
import * as live from '../live.js';

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
        const importPath = h('input', {id: 'ipfilter-import-path', placeholder: '/etc/wharfkeep/blocklist.p2p', required: true});
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
                h('form', {class: 'inline', 'aria-label': 'Import a block list', onsubmit: (event) => {
                    event.preventDefault();
                    importList();
                }}, h('label', {for: 'ipfilter-import-path'}, 'File on the server'), importPath,
                h('button', {type: 'submit', 'data-testid': 'ipfilter-import'}, 'Import'))) : null,
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
            try {
                const answer = await post('/actions/ipfilter-import', {path: importPath.value.trim()});
                message.show(answer.message || 'Imported.');
                load();
            } catch (error) {
                message.show(error.message, 'error');
            }
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
