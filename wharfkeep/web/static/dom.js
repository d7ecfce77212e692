// Small helpers to build the DOM without innerHTML: texts from the server are always set as
// text, never parsed as markup.

// h('button', {class: 'primary', onclick: fn, 'data-testid': 'x'}, 'Save')
export function h(tag, attrs = {}, ...children) {
    const element = document.createElement(tag);
    for (const [name, value] of Object.entries(attrs || {})) {
        if (value === undefined || value === null || value === false) continue;
        if (name.startsWith('on') && typeof value === 'function') {
            element.addEventListener(name.slice(2), value);
        } else if (name === 'class') {
            element.className = value;
        } else if (name === 'text') {
            element.textContent = value;
        } else if (name in element && typeof value !== 'string' && name !== 'list') {
            element[name] = value;  // value, checked, disabled, hidden ... as properties
        } else {
            element.setAttribute(name, value === true ? '' : String(value));
        }
    }
    return append(element, ...children);
}

// Appends children (arrays flattened; null, undefined and false left out; texts as text).
export function append(element, ...children) {
    for (const child of children.flat(Infinity)) {
        if (child === undefined || child === null || child === false) continue;
        element.append(child instanceof Node ? child : String(child));
    }
    return element;
}

export function clear(element) {
    element.replaceChildren();
    return element;
}

// A labelled figure in a definition list: <dt>label</dt><dd data-testid=...>value</dd>.
export function figure(label, value, testid) {
    return [h('dt', {}, label), h('dd', {'data-testid': testid}, value)];
}

// Runs fn at most once per `ms`, after the last call (a trailing debounce).
export function debounce(fn, ms) {
    let timer = 0;
    return (...args) => {
        clearTimeout(timer);
        timer = setTimeout(() => fn(...args), ms);
    };
}

// A status line for a page: role=status so screen readers announce its changes.
export function messageLine(testid) {
    const line = h('p', {class: 'message', role: 'status', 'aria-live': 'polite', 'data-testid': testid});
    line.show = (text, kind = 'ok') => {
        line.textContent = text;
        line.className = 'message ' + kind;
    };
    return line;
}

// Empties element and puts children in (arrays flattened, texts as text).
export function replace(element, ...children) {
    element.replaceChildren();
    return append(element, ...children);
}

// Asks in place before something that cannot be undone: the cell's content gives way to the
// question with a confirming and a cancelling button (focus goes to Cancel), and comes back
// on Cancel. testid names the confirming button.
export function confirmInCell(cell, question, confirmLabel, onConfirm, testid) {
    const before = [...cell.childNodes];
    const cancel = h('button', {type: 'button', onclick: () => {
        cell.replaceChildren(...before);
        before.find((node) => node instanceof HTMLButtonElement)?.focus();
    }}, 'Cancel');
    replace(cell, h('span', {role: 'group', 'aria-label': question},
        h('span', {}, question, ' '),
        h('button', {type: 'button', class: 'danger', 'data-testid': testid, onclick: onConfirm}, confirmLabel),
        ' ', cancel));
    cancel.focus();
}
