// Users (admins only): who may log in to this console, with which scope; add one, change a
// password, remove one. The server keeps one admin: the last cannot be removed.

import {attempt, entryTable, formCard, liveEntries, nameAndScope} from '../accounts.js';
import {del, post, put} from '../api.js';
import {append, confirmInCell, h, messageLine, replace} from '../dom.js';
import * as format from '../format.js';

export default {
    title: 'Users',
    render(container, session) {
        const message = messageLine('users-message');
        const {name, scope, labelled} = nameAndScope('user', '[A-Za-z0-9._@\\-]+', 'letters, digits, ".", "_", "-" or "@"');
        const password = h('input', {id: 'user-password', type: 'password', 'data-testid': 'user-password',
            required: true, autocomplete: 'new-password'});
        const table = entryTable('Users', ['Name', 'Scope', 'Added'], 'No users.');

        append(container, h('h1', {}, 'Users'), message,
            formCard('New user', [labelled, h('label', {for: 'user-password'}, 'Password'), password],
                h('button', {type: 'submit', class: 'primary', 'data-testid': 'user-add'}, 'Add'), add),
            table.card);

        function row(user) {
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
            const added = await attempt(message,
                () => post('/users', {name: name.value.trim(), scope: scope.value, password: password.value}));
            if (added === undefined) return;
            name.value = '';
            password.value = '';
            message.show(`User ${added.name} added.`);
            users.load();
        }

        async function changePassword(userName, value) {
            const changed = await attempt(message,
                () => put(`/users/${encodeURIComponent(userName)}/password`, {password: value}));
            if (changed === undefined) return false;
            message.show(`The password of ${userName} is changed; their sessions have ended.`);
            return true;
        }

        async function remove(userName) {
            if (await attempt(message, () => del(`/users/${encodeURIComponent(userName)}`)) !== undefined) {
                message.show(`User ${userName} removed.`);
            }
            users.load();
        }

        const users = liveEntries('/users', ['user-added', 'user-removed'], (list) => table.draw(list, row), message);
        return users.stop;
    },
};
