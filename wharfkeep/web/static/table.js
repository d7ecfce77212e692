// A table whose column headers sort it: a button in each header, aria-sort on the sorted one.

import {clear, h} from './dom.js';

// columns: [{key, label, value(row) -> sort value, cell(row) -> node|text, num}]
// sort: {key, order: 'asc'|'desc'}; onSort(sort) is called when a header is pressed.
export function sortableTable({caption, columns, sort, onSort, testid}) {
    const head = h('tr');
    const body = h('tbody');
    const table = h('table', {class: 'grid', 'data-testid': testid},
        h('caption', {class: 'sr-only'}, caption), h('thead', {}, head), body);

    function drawHead() {
        clear(head);
        for (const column of columns) {
            const sorted = sort.key === column.key;
            const cell = h('th', {scope: 'col', class: column.num ? 'num' : '',
                'aria-sort': sorted ? (sort.order === 'asc' ? 'ascending' : 'descending') : 'none'});
            if (column.sortable === false) {
                cell.append(column.label);
            } else {
                cell.append(h('button', {type: 'button', class: 'sort', 'data-sort': column.key,
                    onclick: () => {
                        sort = {key: column.key, order: sorted && sort.order === 'asc' ? 'desc' : 'asc'};
                        drawHead();
                        onSort(sort);
                    }}, column.label, sorted ? (sort.order === 'asc' ? ' ▲' : ' ▼') : ''));
            }
            head.append(cell);
        }
    }
    drawHead();
    table.body = body;
    table.sort = () => sort;
    return table;
}

// Sorts rows in the browser by a column's value.
export function sortRows(rows, columns, sort) {
    const column = columns.find((c) => c.key === sort.key) || columns[0];
    const value = column.value || ((row) => row[column.key]);
    const factor = sort.order === 'desc' ? -1 : 1;
    return [...rows].sort((a, b) => {
        const x = value(a);
        const y = value(b);
        if (typeof x === 'number' && typeof y === 'number') return (x - y) * factor;
        return String(x).localeCompare(String(y)) * factor;
    });
}
