// Tokens (admins only): the API tokens of scripts and other hosts. The list never holds a
// token's text; a new token is shown once, here, and the server keeps only its hash.

import {attempt, entryTable, formCard, liveEntries, nameAndScope} from '../accounts.js';
import {del, post} from '../api.js';
import {append, confirmInCell, h, messageLine, replace} from '../dom.js';
import * as format from '../format.js';

export default {
    title: 'Tokens',
    render(container) {
        const message = messageLine('tokens-message');
        const {name, scope, labelled} = nameAndScope('token', '[A-Za-z0-9._\\-]+', 'letters, digits, ".", "_" or "-"');
        const secret = h('section', {class: 'card wide secret', 'data-testid': 'token-secret', hidden: true,
            'aria-labelledby': 'token-secret-title'});
        const table = entryTable('Tokens', ['Name', 'Scope', 'Created', 'Last used'], 'No tokens.');

        append(container, h('h1', {}, 'Tokens'), message,
            h('p', {class: 'muted'}, 'Scripts and other hosts authenticate with a token: ',
                h('code', {}, 'Authorization: Bearer TOKEN'), '.'),
            secret,
            formCard('New token', labelled,
                h('button', {type: 'submit', class: 'primary', 'data-testid': 'token-create'}, 'Create'), create),
            table.card);

        function row(token) {
            const actions = h('td', {class: 'actions'});
            append(actions, h('button', {type: 'button', class: 'danger', 'data-testid': 'token-revoke',
                'aria-label': `Revoke ${token.name}`,
                onclick: () => confirmInCell(actions, `Revoke ${token.name}?`, 'Revoke',
                    () => revoke(token.name), 'token-revoke-confirm')}, 'Revoke'));
            return h('tr', {'data-testid': 'token-row', 'data-name': token.name},
                h('td', {}, token.name), h('td', {}, token.scope),
                h('td', {}, format.date(token.created)),
                h('td', {}, token.last_used ? format.date(token.last_used) : 'never'), actions);
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
            const made = await attempt(message, () => post('/tokens', {name: name.value.trim(), scope: scope.value}));
            if (made === undefined) return;
            name.value = '';
            message.show(`Token ${made.name} created.`);
            showSecret(made);
            tokens.load();
        }

        async function revoke(tokenName) {
            if (await attempt(message, () => del(`/tokens/${encodeURIComponent(tokenName)}`)) !== undefined) {
                message.show(`Token ${tokenName} revoked.`);
            }
            tokens.load();
        }

        // Tokens made or revoked elsewhere (wharfkeepd token ...) show up too.
        const tokens = liveEntries('/tokens', ['token-created', 'token-revoked'],
            (list) => table.draw(list, row), message);
        return tokens.stop;
    },
};
