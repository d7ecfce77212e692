// Events: what the event stream brought since the console opened, newest first, live,
// filterable by type and text.

import {append, clear, h, replace} from '../dom.js';
import * as format from '../format.js';
import * as live from '../live.js';

const SHOWN_LIMIT = 500;

function details(data) {
    return Object.entries(data).filter(([key]) => key !== 'type' && key !== 'time' && key !== 'id')
        .map(([key, value]) => `${key}: ${typeof value === 'object' ? JSON.stringify(value) : value}`).join(' · ');
}

export default {
    title: 'Events',
    render(container) {
        const typeSelect = h('select', {id: 'events-type', 'data-testid': 'events-type', onchange: () => draw()},
            h('option', {value: ''}, 'all types'), live.EVENT_TYPES.map((type) => h('option', {value: type}, type)));
        const search = h('input', {id: 'events-search', type: 'search', placeholder: 'text in the event', oninput: () => draw()});
        const body = h('tbody', {'aria-live': 'polite'});
        append(container, h('h1', {}, 'Events'),
            h('div', {class: 'filters'}, h('label', {for: 'events-type'}, 'Type'), typeSelect,
                h('label', {for: 'events-search'}, 'Filter'), search),
            h('div', {class: 'scroll'}, h('table', {class: 'grid events'}, h('caption', {class: 'sr-only'}, 'Events'),
                h('thead', {}, h('tr', {}, ['Time', 'Type', 'Details'].map((label) => h('th', {scope: 'col'}, label)))),
                body)));

        const matches = (event) => (!typeSelect.value || event.type === typeSelect.value) &&
            (!search.value || (event.type + ' ' + details(event.data)).toLowerCase().includes(search.value.toLowerCase()));
        const row = (event) => h('tr', {'data-testid': 'events-row', 'data-type': event.type},
            h('td', {}, h('time', {datetime: new Date(event.time).toISOString()}, format.time(event.time))),
            h('td', {}, event.type), h('td', {}, details(event.data)));

        function draw() {
            const shown = live.history.filter(matches).slice(-SHOWN_LIMIT).reverse();
            replace(body, shown.length ? shown.map(row)
                : h('tr', {}, h('td', {colspan: 3, class: 'muted'}, 'No events yet.')));
        }
        const stop = live.on('*', (event) => {
            if (!matches(event)) return;
            if (!body.querySelector('[data-testid="events-row"]')) clear(body);
            body.prepend(row(event));
            while (body.children.length > SHOWN_LIMIT) body.lastChild.remove();
        });
        draw();
        return stop;
    },
};
