// Status: services, address, upload, peers, cache, disk and publish counts, with the upload
// rate of the last ten minutes drawn on a canvas.

import {get, post} from '../api.js';
import {append, figure, h, messageLine, replace} from '../dom.js';
import * as format from '../format.js';
import * as live from '../live.js';

const GRAPH_SECONDS = 600;

function drawGraph(canvas, samples) {
    const ratio = window.devicePixelRatio || 1;
    const width = canvas.clientWidth;
    const height = canvas.clientHeight;
    if (!width || !height) return;
    if (canvas.width !== Math.round(width * ratio)) canvas.width = Math.round(width * ratio);
    if (canvas.height !== Math.round(height * ratio)) canvas.height = Math.round(height * ratio);
    const g = canvas.getContext('2d');
    g.setTransform(ratio, 0, 0, ratio, 0, 0);
    g.clearRect(0, 0, width, height);
    const style = getComputedStyle(canvas);
    const now = Date.now();
    const top = Math.max(1024, ...samples.map((s) => Math.max(s.speed, s.limit || 0))) * 1.1;
    const x = (time) => width - ((now - time) / (GRAPH_SECONDS * 1000)) * width;
    const y = (value) => height - 14 - (value / top) * (height - 20);
    g.font = '11px system-ui, sans-serif';
    g.fillStyle = style.color;
    g.strokeStyle = style.borderColor;
    g.lineWidth = 1;
    for (let minute = 0; minute <= 10; minute += 2) {
        const gx = Math.round(width - (minute / 10) * width) + 0.5;
        g.beginPath();
        g.moveTo(gx, 0);
        g.lineTo(gx, height - 14);
        g.stroke();
        g.fillText(minute ? `-${minute} min` : 'now', Math.min(gx + 2, width - 26), height - 2);
    }
    g.fillText(format.rate(top), 4, 12);
    const limits = samples.filter((s) => s.limit > 0);
    if (limits.length) {
        g.strokeStyle = style.getPropertyValue('--limit').trim() || '#c44';
        g.setLineDash([4, 3]);
        g.beginPath();
        limits.forEach((s, i) => (i ? g.lineTo(x(s.time), y(s.limit)) : g.moveTo(x(s.time), y(s.limit))));
        g.stroke();
        g.setLineDash([]);
    }
    if (samples.length) {
        g.strokeStyle = style.getPropertyValue('--accent').trim() || '#1f5f8b';
        g.lineWidth = 2;
        g.beginPath();
        samples.forEach((s, i) => (i ? g.lineTo(x(s.time), y(s.speed)) : g.moveTo(x(s.time), y(s.speed))));
        g.stroke();
    }
}

function accessLink(status) {
    if (!status.address) return h('span', {class: 'muted'}, 'none while the services are stopped');
    const host = status.address.replace(/:\d+$/, '');
    const url = `http://${host.includes(':') && !host.startsWith('[') ? `[${host}]` : host}:${status.protocol_port}/urls`;
    return h('a', {href: url, target: '_blank', rel: 'noopener'}, url);
}

function countsByState(byState) {
    const rows = format.STATES.filter(([state]) => byState[String(state)] !== undefined || state >= 0);
    return h('table', {class: 'compact'},
        h('caption', {class: 'sr-only'}, 'Media files by state'),
        h('tbody', {}, rows.map(([state, name]) =>
            h('tr', {}, h('th', {scope: 'row'}, name), h('td', {class: 'num'}, byState[String(state)] || 0)))));
}

export default {
    title: 'Status',
    render(container, session) {
        const message = messageLine('status-message');
        const cards = h('div', {class: 'cards'});
        const canvas = h('canvas', {class: 'graph', role: 'img', 'aria-label': 'Upload rate over the last 10 minutes'});
        const rateNow = h('span', {class: 'muted'});
        const toolbar = h('div', {class: 'toolbar'});
        let toolbarKey = '';
        append(container, 
            h('h1', {}, 'Status'),
            toolbar,
            message,
            cards,
            h('section', {class: 'card wide', 'aria-labelledby': 'graph-title'},
                h('h2', {id: 'graph-title'}, 'Upload rate, last 10 minutes ', rateNow),
                canvas,
                h('p', {class: 'legend'}, h('span', {class: 'swatch rate'}), 'upload rate ',
                    h('span', {class: 'swatch limit'}), 'limit')));
        let last = null;
        let busy = false;

        const serviceButton = (status) => {
            if (!session.can('operate')) return null;
            const start = !status.running;
            return h('button', {
                type: 'button', 'data-testid': 'status-services-toggle', disabled: busy,
                onclick: async () => {
                    if (!start && !confirm('Stop serving peers and lists?')) return;
                    busy = true;
                    show(last);
                    try {
                        await post(start ? '/actions/start-services' : '/actions/stop-services');
                        message.show(start ? 'Services started.' : 'Services stopped.');
                        show(await get('/status'));
                    } catch (error) {
                        message.show(error.message, 'error');
                    } finally {
                        busy = false;
                        show(last);
                    }
                },
            }, start ? 'Start services' : 'Stop services');
        };

        function show(status) {
            if (!status) return;
            last = status;
            const published = (status.media_by_state || {})['1'] || 0;
            const diskUsed = status.disk_total ? 1 - status.disk_free / status.disk_total : 0;
            replace(cards, 
                h('section', {class: 'card'}, h('h2', {}, 'Services'), h('dl', {},
                    figure('State', status.running ? 'running' : `stopped${status.stopped_reason ? ': ' + status.stopped_reason : ''}`, 'status-services'),
                    figure('Transfer port', status.transfer_port),
                    figure('Protocol port', status.protocol_port),
                    figure('Uptime', format.duration(status.uptime_seconds)),
                    figure('Version', status.version))),
                h('section', {class: 'card'}, h('h2', {}, 'Access'), h('dl', {},
                    figure('Address', status.address || '—', 'status-access-address'),
                    figure('List', accessLink(status)))),
                h('section', {class: 'card'}, h('h2', {}, 'Upload'), h('dl', {},
                    figure('Rate', format.rate(status.upload_speed), 'status-upload-rate'),
                    figure('Limit', format.limit(status.upload_limit), 'status-upload-limit'),
                    figure('Mode', status.upload_mode || 'normal', 'status-upload-mode'),
                    figure('Sent', format.bytes(status.bytes_sent)))),
                h('section', {class: 'card'}, h('h2', {}, 'Peers'), h('dl', {},
                    figure('Connections', status.peers, 'status-peers'),
                    figure('Connection limit', status.connection_limit || 'unlimited'),
                    figure('Files served', status.resources))),
                h('section', {class: 'card'}, h('h2', {}, 'Cache'), h('dl', {},
                    figure('Hit rate', `${status.cache_hit_ratio}%`),
                    figure('Hits / misses', `${status.cache_hits ?? 0} / ${status.cache_misses ?? 0}`),
                    figure('Size', `${format.bytes(status.cache_bytes)} of ${format.bytes(status.cache_budget)}`),
                    figure('Disk reads', `${format.rate(status.disk_read_speed)}, ${format.bytes(status.disk_bytes_read)} in all`))),
                h('section', {class: 'card'}, h('h2', {}, 'Disk'), h('dl', {},
                    figure('Free', `${format.bytes(status.disk_free)} of ${format.bytes(status.disk_total)}`)),
                    h('meter', {min: 0, max: 1, value: diskUsed, high: 0.9, 'aria-label': 'Disk space used'})),
                h('section', {class: 'card'}, h('h2', {}, 'Media'), h('dl', {},
                    figure('Published', published, 'status-published-count'),
                    figure('Watched folders', (status.watched_folders || []).length)),
                    countsByState(status.media_by_state || {})));
            // Rebuilt only when it changes, so that a focused button keeps the focus.
            const key = `${status.running}/${busy}`;
            if (key !== toolbarKey) {
                toolbarKey = key;
                replace(toolbar, serviceButton(status) || '');
            }
            rateNow.textContent = `(${format.rate(status.upload_speed)})`;
            drawGraph(canvas, live.rateSamples);
        }

        // The moving figures: merged into what /status said last.
        const stopFigures = live.onFigures((figures) => show({...(last || {}), ...figures}));
        const reload = async () => {
            try {
                show(await get('/status'));
            } catch (error) {
                message.show(error.message, 'error');
            }
        };
        const stops = ['services-started', 'services-stopped', 'publish-finished', 'media-withdrawn',
            'folder-added', 'folder-removed', 'settings-changed'].map((type) => live.on(type, reload));
        const resize = () => drawGraph(canvas, live.rateSamples);
        window.addEventListener('resize', resize);
        reload();
        return () => {
            stopFigures();
            stops.forEach((stop) => stop());
            window.removeEventListener('resize', resize);
        };
    },
};
