// Publish: the added folders with their counts, the media files one page at a time (the
// server pages, sorts and filters them), the progress of the file being published, and the
// actions on folders and files.

import {ApiError, get, post, query} from '../api.js';
import {append, clear, debounce, h, messageLine, replace} from '../dom.js';
import {browsingOffered, openFolderPicker} from '../folder_picker.js';
import * as format from '../format.js';
import * as live from '../live.js';
import {sortableTable} from '../table.js';

const PAGE_SIZES = [50, 100, 200, 500];
const FOLDER_SCAN_LIMIT = 5000;

const COLUMNS = [
    {key: 'name', label: 'File'},
    {key: 'size', label: 'Size', num: true},
    {key: 'state', label: 'State'},
    {key: 'time', label: 'Published'},
    {key: 'actions', label: 'Actions', sortable: false},
];

// Older servers answer /media with every row at once; then the console pages by itself.
function pageLocally(rows, view) {
    const text = view.q.toLowerCase();
    let selected = rows.filter((row) =>
        (view.state === '' || Number(row.state) === Number(view.state)) &&
        (!view.folder || row.path.startsWith(view.folder.endsWith('/') ? view.folder : view.folder + '/')) &&
        (!text || row.name.toLowerCase().includes(text) || row.path.toLowerCase().includes(text)));
    const key = {name: 'name', size: 'file_size', state: 'state', time: 'publish_date', path: 'path'}[view.sort] || 'path';
    const factor = view.order === 'desc' ? -1 : 1;
    selected = selected.sort((a, b) => (typeof a[key] === 'number'
        ? a[key] - b[key] : String(a[key]).localeCompare(String(b[key]))) * factor);
    return {total: selected.length, offset: view.offset, items: selected.slice(view.offset, view.offset + view.limit)};
}

function foldersFromRows(rows, watched) {
    const byFolder = new Map();
    for (const row of rows) {
        const folder = row.path.slice(0, row.path.lastIndexOf('/')) || '/';
        const entry = byFolder.get(folder) || {path: folder, files: 0, published: 0, watched: watched.includes(folder)};
        entry.files += 1;
        if (Number(row.state) === 1) entry.published += 1;
        byFolder.set(folder, entry);
    }
    return [...byFolder.values()].sort((a, b) => a.path.localeCompare(b.path));
}

export default {
    title: 'Publish',
    render(container, session) {
        const operate = session.can('operate');
        const view = {offset: 0, limit: 100, sort: 'path', order: 'asc', q: '', state: '', folder: ''};
        const message = messageLine('publish-message');
        const folderList = h('ul', {class: 'folders', 'aria-label': 'Folders'});
        const folderTools = h('div', {class: 'toolbar'});
        const progress = h('div', {class: 'progress-banner', role: 'status', 'aria-live': 'polite', hidden: true});
        const pager = h('div', {class: 'pager'});
        const table = sortableTable({caption: 'Media files', columns: COLUMNS,
            sort: {key: 'name', order: 'asc'}, testid: 'media-table',
            onSort: (sort) => {
                view.sort = sort.key;
                view.order = sort.order;
                view.offset = 0;
                loadMedia();
            }});
        view.sort = 'name';
        let folders = [];
        let localRows = null;   // every row, when the server does not page
        let total = 0;

        const stateSelect = h('select', {id: 'media-state-filter', 'data-testid': 'media-state-filter',
            onchange: () => {
                view.state = stateSelect.value;
                view.offset = 0;
                loadMedia();
            }}, h('option', {value: ''}, 'all states'),
        format.STATES.map(([state, name]) => h('option', {value: String(state)}, name)));
        const search = h('input', {id: 'media-search', type: 'search', placeholder: 'name or path',
            'data-testid': 'media-search', oninput: debounce(() => {
                view.q = search.value.trim();
                view.offset = 0;
                loadMedia();
            }, 120)});
        const sizeSelect = h('select', {id: 'media-page-size', onchange: () => {
            view.limit = Number(sizeSelect.value);
            view.offset = 0;
            loadMedia();
        }}, PAGE_SIZES.map((size) => h('option', {value: String(size), selected: size === view.limit}, String(size))));

        const addForm = operate ? h('form', {class: 'inline', 'aria-label': 'Add a folder',
            onsubmit: (event) => {
                event.preventDefault();
                const path = addForm.elements.path.value.trim();
                if (!path) return;
                act(`Adding ${path}…`, '/actions/add-folder', {path, publish: addForm.elements.all.checked})
                    .then((ok) => ok && (addForm.elements.path.value = ''));
            }},
        h('label', {for: 'add-folder-path'}, 'New folder'),
        h('input', {id: 'add-folder-path', name: 'path', placeholder: '/srv/videos', 'data-testid': 'add-folder-path', required: true}),
        h('label', {class: 'check'}, h('input', {type: 'checkbox', name: 'all', checked: true, 'data-testid': 'add-folder-publish'}), ' publish every file'),
        h('button', {type: 'button', hidden: true, 'data-testid': 'add-folder-browse',
            onclick: () => openFolderPicker((path) => {
                addForm.elements.path.value = path;
                addForm.requestSubmit();
            })}, 'Browse…'),
        h('button', {type: 'submit', class: 'primary', 'data-testid': 'add-folder-submit'}, 'Add folder')) : null;
        if (addForm) {
            // The picker is offered only when the server has folders to browse.
            browsingOffered().then((offered) => {
                addForm.querySelector('[data-testid="add-folder-browse"]').hidden = !offered;
            });
        }

        append(container, 
            h('h1', {}, 'Publish'), message, progress,
            h('div', {class: 'split'},
                h('section', {class: 'card side', 'aria-labelledby': 'folders-title'},
                    h('h2', {id: 'folders-title'}, 'Folders'), folderList),
                h('section', {class: 'card main', 'aria-labelledby': 'media-title'},
                    h('h2', {id: 'media-title'}, 'Media files'),
                    addForm, folderTools,
                    h('div', {class: 'filters'},
                        h('label', {for: 'media-state-filter'}, 'Show'), stateSelect,
                        h('label', {for: 'media-search'}, 'Filter'), search,
                        h('label', {for: 'media-page-size'}, 'Rows'), sizeSelect),
                    h('div', {class: 'scroll'}, table), pager)));

        // Runs an action and says how it went; true when it was done.
        async function act(doing, path, body) {
            message.show(doing, 'busy');
            try {
                const answer = await post(path, body);
                message.show(answer && answer.message ? answer.message : 'Done.');
                refresh();
                return true;
            } catch (error) {
                message.show(error.message, 'error');
                return false;
            }
        }

        function drawFolders() {
            const entries = [{path: '', label: 'All folders'}, ...folders];
            replace(folderList, entries.map((folder) => {
                const current = folder.path === view.folder;
                return h('li', {}, h('button', {type: 'button', class: current ? 'folder current' : 'folder',
                    'aria-pressed': current ? 'true' : 'false', 'data-testid': 'folder-item', 'data-path': folder.path,
                    title: folder.path,
                    onclick: () => {
                        view.folder = folder.path;
                        view.offset = 0;
                        drawFolders();
                        loadMedia();
                    }},
                folder.label || folder.path.split('/').filter(Boolean).pop() || folder.path,
                folder.label ? '' : h('span', {class: 'count'}, ` ${folder.published}/${folder.files}`),
                folder.watched ? h('span', {class: 'tag', title: 'watched'}, 'watched') : ''));
            }));
            drawFolderTools();
        }

        function drawFolderTools() {
            clear(folderTools);
            const folder = folders.find((f) => f.path === view.folder);
            if (!operate || !folder) return;
            folderTools.append(h('span', {class: 'muted path'}, folder.path),
                h('button', {type: 'button', 'data-testid': 'folder-publish',
                    onclick: () => act(`Publishing ${folder.path}…`, '/actions/publish', {path: folder.path})}, 'Publish'),
                h('button', {type: 'button', 'data-testid': 'folder-rescan',
                    onclick: () => act(`Rescanning ${folder.path}…`, '/actions/rescan', {path: folder.path})}, 'Rescan'),
                h('button', {type: 'button', 'data-testid': 'folder-withdraw',
                    onclick: () => confirm(`Withdraw every file of ${folder.path}?`) &&
                        act(`Withdrawing ${folder.path}…`, '/actions/withdraw', {target: folder.path})}, 'Withdraw'),
                h('label', {class: 'check'}, h('input', {type: 'checkbox', checked: !!folder.watched, 'data-testid': 'folder-watch',
                    onchange: (event) => act('Changing the watch…', '/actions/watch-folder',
                        {path: folder.path, watched: event.target.checked})}), ' watch for new files'),
                h('button', {type: 'button', class: 'danger', 'data-testid': 'folder-remove',
                    onclick: () => confirm(`Remove ${folder.path} from the list? Its files are withdrawn.`) &&
                        act(`Removing ${folder.path}…`, '/actions/remove-folder', {path: folder.path})
                            .then((ok) => ok && (view.folder = ''))}, 'Remove'));
        }

        function stateCell(row) {
            const cell = h('td', {class: 'state'},
                h('span', {'data-testid': 'media-state', class: `state s${row.state}`}, format.stateName(row)));
            if (Number(row.state) === 2) cell.append(' ', h('progress', {max: 100, value: row.percent || 0, 'aria-label': 'progress'}));
            if (row.reason && Number(row.state) < 0) cell.append(h('span', {class: 'reason', 'data-testid': 'media-reason'}, row.reason));
            return cell;
        }

        function copyButton(row) {
            if (!row.link) return '';
            return h('button', {type: 'button', 'data-testid': 'media-copy-link', 'aria-label': `Copy the link of ${row.name}`,
                onclick: async () => {
                    try {
                        await navigator.clipboard.writeText(row.link);
                        message.show(`The link of ${row.name} is copied.`);
                    } catch {
                        message.show('The browser did not allow copying; the link is in the row.', 'error');
                    }
                }}, 'Copy link');
        }

        function rowActions(row) {
            if (!operate) return h('td', {class: 'actions'}, copyButton(row));
            const state = Number(row.state);
            return h('td', {class: 'actions'}, copyButton(row), ' ',
                state === 1 ? h('button', {type: 'button', 'data-testid': 'media-withdraw', 'aria-label': `Withdraw ${row.name}`,
                    onclick: () => act(`Withdrawing ${row.name}…`, '/actions/withdraw', {target: row.path})}, 'Withdraw')
                    : state === 2 || state === 3 ? ''
                        : h('button', {type: 'button', 'data-testid': 'media-publish', 'aria-label': `Publish ${row.name}`,
                            onclick: () => act(`Publishing ${row.name}…`, '/actions/publish', {path: row.path})}, 'Publish'));
        }

        function mediaRow(row) {
            const tr = h('tr', {'data-testid': 'media-row', 'data-path': row.path},
                h('td', {title: row.path}, h('span', {class: 'name'}, row.name),
                    row.link ? h('span', {class: 'link', title: row.link}, row.link) : ''),
                h('td', {class: 'num'}, format.bytes(row.file_size)),
                stateCell(row),
                h('td', {}, format.date(row.publish_date)),
                rowActions(row));
            tr.row = row;
            return tr;
        }

        function drawMedia(page) {
            total = page.total;
            replace(table.body, page.items.length ? page.items.map(mediaRow)
                : h('tr', {}, h('td', {colspan: COLUMNS.length, class: 'muted'}, 'No media files.')));
            const first = page.items.length ? page.offset + 1 : 0;
            replace(pager, 
                h('button', {type: 'button', disabled: page.offset === 0, 'data-testid': 'media-prev',
                    onclick: () => {
                        view.offset = Math.max(0, view.offset - view.limit);
                        loadMedia();
                    }}, '‹ Previous'),
                h('span', {'data-testid': 'media-range'}, `${first}–${page.offset + page.items.length} of ${total}`),
                h('button', {type: 'button', disabled: page.offset + page.items.length >= total, 'data-testid': 'media-next',
                    onclick: () => {
                        view.offset += view.limit;
                        loadMedia();
                    }}, 'Next ›'),
                h('button', {type: 'button', 'data-testid': 'media-export', onclick: exportLinks}, 'Export links'));
        }

        // The links of the published files on this page, as a text file to save.
        function exportLinks() {
            const links = [...table.body.querySelectorAll('tr')].map((tr) => tr.row).filter((row) => row && row.link).map((row) => row.link);
            const file = new Blob([links.join('\n') + '\n'], {type: 'text/plain'});
            const url = URL.createObjectURL(file);
            const anchor = h('a', {href: url, download: 'links.txt'});
            document.body.append(anchor);
            anchor.click();
            anchor.remove();
            setTimeout(() => URL.revokeObjectURL(url), 1000);
        }

        let generation = 0;
        async function loadMedia() {
            const mine = ++generation;
            try {
                let page;
                if (localRows) {
                    page = pageLocally(localRows, view);
                } else {
                    const answer = await get('/media' + query({offset: view.offset, limit: view.limit, sort: view.sort,
                        order: view.order, q: view.q, state: view.state, folder: view.folder}));
                    if (Array.isArray(answer)) {
                        localRows = answer;
                        page = pageLocally(localRows, view);
                    } else {
                        page = answer;
                    }
                }
                if (mine === generation) drawMedia(page);
            } catch (error) {
                if (error instanceof ApiError && error.status === 400 && !localRows) {
                    // A server without paging refuses the paging query: take every row.
                    localRows = await get('/media').catch(() => []);
                    if (Array.isArray(localRows)) return loadMedia();
                    localRows = null;
                }
                message.show(error.message, 'error');
            }
        }

        async function loadFolders() {
            try {
                folders = await get('/folders');
            } catch (error) {
                if (!(error instanceof ApiError) || error.status !== 404) throw error;
                // A server without /folders: the folders are worked out from the rows, as
                // long as there are few enough to fetch at once.
                const probe = await get('/media?limit=1').catch(() => null);
                if (probe && !Array.isArray(probe) && probe.total > FOLDER_SCAN_LIMIT) {
                    folders = [];
                } else {
                    const [rows, status] = await Promise.all([get('/media'), get('/status')]);
                    folders = foldersFromRows(Array.isArray(rows) ? rows : rows.items, status.watched_folders || []);
                }
            }
            drawFolders();
        }

        function refresh() {
            localRows = null;
            loadFolders().catch((error) => message.show(error.message, 'error'));
            loadMedia();
        }
        const refreshSoon = debounce(refresh, 300);

        // Live: the row of a file in progress changes in place; a finished change reloads.
        function rowOf(path) {
            return [...table.body.querySelectorAll('tr[data-testid="media-row"]')].find((tr) => tr.dataset.path === path);
        }
        function update(path, changes) {
            const tr = rowOf(path);
            if (!tr) return;
            const row = {...tr.row, ...changes};
            if (changes.state !== undefined) delete row.state_name;
            tr.replaceWith(mediaRow(row));
        }
        function showProgress(data, done) {
            progress.hidden = done;
            if (done) return;
            replace(progress, h('span', {}, `Publishing ${data.path.split('/').pop()}`), ' ',
                h('progress', {max: 100, value: data.percent || 0}), ` ${data.percent || 0}%`,
                data.speed ? ` · ${format.rate(data.speed)}` : '');
        }
        const stops = [
            live.on('publish-queued', ({data}) => update(data.path, {state: 3})),
            live.on('publish-started', ({data}) => {
                update(data.path, {state: 2, percent: 0});
                showProgress({...data, percent: 0}, false);
            }),
            live.on('publish-progress', ({data}) => {
                update(data.path, {state: 2, percent: data.percent});
                showProgress(data, false);
            }),
            live.on('publish-finished', ({data}) => {
                update(data.path, {state: data.state, reason: data.reason || '', link: data.link || ''});
                showProgress(data, true);
                refreshSoon();
            }),
            live.on('media-withdrawn', ({data}) => {
                update(data.path, {state: 0});
                refreshSoon();
            }),
            live.on('folder-added', refreshSoon),
            live.on('folder-removed', refreshSoon),
            live.on('folder-watch-changed', refreshSoon),
        ];
        refresh();
        return () => stops.forEach((stop) => stop());
    },
};
