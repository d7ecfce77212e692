// The console: login, the navigation, and which page is shown. Pages live in pages/ and
// each exports render(container, session) returning a function that stops it.

import {api, ApiError, onUnauthorized, setCsrf} from './api.js';
import {clear} from './dom.js';
import * as live from './live.js';
import status from './pages/status.js';
import connections from './pages/connections.js';
import publish from './pages/publish.js';
import settings from './pages/settings.js';
import ipfilter from './pages/ipfilter.js';
import events from './pages/events.js';
import tokens from './pages/tokens.js';
import users from './pages/users.js';

const PAGES = {status, connections, publish, settings, ipfilter, events, tokens, users};
// Pages only some scopes may open; their links are hidden from the others.
const PAGE_SCOPES = {tokens: 'admin', users: 'admin'};
const SCOPES = ['read', 'operate', 'admin'];

const loginView = document.getElementById('login');
const consoleView = document.getElementById('console');
const pageView = document.getElementById('page');
const loginForm = document.getElementById('login-form');
const loginError = document.getElementById('login-error');
const userLabel = document.getElementById('user');
const streamLabel = document.getElementById('stream');
const missedNotice = document.getElementById('missed');

let session = null;
let stopPage = () => {};
let shownPage = '';

// What a scope may do: read < operate < admin.
export function allows(scope, needed) {
    return SCOPES.indexOf(scope) >= SCOPES.indexOf(needed);
}

function showLogin(message = '') {
    stopPage();
    stopPage = () => {};
    shownPage = '';
    live.disconnect();
    session = null;
    setCsrf('');
    consoleView.hidden = true;
    loginView.hidden = false;
    loginError.textContent = message;
    loginError.hidden = !message;
    loginForm.elements.password.value = '';
    (loginForm.elements.username.value ? loginForm.elements.password : loginForm.elements.username).focus();
}

function startConsole(answer) {
    session = {
        user: answer.user,
        scope: answer.scope,
        can: (needed) => allows(answer.scope, needed),
    };
    setCsrf(answer.csrf);
    loginView.hidden = true;
    consoleView.hidden = false;
    userLabel.textContent = `${answer.user} (${answer.scope})`;
    for (const link of document.querySelectorAll('nav a')) {
        link.hidden = !session.can(PAGE_SCOPES[link.dataset.page] || 'read');
    }
    missedNotice.hidden = true;
    live.connect();
    route();
}

function route() {
    if (!session) return;
    const name = location.hash.replace(/^#\/?/, '') || 'status';
    const page = PAGES[name] && session.can(PAGE_SCOPES[name] || 'read') ? name : 'status';
    if (page === shownPage) return;
    showPage(page);
}

function showPage(page) {
    stopPage();
    shownPage = page;
    for (const link of document.querySelectorAll('nav a')) {
        if (link.dataset.page === page) link.setAttribute('aria-current', 'page');
        else link.removeAttribute('aria-current');
    }
    document.title = `${PAGES[page].title} · Wharfkeep`;
    clear(pageView);
    pageView.dataset.page = page;
    stopPage = PAGES[page].render(pageView, session) || (() => {});
}

loginForm.addEventListener('submit', async (event) => {
    event.preventDefault();
    const submit = loginForm.querySelector('button[type=submit]');
    submit.disabled = true;
    loginError.hidden = true;
    try {
        const answer = await api('POST', '/login', {
            user: loginForm.elements.username.value,
            password: loginForm.elements.password.value,
        });
        startConsole(answer);
    } catch (error) {
        let message = error.message;
        if (error instanceof ApiError && error.status === 401) message = 'Wrong user name or password.';
        if (error instanceof ApiError && error.status === 429) {
            message = 'Too many failed attempts from this address; try again later.';
        }
        showLogin(message);
    } finally {
        submit.disabled = false;
    }
});

document.getElementById('logout').addEventListener('click', async () => {
    try {
        await api('POST', '/logout', {});
    } catch {
        // the session ends in this tab anyway
    }
    showLogin();
});

// Events were missed, so the page may be out of date: say so, and draw it afresh from the
// server.
live.onMissed(() => {
    if (!session || !shownPage) return;
    missedNotice.hidden = false;
    showPage(shownPage);
});

document.getElementById('missed-dismiss').addEventListener('click', () => {
    missedNotice.hidden = true;
    pageView.focus();
});

onUnauthorized(() => {
    if (session) showLogin('Your session has ended; please log in again.');
});

live.onConnection((state) => {
    streamLabel.textContent = {live: 'live', reconnecting: 'reconnecting…', closed: 'offline'}[state];
    streamLabel.className = 'stream ' + state;
    // A stream refused for good usually means the session ended: ask, and reconnect if not.
    if (state === 'closed' && session) {
        setTimeout(async () => {
            try {
                await api('GET', '/session');
                if (session && !live.isOpen()) live.connect();
            } catch {
                // onUnauthorized shows the login form
            }
        }, 2000);
    }
});

window.addEventListener('hashchange', route);

// A session kept in the cookie skips the login form.
(async () => {
    try {
        startConsole(await api('GET', '/session'));
    } catch {
        showLogin();
    }
})();
