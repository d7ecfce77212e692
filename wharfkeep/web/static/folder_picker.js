// The server-side folder picker: a modal dialog that walks the server's folders through
// GET /browse, which lists only what lies inside [web] browse_roots. Keyboard: the arrow
// keys move between folders, Enter opens one, Backspace goes up, Escape closes.

import {get, query} from './api.js';
import {h, messageLine, replace} from './dom.js';

// True when the server offers roots to browse (none set, an older server, or a user
// without the scope: a typed path only).
export async function browsingOffered() {
    try {
        const answer = await get('/browse');
        return Array.isArray(answer.folders) && answer.folders.length > 0;
    } catch {
        return false;
    }
}

// Opens the dialog; `onChoose(path)` gets the folder the operator adds.
export function openFolderPicker(onChoose) {
    let current = null;  // the answer of /browse shown now
    const title = h('h2', {id: 'folder-picker-title'}, 'Choose a folder');
    const where = h('p', {class: 'path muted', 'data-testid': 'folder-picker-path'});
    const list = h('ul', {class: 'picker-list', 'aria-labelledby': 'folder-picker-title', onkeydown: moveFocus});
    const message = messageLine('folder-picker-message');
    const up = h('button', {type: 'button', 'data-testid': 'folder-picker-up', onclick: goUp}, 'Up');
    const choose = h('button', {type: 'button', class: 'primary', 'data-testid': 'folder-picker-choose',
        onclick: () => {
            dialog.close();
            onChoose(current.path);
        }}, 'Add this folder');
    const dialog = h('dialog', {class: 'picker', 'aria-labelledby': 'folder-picker-title', 'data-testid': 'folder-picker',
        onclose: () => dialog.remove()},
    title, where, message, list,
    h('div', {class: 'toolbar'}, up, choose,
        h('button', {type: 'button', 'data-testid': 'folder-picker-cancel', onclick: () => dialog.close()}, 'Cancel')));
    document.body.append(dialog);
    dialog.showModal();
    show(null);

    async function show(path) {
        message.show('Reading…', 'busy');
        try {
            current = await get('/browse' + query({path}));
        } catch (error) {
            message.show(error.message, 'error');
            return;
        }
        message.show(current.truncated ? 'Only part of this folder is listed: it holds too many entries.' : '', 'muted');
        where.textContent = current.path === null ? 'Folders you may add from'
            : `${current.path}${current.mp4_files === null ? '' : ` · ${current.mp4_files} .mp4 files`}`;
        up.disabled = current.path === null;
        choose.disabled = current.path === null;
        replace(list, current.folders.map((folder) => h('li', {},
            h('button', {type: 'button', class: 'folder', 'data-testid': 'folder-picker-entry', 'data-path': folder.path,
                disabled: folder.readable === false, onclick: () => show(folder.path)},
            folder.name,
            h('span', {class: 'count'}, folder.readable === false ? ' (cannot be read)'
                : folder.mp4_files === null ? '' : ` ${folder.mp4_files} .mp4`)))));
        if (current.folders.length === 0) list.append(h('li', {class: 'muted'}, 'No sub-folders.'));
        (list.querySelector('button:not(:disabled)') || choose).focus();
    }

    function goUp() {
        if (current && current.path !== null) show(current.parent);
    }

    function moveFocus(event) {
        const buttons = [...list.querySelectorAll('button:not(:disabled)')];
        const at = buttons.indexOf(document.activeElement);
        if (event.key === 'ArrowDown' || event.key === 'ArrowUp') {
            event.preventDefault();
            const next = at + (event.key === 'ArrowDown' ? 1 : -1);
            buttons[Math.max(0, Math.min(buttons.length - 1, next))]?.focus();
        } else if (event.key === 'Backspace') {
            event.preventDefault();
            goUp();
        }
    }
}
