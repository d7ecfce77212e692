// Requests to the control interface of the same origin. The session cookie goes with every
// request; changes carry the session's CSRF token in a header.

let csrfToken = '';
let whenUnauthorized = () => {};

export function setCsrf(token) {
    csrfToken = token || '';
}

// Called when a request is refused for want of a session (it expired, or the user logged
// out in another tab).
export function onUnauthorized(fn) {
    whenUnauthorized = fn;
}

export class ApiError extends Error {
    constructor(status, message) {
        super(message);
        this.status = status;
    }
}

export async function api(method, path, body, {raw = false} = {}) {
    const headers = {Accept: 'application/json'};
    if (method !== 'GET') headers['X-CSRF-Token'] = csrfToken;
    const init = {method, headers, credentials: 'same-origin', cache: 'no-store'};
    if (body !== undefined) {
        headers['Content-Type'] = 'application/json';
        init.body = JSON.stringify(body);
    }
    let response;
    try {
        response = await fetch(path, init);
    } catch (error) {
        throw new ApiError(0, 'the server cannot be reached');
    }
    const text = await response.text();
    if (!response.ok) {
        let message = `${response.status} ${response.statusText}`;
        try {
            message = JSON.parse(text).error || message;
        } catch {
            // not JSON: keep the status line
        }
        if (response.status === 401 && path !== '/login') whenUnauthorized();
        throw new ApiError(response.status, message);
    }
    if (raw) return text;
    return text ? JSON.parse(text) : null;
}

export const get = (path) => api('GET', path);
export const post = (path, body = {}) => api('POST', path, body);
export const put = (path, body) => api('PUT', path, body);
export const del = (path) => api('DELETE', path);

// A query string from an object, leaving out empty members.
export function query(params) {
    const search = new URLSearchParams();
    for (const [key, value] of Object.entries(params)) {
        if (value !== undefined && value !== null && value !== '') search.set(key, String(value));
    }
    const text = search.toString();
    return text ? '?' + text : '';
}
