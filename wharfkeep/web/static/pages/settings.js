// Settings: every key of the settings table with its unit and when a change applies; an
// admin changes them, the server checks them and says why it refuses one.

import {get, put} from '../api.js';
import {append, h, messageLine, replace} from '../dom.js';
import * as live from '../live.js';

export default {
    title: 'Settings',
    render(container, session) {
        const admin = session.can('admin');
        const message = messageLine('settings-message');
        const body = h('tbody');
        const form = h('form', {'aria-label': 'Settings', onsubmit: (event) => {
            event.preventDefault();
            save();
        }},
        h('div', {class: 'scroll'}, h('table', {class: 'grid settings'},
            h('caption', {class: 'sr-only'}, 'Settings'),
            h('thead', {}, h('tr', {}, ['Setting', 'Value', 'Unit', 'Applies'].map((label) => h('th', {scope: 'col'}, label)))),
            body)),
        admin ? h('div', {class: 'toolbar'},
            h('button', {type: 'submit', class: 'primary', 'data-testid': 'settings-save'}, 'Save'),
            h('button', {type: 'button', onclick: () => load('')}, 'Undo changes')) : null);
        append(container, h('h1', {}, 'Settings'),
            admin ? null : h('p', {class: 'muted'}, 'Only an administrator can change the settings.'),
            form, message);
        let shown = {};

        function draw(settings) {
            shown = settings;
            replace(body, Object.entries(settings).map(([key, row]) => {
                const id = `setting-${key}`;
                return h('tr', {},
                    h('th', {scope: 'row'}, h('label', {for: id}, key),
                        row.description ? h('span', {class: 'description'}, row.description) : ''),
                    h('td', {}, h('input', {id, name: key, value: String(row.value), readOnly: !admin,
                        'data-testid': `setting-input-${key}`, 'aria-describedby': `${id}-unit ${id}-applies`, spellcheck: false})),
                    h('td', {id: `${id}-unit`, class: 'muted'}, row.unit || ''),
                    h('td', {id: `${id}-applies`}, row.applies === 'next_start' ? 'applies at the next start' : 'applies now'));
            }));
        }

        async function load(text, kind = 'ok') {
            try {
                draw(await get('/settings'));
                message.show(text, kind);
            } catch (error) {
                message.show(error.message, 'error');
            }
        }

        async function save() {
            const changes = {};
            for (const input of body.querySelectorAll('input')) {
                const before = String(shown[input.name].value);
                if (input.value !== before) {
                    // Whole numbers go as numbers, as the table stores them.
                    changes[input.name] = /^\d+$/.test(input.value) && /^\d+$/.test(before)
                        ? Number(input.value) : input.value;
                }
            }
            if (!Object.keys(changes).length) {
                message.show('Nothing to save: no value was changed.');
                return;
            }
            message.show('Saving…', 'busy');
            try {
                const settings = await put('/settings', changes);
                draw(settings);
                const later = Object.keys(changes).filter((key) => settings[key] && settings[key].applies === 'next_start');
                message.show(later.length ? `Saved. ${later.join(', ')} applies at the next start.` : 'Saved.');
            } catch (error) {
                message.show(error.message, 'error');
            }
        }

        // Another console or the command line changed a setting: show it, keeping edits
        // in progress only when this console is not the one that saved.
        const stop = live.on('settings-changed', () => {
            const editing = [...body.querySelectorAll('input')].some((input) => input.value !== String(shown[input.name].value));
            if (!editing) load(message.textContent, message.className.includes('error') ? 'error' : 'ok');
        });
        load('');
        return stop;
    },
};
