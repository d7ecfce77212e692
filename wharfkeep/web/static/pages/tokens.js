// Tokens (admins only): the API tokens of scripts and other hosts. The list never holds a
// token's text; a new token is shown once, here, and the server keeps only its hash.

import {del, get, post} from '../api.js';
import {append, confirmInCell, h, messageLine, replace} from '../dom.js';
import * as format from '../format.js';
import * as live from '../live.js';

export default {
    title: 'Tokens',
    render(container) {
        const message = messageLine('tokens-message');
        const body = h('tbody');
        const name = h('input', {id: 'token-name', 'data-testid': 'token-name', required: true, maxLength: 64,
            pattern: '[A-Za-z0-9._\\-]+', spellcheck: false, autocomplete: 'off',
            title: 'letters, digits, ".", "_" or "-"'});
        const scope = h('select', {id: 'token-scope', 'data-testid': 'token-scope'},
            ['read', 'operate', 'admin'].map((value) => h('option', {value}, value)));
        const secret = h('section', {class: 'card wide secret', 'data-testid': 'token-secret', hidden: true,
            'aria-labelledby': 'token-secret-title'});

        append(container, h('h1', {}, 'Tokens'), message,
            h('p', {class: 'muted'}, 'Scripts and other hosts authenticate with a token: ',
                h('code', {}, 'Authorization: Bearer TOKEN'), '.'),
            secret,
            h('section', {class: 'card wide'}, h('h2', {}, 'New token'),
                h('form', {class: 'inline', 'aria-label': 'New token', onsubmit: (event) => {
                    event.preventDefault();
                    create();
                }}, h('label', {for: 'token-name'}, 'Name'), name, h('label', {for: 'token-scope'}, 'Scope'), scope,
                h('button', {type: 'submit', class: 'primary', 'data-testid': 'token-create'}, 'Create'))),
            h('section', {class: 'card wide'}, h('h2', {}, 'Tokens'),
                h('div', {class: 'scroll'}, h('table', {class: 'grid'}, h('caption', {class: 'sr-only'}, 'Tokens'),
                    h('thead', {}, h('tr', {}, ['Name', 'Scope', 'Created', 'Last used'].map((label) => h('th', {scope: 'col'}, label)),
                        h('th', {scope: 'col'}, h('span', {class: 'sr-only'}, 'Actions')))), body))));

        function draw(tokens) {
            replace(body, tokens.length ? tokens.map((token) => {
                const actions = h('td', {class: 'actions'});
                append(actions, h('button', {type: 'button', class: 'danger', 'data-testid': 'token-revoke',
                    'aria-label': `Revoke ${token.name}`,
                    onclick: () => confirmInCell(actions, `Revoke ${token.name}?`, 'Revoke',
                        () => revoke(token.name), 'token-revoke-confirm')}, 'Revoke'));
                return h('tr', {'data-testid': 'token-row', 'data-name': token.name},
                    h('td', {}, token.name), h('td', {}, token.scope),
                    h('td', {}, format.date(token.created)),
                    h('td', {}, token.last_used ? format.date(token.last_used) : 'never'), actions);
            }) : h('tr', {}, h('td', {colspan: 5, class: 'muted'}, 'No tokens.')));
        }

        // The token's text, once: with a button that copies it and the warning that it
        // cannot be shown again.
        function showSecret(made) {
            const text = h('input', {id: 'token-secret-text', readOnly: true, value: made.token, size: 48,
                'data-testid': 'token-secret-text', 'aria-describedby': 'token-secret-warning'});
            const copied = h('span', {role: 'status', 'aria-live': 'polite', class: 'muted'});
            replace(secret, h('h2', {id: 'token-secret-title'}, `Token ${made.name} (${made.scope})`),
                h('p', {id: 'token-secret-warning', class: 'warning'},
                    'Copy it now: it is shown only this once and cannot be read again.'),
                h('div', {class: 'inline'}, h('label', {for: 'token-secret-text', class: 'sr-only'}, 'The new token'), text,
                    h('button', {type: 'button', 'data-testid': 'token-copy', onclick: async () => {
                        text.select();
                        try {
                            await navigator.clipboard.writeText(made.token);
                            copied.textContent = 'Copied.';
                        } catch {
                            copied.textContent = 'Press Ctrl+C to copy the selected token.';
                        }
                    }}, 'Copy'),
                    h('button', {type: 'button', 'data-testid': 'token-secret-done', onclick: () => {
                        replace(secret);
                        secret.hidden = true;
                        name.focus();
                    }}, 'Done'), copied));
            secret.hidden = false;
            text.focus();
            text.select();
        }

        async function create() {
            try {
                const made = await post('/tokens', {name: name.value.trim(), scope: scope.value});
                name.value = '';
                message.show(`Token ${made.name} created.`);
                showSecret(made);
                load();
            } catch (error) {
                message.show(error.message, 'error');
            }
        }

        async function revoke(tokenName) {
            try {
                await del(`/tokens/${encodeURIComponent(tokenName)}`);
                message.show(`Token ${tokenName} revoked.`);
            } catch (error) {
                message.show(error.message, 'error');
            }
            load();
        }

        async function load() {
            try {
                draw(await get('/tokens'));
            } catch (error) {
                message.show(error.message, 'error');
            }
        }
        // Tokens made or revoked elsewhere (wharfkeepd token ...) show up too.
        const stops = ['token-created', 'token-revoked'].map((type) => live.on(type, () => load()));
        load();
        return () => stops.forEach((stop) => stop());
    },
};
