// Users (admins only): who may log in to this console, with which scope; add one, change a
// password, remove one. The server keeps one admin: the last cannot be removed.

import {del, get, post, put} from '../api.js';
import {append, confirmInCell, h, messageLine, replace} from '../dom.js';
import * as format from '../format.js';
import * as live from '../live.js';

export default {
    title: 'Users',
    render(container, session) {
        const message = messageLine('users-message');
        const body = h('tbody');
        const name = h('input', {id: 'user-name', 'data-testid': 'user-name', required: true, maxLength: 64,
            pattern: '[A-Za-z0-9._@\\-]+', spellcheck: false, autocomplete: 'off',
            title: 'letters, digits, ".", "_", "-" or "@"'});
        const scope = h('select', {id: 'user-scope', 'data-testid': 'user-scope'},
            ['read', 'operate', 'admin'].map((value) => h('option', {value}, value)));
        const password = h('input', {id: 'user-password', type: 'password', 'data-testid': 'user-password',
            required: true, autocomplete: 'new-password'});

        append(container, h('h1', {}, 'Users'), message,
            h('section', {class: 'card wide'}, h('h2', {}, 'New user'),
                h('form', {class: 'inline', 'aria-label': 'New user', onsubmit: (event) => {
                    event.preventDefault();
                    add();
                }}, h('label', {for: 'user-name'}, 'Name'), name, h('label', {for: 'user-scope'}, 'Scope'), scope,
                h('label', {for: 'user-password'}, 'Password'), password,
                h('button', {type: 'submit', class: 'primary', 'data-testid': 'user-add'}, 'Add'))),
            h('section', {class: 'card wide'}, h('h2', {}, 'Users'),
                h('div', {class: 'scroll'}, h('table', {class: 'grid'}, h('caption', {class: 'sr-only'}, 'Users'),
                    h('thead', {}, h('tr', {}, ['Name', 'Scope', 'Added'].map((label) => h('th', {scope: 'col'}, label)),
                        h('th', {scope: 'col'}, h('span', {class: 'sr-only'}, 'Actions')))), body))));

        function draw(users) {
            replace(body, users.length ? users.map((user) => {
                const actions = h('td', {class: 'actions'});
                const you = user.name === session.user;
                append(actions,
                    h('button', {type: 'button', 'data-testid': 'user-password-change',
                        'aria-label': `Change the password of ${user.name}`,
                        onclick: () => askPassword(actions, user.name)}, 'Change password'), ' ',
                    h('button', {type: 'button', class: 'danger', 'data-testid': 'user-remove',
                        'aria-label': `Remove ${user.name}`,
                        onclick: () => confirmInCell(actions,
                            you ? 'Remove yourself? This session ends.' : `Remove ${user.name}?`, 'Remove',
                            () => remove(user.name), 'user-remove-confirm')}, 'Remove'));
                return h('tr', {'data-testid': 'user-row', 'data-name': user.name},
                    h('td', {}, user.name, you ? h('span', {class: 'tag'}, 'you') : ''), h('td', {}, user.scope),
                    h('td', {}, format.date(user.created)), actions);
            }) : h('tr', {}, h('td', {colspan: 4, class: 'muted'}, 'No users.')));
        }

        // A small form in the row: the new password, Save and Cancel.
        function askPassword(cell, userName) {
            const before = [...cell.childNodes];
            const id = `user-new-password-${userName}`;
            const field = h('input', {id, type: 'password', required: true, autocomplete: 'new-password',
                'data-testid': 'user-new-password'});
            replace(cell, h('form', {class: 'inline', 'aria-label': `New password of ${userName}`, onsubmit: async (event) => {
                event.preventDefault();
                if (await changePassword(userName, field.value)) cell.replaceChildren(...before);
            }}, h('label', {for: id, class: 'sr-only'}, `New password of ${userName}`), field,
            h('button', {type: 'submit', class: 'primary', 'data-testid': 'user-password-save'}, 'Save'),
            h('button', {type: 'button', onclick: () => cell.replaceChildren(...before)}, 'Cancel')));
            field.focus();
        }

        async function add() {
            try {
                const added = await post('/users', {name: name.value.trim(), scope: scope.value, password: password.value});
                name.value = '';
                password.value = '';
                message.show(`User ${added.name} added.`);
                load();
            } catch (error) {
                message.show(error.message, 'error');
            }
        }

        async function changePassword(userName, value) {
            try {
                await put(`/users/${encodeURIComponent(userName)}/password`, {password: value});
                message.show(`The password of ${userName} is changed; their sessions have ended.`);
                return true;
            } catch (error) {
                message.show(error.message, 'error');
                return false;
            }
        }

        async function remove(userName) {
            try {
                await del(`/users/${encodeURIComponent(userName)}`);
                message.show(`User ${userName} removed.`);
            } catch (error) {
                message.show(error.message, 'error');
            }
            load();
        }

        async function load() {
            try {
                draw(await get('/users'));
            } catch (error) {
                message.show(error.message, 'error');
            }
        }
        const stops = ['user-added', 'user-removed'].map((type) => live.on(type, () => load()));
        load();
        return () => stops.forEach((stop) => stop());
    },
};
