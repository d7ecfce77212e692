#!/usr/bin/env python3
"""Times the web console in headless Chromium against wharfkeepd serve on loopback:

- login to a rendered status page,
- every page switch (click to the page drawn with its data),
- the publish page over a catalog of --rows made-up rows (bench_publish_list's generator):
  the first page, a sort by each column, a state filter and a name filter,
- the size of the console's files.

"Rendered" is measured in the page: from the click (or keystroke) to the first animation
frame after the awaited element shows its data. Each figure is the median of --rounds.

  bench/web_console/console_bench.py --build build [--rows 100000] [--rounds 5]
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "wharfkeep", "web", "tests"))

# In-page timer: runs an action, resolves with the milliseconds until `ready()` holds and a
# frame has been drawn after it.
MEASURE = """
const [actionText, readyText, done] = [arguments[0], arguments[1], arguments[arguments.length - 1]];
const action = new Function(actionText);
const ready = new Function(readyText);
const start = performance.now();
const observer = new MutationObserver(check);
let finished = false;
function check() {
    if (finished) return;
    let ok = false;
    try { ok = ready(); } catch (e) { ok = false; }
    if (!ok) return;
    finished = true;
    observer.disconnect();
    requestAnimationFrame(() => setTimeout(() => done(performance.now() - start), 0));
}
observer.observe(document.body, {subtree: true, childList: true, characterData: true, attributes: true});
setTimeout(() => { if (!finished) { finished = true; observer.disconnect(); done(-1); } }, 10000);
action();
"""

PAGE_READY = {
    "status": "return document.querySelector('[data-testid=status-published-count]')",
    "connections": "return document.querySelector('[data-testid=connections-files] tbody tr')",
    "publish": "return document.querySelector('[data-testid=media-range]')",
    "settings": "return document.querySelector('[data-testid=setting-input-VP_UploadSpeedLimit]')",
    "ipfilter": "return document.querySelector('[data-testid=ipfilter-count]')?.textContent",
    "events": "return document.querySelector('[data-page=events] tbody tr')",
}


def timed(driver, action, ready):
    ms = driver.execute_async_script(MEASURE, action, ready)
    if ms < 0:
        raise RuntimeError(f"not ready within 10 s: {ready}")
    return ms


def first_rows_script():
    return "[...document.querySelectorAll('[data-testid=media-row]')].slice(0,3).map(r=>r.dataset.path).join('|')"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    parser.add_argument("--rows", type=int, default=100000)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    os.environ["WK_BIN_DIR"] = os.path.join(os.path.abspath(args.build), "bin")

    import console_fixture as fx
    missing = fx.missing_tools()
    if missing:
        sys.exit(f"console_bench: missing {missing}")

    static = os.path.join(ROOT, "wharfkeep", "web", "static")
    sizes = {os.path.relpath(os.path.join(d, f), static): os.path.getsize(os.path.join(d, f))
             for d, _, files in os.walk(static) for f in files}
    total = sum(sizes.values())
    print(f"assets: {len(sizes)} files, {total} bytes ({total / 1024:.1f} KiB; budget 300 KiB)")

    # The catalog is written before the server starts, into the home the fixture will use.
    generator = os.path.join(args.build, "bench", "bench_publish_list")
    if not os.access(generator, os.X_OK):
        generator = os.path.join(args.build, "bin", "bench_publish_list")
    catalog_home = os.path.join(tempfile.mkdtemp(prefix="wk-bench-web-"), "home")
    subprocess.run([generator, "--rows", str(args.rows), "--home", catalog_home, "--generate-only"],
                   check=True, stdout=subprocess.DEVNULL)
    server = fx.Server(home=catalog_home)
    browser = fx.Browser(server)
    d = browser.driver
    results = {}
    try:
        for _ in range(args.rounds):
            browser.open("/")
            browser.visible("login-username").send_keys(fx.ADMIN[0])
            browser.by_testid("login-password")[0].send_keys(fx.ADMIN[1])
            results.setdefault("login to rendered status", []).append(timed(
                d, "document.querySelector('[data-testid=login-submit]').click()",
                "const e = document.querySelector('[data-testid=status-published-count]'); return e && e.textContent !== ''"))
            for page in ("connections", "publish", "settings", "ipfilter", "events", "status"):
                results.setdefault(f"switch to {page}", []).append(timed(
                    d, f"document.querySelector('[data-testid=nav-{page}]').click()",
                    f"return document.getElementById('page').dataset.page === '{page}' && ({PAGE_READY[page].replace('return ', '')})"))
            browser.go("publish")
            browser.visible("media-range")
            d.execute_script("performance.clearResourceTimings()")
            for column in ("size", "state", "time", "name"):
                for order in ("asc", "desc"):
                    before = d.execute_script("return " + first_rows_script())
                    results.setdefault(f"publish: sort by {column}", []).append(timed(
                        d, f"document.querySelector('button.sort[data-sort={column}]').click()",
                        f"return document.querySelector('[aria-sort]:not([aria-sort=none]) button[data-sort={column}]') && "
                        f"{first_rows_script()} !== {before!r} && document.querySelectorAll('[data-testid=media-row]').length > 0"))
            results.setdefault("publish: state filter (failed)", []).append(timed(
                d, "const s = document.querySelector('[data-testid=media-state-filter]'); s.value = '-1'; s.dispatchEvent(new Event('change'))",
                "const rows = [...document.querySelectorAll('[data-testid=media-state]')]; return rows.length && rows.every(r => r.textContent === 'failed')"))
            results.setdefault("publish: name filter (incl. 120 ms typing pause)", []).append(timed(
                d, "const s = document.querySelector('[data-testid=media-search]'); s.value = '-000777'; s.dispatchEvent(new Event('input'))",
                "const rows = [...document.querySelectorAll('[data-testid=media-row]')]; return rows.length >= 1 && rows.every(r => r.dataset.path.includes('-000777'))"))
            results.setdefault("publish: filters cleared (incl. 120 ms typing pause)", []).append(timed(
                d, "const f = document.querySelector('[data-testid=media-state-filter]'); f.value = ''; f.dispatchEvent(new Event('change')); "
                   "const s = document.querySelector('[data-testid=media-search]'); s.value = ''; s.dispatchEvent(new Event('input'))",
                f"return document.querySelector('[data-testid=media-range]').textContent === '1–100 of {args.rows}'"))
            # Request to last byte of each paged /media answer, as the browser saw it.
            results.setdefault("publish: /media page answered (request to last byte)", []).extend(d.execute_script(
                "return performance.getEntriesByType('resource').filter(e => e.name.includes('/media?'))"
                ".map(e => e.responseEnd - e.requestStart)"))
            d.delete_all_cookies()
    finally:
        browser.quit()
        server.stop()
    print(f"catalog: {args.rows} rows; {args.rounds} rounds; median (max) in ms")
    for name, values in results.items():
        if values:
            print(f"  {name:56s} {statistics.median(values):7.1f}  ({max(values):.1f})")


if __name__ == "__main__":
    main()
