// Connections: the files being served with their totals, and the peer connections (of one
// file once it is picked), both sortable and live.

import {get, query} from '../api.js';
import {append, h, messageLine, replace} from '../dom.js';
import * as format from '../format.js';
import * as live from '../live.js';
import {sortableTable, sortRows} from '../table.js';

const REFRESH_MS = 2000;

const FILE_COLUMNS = [
    {key: 'name', label: 'File'},
    {key: 'file_size', label: 'Size', num: true, cell: (r) => format.bytes(r.file_size)},
    {key: 'connections', label: 'Peers', num: true},
    {key: 'speed', label: 'Rate', num: true, cell: (r) => format.rate(r.speed)},
    {key: 'bytes_sent', label: 'Sent', num: true, cell: (r) => format.bytes(r.bytes_sent)},
    {key: 'gcid', label: 'GCID', cell: (r) => h('code', {}, r.gcid)},
];
const PEER_COLUMNS = [
    {key: 'address', label: 'Peer address', cell: (r) => `${r.address}:${r.port}`},
    {key: 'name', label: 'File'},
    {key: 'speed', label: 'Rate', num: true, cell: (r) => format.rate(r.speed)},
    {key: 'bytes_sent', label: 'Bytes', num: true, cell: (r) => format.bytes(r.bytes_sent)},
    {key: 'connected_seconds', label: 'Duration', num: true, cell: (r) => format.duration(r.connected_seconds)},
    {key: 'peer_id', label: 'Peer id', cell: (r) => h('code', {}, r.peer_id)},
];

function fill(table, rows, columns, rowAttrs = () => ({})) {
    const sorted = sortRows(rows, columns, table.sort());
    replace(table.body, sorted.length
        ? sorted.map((row) => h('tr', rowAttrs(row), columns.map((c) =>
            h('td', {class: c.num ? 'num' : ''}, c.cell ? c.cell(row) : row[c.key]))))
        : h('tr', {}, h('td', {colspan: columns.length, class: 'muted'}, 'None.')));
}

export default {
    title: 'Connections',
    render(container) {
        const message = messageLine('connections-message');
        let files = [];
        let peers = [];
        let picked = '';
        const filesTable = sortableTable({caption: 'Files being served', columns: FILE_COLUMNS,
            sort: {key: 'speed', order: 'desc'}, onSort: () => draw(), testid: 'connections-files'});
        const peersTable = sortableTable({caption: 'Peer connections', columns: PEER_COLUMNS,
            sort: {key: 'speed', order: 'desc'}, onSort: () => draw(), testid: 'connections-peers'});
        const peersTitle = h('h2', {});
        append(container, h('h1', {}, 'Connections'), message,
            h('section', {class: 'card wide'}, h('h2', {}, 'Files being served'),
                h('div', {class: 'scroll'}, filesTable)),
            h('section', {class: 'card wide'}, peersTitle, h('div', {class: 'scroll'}, peersTable)));

        function draw() {
            fill(filesTable, files, FILE_COLUMNS, (row) => ({
                class: row.gcid === picked ? 'picked' : 'pickable', tabindex: 0,
                'aria-selected': row.gcid === picked ? 'true' : 'false',
                onclick: () => pick(row.gcid),
                onkeydown: (event) => (event.key === 'Enter' || event.key === ' ') && pick(row.gcid),
            }));
            fill(peersTable, peers, PEER_COLUMNS, () => ({'data-testid': 'connection-row'}));
            replace(peersTitle, picked ? 'Peers of the picked file ' : 'All peer connections ',
                picked ? h('button', {type: 'button', class: 'link', onclick: () => pick('')}, 'show all') : '');
        }
        function pick(gcid) {
            picked = picked === gcid ? '' : gcid;
            reload();
        }
        let lastLoad = 0;
        async function reload() {
            lastLoad = Date.now();
            try {
                [files, peers] = await Promise.all([get('/resources'), get('/connections' + query({gcid: picked}))]);
                message.show('');
                draw();
            } catch (error) {
                message.show(error.message, 'error');
            }
        }
        // The lists follow the figures event: at most every two seconds.
        const stop = live.onFigures(() => {
            if (Date.now() - lastLoad >= REFRESH_MS) reload();
        });
        reload();
        return stop;
    },
};
