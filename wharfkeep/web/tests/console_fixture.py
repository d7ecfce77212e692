"""A running wharfkeepd with the web console on a TLS listener, users, media, and a
headless Chromium that trusts the listener's certificate; shared by the browser tests.

The programs come from WK_BIN_DIR (the build's bin/). Everything lives in a temporary
application-data folder that is removed at the end.
"""

import base64
import hashlib
import http.cookies
import json
import os
import shutil
import socket
import ssl
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.error
import urllib.request

SKIP = 77  # ctest's SKIP_RETURN_CODE for the browser tests

try:
    from selenium import webdriver
    from selenium.common.exceptions import StaleElementReferenceException, TimeoutException
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    from selenium.webdriver.support.select import Select
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:  # the runner reports the skip
    webdriver = None

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
CHROMEDRIVER = shutil.which("chromedriver")
BIN_DIR = os.environ.get("WK_BIN_DIR", os.path.join(os.path.dirname(__file__), "../../../build/bin"))
WHARFKEEPD = os.path.join(BIN_DIR, "wharfkeepd")
WKPEER = os.path.join(BIN_DIR, "wkpeer")

ADMIN = ("admin", "harbour lights 42")
OPERATOR = ("operator", "quay side 7")
READER = ("reader", "low tide 13")

WAIT = 20  # seconds any single expectation may take


def missing_tools():
    """What the browser tests need and this machine lacks, as a sentence, or ''."""
    missing = []
    if webdriver is None:
        missing.append("python3-selenium")
    if not CHROMIUM:
        missing.append("chromium")
    if not CHROMEDRIVER:
        missing.append("chromium-driver")
    if not shutil.which("ffmpeg"):
        missing.append("ffmpeg")
    return ", ".join(missing)


def run_skippable(main):
    """Runs main (unittest.main) unless a tool is missing; then exits with SKIP."""
    missing = missing_tools()
    if missing:
        print(f"browser tests skipped: missing {missing} (scripts/install-deps installs them)")
        sys.exit(SKIP)
    for program in (WHARFKEEPD, WKPEER):
        if not os.access(program, os.X_OK):
            sys.exit(f"browser tests: {program} is not built (targets wharfkeepd wkpeer Moovwright)")
    main()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def make_clip(path, seconds, size="320x240", bitrate=None):
    args = ["ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi",
            "-i", f"testsrc2=duration={seconds}:size={size}:rate=25",
            "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-g", "25"]
    if bitrate:
        args += ["-b:v", bitrate]
    subprocess.run(args + [path], check=True)


def wait_until(predicate, timeout=WAIT, what="the condition"):
    """Polls predicate until it returns something true; raises after timeout."""
    deadline = time.monotonic() + timeout
    last_error = None
    while time.monotonic() < deadline:
        try:
            value = predicate()
            if value:
                return value
        except Exception as error:  # noqa: BLE001 - reported if the deadline passes
            last_error = error
        time.sleep(0.1)
    raise AssertionError(f"timed out after {timeout} s waiting for {what}"
                         + (f" (last error: {last_error})" if last_error else ""))


class Server:
    """wharfkeepd serve in a fresh application-data folder."""

    def __init__(self, clips=(), prepublished=(), home=None):
        """clips: (path under media/, seconds) made with ffmpeg; prepublished: folders under
        media/ published with the command line before the server starts; home: an
        application-data folder made beforehand (removed with the rest at the end)."""
        self.root = os.path.dirname(home) if home else tempfile.mkdtemp(prefix="wk-web-")
        self.home = home or os.path.join(self.root, "home")
        self.media = os.path.join(self.root, "media")
        os.makedirs(self.home, exist_ok=True)
        os.makedirs(self.media)
        self.env = dict(os.environ, WHARFKEEP_HOME=self.home, WHARFKEEP_DESKTOP=os.path.join(self.root, "desktop"))
        self.env.pop("WHARFKEEP_REMOTE", None)
        self.env.pop("WHARFKEEP_TOKEN", None)
        self.peer_port = free_port()
        self.list_port = free_port()
        self.port = free_port()
        self.url = f"https://127.0.0.1:{self.port}"
        self._admin_cookie = self._admin_csrf = None
        with open(os.path.join(self.home, "Wharfkeep.ini"), "w") as ini:
            ini.write(f"[control]\nlisten=127.0.0.1:{self.port}\n[web]\nbrowse_roots={self.media}\n")
        for name, seconds in clips:
            path = os.path.join(self.media, name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            make_clip(path, seconds, size="640x360", bitrate="2M")
        self.cli("config", "VP_Port", str(self.peer_port))
        self.cli("config", "STS_Port", str(self.list_port))
        self.cli("config", "AccessIP", "127.0.0.1")
        self.cli("config", "VP_AutoStart", "1")
        for (user, password), scope in ((ADMIN, "admin"), (OPERATOR, "operate"), (READER, "read")):
            self.cli("user", "add", user, "--scope", scope, stdin=password + "\n")
        for folder in prepublished:
            self.cli("publish", os.path.join(self.media, folder))
        self.log = open(os.path.join(self.root, "serve.log"), "w")
        self.process = subprocess.Popen([WHARFKEEPD, "serve"], env=self.env, stdout=self.log,
                                        stderr=subprocess.STDOUT)
        self.certificate = os.path.join(self.home, "tls", "control-cert.pem")
        wait_until(self._answers, what=f"the control listener on {self.url}")
        self.context = ssl.create_default_context(cafile=self.certificate)

    def published(self):
        """{path: (gcid, size)} of the published files, from the command line."""
        files = {}
        for line in self.cli("list").splitlines():
            fields = line.split("\t")
            if len(fields) >= 5 and fields[0] == "1":
                files[fields[4]] = (fields[3], int(fields[2]))
        return files

    def cli(self, *args, stdin=None):
        return subprocess.run([WHARFKEEPD, *args], env=self.env, input=stdin, text=True,
                              capture_output=True, check=True, timeout=60).stdout

    def _answers(self):
        if self.process.poll() is not None:
            raise AssertionError(f"wharfkeepd serve ended with {self.process.returncode}: {self.serve_log()}")
        if not os.path.exists(self.certificate):
            return False
        context = ssl.create_default_context(cafile=self.certificate)
        try:
            with urllib.request.urlopen(self.url + "/", context=context, timeout=2) as answer:
                return answer.status == 200
        except (urllib.error.URLError, ConnectionError, ssl.SSLError):
            return False

    def serve_log(self):
        self.log.flush()
        with open(self.log.name, errors="replace") as log:
            return log.read()[-4000:]

    def spki_pin(self):
        """Base64 of the SHA-256 of the certificate's public key, for Chromium's pin list."""
        public = subprocess.run(["openssl", "x509", "-in", self.certificate, "-noout", "-pubkey"],
                                capture_output=True, check=True).stdout
        der = subprocess.run(["openssl", "pkey", "-pubin", "-outform", "der"], input=public,
                             capture_output=True, check=True).stdout
        return base64.b64encode(hashlib.sha256(der).digest()).decode()

    def stop(self):
        if self.process.poll() is not None:
            # It ended by itself: what it said is the only clue left after the folder goes.
            print(f"wharfkeepd serve ended early with {self.process.returncode}:\n{self.serve_log()}",
                  file=sys.stderr)
        else:
            self.process.terminate()
            try:
                self.process.wait(timeout=15)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.log.close()
        shutil.rmtree(self.root, ignore_errors=True)

    # Plain HTTP clients for what a page cannot show: forged and cross-site requests.
    def request(self, method, path, body=None, headers=None, cookie=None):
        """(status, JSON or text, headers) of one request; never raises for an HTTP status."""
        data = None if body is None else json.dumps(body).encode()
        all_headers = {"Content-Type": "application/json"} if body is not None else {}
        if cookie:
            all_headers["Cookie"] = cookie
        all_headers.update(headers or {})
        request = urllib.request.Request(self.url + path, data=data, method=method, headers=all_headers)
        try:
            with urllib.request.urlopen(request, context=self.context, timeout=WAIT) as answer:
                return answer.status, _decode(answer.read()), answer.headers
        except urllib.error.HTTPError as error:
            return error.code, _decode(error.read()), error.headers

    def login(self, user, password):
        """(session cookie 'name=value', csrf token) of a new session."""
        status, body, headers = self.request("POST", "/login", {"user": user, "password": password},
                                             headers={"Origin": self.url})
        if status != 200:
            raise AssertionError(f"login of {user} answered {status}: {body}")
        cookie = http.cookies.SimpleCookie()
        for header in headers.get_all("Set-Cookie") or []:
            cookie.load(header)
        pairs = [f"{name}={morsel.value}" for name, morsel in cookie.items()]
        return "; ".join(pairs), body["csrf"]

    def api(self, path):
        """GET with an admin session: what the tests compare the pages with."""
        if self._admin_cookie is None:
            self._admin_cookie, self._admin_csrf = self.login(*ADMIN)
        status, body, _ = self.request("GET", path, cookie=self._admin_cookie)
        if status != 200:
            raise AssertionError(f"GET {path} answered {status}: {body}")
        return body

    def change(self, method, path, body):
        """A change with an admin session, as the console sends it."""
        if self._admin_cookie is None:
            self._admin_cookie, self._admin_csrf = self.login(*ADMIN)
        return self.request(method, path, body, cookie=self._admin_cookie,
                            headers={"X-CSRF-Token": self._admin_csrf, "Origin": self.url})


def _decode(raw):
    try:
        return json.loads(raw)
    except ValueError:
        return raw.decode(errors="replace")


class Browser:
    """A headless Chromium on the console that trusts only the listener's key."""

    def __init__(self, server, width=1024, height=768):
        self.server = server
        self.profile = tempfile.mkdtemp(prefix="wk-chromium-")
        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu",
                         f"--window-size={width},{height}", f"--user-data-dir={self.profile}",
                         f"--ignore-certificate-errors-spki-list={server.spki_pin()}",
                         "--no-first-run", "--disable-extensions"):
            options.add_argument(argument)
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        self.driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
        self.driver.set_page_load_timeout(WAIT)

    def quit(self):
        try:
            self.driver.quit()
        finally:
            shutil.rmtree(self.profile, ignore_errors=True)

    def open(self, path="/"):
        self.driver.get(self.server.url + path)

    def by_testid(self, testid):
        return self.driver.find_elements(By.CSS_SELECTOR, f'[data-testid="{testid}"]')

    def wait_for(self, predicate, timeout=WAIT, what="the page"):
        """Waits until predicate(driver) is true; stale elements (a redraw) count as not yet."""
        def check(driver):
            try:
                return predicate(driver)
            except StaleElementReferenceException:
                return False
        try:
            return WebDriverWait(self.driver, timeout, poll_frequency=0.1).until(check)
        except TimeoutException:
            raise AssertionError(f"timed out after {timeout} s waiting for {what}; "
                                 f"console log: {self.console_log()[-2000:]}") from None

    def visible(self, testid, timeout=WAIT):
        return self.wait_for(lambda d: next((e for e in self.by_testid(testid) if e.is_displayed()), None),
                             timeout, f'a visible [data-testid="{testid}"]')

    def text_of(self, testid, predicate, timeout=WAIT, what=None):
        """Waits until the text of the element passes predicate; returns the text."""
        def check(_):
            elements = self.by_testid(testid)
            return elements and predicate(elements[0].text) and elements[0].text
        return self.wait_for(check, timeout, what or f'the text of [data-testid="{testid}"]')

    def login(self, user, password):
        self.open("/")
        name = self.visible("login-username")
        name.clear()
        name.send_keys(user)
        field = self.by_testid("login-password")[0]
        field.clear()
        field.send_keys(password)
        self.by_testid("login-submit")[0].click()

    def fill(self, testid, text):
        field = self.visible(testid)
        field.clear()
        field.send_keys(text)
        return field

    def choose(self, testid, value):
        Select(self.visible(testid)).select_by_value(value)

    def logout(self):
        self.visible("logout").click()
        self.visible("login-username")

    def go(self, page):
        self.visible(f"nav-{page}").click()
        self.wait_for(lambda d: d.find_element(By.ID, "page").get_attribute("data-page") == page,
                      what=f"the {page} page")

    def media_state(self, path):
        """The shown state of the media row of path, or None while it is not listed."""
        for row in self.by_testid("media-row"):
            if row.get_attribute("data-path") == path:
                return row.find_element(By.CSS_SELECTOR, '[data-testid="media-state"]').text
        return None

    def click_in_row(self, row_testid, matches, button):
        """Clicks button in the first row whose element passes matches; a redraw between
        finding and clicking is tried again."""
        def click(_):
            for row in self.by_testid(row_testid):
                if matches(row):
                    row.find_element(By.CSS_SELECTOR, f'[data-testid="{button}"]').click()
                    return True
            return False
        self.wait_for(click, what=f"the {button} button in a {row_testid}")

    def row_named(self, row_testid, name):
        """The row whose data-name is name, or None while there is none."""
        return next((row for row in self.by_testid(row_testid) if row.get_attribute("data-name") == name), None)

    def click_in_named_row(self, row_testid, name, button):
        self.click_in_row(row_testid, lambda row: row.get_attribute("data-name") == name, button)

    def click_in_media_row(self, path, button):
        self.click_in_row("media-row", lambda row: row.get_attribute("data-path") == path, button)

    def console_log(self):
        try:
            return "\n".join(entry["message"] for entry in self.driver.get_log("browser"))
        except Exception:  # noqa: BLE001 - only for failure messages
            return ""


class ConsoleTestCase(unittest.TestCase):
    """Tests of the console in one browser on one server, both made once per class (the
    server by make_server). Each test starts logged out and must leave a page that broke no
    rule of the content security policy and threw nothing."""

    @classmethod
    def make_server(cls):
        return Server()

    @classmethod
    def setUpClass(cls):
        cls.server = cls.make_server()
        cls.browser = Browser(cls.server)

    @classmethod
    def tearDownClass(cls):
        cls.browser.quit()
        cls.server.stop()

    def tearDown(self):
        self.browser.driver.delete_all_cookies()
        log = self.browser.console_log()
        self.assertNotIn("Content Security Policy", log)
        self.assertNotIn("Uncaught", log)

    def log_in(self, account=ADMIN):
        self.browser.login(*account)
        self.browser.visible("nav-status")
